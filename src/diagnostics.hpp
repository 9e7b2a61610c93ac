// Diagnostic switches, the standard-error writer and the monotonic timer.
//
// A switch is an environment variable; it is on when the variable is set to
// any valid UTF-8 text, the empty string included. Callers look a switch up
// afresh before each line or block, so it may change during a run.
#pragma once

#include <chrono>
#include <string_view>

namespace vorna::diag {

inline constexpr const char* kProfile = "VORNA_PROFILE";
inline constexpr const char* kGradDebug = "VORNA_GRAD_DEBUG";
inline constexpr const char* kHessDebug = "VORNA_HESS_DEBUG";
inline constexpr const char* kTraceDebug = "VORNA_TRACE_DEBUG";
// The row passes' path: dense model-matrix blocks, or sparse rows wherever
// the model has them (otherwise chosen by cost; see row_pass.cpp).
inline constexpr const char* kDenseRows = "VORNA_DENSE_ROWS";
inline constexpr const char* kSparseRows = "VORNA_SPARSE_ROWS";
// Large fits start from a fit on a sample of their rows; this switch starts
// them from the response, as small ones (to compare the two).
inline constexpr const char* kColdStart = "VORNA_COLD_START";

bool enabled(const char* variable);

// Writes `text` followed by a newline to standard error in one write.
void line(std::string_view text);

// Writes `line(text)` when `variable` is switched on.
inline void line_if(const char* variable, std::string_view text) {
  if (enabled(variable)) line(text);
}

// Milliseconds on the monotonic clock since construction or the last restart().
class Timer {
 public:
  Timer() : start_(std::chrono::steady_clock::now()) {}
  void restart() { start_ = std::chrono::steady_clock::now(); }
  double elapsed_ms() const {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
    return static_cast<double>(ns) / 1e6;
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vorna::diag
