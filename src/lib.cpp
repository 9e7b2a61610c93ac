// The Python module `vorna_core`: the GAM class, the module functions, the
// conversion of arguments into owned data and of library errors into Python
// exceptions. Nothing else in the project knows Python exists.
#define VORNA_NUMPY_INIT_TU
#include "pyutil.hpp"

#include <memory>
#include <optional>
#include <string>

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
  PyObject_HEAD
  vorna::GamModel* model;
  int borrow;  // see py::Access
};

GamObject* as_gam(PyObject* self) { return reinterpret_cast<GamObject*>(self); }

PyObject* gam_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"family", nullptr};
  PyObject* family_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:GAM", const_cast<char**>(kwlist), &family_obj))
    return nullptr;
  std::optional<std::string> family_name;
  if (!py::to_optional_string(family_obj, "family", family_name)) return nullptr;
  const std::string name = family_name.value_or("gaussian");
  const std::optional<vorna::Family> family = vorna::family_from_name(name);
  if (!family) {
    return py::raise_value_error("Unknown family '" + name +
                                 "'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'");
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

PyObject* raise_failure(const vorna::Failure& failure) { return py::raise_value_error(failure.display()); }

// The result dict of a fit. The cached pipeline adds "all_lambdas", which is
// the very same array object as "lambda".
PyObject* fit_result_dict(const vorna::FitSummary& summary, bool with_all_lambdas) {
  py::Ref lambda(py::new_array(summary.lambda));
  py::Ref deviance(PyFloat_FromDouble(summary.deviance));
  py::Ref fitted_values(py::new_array(summary.fitted_values));
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
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:add_cubic_spline", const_cast<char**>(kwlist),
                                   &name_obj, &k_obj, &min_obj, &max_obj))
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

PyObject* gam_fit_auto_optimized_impl(PyObject* self, PyObject* args, PyObject* kwargs,
                                      const char* format, bool method_required) {
  static const char* kwlist[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *k_obj, *method_obj = nullptr, *bs_obj = nullptr, *iter_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &x_obj, &y_obj,
                                   &k_obj, &method_obj, &bs_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_count_list(k_obj, "k", a.k))
    return nullptr;
  if ((method_required || method_obj) && !py::to_string(method_obj, "method", a.method)) return nullptr;
  if (!py::to_optional_string(bs_obj, "bs", a.bs) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  return fit_outcome(as_gam(self)->model->fit_model_cached(std::move(a.x), a.y, a.k, a.method,
                                                           a.bs.value_or("bs"), a.max_iter),
                     true);
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
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:fit_manual", const_cast<char**>(kwlist), &x_obj,
                                   &y_obj, &method_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_string(method_obj, "method", a.method) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  return fit_outcome(as_gam(self)->model->fit_model(std::move(a.x), a.y, a.method, a.max_iter), false);
  VORNA_PY_END
}

PyObject* gam_fit_auto(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *k_obj, *method_obj, *bs_obj, *iter_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:fit_auto", const_cast<char**>(kwlist), &x_obj,
                                   &y_obj, &k_obj, &method_obj, &bs_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_count_list(k_obj, "k", a.k) || !py::to_string(method_obj, "method", a.method) ||
      !py::to_optional_string(bs_obj, "bs", a.bs) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  vorna::GamModel& model = *as_gam(self)->model;
  if (a.k.size() != a.x.cols()) {
    return py::raise_value_error("k length (" + std::to_string(a.k.size()) +
                                 ") must match number of columns (" + std::to_string(a.x.cols()) + ")");
  }
  auto setup = model.setup_smooths(a.x, a.k, a.bs.value_or("bs"));
  if (!setup) return raise_failure(setup.error());
  return fit_outcome(model.fit_model(std::move(a.x), a.y, a.method, a.max_iter), false);
  VORNA_PY_END
}

PyObject* gam_fit_formula(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "formula", "method", "max_iter", nullptr};
  PyObject *x_obj, *y_obj, *formula_obj, *method_obj, *iter_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:fit_formula", const_cast<char**>(kwlist),
                                   &x_obj, &y_obj, &formula_obj, &method_obj, &iter_obj))
    return nullptr;
  FitArgs a;
  if (!py::to_matrix(x_obj, "x", a.x) || !py::to_vector(y_obj, "y", a.y) ||
      !py::to_string(formula_obj, "formula", a.formula) ||
      !py::to_string(method_obj, "method", a.method) ||
      !py::to_optional_count(iter_obj, "max_iter", a.max_iter))
    return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Exclusive);
  if (!access) return nullptr;
  return fit_outcome(
      as_gam(self)->model->fit_formula(std::move(a.x), a.y, a.formula, a.method, a.max_iter), false);
  VORNA_PY_END
}

