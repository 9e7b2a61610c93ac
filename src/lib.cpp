// The Python module `vorna_core`: the GAM class (with pickling and copying),
// the module functions, the conversion of arguments into owned data and of
// library errors into Python exceptions. Nothing else in the project knows
// Python exists.
#define VORNA_NUMPY_INIT_TU
#include "pyutil.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "family.hpp"
#include "gam.hpp"
#include "linalg.hpp"
#include "penalty.hpp"
#include "newton_optimizer.hpp"
#include "reml.hpp"
#include "reml_hessian.hpp"

namespace {

using vorna::GamError;
using vorna::Matrix;
using vorna::Vector;
namespace py = vorna::py;

constexpr const char* kNotFitted = "Model not fitted yet";

// ---- The GAM object and its access rule ------------------------------------

struct GamObject {
  PyObject_HEAD vorna::GamModel* model;
  int borrow;  // see py::Access
};

GamObject* as_gam(PyObject* self) { return reinterpret_cast<GamObject*>(self); }

PyObject* gam_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"family", nullptr};
  PyObject* family_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:GAM", const_cast<char**>(kwlist), &family_obj)) return nullptr;
  std::optional<std::string> family_name;
  if (!py::to_optional_string(family_obj, "family", family_name)) return nullptr;
  const std::string name = family_name.value_or("gaussian");
  const std::optional<vorna::Family> family = vorna::family_from_name(name);
  if (!family) {
    return py::raise_value_error("Unknown family '" + name + "'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'");
  }
  auto model = std::make_unique<vorna::GamModel>(*family);
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_gam(obj)->model = model.release();
  as_gam(obj)->borrow = 0;
  return obj;
  VORNA_PY_END
}

void gam_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_gam(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Methods -----------------------------------------------------------------

PyObject* raise_failure(const vorna::Failure& failure) {
  if (const vorna::GamError* error = failure.gam_error()) return py::raise_error(*error);
  return py::raise_value_error(failure.display());
}

// The result dict of a fit. The cached pipeline adds "all_lambdas", which is
// the very same array object as "lambda".
// The fitted values (n entries) are handed over, not copied.
PyObject* fit_result_dict(vorna::FitSummary& summary, bool with_all_lambdas) {
  py::Ref lambda(py::new_array(summary.lambda));
  py::Ref deviance(PyFloat_FromDouble(summary.deviance));
  py::Ref fitted_values(py::adopt_array(std::move(summary.fitted_values)));
  py::Ref dict(PyDict_New());
  if (!lambda || !deviance || !fitted_values || !dict) return nullptr;
  if (PyDict_SetItemString(dict.get(), "lambda", lambda.get()) < 0) return nullptr;
  if (with_all_lambdas && PyDict_SetItemString(dict.get(), "all_lambdas", lambda.get()) < 0) return nullptr;
  if (PyDict_SetItemString(dict.get(), "deviance", deviance.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "fitted_values", fitted_values.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "fitted", Py_True) < 0)
    return nullptr;
  return dict.release();
}

// vorna_core.ConvergenceWarning, a UserWarning; created at module import.
PyObject* g_convergence_warning = nullptr;

// The fit has already been stored: a warning that the filters turn into an
// exception reaches the caller, with the model fitted.
PyObject* fit_outcome(vorna::Result<vorna::FitSummary, vorna::Failure> outcome, bool cached) {
  if (!outcome) return raise_failure(outcome.error());
  for (const std::string& text : outcome.value().warnings)
    if (PyErr_WarnEx(g_convergence_warning, text.c_str(), 1) < 0) return nullptr;
  return fit_result_dict(outcome.value(), cached);
}

PyObject* gam_add_cubic_spline(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"var_name", "num_basis", "x_min", "x_max", nullptr};
  PyObject *name_obj, *k_obj, *min_obj, *max_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:add_cubic_spline", const_cast<char**>(kwlist), &name_obj, &k_obj,
                                   &min_obj, &max_obj))
    return nullptr;
  std::string var_name;
  std::size_t num_basis = 0;
  double x_min = 0.0, x_max = 0.0;
  if (!py::to_string(name_obj, "var_name", var_name) || !py::to_count(k_obj, "num_basis", num_basis) ||
      !py::to_real(min_obj, "x_min", x_min) || !py::to_real(max_obj, "x_max", x_max))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  auto smooth = vorna::bspline_smooth_from_range(var_name, num_basis, x_min, x_max);
  if (!smooth) return py::raise_error(smooth.error());
  as_gam(self)->model->add_smooth(std::move(smooth).value());
  Py_RETURN_NONE;
  VORNA_PY_END
}

// The arguments shared by the fit methods, converted in parameter order.
struct FitArgs {
  Matrix x;
  Vector y;
  std::vector<std::size_t> k;
  std::string method = "REML";
  std::optional<std::string> bs;
  std::optional<std::size_t> max_iter;
  std::string formula;
};

PyObject* gam_fit_auto_optimized_impl(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                                      bool method_required) {
  static const char* kwlist[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *k_obj, *method_obj = nullptr, *bs_obj = nullptr, *iter_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &x_obj, &y_obj, &k_obj,
                                   &method_obj, &bs_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) || !py::to_count_list(k_obj, "k", a.k))
    return nullptr;
  if ((method_required || method_obj) && !py::to_string(method_obj, "method", a.method)) return nullptr;
  if (!py::to_optional_string(bs_obj, "bs", a.bs) || !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  vorna::GamModel& model = *as_gam(self)->model;
  auto outcome = py::without_gil(
      [&] { return model.fit_model_cached(std::move(a.x), a.y, a.k, a.method, a.bs.value_or("bs"), a.max_iter); });
  return fit_outcome(std::move(outcome), true);
}

PyObject* gam_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  return gam_fit_auto_optimized_impl(self, args, kwargs, "OOO|OOO:fit", false);
  VORNA_PY_END
}

