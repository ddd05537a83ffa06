// What follows from the vocabularies' rows (vocabularies.hpp), at compile
// time: each class's constants, and the order get_options() lists them in.
#pragma once

#include "names.hpp"
#include "vocabularies.hpp"

namespace npu {

struct Constant {
    PyObject* Names::*name;
    const char* text;
    int listed;
};

#define NPU_CONSTANT_ROW(name, text, listed) {&Names::name, text, listed},
constexpr Constant kInitOptimization[] = {NPU_INIT_OPTIMIZATION(NPU_CONSTANT_ROW)};
constexpr Constant kDeviceDtype[] = {NPU_DEVICE_DTYPE(NPU_CONSTANT_ROW)};
#undef NPU_CONSTANT_ROW

constexpr int kMaxConstants = 8;

// The constants of a class in get_options()'s order, as indices of its rows.
struct Listing {
    int index[kMaxConstants];
    int count;
};

template <int N>
constexpr Listing listing(const Constant (&rows)[N]) {
    static_assert(N <= kMaxConstants, "more constants than a listing holds");
    Listing l{};
    for (int place = 1; place <= N; ++place) {
        for (int i = 0; i < N; ++i) {
            if (rows[i].listed == place) {
                l.index[l.count++] = i;
            }
        }
    }
    return l;
}

constexpr Listing kModesListed = listing(kInitOptimization);
constexpr Listing kDtypesListed = listing(kDeviceDtype);
constexpr int kQuantized = NPU_QUANTIZED;
// The most texts a vocabulary's cache holds.
constexpr int kMaxListed =
    kModesListed.count > kDtypesListed.count ? kModesListed.count : kDtypesListed.count;

// Each listed place is taken by one row, from 1 on.
template <int N>
constexpr bool places_each_once(const Constant (&rows)[N]) {
    int listed = 0;
    for (const Constant& c : rows) {
        listed += c.listed != 0;
    }
    for (int place = 1; place <= listed; ++place) {
        int found = 0;
        for (const Constant& c : rows) {
            found += c.listed == place;
        }
        if (found != 1) {
            return false;
        }
    }
    return true;
}
static_assert(places_each_once(kInitOptimization), "a place listed twice or skipped");
static_assert(places_each_once(kDeviceDtype), "a place listed twice or skipped");
static_assert(kQuantized <= kDtypesListed.count, "more quantized types than listed");

}  // namespace npu
