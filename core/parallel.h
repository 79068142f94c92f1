// The OpenMP runtime calls the engine uses. A build without OpenMP (used for
// ThreadSanitizer runs, where the runtime is not instrumented) runs every
// parallel region on the calling thread.
//
// A parallel region takes its team size from the thread that starts it: the
// solver thread sets the thread count for its passes itself, and set_threads
// sets it for the console thread, which builds trees and computes results.
#pragma once

#ifdef _OPENMP
#include <omp.h>
#else
inline int omp_get_max_threads() { return 1; }
inline int omp_get_num_procs() { return 1; }
inline void omp_set_num_threads(int) {}
#endif

// The team size of a region before any thread count is set: the runtime's
// default when the process started (OMP_NUM_THREADS, else every core the
// process may run on). It stays the answer after omp_set_num_threads.
int DefaultThreadCount();