PyObject* gam_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", nullptr};
  PyObject* x_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict", const_cast<char**>(kwlist), &x_obj))
    return nullptr;
  Matrix x;
  if (!py::to_matrix(x_obj, "x", x)) return nullptr;
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  auto mu = as_gam(self)->model->predict_response(x);
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

PyObject* gam_get_design_matrix(PyObject* self, PyObject*) {
  return get_field(
      self, [](const vorna::GamModel& m) -> const auto& { return m.design_matrix(); },
      [](const Matrix& x) { return py::new_array(x); });
}

PyObject* gam_get_family(PyObject* self, PyObject*) {
  VORNA_PY_BEGIN
  py::Access access(as_gam(self)->borrow, py::Access::Mode::Shared);
  if (!access) return nullptr;
  const std::string_view name = vorna::family_name(as_gam(self)->model->family());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  VORNA_PY_END
}

#define VORNA_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef g_gam_methods[] = {
    {"add_cubic_spline", VORNA_KW(gam_add_cubic_spline), METH_VARARGS | METH_KEYWORDS,
     "add_cubic_spline($self, var_name, num_basis, x_min, x_max)\n--\n\n"},
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
     "    bs: Basis type: \"cr\" (cubic regression splines, default) or \"bs\" (B-splines)\n"
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
    {"predict", VORNA_KW(gam_predict), METH_VARARGS | METH_KEYWORDS, "predict($self, x)\n--\n\n"},
    {"get_lambda", gam_get_lambda, METH_NOARGS, "get_lambda($self)\n--\n\n"},
    {"get_all_lambdas", gam_get_all_lambdas, METH_NOARGS,
     "get_all_lambdas($self)\n--\n\nGet all smoothing parameters (for multi-variable GAMs)"},
    {"get_fitted_values", gam_get_fitted_values, METH_NOARGS, "get_fitted_values($self)\n--\n\n"},
    {"get_family", gam_get_family, METH_NOARGS,
     "get_family($self)\n--\n\nGet the family (distribution) used by this GAM"},
    {"get_coefficients", gam_get_coefficients, METH_NOARGS,
     "get_coefficients($self)\n--\n\nGet the fitted coefficients"},
    {"get_design_matrix", gam_get_design_matrix, METH_NOARGS,
     "get_design_matrix($self)\n--\n\nGet the design matrix (predictor matrix)"},
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
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:compute_penalty_matrix",
                                   const_cast<char**>(kwlist), &type_obj, &k_obj, &knots_obj))
    return nullptr;
  std::string basis_type;
  std::size_t k = 0;
  if (!py::to_string(type_obj, "basis_type", basis_type) || !py::to_count(k_obj, "num_basis", k))
    return nullptr;
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
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &y_obj, &x_obj,
                                   &w_obj, &lambdas_obj, &penalties_obj))
    return false;
  return py::to_vector(y_obj, "y", a.y) && py::to_matrix(x_obj, "x", a.x) && py::to_vector(w_obj, "w", a.w) &&
         py::to_real_list(lambdas_obj, "lambdas", a.lambdas) &&
         py::to_matrix_list(penalties_obj, "penalties", a.penalties);
}

PyObject* reml_gradient_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  CriterionArgs a;
  if (!parse_criterion_args(args, kwargs, "OOOOO:reml_gradient_multi_qr_py", a)) return nullptr;
  auto gradient = vorna::reml_gradient_multi_qr(a.y, a.x, a.w, a.lambdas, a.penalties);
  if (!gradient) return py::raise_error(gradient.error(), kGradientFailed);
  return py::new_array(gradient.value());
  VORNA_PY_END
}

