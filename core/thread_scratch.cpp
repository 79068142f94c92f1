#include "core/thread_scratch.h"

#include <pthread.h>

#include <mutex>

#include "core/output.h"
#include "core/parallel.h"

namespace thread_scratch_detail {

__thread void* t_objects[kMaxKinds] = {};

namespace {

struct Kind {
  void* (*make)();
  void (*destroy)(void*);
};
// Written during static initialisation only, read-only afterwards.
Kind g_kinds[kMaxKinds];
int g_kindCount = 0;
pthread_key_t g_key;

// Whether the key holds the calling thread's objects (so that they are
// destroyed when it ends).
thread_local bool t_keySet = false;

// Destroys the objects of a thread that ends. Destroying one may use
// another kind (a pool gives its blocks back to the block cache), which is
// then made again, so the loop runs until the thread holds none.
void DestroyThreadObjects(void* objects) {
  void** slots = static_cast<void**>(objects);
  for (bool any = true; any;) {
    any = false;
    for (int k = 0; k < g_kindCount; ++k) {
      void* object = slots[k];
      if (!object) continue;
      slots[k] = nullptr;
      g_kinds[k].destroy(object);
      any = true;
    }
  }
  t_keySet = false;
}

}  // namespace

int RegisterKind(void* (*make)(), void (*destroy)(void*)) {
  if (g_kindCount == 0 && pthread_key_create(&g_key, DestroyThreadObjects) != 0) Fail("no thread key");
  if (g_kindCount == kMaxKinds) Fail("too many kinds of thread scratch");
  g_kinds[g_kindCount] = Kind{make, destroy};
  return g_kindCount++;
}

void* Make(int kind) {
  void* object = nullptr;
  try {
    object = g_kinds[kind].make();
  } catch (const std::bad_alloc&) {
    AllocationFailed();
  }
  // The key's slot of an early key lies in the thread's descriptor: setting
  // it allocates nothing, but a failure is treated as exhausted memory.
  if (!t_keySet) {
    if (pthread_setspecific(g_key, t_objects) != 0) {
      g_kinds[kind].destroy(object);
      AllocationFailed();
    }
    t_keySet = true;
  }
  t_objects[kind] = object;
  return object;
}

}  // namespace thread_scratch_detail

bool PrepareThreadScratch() noexcept {
  using namespace thread_scratch_detail;
  // One thread at a time makes its objects, so that what each thread's
  // objects allocate lies together, apart from the other threads' (the
  // threads share one arena of the C allocator).
  static std::mutex making;
  const std::lock_guard<std::mutex> one(making);
  try {
    const RecoverableAllocations recoverable;
    for (int k = 0; k < g_kindCount; ++k)
      if (!t_objects[k]) Make(k);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
