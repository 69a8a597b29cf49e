#pragma once

#include <atomic>

// The one way to ask running work to stop at its next step: the launcher owns one, and
// every routine, transfer and extraction it starts reads it. Once requested it stays so.
class StopToken {
 public:
  void request() { requested_.store(true, std::memory_order_relaxed); }
  bool requested() const { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
};