PyObject* gam_fit_auto_optimized(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  return gam_fit_auto_optimized_impl(self, args, kwargs, "OOOO|OO:fit_auto_optimized", true);
  VORNA_PY_END
}

PyObject* gam_fit_manual(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "method", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *method_obj, *iter_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:fit_manual", const_cast<char**>(kwlist), &x_obj, &y_obj,
                                   &method_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_string(method_obj, "method", a.method) || !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  vorna::GamModel& model = *as_gam(self)->model;
  auto outcome = py::without_gil([&] { return model.fit_model(std::move(a.x), a.y, a.method, a.max_iter); });
  return fit_outcome(std::move(outcome), false);
  VORNA_PY_END
}

PyObject* gam_fit_auto(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *k_obj, *method_obj, *bs_obj, *iter_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:fit_auto", const_cast<char**>(kwlist), &x_obj, &y_obj, &k_obj,
                                   &method_obj, &bs_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) || !py::to_count_list(k_obj, "k", a.k) ||
      !py::to_string(method_obj, "method", a.method) || !py::to_optional_string(bs_obj, "bs", a.bs) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  vorna::GamModel& model = *as_gam(self)->model;
  if (a.k.size() != a.x.cols()) {
    return py::raise_value_error("k length (" + std::to_string(a.k.size()) + ") must match number of columns (" +
                                 std::to_string(a.x.cols()) + ")");
  }
  vorna::GamModel::SmoothList before = model.smooth_list();
  auto setup = model.setup_smooths(a.x, a.k, a.bs.value_or("bs"));
  if (!setup) return raise_failure(setup.error());
  auto outcome = py::without_gil([&] { return model.fit_model(std::move(a.x), a.y, a.method, a.max_iter); });
  // Ctrl-C leaves the model as it was, smooths included.
  if (!outcome && outcome.error().interrupted()) model.restore_smooths(std::move(before));
  return fit_outcome(std::move(outcome), false);
  VORNA_PY_END
}

PyObject* gam_fit_formula(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "formula", "method", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *formula_obj, *method_obj, *iter_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:fit_formula", const_cast<char**>(kwlist), &x_obj, &y_obj,
                                   &formula_obj, &method_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_string(formula_obj, "formula", a.formula) || !py::to_string(method_obj, "method", a.method) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  vorna::GamModel& model = *as_gam(self)->model;
  auto outcome =
      py::without_gil([&] { return model.fit_formula(std::move(a.x), a.y, a.formula, a.method, a.max_iter); });
  return fit_outcome(std::move(outcome), false);
  VORNA_PY_END
}

PyObject* gam_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", nullptr};
  PyObject* x_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict", const_cast<char**>(kwlist), &x_obj)) return nullptr;
  Matrix x;
  if (!py::to_matrix(x_obj, "x", x)) return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  const vorna::GamModel& model = *as_gam(self)->model;
  auto mu = py::without_gil([&] { return model.predict_response(x); });
  if (!mu) return py::raise_error(mu.error());
  return py::new_array(mu.value());
  VORNA_PY_END
}

// Getters: shared access; "Model not fitted yet" while the field is absent.
template <class Field, class Convert>
PyObject* get_field(PyObject* self, Field field, Convert convert) {
  VORNA_PY_BEGIN
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  const auto& value = field(*as_gam(self)->model);
  if (!value) return py::raise_value_error(kNotFitted);
  return convert(*value);
  VORNA_PY_END
}

PyObject* gam_get_lambda(PyObject* self, PyObject*) {
  return get_field(
      self, [](const vorna::GamModel& m) -> const auto& { return m.lambdas(); },
      [](const Vector& v) -> PyObject* {
        if (v.empty()) return py::raise_value_error("Model has no smoothing parameters");
        return PyFloat_FromDouble(v.front());
      });
}

PyObject* gam_get_all_lambdas(PyObject* self, PyObject*) {
  return get_field(
      self, [](const vorna::GamModel& m) -> const auto& { return m.lambdas(); },
      [](const Vector& v) { return py::new_array(v); });
}

PyObject* gam_get_fitted_values(PyObject* self, PyObject*) {
  return get_field(
      self, [](const vorna::GamModel& m) -> const auto& { return m.fitted_values(); },
      [](const Vector& v) { return py::new_array(v); });
}

PyObject* gam_get_coefficients(PyObject* self, PyObject*) {
  return get_field(
      self, [](const vorna::GamModel& m) -> const auto& { return m.coefficients(); },
      [](const Vector& v) { return py::new_array(v); });
}

// A fit may leave its model matrix to be made here, on first use (without
// the GIL: it is n × p of basis evaluations).
PyObject* gam_get_design_matrix(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  const vorna::GamModel& model = *as_gam(self)->model;
  auto made = py::without_gil([&] { return model.design_matrix(); });
  if (!made) return raise_failure(made.error());
  if (made.value() == nullptr) return py::raise_value_error(kNotFitted);
  return py::new_array(*made.value());
  VORNA_PY_END
}

PyObject* gam_get_family(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  const std::string_view name = vorna::family_name(as_gam(self)->model->family());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  VORNA_PY_END
}

// ---- Pickling and copying ------------------------------------------------------
// A GAM pickles as (_restore_gam, (state,)) with `state` a dict of plain
// Python and NumPy values (format 1):
//
//   {"format": 1, "family": str, "smooths_version": int, "fit": None | dict,
//    "smooths": [{"name": str, "basis": "cr" | "bs", "knots": 1-D float64,
//                 "penalty": 2-D float64, "lambda": float}, ...]}
//   fit: {"method": "REML" | "GCV", "use_fellner_schall": bool,
//         "smoothing_lambda", "lambdas", "coefficients", "fitted_values",
//         "linear_predictor", "working_weights": 1-D float64,
//         "design_matrix": 2-D float64, "deviance": float, "smooths_version": int}
//
// It mirrors vorna::GamState field for field. A change of this layout bumps
// kStateFormat; a state of any other format is refused, not guessed at.
// copy.copy and copy.deepcopy go through GamState without Python values in
// between; both give a model that shares nothing with the original.

