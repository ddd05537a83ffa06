// The vocabulary classes, InitOptimization and DeviceDtype, one row per
// constant of their class bodies: everything the classes, their get_options()
// and the shortcut's cache know of a constant follows from its row
// (vocabulary_tables.hpp).
//
//   name    the class attribute
//   text    its value
//   listed  its place in get_options()'s list, from 1; 0: not listed
//
// The rows are in the order of the class body; get_quantization_dtype()
// lists the first NPU_QUANTIZED places of DeviceDtype.get_options().
//
// X(name, text, listed)
#pragma once

#define NPU_INIT_OPTIMIZATION(X)                                                             \
    X(ENABLE_ALL, "enable_all", 1)                                                           \
    X(DISABLE_ALL, "disable_all", 2)                                                         \
    X(MANUAL, "manual", 3)

#define NPU_DEVICE_DTYPE(X)                                                                  \
    X(DYNAMIC_FIXED_POINT_INT8, "dynamic_fixed_point-8", 1)                                  \
    X(DYNAMIC_FIXED_POINT_INT16, "dynamic_fixed_point-16", 2)                                \
    X(DYNAMIC_FIXED_POINT_UINT16, "dynamic_fixed_point-u16", 4)                              \
    X(DYNAMIC_FIXED_POINT_UINT8, "dynamic_fixed_point-u8", 3)                                \
    X(SCALE_AFFINE_UINT8, "asymmetric_quantized-u8", 5)                                      \
    X(FLOAT16, "float16", 6)                                                                 \
    X(FLOAT32, "float32", 7)                                                                 \
    X(INT32, "int32", 0)

#define NPU_QUANTIZED 5
