#include "interrupt.hpp"

#include <atomic>

namespace vorna {
namespace {
std::atomic<InterruptCheck> g_check{nullptr};
}  // namespace

void set_interrupt_check(InterruptCheck check) { g_check.store(check); }

bool interrupted() {
  const InterruptCheck check = g_check.load(std::memory_order_relaxed);
  return check != nullptr && check();
}

GamError interrupted_error() { return {GamErrorKind::Interrupted, "interrupted"}; }

}  // namespace vorna