constexpr long kStateFormat = 1;
constexpr const char* kRestoreFailed = "cannot restore a vorna_core.GAM: ";

// vorna_core.GAM and vorna_core._restore_gam; set at module import.
PyTypeObject* g_gam_type = nullptr;
PyObject* g_restore_gam = nullptr;

// A new Python object of `type` owning `model`.
PyObject* wrap_model(PyTypeObject* type, std::unique_ptr<vorna::GamModel> model) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_gam(obj)->model = model.release();
  as_gam(obj)->borrow = 0;
  return obj;
}

// The model's state, read under a shared access (without the GIL: it copies
// n-sized results and may make the n × p model matrix); false with an
// exception set.
bool read_state(PyObject* self, vorna::GamState& out) {
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return false;
  const vorna::GamModel& model = *as_gam(self)->model;
  auto state = py::without_gil([&] { return model.state(); });
  if (!state) {
    py::raise_error(state.error());
    return false;
  }
  out = std::move(state).value();
  return true;
}

// dict[key] = value, taking over the reference to value (which may be null
// after a failed constructor); false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  py::Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_count(std::size_t v) { return PyLong_FromSize_t(v); }

PyObject* smooth_to_python(const vorna::SmoothState& smooth) {
  py::Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const bool ok = put(dict.get(), "name", new_text(smooth.name)) &&
                  put(dict.get(), "basis", new_text(smooth.basis == vorna::BasisKind::CubicRegression ? "cr" : "bs")) &&
                  put(dict.get(), "knots", py::new_array(smooth.knots)) &&
                  put(dict.get(), "penalty", py::new_array(smooth.penalty)) &&
                  put(dict.get(), "lambda", PyFloat_FromDouble(smooth.lambda));
  return ok ? dict.release() : nullptr;
}

PyObject* fit_to_python(const vorna::FitState& fit) {
  py::Ref dict(PyDict_New());
  if (!dict) return nullptr;
  py::Ref fellner_schall(Py_NewRef(fit.smoothing.use_fellner_schall ? Py_True : Py_False));
  const bool ok = put(dict.get(), "method", new_text(vorna::smoothing_method_name(fit.smoothing.method))) &&
                  put(dict.get(), "use_fellner_schall", fellner_schall.release()) &&
                  put(dict.get(), "smoothing_lambda", py::new_array(fit.smoothing.lambda)) &&
                  put(dict.get(), "lambdas", py::new_array(fit.lambdas)) &&
                  put(dict.get(), "coefficients", py::new_array(fit.coefficients)) &&
                  put(dict.get(), "fitted_values", py::new_array(fit.fitted_values)) &&
                  put(dict.get(), "linear_predictor", py::new_array(fit.linear_predictor)) &&
                  put(dict.get(), "working_weights", py::new_array(fit.working_weights)) &&
                  put(dict.get(), "design_matrix", py::new_array(fit.design_matrix)) &&
                  put(dict.get(), "deviance", PyFloat_FromDouble(fit.deviance)) &&
                  put(dict.get(), "smooths_version", new_count(fit.smooths_version));
  return ok ? dict.release() : nullptr;
}

PyObject* state_to_python(const vorna::GamState& state) {
  py::Ref smooths(PyList_New(static_cast<Py_ssize_t>(state.smooths.size())));
  if (!smooths) return nullptr;
  for (std::size_t j = 0; j < state.smooths.size(); ++j) {
    PyObject* item = smooth_to_python(state.smooths[j]);
    if (!item) return nullptr;
    PyList_SET_ITEM(smooths.get(), static_cast<Py_ssize_t>(j), item);  // steals
  }
  py::Ref fit(state.fit ? fit_to_python(*state.fit) : Py_NewRef(Py_None));
  py::Ref dict(PyDict_New());
  if (!fit || !dict) return nullptr;
  const bool ok = put(dict.get(), "format", PyLong_FromLong(kStateFormat)) &&
                  put(dict.get(), "family", new_text(vorna::family_name(state.family))) &&
                  put(dict.get(), "smooths", smooths.release()) &&
                  put(dict.get(), "smooths_version", new_count(state.smooths_version)) &&
                  put(dict.get(), "fit", fit.release());
  return ok ? dict.release() : nullptr;
}

// ---- Reading a state back. Every reader returns false with ValueError
// "cannot restore a vorna_core.GAM: {path} ..." naming the offending field.

bool bad_state(const std::string& what) {
  py::raise_value_error(kRestoreFailed + what);
  return false;
}

// What a value is, for the messages: its type, or an array's dtype and dimensions.
std::string describe(PyObject* obj) {
  if (PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    py::Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    const char* text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!text) PyErr_Clear();
    return "an array of dtype " + std::string(text ? text : "?") + " with " + std::to_string(PyArray_NDIM(arr)) +
           " dimension(s)";
  }
  return Py_TYPE(obj)->tp_name;
}

std::string key_path(const std::string& path, const char* key) { return path + "['" + key + "']"; }

// A dict with exactly `keys`; `fields` receives a new reference to each value,
// in the order of `keys`.
template <std::size_t N>
bool read_dict(PyObject* obj, const std::string& path, const std::array<const char*, N>& keys,
               std::array<py::Ref, N>& fields) {
  if (!PyDict_Check(obj)) return bad_state(path + " must be a dict, got " + describe(obj));
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* value = PyDict_GetItemString(obj, keys[i]);  // borrowed
    if (!value) return bad_state(key_path(path, keys[i]) + " is missing");
    Py_INCREF(value);
    fields[i] = py::Ref(value);
  }
  if (PyDict_Size(obj) == static_cast<Py_ssize_t>(N)) return true;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!name) PyErr_Clear();
    if (name && std::any_of(keys.begin(), keys.end(), [&](const char* k) { return std::strcmp(k, name) == 0; }))
      continue;
    py::Ref text(PyObject_Repr(key));
    const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!shown) PyErr_Clear();
    return bad_state(path + " has an unexpected key " + (shown ? shown : "?"));
  }
  return bad_state(path + " has unexpected keys");
}

