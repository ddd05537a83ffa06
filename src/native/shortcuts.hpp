// The module's one shortcut, in one place: the lists of the vocabulary
// classes as the load made them.
//
// While DeviceDtype or InitOptimization is exactly as loaded (the class the
// load made, its metaclass `type`, its namespace unchanged since), reading
// its constants through it runs nobody's code and finds the texts the load
// put there, and DeviceDtype.get_options() finds this module's
// get_quantization_dtype: the lists are then those texts, kept here. Any
// change to the namespace, its clearing or its end turns the shortcut off
// for good (the namespace's version up to 3.11, a dict watcher from 3.12);
// the class and its namespace are not kept alive by it.
//
// Built with NPU_SHORTCUTS=0 (CMake: OVRALITE_SHORTCUTS=OFF), the stand-ins
// at the end say "not as loaded" every time and the general path runs.
#pragma once

#include "compat.hpp"
#include "ref.hpp"
#include "vocabulary_tables.hpp"

#ifndef NPU_SHORTCUTS
#define NPU_SHORTCUTS 1
#endif

namespace npu {

#if NPU_SHORTCUTS

struct WatchRegistry;

struct VocabularyCache {
    static constexpr int kMaxEntries = kMaxListed;
    bool valid;
    PyObject* cls;             // not owned: alive while `valid`
    PyObject* namespace_dict;  // not owned: alive while `valid`
#if NPU_DICT_WATCHERS
    int watcher;                // the interpreter's watcher that clears `valid`
    WatchRegistry* registry;    // that watcher's registry, while it lists this cache
    VocabularyCache* next;      // the registry's next cache
#else
    uint64_t version;  // the namespace's version when the class was made
#endif
    int count;
    PyObject* entries[kMaxEntries];  // owned
};

// Whether `cls` is the cached class with its namespace unchanged since the load.
inline bool as_loaded(const VocabularyCache& v, PyObject* cls) {
    return v.valid && cls == v.cls && Py_TYPE(cls) == &PyType_Type &&
           reinterpret_cast<PyTypeObject*>(cls)->tp_dict == v.namespace_dict
#if !NPU_DICT_WATCHERS
           && dict_version(v.namespace_dict) == v.version
#endif
        ;
}

// A new list of the first `n` cached texts.
inline PyObject* cached_list(const VocabularyCache& v, Py_ssize_t n) {
    PyObject* list = PyList_New(n);
    for (Py_ssize_t i = 0; list && i < n; ++i) {
        PyList_SET_ITEM(list, i, Ref::borrow(v.entries[i]).release());
    }
    return list;
}

// `item in cached_list(v, v.count)`, by the interpreter's comparisons,
// without making the list.
int cached_contains(const VocabularyCache& v, PyObject* item);

// Caches `cls` as just made, no code of anyone else's having run since, with
// its listed texts (at most kMaxListed).
void remember(VocabularyCache& v, PyObject* cls, PyObject* const* texts, int count);

int traverse_vocabulary(const VocabularyCache& v, visitproc visit, void* arg);
void clear_vocabulary(VocabularyCache& v);

#else  // the stand-ins: never as loaded, nothing kept

struct VocabularyCache {
    static constexpr int count = 0;
};
constexpr bool as_loaded(const VocabularyCache&, PyObject*) { return false; }
inline PyObject* cached_list(const VocabularyCache&, Py_ssize_t) { return nullptr; }
inline int cached_contains(const VocabularyCache&, PyObject*) { return 0; }
inline void remember(VocabularyCache&, PyObject*, PyObject* const*, int) {}
inline int traverse_vocabulary(const VocabularyCache&, visitproc, void*) { return 0; }
inline void clear_vocabulary(VocabularyCache&) {}

#endif

}  // namespace npu
