// Per-thread working objects (block caches, row pools and scratch vectors of
// the passes) that a thread can make where a failure is still answered.
//
// A C++ thread_local object is not used for them: at its first use in a
// thread, a thread_local with a destructor has the C library register that
// destructor, and when the registration finds no memory the C library
// aborts the process; a thread_local whose constructor throws at first use
// aborts it as well. Neither can be caught. Here a thread holds one plain
// pointer per kind of object (in the thread's static storage, made with the
// thread), an object is made on its first use or by PrepareThreadScratch,
// a failure to make it goes to AllocationFailed (core/parallel.h), and the
// objects are destroyed when the thread ends, through one thread-specific
// key made at start-up (setting it allocates nothing).
#pragma once

#include <cstddef>
#include <new>

namespace thread_scratch_detail {
constexpr int kMaxKinds = 16;
// The cache line size the objects are aligned to.
constexpr size_t kScratchLine = 64;
// Plain thread storage (__thread: no initialisation at first use, so no
// wrapper call on each access).
extern __thread void* t_objects[kMaxKinds];
// Registers a kind (during static initialisation); returns its index.
int RegisterKind(void* (*make)(), void (*destroy)(void*));
// Makes the calling thread's object of `kind`; AllocationFailed when it
// cannot be had.
void* Make(int kind);
}  // namespace thread_scratch_detail

// One object of type T per thread. Instances are namespace-scope objects
// (their kind is registered by the constructor, before main), never used
// during static initialisation.
template <class T>
class ThreadScratch {
 public:
  ThreadScratch() : kind_(thread_scratch_detail::RegisterKind(&MakeObject, &DestroyObject)) {}
  ThreadScratch(const ThreadScratch&) = delete;
  ThreadScratch& operator=(const ThreadScratch&) = delete;

  // The calling thread's object, made now if the thread has none.
  T& Get() {
    void* object = thread_scratch_detail::t_objects[kind_];
    if (__builtin_expect(object == nullptr, 0)) object = thread_scratch_detail::Make(kind_);
    return *static_cast<T*>(object);
  }
  // The calling thread's object, or null when it has none yet.
  T* Find() const { return static_cast<T*>(thread_scratch_detail::t_objects[kind_]); }

 private:
  // Each object takes whole cache lines of its own: the threads share one
  // arena of the C allocator, so objects made side by side by the workers
  // of a team would otherwise share lines that every node visit writes.
  struct alignas(thread_scratch_detail::kScratchLine) Padded {
    T object;
  };
  static void* MakeObject() { return &(new Padded())->object; }
  static void DestroyObject(void* object) { delete reinterpret_cast<Padded*>(object); }
  const int kind_;
};

// Makes every kind of object the calling thread does not hold yet. False
// when memory is short (the objects made stay, and are used later).
bool PrepareThreadScratch() noexcept;