bool float64_array(PyObject* obj, const std::string& path, int ndim) {
  const bool ok = PyArray_Check(obj) && PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj))->type_num == NPY_DOUBLE &&
                  PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject*>(obj)) &&
                  PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim;
  if (ok) return true;
  return bad_state(path + " must be a " + std::to_string(ndim) + "-D NumPy array of dtype float64, got " +
                   describe(obj));
}

bool read_vector(PyObject* obj, const std::string& path, Vector& out) {
  return float64_array(obj, path, 1) && py::to_vector(obj, path.c_str(), out);
}

bool read_matrix(PyObject* obj, const std::string& path, Matrix& out) {
  return float64_array(obj, path, 2) && py::to_matrix(obj, path.c_str(), out);
}

bool read_real(PyObject* obj, const std::string& path, double& out) {
  if (!PyFloat_Check(obj)) return bad_state(path + " must be a float, got " + describe(obj));
  out = PyFloat_AS_DOUBLE(obj);
  return true;
}

bool read_count(PyObject* obj, const std::string& path, std::size_t& out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) return bad_state(path + " must be an int, got " + describe(obj));
  const std::size_t v = PyLong_AsSize_t(obj);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return bad_state(path + " must be a non-negative int that fits in size_t");
  }
  out = v;
  return true;
}

bool read_text(PyObject* obj, const std::string& path, std::string& out) {
  if (!PyUnicode_Check(obj)) return bad_state(path + " must be a str, got " + describe(obj));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) {
    PyErr_Clear();
    return bad_state(path + " is not valid UTF-8");
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool read_flag(PyObject* obj, const std::string& path, bool& out) {
  if (!PyBool_Check(obj)) return bad_state(path + " must be a bool, got " + describe(obj));
  out = obj == Py_True;
  return true;
}

bool read_smooth(PyObject* obj, const std::string& path, vorna::SmoothState& out) {
  static constexpr std::array<const char*, 5> kKeys = {"name", "basis", "knots", "penalty", "lambda"};
  std::array<py::Ref, 5> f;
  std::string basis;
  if (!read_dict(obj, path, kKeys, f) || !read_text(f[0].get(), key_path(path, "name"), out.name) ||
      !read_text(f[1].get(), key_path(path, "basis"), basis))
    return false;
  if (basis == "cr") {
    out.basis = vorna::BasisKind::CubicRegression;
  } else if (basis == "bs") {
    out.basis = vorna::BasisKind::BSpline;
  } else {
    return bad_state(key_path(path, "basis") + " must be 'cr' or 'bs', got '" + basis + "'");
  }
  return read_vector(f[2].get(), key_path(path, "knots"), out.knots) &&
         read_matrix(f[3].get(), key_path(path, "penalty"), out.penalty) &&
         read_real(f[4].get(), key_path(path, "lambda"), out.lambda);
}

bool read_fit(PyObject* obj, const std::string& path, vorna::FitState& out) {
  static constexpr std::array<const char*, 11> kKeys = {
      "method",           "use_fellner_schall", "smoothing_lambda", "lambdas",  "coefficients",   "fitted_values",
      "linear_predictor", "working_weights",    "design_matrix",    "deviance", "smooths_version"};
  std::array<py::Ref, 11> f;
  std::string method;
  if (!read_dict(obj, path, kKeys, f) || !read_text(f[0].get(), key_path(path, "method"), method)) return false;
  const std::optional<vorna::SmoothingMethod> parsed = vorna::parse_smoothing_method(method);
  if (!parsed) return bad_state(key_path(path, "method") + " must be 'REML' or 'GCV', got '" + method + "'");
  out.smoothing.method = *parsed;
  return read_flag(f[1].get(), key_path(path, "use_fellner_schall"), out.smoothing.use_fellner_schall) &&
         read_vector(f[2].get(), key_path(path, "smoothing_lambda"), out.smoothing.lambda) &&
         read_vector(f[3].get(), key_path(path, "lambdas"), out.lambdas) &&
         read_vector(f[4].get(), key_path(path, "coefficients"), out.coefficients) &&
         read_vector(f[5].get(), key_path(path, "fitted_values"), out.fitted_values) &&
         read_vector(f[6].get(), key_path(path, "linear_predictor"), out.linear_predictor) &&
         read_vector(f[7].get(), key_path(path, "working_weights"), out.working_weights) &&
         read_matrix(f[8].get(), key_path(path, "design_matrix"), out.design_matrix) &&
         read_real(f[9].get(), key_path(path, "deviance"), out.deviance) &&
         read_count(f[10].get(), key_path(path, "smooths_version"), out.smooths_version);
}

// The format number comes first: a state of another format is reported as
// such, whatever else it holds.
bool state_from_python(PyObject* obj, vorna::GamState& out) {
  const std::string path = "state";
  if (!PyDict_Check(obj)) return bad_state("the state must be a dict, got " + describe(obj));
  PyObject* format = PyDict_GetItemString(obj, "format");  // borrowed
  const long number = format && PyLong_Check(format) && !PyBool_Check(format) ? PyLong_AsLong(format) : -1;
  if (number == -1) PyErr_Clear();
  if (number != kStateFormat) {
    py::Ref shown(format ? PyObject_Repr(format) : PyUnicode_FromString("none"));
    const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (!text) PyErr_Clear();
    py::raise_value_error("cannot restore a vorna_core.GAM saved by another version (state format " +
                          std::string(text ? text : "?") + "; this version reads format " +
                          std::to_string(kStateFormat) + ")");
    return false;
  }
  static constexpr std::array<const char*, 5> kKeys = {"format", "family", "smooths", "smooths_version", "fit"};
  std::array<py::Ref, 5> f;
  std::string family;
  if (!read_dict(obj, path, kKeys, f) || !read_text(f[1].get(), key_path(path, "family"), family)) return false;
  const std::optional<vorna::Family> parsed = vorna::family_from_name(family);
  if (!parsed) return bad_state(key_path(path, "family") + " is not a family name: '" + family + "'");
  out.family = *parsed;
  const std::string smooths_path = key_path(path, "smooths");
  PyObject* smooths = f[2].get();
  if (!PyList_Check(smooths)) return bad_state(smooths_path + " must be a list, got " + describe(smooths));
  // The length is read afresh and each item held while it is read: the
  // readers run no Python code, but the list is not trusted to stay as it is.
  out.smooths.clear();
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(smooths); ++j) {
    py::Ref item(Py_NewRef(PyList_GET_ITEM(smooths, j)));
    vorna::SmoothState smooth;
    if (!read_smooth(item.get(), smooths_path + "[" + std::to_string(j) + "]", smooth)) return false;
    out.smooths.push_back(std::move(smooth));
  }
  if (!read_count(f[3].get(), key_path(path, "smooths_version"), out.smooths_version)) return false;
  out.fit.reset();
  if (f[4].get() != Py_None) {
    vorna::FitState fit;
    if (!read_fit(f[4].get(), key_path(path, "fit"), fit)) return false;
    out.fit = std::move(fit);
  }
  return true;
}

