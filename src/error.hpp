// The library's one error type and the Result<T> that carries it.
//
// Nothing below the Python binding throws: every fallible routine returns a
// Result, and only the binding turns a GamError into a Python exception.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorna {

enum class GamErrorKind {
  DimensionMismatch,
  OptimizationFailed,
  SingularMatrix,
  InvalidParameter,
  LinAlgError,
  NotImplemented,
  Interrupted,  // a stop requested while computing (see interrupt.hpp)
};

struct GamError {
  GamErrorKind kind = GamErrorKind::InvalidParameter;
  std::string message;  // empty (and not shown) for SingularMatrix

  // The kind's fixed prefix followed by the message.
  std::string display() const;

  static GamError dimension_mismatch(std::string msg) { return {GamErrorKind::DimensionMismatch, std::move(msg)}; }
  static GamError optimization_failed(std::string msg) { return {GamErrorKind::OptimizationFailed, std::move(msg)}; }
  static GamError singular_matrix() { return {GamErrorKind::SingularMatrix, {}}; }
  static GamError invalid_parameter(std::string msg) { return {GamErrorKind::InvalidParameter, std::move(msg)}; }
  static GamError linalg_error(std::string msg) { return {GamErrorKind::LinAlgError, std::move(msg)}; }
  static GamError not_implemented(std::string msg) { return {GamErrorKind::NotImplemented, std::move(msg)}; }
};

// What the model-level operations (set-up, fit pipelines, the optimizer entry)
// report: a GamError, or a plain message that is not one of the GamError kinds
// ("method must be 'GCV' or 'REML'", ...). Both reach Python as ValueError
// with display() as the message.
struct Failure {
  std::variant<GamError, std::string> reason;

  Failure() = default;
  Failure(GamError error) : reason(std::move(error)) {}  // NOLINT: implicit by design
  static Failure message(std::string text) {
    Failure f;
    f.reason = std::move(text);
    return f;
  }
  std::string display() const {
    if (const auto* e = std::get_if<GamError>(&reason)) return e->display();
    return std::get<std::string>(reason);
  }
  const GamError* gam_error() const { return std::get_if<GamError>(&reason); }
  bool interrupted() const {
    const GamError* e = gam_error();
    return e != nullptr && e->kind == GamErrorKind::Interrupted;
  }
};

// A value of type T or an error of type E (a GamError unless a lower layer
// has its own error value). The member names follow std::expected so that a
// later move to C++23 is a rename.
template <class T, class E = GamError>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  // A lower layer's error passes up into a wider error type (GamError -> Failure).
  template <class E2>
    requires(!std::is_same_v<E2, E> && std::is_convertible_v<E2, E> && !std::is_convertible_v<E2, T>)
  Result(E2 error) : state_(std::in_place_index<1>, E(std::move(error))) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}  // NOLINT
  template <class E2>
    requires(!std::is_same_v<E2, E> && std::is_convertible_v<E2, E>)
  Result(E2 error) : error_(E(std::move(error))), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return !failed_; }
  void value() const {}
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace vorna

// Evaluates expr (a Result); on failure returns its error from the enclosing
// function, otherwise binds the value to a new variable `var`.
#define VORNA_TRY(var, expr)                                   \
  auto var##_result_ = (expr);                                 \
  if (!var##_result_) return std::move(var##_result_).error(); \
  auto var = std::move(var##_result_).value()

// For Result<void> (or when the value is not needed).
#define VORNA_CHECK(expr)                                                    \
  do {                                                                       \
    auto vorna_check_result_ = (expr);                                       \
    if (!vorna_check_result_) return std::move(vorna_check_result_).error(); \
  } while (0)
