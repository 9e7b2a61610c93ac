#include "pyutil.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include <pthread.h>

#include "interrupt.hpp"

namespace vorna::py {
namespace {

// Re-raises a pending TypeError or OverflowError with the same type and
// "argument '{name}': " in front of its message. Anything else raised while
// converting (a KeyboardInterrupt, an error of the caller's own __index__)
// passes through untouched.
bool prefix_pending_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref(type), value_ref(value), tb_ref(traceback);
  Ref text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!text) {
    PyErr_Clear();
    text = Ref(PyUnicode_FromString("invalid value"));
  }
  PyErr_Format(type ? type : PyExc_TypeError, "argument '%s': %U", name, text.get());
  return false;
}

bool type_error(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, Py_TYPE(got)->tp_name);
  return false;
}

// Whether `obj` is a NumPy masked array with a masked entry, whose value
// there is not data (often a sentinel such as -999); false with an exception
// set when asking fails. NumPy loads numpy.ma only on first use, so without it
// in sys.modules no masked array exists.
bool masked_entries(PyObject* obj, bool& masked) {
  masked = false;
  if (PyArray_CheckExact(obj)) return true;
  PyObject* ma = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy.ma");  // borrowed
  if (ma == nullptr) return true;
  Ref cls(PyObject_GetAttrString(ma, "MaskedArray"));
  if (!cls) return false;
  const int is_masked_array = PyObject_IsInstance(obj, cls.get());
  if (is_masked_array <= 0) return is_masked_array == 0;
  Ref count(PyObject_CallMethod(ma, "count_masked", "O", obj));
  if (!count) return false;
  const long entries = PyLong_AsLong(count.get());
  if (entries == -1 && PyErr_Occurred()) return false;
  masked = entries > 0;
  return true;
}

// Accepts an ndarray of native-endian float64 with `ndim` dimensions.
PyArrayObject* as_float64_array(PyObject* obj, const char* name, int ndim, const char* expected) {
  if (!PyArray_Check(obj)) {
    type_error(name, expected, obj);
    return nullptr;
  }
  bool masked = false;
  if (!masked_entries(obj, masked)) return nullptr;
  if (masked) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': a masked array with masked entries, whose values are not data; fill them "
                 "(%s.filled(value)) or drop those rows",
                 name, name);
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (descr->type_num != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr)) {
    Ref dtype_text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    if (!dtype_text) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got an array of dtype %U", name, expected,
                 dtype_text.get());
    return nullptr;
  }
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got an array with %d dimension(s)", name, expected,
                 PyArray_NDIM(arr));
    return nullptr;
  }
  return arr;
}

double read_double(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);  // arrays may be unaligned
  return v;
}

bool is_sequence_not_str(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, got str", name);
    return false;
  }
  if (!PySequence_Check(obj)) return type_error(name, "a sequence", obj);
  return true;
}

// Calls convert(item, index) for each item of a sequence.
template <class F>
bool for_each_item(PyObject* obj, const char* name, F convert) {
  if (!is_sequence_not_str(obj, name)) return false;
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return prefix_pending_error(name);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return prefix_pending_error(name);
    if (!convert(item.get(), static_cast<std::size_t>(i))) return false;
  }
  return true;
}

}  // namespace

bool to_matrix(PyObject* obj, const char* name, Matrix& out) {
  static constexpr const char* kExpected = "a 2-dimensional NumPy array of dtype float64";
  PyArrayObject* arr = as_float64_array(obj, name, 2, kExpected);
  if (!arr) return false;
  const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
  const npy_intp rs = PyArray_STRIDE(arr, 0);
  const npy_intp cs = PyArray_STRIDE(arr, 1);
  const char* base = PyArray_BYTES(arr);
  Matrix m(rows, cols);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<npy_intp>(i) * rs;
    double* dst = m.row_ptr(i);
    for (std::size_t j = 0; j < cols; ++j) dst[j] = read_double(row + static_cast<npy_intp>(j) * cs);
  }
  out = std::move(m);
  return true;
}

bool to_vector(PyObject* obj, const char* name, Vector& out) {
  static constexpr const char* kExpected = "a 1-dimensional NumPy array of dtype float64";
  PyArrayObject* arr = as_float64_array(obj, name, 1, kExpected);
  if (!arr) return false;
  const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  const char* base = PyArray_BYTES(arr);
  Vector v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = read_double(base + static_cast<npy_intp>(i) * stride);
  out = std::move(v);
  return true;
}

