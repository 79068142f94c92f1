// The OpenMP runtime calls the engine uses. A build without OpenMP (used for
// ThreadSanitizer runs, where the runtime is not instrumented) runs every
// parallel region on the calling thread.
#pragma once

#ifdef _OPENMP
#include <omp.h>
#else
inline int omp_get_max_threads() { return 1; }
inline int omp_get_num_procs() { return 1; }
inline void omp_set_num_threads(int) {}
#endif
