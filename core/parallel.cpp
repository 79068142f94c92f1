#include "core/parallel.h"

namespace {

// Read during static initialisation, before any thread count is set.
const int kDefaultThreadCount = omp_get_max_threads();

}  // namespace

int DefaultThreadCount() { return kDefaultThreadCount; }