bool to_matrix_list(PyObject* obj, const char* name, std::vector<Matrix>& out) {
  std::vector<Matrix> result;
  bool ok = for_each_item(obj, name, [&](PyObject* item, std::size_t) {
    Matrix m;
    if (!to_matrix(item, name, m)) return false;
    result.push_back(std::move(m));
    return true;
  });
  if (ok) out = std::move(result);
  return ok;
}

bool to_count_list(PyObject* obj, const char* name, std::vector<std::size_t>& out) {
  std::vector<std::size_t> result;
  bool ok = for_each_item(obj, name, [&](PyObject* item, std::size_t) {
    std::size_t v = 0;
    if (!to_count(item, name, v)) return false;
    result.push_back(v);
    return true;
  });
  if (ok) out = std::move(result);
  return ok;
}

bool to_real_list(PyObject* obj, const char* name, Vector& out) {
  Vector result;
  bool ok = for_each_item(obj, name, [&](PyObject* item, std::size_t) {
    double v = 0.0;
    if (!to_real(item, name, v)) return false;
    result.push_back(v);
    return true;
  });
  if (ok) out = std::move(result);
  return ok;
}

bool to_string_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
  std::vector<std::string> result;
  bool ok = for_each_item(obj, name, [&](PyObject* item, std::size_t) {
    std::string v;
    if (!to_string(item, name, v)) return false;
    result.push_back(std::move(v));
    return true;
  });
  if (ok) out = std::move(result);
  return ok;
}

bool to_string(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error(name, "str", obj);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': str is not valid UTF-8", name);
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool to_count(PyObject* obj, const char* name, std::size_t& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) return prefix_pending_error(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_pending_error(name);
  if (v > std::numeric_limits<std::size_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int too large to convert", name);
    return false;
  }
  out = static_cast<std::size_t>(v);
  return true;
}

bool to_real(PyObject* obj, const char* name, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return prefix_pending_error(name);
  out = v;
  return true;
}

bool to_flag(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = (obj == Py_True);
    return true;
  }
  if (PyArray_IsScalar(obj, Bool)) {
    out = PyArrayScalar_VAL(obj, Bool) != 0;
    return true;
  }
  return type_error(name, "bool", obj);
}

bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::string s;
  if (!to_string(obj, name, s)) return false;
  out = std::move(s);
  return true;
}

bool to_optional_count(PyObject* obj, const char* name, std::optional<std::size_t>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::size_t v = 0;
  if (!to_count(obj, name, v)) return false;
  out = v;
  return true;
}

PyObject* new_array(const Vector& v) {
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  if (!v.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), v.data(), v.size() * sizeof(double));
  }
  return arr;
}

namespace {
constexpr const char* kAdoptedVector = "vorna.adopted_vector";

template <class V>
void free_adopted(PyObject* capsule) {
  delete static_cast<V*>(PyCapsule_GetPointer(capsule, kAdoptedVector));
}

// A 1-D array over the vector's own memory, which a capsule (the array's
// base) frees with the array.
template <class V>
PyObject* adopt(V&& v) {
  if (v.empty()) {
    npy_intp dims[1] = {0};
    return PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  }
  auto owned = std::make_unique<V>(std::move(v));
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  Ref capsule(PyCapsule_New(owned.get(), kAdoptedVector, free_adopted<V>));
  if (!capsule) return nullptr;
  V* data = owned.release();  // the capsule frees it from here on
  Ref arr(PyArray_SimpleNewFromData(1, dims, NPY_DOUBLE, data->data()));
  if (!arr) return nullptr;
  // SetBaseObject steals the reference to the capsule, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0) return nullptr;
  return arr.release();
}
}  // namespace

PyObject* adopt_array(Vector&& v) { return adopt(std::move(v)); }
PyObject* adopt_array(RowBuffer&& v) { return adopt(std::move(v)); }

PyObject* new_array(const Matrix& m) {
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
  PyObject* arr = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  if (m.rows() * m.cols() > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), m.data(), m.rows() * m.cols() * sizeof(double));
  }
  return arr;
}

