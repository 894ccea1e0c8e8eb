#pragma once

namespace quarnel::knn {

// The widest kernel the processor has runs: AVX-512 (F, DQ, BW and VL),
// else AVX2, else the baseline. The environment variable QUARNEL_KNN_KERNEL,
// read when the library is loaded, can force a narrower one ("avx2",
// "baseline"), which lets the tests check that every kernel gives the same
// bits; a kernel the processor lacks falls back to the next narrower. Both
// searches (the k-d tree of 2 to 8 columns and the wide tree) take the same
// choice.
enum class Kernel { baseline, avx2, avx512 };

Kernel search_kernel();

}  // namespace quarnel::knn
