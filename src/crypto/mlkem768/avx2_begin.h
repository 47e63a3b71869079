// Included (with avx2_end.h after it) around the AVX2 code of a file: what
// lies between is compiled for AVX2, BMI2 and POPCNT (every AVX2 CPU has all
// three) while the rest of the module stays baseline x86-64. Include every
// header first and keep the code in between to functions of its own, so that
// no AVX2 copy of a shared inline function can reach baseline code. No
// include guard: a file may open more than one such region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi2,popcnt")
#endif
