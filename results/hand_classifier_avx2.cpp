// The hand classifier's per-hand loops, AVX2/FMA variant.
#define CLASSIFIER_KERNEL(name) name##Avx2
#include "results/hand_classifier_kernels.inc"
