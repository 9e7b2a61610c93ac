// Shared pieces of the Python bindings: reference handling, argument
// conversion into owned data, result arrays and error translation.
//
// Every translation unit that includes this header must be part of a Python
// extension; the numerical core never includes it. The unit that calls
// import_array() defines VORNA_NUMPY_INIT_TU before including.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vorna_ARRAY_API
#ifndef VORNA_NUMPY_INIT_TU
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#if defined(__GLIBCXX__)  // (defined by the standard headers above)
#include <cxxabi.h>       // abi::__forced_unwind
#endif

#include "error.hpp"
#include "matrix.hpp"

namespace vorna::py {

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* obj) : obj_(obj) {}  // steals
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Holds an access to an object for the duration of one call. The flag is 0
// when free, the number of shared accesses when positive, and -1 while one
// exclusive access is held. A conflicting request fails at once with
// RuntimeError; it never waits. The access is given back by the destructor,
// so every exit path releases it.
class Access {
 public:
  enum class Mode { Shared, Exclusive };

  Access(int& flag, Mode mode) : flag_(flag) {
    if (mode == Mode::Exclusive) {
      if (flag_ != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag_ = -1;
    } else {
      if (flag_ < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag_;
    }
    held_ = true;
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() {
    if (!held_) return;
    if (flag_ < 0)
      flag_ = 0;
    else
      --flag_;
  }
  explicit operator bool() const { return held_; }

 private:
  int& flag_;
  bool held_ = false;
};

// ---- Argument conversion ---------------------------------------------------
// Each converter returns false with a Python exception set on failure;
// messages start with "argument '{name}': ".

bool to_matrix(PyObject* obj, const char* name, Matrix& out);  // 2-D float64 array
bool to_vector(PyObject* obj, const char* name, Vector& out);  // 1-D float64 array
bool to_matrix_list(PyObject* obj, const char* name, std::vector<Matrix>& out);
bool to_count_list(PyObject* obj, const char* name, std::vector<std::size_t>& out);
bool to_real_list(PyObject* obj, const char* name, Vector& out);
bool to_string_list(PyObject* obj, const char* name, std::vector<std::string>& out);
bool to_string(PyObject* obj, const char* name, std::string& out);
bool to_count(PyObject* obj, const char* name, std::size_t& out);
bool to_real(PyObject* obj, const char* name, double& out);
bool to_flag(PyObject* obj, const char* name, bool& out);  // bool or NumPy bool

// Optional forms: None (or a missing argument, passed as nullptr) leaves `out` empty.
bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>& out);
bool to_optional_count(PyObject* obj, const char* name, std::optional<std::size_t>& out);

// ---- Results ----------------------------------------------------------------

PyObject* new_array(const Vector& v);
PyObject* new_array(const Matrix& m);
// A 1-D array over v's own buffer, which the array then owns: no copy, so a
// result of n entries is not held twice while it changes hands.
PyObject* adopt_array(Vector&& v);
PyObject* adopt_array(RowBuffer&& v);

// Raises ValueError(prefix + error.display()) and returns nullptr.
PyObject* raise_error(const GamError& error, const char* prefix = "");
// Raises ValueError(message) and returns nullptr.
PyObject* raise_value_error(const std::string& message);

// Converts a C++ exception escaping the core into a Python exception.
PyObject* raise_from_current_exception();

// ---- The GIL and interrupts ---------------------------------------------------

// Whether this thread's computation stops because the interpreter exits (a
// daemon thread, once the exit handlers run); its call then raises SystemExit.
// Needs the GIL.
bool interpreter_exiting();

// Whether this thread may take the GIL: not once the interpreter shuts down,
// for any thread but the one shutting it down (Python 3.11 would end it from
// inside the wait for the GIL with a forced unwinding, which cannot pass the
// C++ frames above it and aborts the process).
bool may_take_gil();

// Releases the GIL for its lifetime (and takes it back on every exit, an
// exception included). Code in its scope must not touch Python objects.
// Once the interpreter exits (see pyutil.cpp), a thread other than the
// exiting one keeps the GIL instead, and one that may no longer take it back
// parks in the destructor until the process ends.
class GilRelease {
 public:
  GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease();

 private:
  PyThreadState* state_ = nullptr;  // null while the GIL is kept
};

// f() with the GIL released, so that other Python threads run meanwhile.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease release;
  return std::forward<F>(f)();
}

// Lets the core's long loops notice Ctrl-C: installs a check that takes the
// GIL and runs the interpreter's pending signal handlers (a KeyboardInterrupt
// stays set for the binding to raise), and an exit handler that stops
// computations in daemon threads before the interpreter shuts down. Called
// from each module's init; false with an exception set when it fails.
bool install_interrupt_check();

}  // namespace vorna::py

// A daemon thread that Python ends at its shutdown (in any call into Python
// that waits for the GIL, as a warning or a callback may) unwinds with a
// forced unwinding, which must pass: swallowed, it aborts the process.
#if defined(__GLIBCXX__)
#define VORNA_PY_PASS_FORCED_UNWIND \
  catch (abi::__forced_unwind&) {   \
    throw;                          \
  }
#else
#define VORNA_PY_PASS_FORCED_UNWIND
#endif

// Wraps the body of every entry point so that no C++ exception reaches CPython.
#define VORNA_PY_BEGIN try {
#define VORNA_PY_END                                    \
  }                                                     \
  VORNA_PY_PASS_FORCED_UNWIND                           \
  catch (...) {                                         \
    return ::vorna::py::raise_from_current_exception(); \
  }
