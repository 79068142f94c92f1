// The hand classifier's per-hand loops, AVX baseline variant.
#define CLASSIFIER_KERNEL(name) name##Avx
#include "results/hand_classifier_kernels.inc"