PyObject* raise_error(const GamError& error, const char* prefix) {
  if (error.kind == GamErrorKind::Interrupted) {
    // The signal handler has set the exception (KeyboardInterrupt) already;
    // a computation stopped because the interpreter exits ends its thread.
    if (!PyErr_Occurred()) {
      if (interpreter_exiting()) {
        PyErr_SetString(PyExc_SystemExit, "the interpreter exits: the computation was stopped");
      } else {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
    }
    return nullptr;
  }
  return raise_value_error(std::string(prefix) + error.display());
}

namespace {
// The exit. The thread that runs it (the main thread unless an exit handler
// of ours says otherwise) may go on fitting and predicting, in exit handlers
// and finalizers. For other threads the exit has two stages:
//  - exit handlers (`g_exiting`, set by ours): such a thread keeps the GIL
//    through a computation it starts (so that it never waits for the GIL
//    inside one: a wait the shutdown could end by killing the thread, see
//    may_take_gil), and a daemon thread's computations stop at their next
//    check, their calls raising SystemExit, which ends the thread quietly and
//    lets go of what it holds. Our handler waits for computations in flight
//    to come back, so none is left when the shutdown begins.
//  - the shutdown (the interpreter finalizing): one still in flight (a step
//    that outlasted kExitWait) stops, and parks instead of taking the GIL.
std::atomic<bool> g_exiting{false};
std::atomic<unsigned long> g_exit_thread{0};
// Computations in flight with the GIL released, in every thread; a section
// counts until it holds the GIL again.
std::atomic<long> g_released{0};
// How long our exit handler waits for them.
constexpr auto kExitWait = std::chrono::seconds(5);

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

bool exit_thread() { return PyThread_get_thread_ident() == g_exit_thread.load(); }

// Whether this thread may not take the GIL: the shutdown would kill it there.
bool gil_forbidden() { return finalizing() && !exit_thread(); }

// Whether this thread is one that `threading` does not wait for at exit: a
// daemon thread, or one it did not start. Needs the GIL.
bool daemon_thread() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);  // a pending exception stays as it was
  Ref threading(PyImport_ImportModule("threading"));
  Ref current(threading ? PyObject_CallMethod(threading.get(), "current_thread", nullptr) : nullptr);
  Ref daemon(current ? PyObject_GetAttrString(current.get(), "daemon") : nullptr);
  const bool answer = !daemon || PyObject_IsTrue(daemon.get()) != 0;
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return answer;
}

// Whether a daemon thread's computation stops for the exit. Needs the GIL.
bool stopped_for_exit() {
  if (!(g_exiting.load() || finalizing()) || exit_thread()) return false;
  thread_local const bool daemon = daemon_thread();  // fixed for the thread's life
  return daemon;
}

// A fork copies the count of sections in flight, but only the forking thread,
// which is in none (it holds the GIL), lives on in the child.
void after_fork_in_child() { g_released.store(0); }
}  // namespace

bool interpreter_exiting() { return stopped_for_exit(); }

GilRelease::GilRelease() {
  // Read under the GIL, as our exit handler sets it: a section either counts
  // before the handler waits, or sees the flag.
  if (g_exiting.load() && !exit_thread()) return;
  g_released.fetch_add(1);
  state_ = PyEval_SaveThread();
}

GilRelease::~GilRelease() {
  if (state_ == nullptr) return;
  if (gil_forbidden()) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  PyEval_RestoreThread(state_);
  g_released.fetch_sub(1);
}

bool may_take_gil() { return !gil_forbidden(); }

namespace {
bool check_signals() {
  if (gil_forbidden()) return true;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool stop = stopped_for_exit() || PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return stop;
}

// Our `atexit` handler (after non-daemon threads are joined, before the
// shutdown frees anything; see the exit above): it waits, with the GIL
// released, for computations in flight in other threads to come back, so
// that none is left when the shutdown frees the objects they read and the
// process's libraries run their exit handlers.
PyObject* stop_computations_at_exit(PyObject*, PyObject*) {
  g_exit_thread.store(PyThread_get_thread_ident());
  g_exiting.store(true);
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (g_released.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    Py_END_ALLOW_THREADS;
    if (PyErr_CheckSignals() != 0) return nullptr;  // Ctrl-C ends the wait
  }
  Py_RETURN_NONE;
}

PyMethodDef g_exit_handler = {"_stop_computations_at_exit", stop_computations_at_exit, METH_NOARGS, nullptr};

// The main thread: the exit's thread until our handler says otherwise (it
// does not run when the module was first imported by another exit handler).
unsigned long main_thread_ident() {
  Ref threading(PyImport_ImportModule("threading"));
  Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  PyErr_Clear();
  return value;
}
}  // namespace

bool install_interrupt_check() {
  set_interrupt_check(&check_signals);
  if (!g_exiting.load()) g_exit_thread.store(main_thread_ident());
  static const bool forks_reset = pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;
  static_cast<void>(forks_reset);
  Ref atexit(PyImport_ImportModule("atexit"));
  Ref handler(atexit ? PyCFunction_New(&g_exit_handler, nullptr) : nullptr);
  Ref done(handler ? PyObject_CallMethod(atexit.get(), "register", "O", handler.get()) : nullptr);
  return static_cast<bool>(done);
}

// Built with an explicit length so that a message quoting user text with an
// embedded NUL is not cut short.
PyObject* raise_value_error(const std::string& message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
  }
  return nullptr;
}

}  // namespace vorna::py