PyObject* gam_reduce(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  vorna::GamState state;
  if (!read_state(self, state)) return nullptr;
  PyObject* dict = state_to_python(state);
  if (!dict) return nullptr;
  return Py_BuildValue("(O(N))", g_restore_gam, dict);
  VORNA_PY_END
}

// copy.copy and copy.deepcopy: both give an independent model.
PyObject* copy_gam(PyObject* self) {
  vorna::GamState state;
  if (!read_state(self, state)) return nullptr;
  auto model = vorna::GamModel::from_state(std::move(state));
  if (!model) return py::raise_value_error(kRestoreFailed + model.error().message);
  return wrap_model(Py_TYPE(self), std::make_unique<vorna::GamModel>(std::move(model).value()));
}

PyObject* gam_copy(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  return copy_gam(self);
  VORNA_PY_END
}

PyObject* gam_deepcopy(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  return copy_gam(self);
  VORNA_PY_END
}

PyObject* restore_gam(PyObject*, PyObject* state_obj) {
  VORNA_PY_BEGIN
  vorna::GamState state;
  if (!state_from_python(state_obj, state)) return nullptr;
  auto model = vorna::GamModel::from_state(std::move(state));
  if (!model) return py::raise_value_error(kRestoreFailed + model.error().message);
  return wrap_model(g_gam_type, std::make_unique<vorna::GamModel>(std::move(model).value()));
  VORNA_PY_END
}