PyObject* evaluate_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"x", "y", "lambdas", "k_values", nullptr};
  PyObject *x_obj, *y_obj, *lambdas_obj, *k_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:evaluate_gradient", const_cast<char**>(kwlist),
                                   &x_obj, &y_obj, &lambdas_obj, &k_obj))
    return nullptr;
  Matrix x;
  Vector y, lambdas;
  std::vector<std::size_t> k_values;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(y_obj, "y", y) ||
      !py::to_real_list(lambdas_obj, "lambdas", lambdas) || !py::to_count_list(k_obj, "k_values", k_values))
    return nullptr;
  if (k_values.size() > x.cols()) {
    return py::raise_value_error("k_values has " + std::to_string(k_values.size()) +
                                 " entries but x has only " + std::to_string(x.cols()) + " columns");
  }
  std::vector<vorna::SmoothTerm> smooths;
  for (std::size_t i = 0; i < k_values.size(); ++i) {
    const auto [lo, hi] = vorna::finite_range(x.col(i));
    auto smooth = vorna::cubic_regression_smooth("x" + std::to_string(i), k_values[i], lo, hi);
    if (!smooth) return py::raise_error(smooth.error());
    smooths.push_back(std::move(smooth).value());
  }
  auto fits = vorna::check_model_size(x.rows(), vorna::total_basis(smooths), smooths.size());
  if (!fits) return py::raise_error(fits.error());
  const Matrix model = vorna::build_model_matrix(smooths, x);
  const std::vector<Matrix> penalties = vorna::embedded_penalties(smooths, model.cols());
  const Vector w(x.rows(), 1.0);
  auto gradient = vorna::reml_gradient_multi_qr(y, model, w, lambdas, penalties);
  if (!gradient) return py::raise_error(gradient.error(), kGradientFailed);
  return py::new_array(gradient.value());
  VORNA_PY_END
}

PyObject* reml_hessian_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  CriterionArgs a;
  if (!parse_criterion_args(args, kwargs, "OOOOO:reml_hessian_multi_qr_py", a)) return nullptr;
  auto hessian = vorna::reml_hessian_multi_qr(a.y, a.x, a.w, a.lambdas, a.penalties);
  if (!hessian) return py::raise_error(hessian.error(), "Hessian computation failed: ");
  return py::new_array(hessian.value());
  VORNA_PY_END
}

PyObject* newton_pirls_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"y",         "x",       "w",        "initial_log_lambda",
                                 "penalties", "max_iter", "grad_tol", "verbose", nullptr};
  PyObject *y_obj, *x_obj, *w_obj, *rho_obj, *penalties_obj, *iter_obj, *tol_obj, *verbose_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO:newton_pirls_py", const_cast<char**>(kwlist),
                                   &y_obj, &x_obj, &w_obj, &rho_obj, &penalties_obj, &iter_obj, &tol_obj,
                                   &verbose_obj))
    return nullptr;
  Vector y, w, rho;
  Matrix x;
  std::vector<Matrix> penalties;
  vorna::NewtonConfig config;
  if (!py::to_vector(y_obj, "y", y) || !py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) ||
      !py::to_vector(rho_obj, "initial_log_lambda", rho) ||
      !py::to_matrix_list(penalties_obj, "penalties", penalties))
    return nullptr;
  if (iter_obj != Py_None && !py::to_count(iter_obj, "max_iter", config.max_iter)) return nullptr;
  if (tol_obj != Py_None && !py::to_real(tol_obj, "grad_tol", config.grad_tol)) return nullptr;
  if (verbose_obj != Py_None && !py::to_flag(verbose_obj, "verbose", config.verbose)) return nullptr;
  auto outcome = vorna::newton_pirls(config, y, x, w, rho, penalties);
  if (!outcome) return py::raise_error(outcome.error(), "Newton-PIRLS optimization failed: ");
  const vorna::NewtonResult& r = outcome.value();
  py::Ref log_lambda(py::new_array(r.log_lambda));
  py::Ref lambda(py::new_array(r.lambda));
  if (!log_lambda || !lambda) return nullptr;
  return Py_BuildValue("(OOdnOs#)", log_lambda.get(), lambda.get(), r.reml,
                       static_cast<Py_ssize_t>(r.iterations), r.converged ? Py_True : Py_False,
                       r.message.data(), static_cast<Py_ssize_t>(r.message.size()));
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
     "reml_gradient_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"},
    {"reml_hessian_multi_qr_py", VORNA_KW(reml_hessian_multi_qr_py), METH_VARARGS | METH_KEYWORDS,
     "reml_hessian_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"},
    {"newton_pirls_py", VORNA_KW(newton_pirls_py), METH_VARARGS | METH_KEYWORDS,
     "newton_pirls_py(y, x, w, initial_log_lambda, penalties, max_iter, grad_tol, verbose)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The functions are added after the class, so the module's namespace lists GAM first.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "vorna_core", "", -1, nullptr,
                            nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vorna_core(void) {
  import_array();
  vorna::configure_blas_threads();
  py::Ref module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* gam_type = PyType_FromSpec(&g_gam_spec);
  if (!gam_type) return nullptr;
  if (PyModule_AddObject(module.get(), "GAM", gam_type) < 0) {
    Py_DECREF(gam_type);
    return nullptr;
  }
  if (PyModule_AddFunctions(module.get(), g_module_methods) < 0) return nullptr;
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
