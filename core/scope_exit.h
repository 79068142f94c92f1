// Runs a piece of clean-up when the scope it stands in is left, however it
// is left: for work that must be given back when a command is refused in the
// middle (a std::bad_alloc passing through) as well as when it finishes.
#pragma once

#include <utility>

template <class Cleanup>
class ScopeExit {
 public:
  explicit ScopeExit(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
  ~ScopeExit() {
    if (armed_) cleanup_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  // The clean-up is not run (the scope's own path has done it).
  void Dismiss() { armed_ = false; }

 private:
  Cleanup cleanup_;
  bool armed_ = true;
};