#define VORNA_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef g_gam_methods[] = {
    {"add_cubic_spline", VORNA_KW(gam_add_cubic_spline), METH_VARARGS | METH_KEYWORDS,
     "add_cubic_spline($self, var_name, num_basis, x_min, x_max)\n--\n\n"
     "Append one smooth to the model, for use with `fit_manual`.\n"
     "\n"
     "Despite the name, the smooth is a cubic B-spline: num_basis functions on\n"
     "num_basis - 2 knots spaced evenly over [x_min, x_max], penalized by the\n"
     "integrated squared second derivative. Smooths take the columns of x in the\n"
     "order they were added. Adding a smooth to a fitted model keeps its stored\n"
     "results, but `predict` refuses until the model is fitted again.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "var_name : str\n"
     "    Name of the smooth.\n"
     "num_basis : int\n"
     "    Number of basis functions, 4 <= num_basis <= 5000.\n"
     "x_min, x_max : float\n"
     "    Range over which the knots are spaced.\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    If num_basis is out of range.\n"
     "TypeError\n"
     "    If an argument has the wrong type."},
    {"fit", VORNA_KW(gam_fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, x, y, k, method=\"REML\", bs=None, max_iter=None)\n--\n\n"
     "Fit GAM with automatic smooth setup and all optimizations (recommended)\n"
     "\n"
     "This is the main fitting method with sensible defaults and best performance.\n"
     "It automatically sets up smooths for each column and uses all optimizations.\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    k: List of basis dimensions for each column (like k in vorna)\n"
     "    method: \"REML\" (default) or \"GCV\"\n"
     "    bs: Basis type: \"bs\" (B-splines, default) or \"cr\" (cubic regression splines)\n"
     "    max_iter: Maximum iterations (default: 10)\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit(X, y, k=[10, 15, 20])"},
    {"fit_manual", VORNA_KW(gam_fit_manual), METH_VARARGS | METH_KEYWORDS,
     "fit_manual($self, x, y, method, max_iter)\n--\n\n"
     "Low-level fit method for users who manually configure smooths\n"
     "\n"
     "Most users should use `fit()` instead, which provides automatic setup.\n"
     "This method is for advanced users who want full control over smooth configuration."},
    {"fit_auto", VORNA_KW(gam_fit_auto), METH_VARARGS | METH_KEYWORDS,
     "fit_auto($self, x, y, k, method, bs, max_iter)\n--\n\n"
     "Fit GAM with automatic smooth setup from k values\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    k: List of basis dimensions for each column (like k in vorna)\n"
     "    method: \"GCV\" or \"REML\"\n"
     "    bs: Basis type: \"bs\" (B-splines) or \"cr\" (cubic regression splines, vorna default)\n"
     "    max_iter: Maximum iterations\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit_auto(X, y, k=[10, 15, 20], method='REML', bs='cr')"},
    {"fit_auto_optimized", VORNA_KW(gam_fit_auto_optimized), METH_VARARGS | METH_KEYWORDS,
     "fit_auto_optimized($self, x, y, k, method, bs=None, max_iter=None)\n--\n\n"
     "Fit GAM with automatic smooth setup (optimized version with caching)\n"
     "\n"
     "Uses caching and improved algorithms for better performance"},
    {"fit_formula", VORNA_KW(gam_fit_formula), METH_VARARGS | METH_KEYWORDS,
     "fit_formula($self, x, y, formula, method, max_iter)\n--\n\n"
     "Fit GAM with formula-like syntax (vorna-style)\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    formula: Formula string like \"s(0, k=10) + s(1, k=15)\"\n"
     "    method: \"REML\" (default) or \"GCV\"\n"
     "    max_iter: Maximum iterations\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit_formula(X, y, formula=\"s(0, k=10) + s(1, k=15)\", method='REML')"},
    {"predict", VORNA_KW(gam_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, x)\n--\n\n"
     "Predicted means at new inputs.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "x : numpy.ndarray of float64, shape (n, d)\n"
     "    One column per smooth, in the order of the smooths. Outside its knot\n"
     "    range a smooth continues as a straight line.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "numpy.ndarray of float64, shape (n,)\n"
     "    The mean on the response scale: the inverse link (identity, logit,\n"
     "    log or inverse for gaussian, binomial, poisson, gamma) of the linear\n"
     "    predictor.\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    If the model has not been fitted, its smooths changed after the last\n"
     "    successful fit, x does not have one column per smooth, or x holds NaN\n"
     "    or infinite values.\n"
     "TypeError\n"
     "    If x is not a 2-D float64 NumPy array."},
    {"get_lambda", gam_get_lambda, METH_NOARGS,
     "get_lambda($self)\n--\n\n"
     "Smoothing parameter of the first smooth from the last successful fit.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "float\n"
     "    lambda of smooth 0; `get_all_lambdas` returns all of them.\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    \"Model not fitted yet\" before a successful fit; \"Model has no smoothing\n"
     "    parameters\" when the fit had no smooths."},
    {"get_all_lambdas", gam_get_all_lambdas, METH_NOARGS,
     "get_all_lambdas($self)\n--\n\nGet all smoothing parameters (for multi-variable GAMs)"},
    {"get_fitted_values", gam_get_fitted_values, METH_NOARGS,
     "get_fitted_values($self)\n--\n\n"
     "Fitted means at the rows of the last successful fit.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "numpy.ndarray of float64, shape (n,)\n"
     "    A new array on every call.\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    \"Model not fitted yet\" before a successful fit."},
    {"get_family", gam_get_family, METH_NOARGS,
     "get_family($self)\n--\n\nGet the family (distribution) used by this GAM"},
    {"get_coefficients", gam_get_coefficients, METH_NOARGS,
     "get_coefficients($self)\n--\n\nGet the fitted coefficients"},
    {"get_design_matrix", gam_get_design_matrix, METH_NOARGS,
     "get_design_matrix($self)\n--\n\nGet the design matrix (predictor matrix)"},
    {"__reduce__", gam_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Return the pickle recipe: ``vorna_core._restore_gam`` and the model's state as plain Python\n"
     "and NumPy values. A restored model predicts exactly as this one does."},
    {"__copy__", gam_copy, METH_NOARGS,
     "__copy__($self)\n--\n\nReturn an independent copy of the model (nothing is shared)."},
    {"__deepcopy__", gam_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nReturn an independent copy of the model, as ``__copy__`` does."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_gam_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gam_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gam_dealloc)},
    {Py_tp_methods, g_gam_methods},
    {Py_tp_doc, const_cast<char*>("GAM(family=None)\n--\n\nPython wrapper for GAM")},
    {0, nullptr},
};

PyType_Spec g_gam_spec = {"vorna_core.GAM", sizeof(GamObject), 0, Py_TPFLAGS_DEFAULT, g_gam_slots};

// ---- Module functions --------------------------------------------------------

PyObject* compute_penalty_matrix(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"basis_type", "num_basis", "knots", nullptr};
  PyObject *type_obj, *k_obj, *knots_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:compute_penalty_matrix", const_cast<char**>(kwlist), &type_obj,
                                   &k_obj, &knots_obj))
    return nullptr;
  std::string basis_type;
  std::size_t k = 0;
  if (!py::to_string(type_obj, "basis_type", basis_type) || !py::to_count(k_obj, "num_basis", k)) return nullptr;
  Vector knots;
  if (!py::to_vector(knots_obj, "knots", knots)) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(knots_obj);
  if (!PyArray_IS_C_CONTIGUOUS(arr) && !PyArray_IS_F_CONTIGUOUS(arr)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return nullptr;
  }
  auto penalty = vorna::compute_penalty_matrix(basis_type, k, knots);
  if (!penalty) return py::raise_error(penalty.error(), "Failed to compute penalty: ");
  return py::new_array(penalty.value());
  VORNA_PY_END
}

constexpr const char* kGradientFailed = "Gradient computation failed: ";

// The arguments (y, x, w, lambdas, penalties) of the two criterion functions.
struct CriterionArgs {
  Vector y, w, lambdas;
  Matrix x;
  std::vector<Matrix> penalties;
};

bool parse_criterion_args(PyObject* args, PyObject* kwargs, const char* format, CriterionArgs& a) {
  static const char* kwlist[] = {"y", "x", "w", "lambdas", "penalties", nullptr};
  PyObject *y_obj, *x_obj, *w_obj, *lambdas_obj, *penalties_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &y_obj, &x_obj, &w_obj,
                                   &lambdas_obj, &penalties_obj))
    return false;
  return py::to_vector(y_obj, "y", a.y) && py::to_matrix(x_obj, "x", a.x) && py::to_vector(w_obj, "w", a.w) &&
         py::to_real_list(lambdas_obj, "lambdas", a.lambdas) &&
         py::to_matrix_list(penalties_obj, "penalties", a.penalties);
}

