// Shortcuts for the hot operations, taken only while nothing a caller can
// reach differs from the state in which they were proven equivalent.
#pragma once

#include "ref.hpp"

namespace npu {

struct FastPaths {};

int traverse_fast_paths(FastPaths& fast, visitproc visit, void* arg);
void clear_fast_paths(FastPaths& fast);

}  // namespace npu