PyObject* reml_gradient_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  CriterionArgs a;
  if (!parse_criterion_args(args, kwargs, "OOOOO:reml_gradient_multi_qr_py", a)) return nullptr;
  auto gradient = py::without_gil([&] { return vorna::reml_gradient_multi_qr(a.y, a.x, a.w, a.lambdas, a.penalties); });
  if (!gradient) return py::raise_error(gradient.error(), kGradientFailed);
  return py::new_array(gradient.value());
  VORNA_PY_END
}

PyObject* evaluate_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "lambdas", "k_values", nullptr};
  PyObject *x_obj, *y_obj, *lambdas_obj, *k_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:evaluate_gradient", const_cast<char**>(kwlist), &x_obj, &y_obj,
                                   &lambdas_obj, &k_obj))
    return nullptr;
  Matrix x;
  Vector y, lambdas;
  std::vector<std::size_t> k_values;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(y_obj, "y", y) ||
      !py::to_real_list(lambdas_obj, "lambdas", lambdas) || !py::to_count_list(k_obj, "k_values", k_values))
    return nullptr;
  if (k_values.size() > x.cols()) {
    return py::raise_value_error("k_values has " + std::to_string(k_values.size()) + " entries but x has only " +
                                 std::to_string(x.cols()) + " columns");
  }
  // The smooths, their model matrix and the gradient touch no Python object.
  bool set_up = false;
  auto gradient = py::without_gil([&]() -> vorna::Result<Vector> {
    std::vector<vorna::SmoothTerm> smooths;
    for (std::size_t i = 0; i < k_values.size(); ++i) {
      const auto [lo, hi] = vorna::finite_range(x.col(i));
      std::string name = "x";  // (appended: GCC 12 warns falsely of overlap for "x" + std::to_string(i) here)
      name += std::to_string(i);
      VORNA_TRY(smooth, vorna::cubic_regression_smooth(std::move(name), k_values[i], lo, hi));
      smooths.push_back(std::move(smooth));
    }
    VORNA_CHECK(vorna::check_model_size(x.rows(), vorna::total_basis(smooths), smooths.size()));
    set_up = true;
    const Matrix model = vorna::build_model_matrix(smooths, x);
    const std::vector<Matrix> penalties = vorna::embedded_penalties(smooths, model.cols());
    const Vector w(x.rows(), 1.0);
    return vorna::reml_gradient_multi_qr(y, model, w, lambdas, penalties);
  });
  if (!gradient) return py::raise_error(gradient.error(), set_up ? kGradientFailed : "");
  return py::new_array(gradient.value());
  VORNA_PY_END
}

PyObject* reml_hessian_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  CriterionArgs a;
  if (!parse_criterion_args(args, kwargs, "OOOOO:reml_hessian_multi_qr_py", a)) return nullptr;
  auto hessian = py::without_gil([&] { return vorna::reml_hessian_multi_qr(a.y, a.x, a.w, a.lambdas, a.penalties); });
  if (!hessian) return py::raise_error(hessian.error(), "Hessian computation failed: ");
  return py::new_array(hessian.value());
  VORNA_PY_END
}

PyObject* newton_pirls_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"y",        "x",       "w",    "initial_log_lambda", "penalties", "max_iter",
                                 "grad_tol", "verbose", nullptr};
  PyObject *y_obj, *x_obj, *w_obj, *rho_obj, *penalties_obj, *iter_obj, *tol_obj, *verbose_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO:newton_pirls_py", const_cast<char**>(kwlist), &y_obj, &x_obj,
                                   &w_obj, &rho_obj, &penalties_obj, &iter_obj, &tol_obj, &verbose_obj))
    return nullptr;
  Vector y, w, rho;
  Matrix x;
  std::vector<Matrix> penalties;
  vorna::NewtonConfig config;
  if (!py::to_vector(y_obj, "y", y) || !py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) ||
      !py::to_vector(rho_obj, "initial_log_lambda", rho) || !py::to_matrix_list(penalties_obj, "penalties", penalties))
    return nullptr;
  if (iter_obj != Py_None && !py::to_count(iter_obj, "max_iter", config.max_iter)) return nullptr;
  if (tol_obj != Py_None && !py::to_real(tol_obj, "grad_tol", config.grad_tol)) return nullptr;
  if (verbose_obj != Py_None && !py::to_flag(verbose_obj, "verbose", config.verbose)) return nullptr;
  auto outcome = py::without_gil([&] { return vorna::newton_pirls(config, y, x, w, rho, penalties); });
  if (!outcome) return py::raise_error(outcome.error(), "Newton-PIRLS optimization failed: ");
  const vorna::NewtonResult& r = outcome.value();
  py::Ref log_lambda(py::new_array(r.log_lambda));
  py::Ref lambda(py::new_array(r.lambda));
  if (!log_lambda || !lambda) return nullptr;
  return Py_BuildValue("(OOdnOs#)", log_lambda.get(), lambda.get(), r.reml, static_cast<Py_ssize_t>(r.iterations),
                       r.converged ? Py_True : Py_False, r.message.data(), static_cast<Py_ssize_t>(r.message.size()));
  VORNA_PY_END
}

PyMethodDef g_module_methods[] = {
    {"compute_penalty_matrix", VORNA_KW(compute_penalty_matrix), METH_VARARGS | METH_KEYWORDS,
     "compute_penalty_matrix(basis_type, num_basis, knots)\n--\n\n"
     "Compute penalty matrix for debugging/comparison\n"
     "Returns the raw penalty matrix for a given basis type"},
    {"evaluate_gradient", VORNA_KW(evaluate_gradient), METH_VARARGS | METH_KEYWORDS,
     "evaluate_gradient(x, y, lambdas, k_values)\n--\n\n"
     "Evaluate REML gradient at fixed lambda (for testing/comparison)\n"
     "Returns gradient vector"},
    {"reml_gradient_multi_qr_py", VORNA_KW(reml_gradient_multi_qr_py), METH_VARARGS | METH_KEYWORDS,
     "reml_gradient_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"
     "Gradient of the REML criterion with respect to the log smoothing parameters.\n"
     "\n"
     "The criterion has the scale profiled out and is evaluated at the given\n"
     "smoothing parameters through a QR factor of [sqrt(W) X; sqrt(lambda_j) L_j']\n"
     "with L_j L_j' = S_j.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "y : numpy.ndarray of float64, shape (n,)\n"
     "    Response.\n"
     "x : numpy.ndarray of float64, shape (n, p)\n"
     "    Model matrix.\n"
     "w : numpy.ndarray of float64, shape (n,)\n"
     "    Prior weights.\n"
     "lambdas : sequence of float, length m\n"
     "    The smoothing parameters themselves (not their logarithms).\n"
     "penalties : sequence of numpy.ndarray of float64, shape (p, p)\n"
     "    One symmetric penalty matrix per smoothing parameter.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "numpy.ndarray of float64, shape (m,)\n"
     "    d V / d log(lambda_j).\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    \"Gradient computation failed: ...\" for inconsistent sizes or a failed\n"
     "    decomposition.\n"
     "TypeError\n"
     "    If an argument has the wrong type."},
    {"reml_hessian_multi_qr_py", VORNA_KW(reml_hessian_multi_qr_py), METH_VARARGS | METH_KEYWORDS,
     "reml_hessian_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"
     "Exact Hessian of the REML criterion with respect to the log smoothing parameters.\n"
     "\n"
     "The derivative of `reml_gradient_multi_qr_py`, the dependence of the\n"
     "profiled scale on the smoothing parameters included.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "y, x, w, lambdas, penalties\n"
     "    As for `reml_gradient_multi_qr_py`.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "numpy.ndarray of float64, shape (m, m)\n"
     "    d2 V / d log(lambda_i) d log(lambda_j), exactly symmetric.\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    \"Hessian computation failed: ...\" for inconsistent sizes, a failed\n"
     "    decomposition or a singular factor.\n"
     "TypeError\n"
     "    If an argument has the wrong type."},
    {"newton_pirls_py", VORNA_KW(newton_pirls_py), METH_VARARGS | METH_KEYWORDS,
     "newton_pirls_py(y, x, w, initial_log_lambda, penalties, max_iter, grad_tol, verbose)\n--\n\n"
     "Minimize the REML criterion over log smoothing parameters by Newton's method.\n"
     "\n"
     "Each iteration uses the exact gradient and Hessian and a backtracking line\n"
     "search; the search stops when the Euclidean norm of the gradient falls below\n"
     "grad_tol. Stopping for any other reason is not an error: the result then\n"
     "reports converged=False and the reason.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "y, x, w, penalties\n"
     "    As for `reml_gradient_multi_qr_py`.\n"
     "initial_log_lambda : numpy.ndarray of float64, shape (m,)\n"
     "    Starting point, log(lambda).\n"
     "max_iter : int or None\n"
     "    Iteration limit; None means 100.\n"
     "grad_tol : float or None\n"
     "    Gradient-norm tolerance; None means 1e-6.\n"
     "verbose : bool or None\n"
     "    Trace every iteration on standard error; None means False.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "tuple\n"
     "    (log_lambda, lambda, reml, iterations, converged, message): the final\n"
     "    log(lambda) and lambda as arrays of shape (m,), the criterion there\n"
     "    (float), the number of iterations (int), whether the gradient test was\n"
     "    met (bool) and the reason for stopping (str).\n"
     "\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    \"Newton-PIRLS optimization failed: ...\" for inconsistent sizes, a failed\n"
     "    criterion, gradient or Hessian evaluation, or a Newton system that cannot\n"
     "    be solved.\n"
     "TypeError\n"
     "    If an argument has the wrong type."},
    {"_restore_gam", restore_gam, METH_O,
     "_restore_gam(state, /)\n--\n\n"
     "Rebuild a GAM from the state its ``__reduce__`` returned (used by pickle).\n"
     "Raises ValueError for a state of another format or a malformed one."},
    {nullptr, nullptr, 0, nullptr},
};

// The functions are added after the class, so the module's namespace lists GAM first.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "vorna_core", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vorna_core(void) {
  import_array();
  vorna::configure_blas_threads();
  if (!py::install_interrupt_check()) return nullptr;
  py::Ref module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* gam_type = PyType_FromSpec(&g_gam_spec);
  if (!gam_type) return nullptr;
  // The restore function builds objects of this type; the module keeps a
  // reference of its own for as long as the process runs.
  Py_XDECREF(reinterpret_cast<PyObject*>(g_gam_type));
  g_gam_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(gam_type));
  if (PyModule_AddObject(module.get(), "GAM", gam_type) < 0) {
    Py_DECREF(gam_type);
    return nullptr;
  }
  if (PyModule_AddFunctions(module.get(), g_module_methods) < 0) return nullptr;
  Py_XDECREF(g_restore_gam);
  g_restore_gam = PyObject_GetAttrString(module.get(), "_restore_gam");
  if (g_restore_gam == nullptr) return nullptr;
  if (g_convergence_warning == nullptr) {
    g_convergence_warning = PyErr_NewExceptionWithDoc(
        "vorna_core.ConvergenceWarning",
        "Issued when a fit stops on an iteration cap: the smoothing-parameter search, the outer loop of\n"
        "PiRLS and selection, or the final PiRLS fit. The fit's results are stored all the same.",
        PyExc_UserWarning, nullptr);
    if (g_convergence_warning == nullptr) return nullptr;
  }
  Py_INCREF(g_convergence_warning);
  if (PyModule_AddObject(module.get(), "ConvergenceWarning", g_convergence_warning) < 0) {
    Py_DECREF(g_convergence_warning);
    return nullptr;
  }
  return module.release();
}
