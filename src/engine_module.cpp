// The private extension `vorna._engine`: the modelling layer's entry into the
// core (model matrices of term lists, penalized GLM fits, predictions). Its
// callers are the `vorna` package's own modules, which validate user input
// first; the checks here keep malformed calls from reaching the core.
#define VORNA_NUMPY_INIT_TU
#include "pyutil.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "basis.hpp"
#include "diagnostics.hpp"
#include "glm.hpp"
#include "linalg.hpp"
#include "model_fit.hpp"
#include "row_pass.hpp"
#include "sparse_rows.hpp"
#include "penalty.hpp"
#include "py_terms.hpp"
#include "terms.hpp"

namespace {

using vorna::Matrix;
using vorna::Vector;
namespace py = vorna::py;

// A read-only view of an aligned 1-D float64 array of `n` entries, or None
// for a constant (written to `fill`, n entries). No copy of an array is made.
bool to_column_view(PyObject* obj, const char* name, std::size_t n, double constant, Vector& fill,
                    vorna::VectorView& out) {
  if (obj == Py_None) {
    // One entry read for every row (stride 0): no n-vector of a constant.
    fill.assign(1, constant);
    out = vorna::VectorView(fill.data(), n, 0);
    return true;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_Check(obj) || PyArray_NDIM(arr) != 1 || PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr) ||
      !PyArray_ISALIGNED(arr) || PyArray_STRIDES(arr)[0] % 8 != 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an aligned 1-D float64 array or None", name);
    return false;
  }
  if (static_cast<std::size_t>(PyArray_DIMS(arr)[0]) != n) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must have one entry per data row", name);
    return false;
  }
  out = vorna::VectorView(static_cast<const double*>(PyArray_DATA(arr)), n, PyArray_STRIDES(arr)[0] / 8);
  return true;
}

// y, prior weights and offset of `n` rows, read in place (the arguments hold
// the arrays for the call); None weights are 1 and a None offset is 0.
struct RowVectors {
  Vector unit, zero, unused;
  vorna::VectorView y, w, offset;
};
bool to_row_vectors(PyObject* y, PyObject* w, PyObject* offset, std::size_t n, RowVectors& out) {
  return to_column_view(y, "y", n, 0.0, out.unused, out.y) && to_column_view(w, "weights", n, 1.0, out.unit, out.w) &&
         to_column_view(offset, "offset", n, 0.0, out.zero, out.offset);
}

// A read-only view of an aligned 2-D float64 array (no copy); `keep` holds the array.
bool to_data_view(PyObject* obj, const char* name, vorna::ConstMatrixView& out) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 2-D float64 array", name);
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  const npy_intp* strides = PyArray_STRIDES(arr);
  if (PyArray_NDIM(arr) != 2 || PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr) ||
      !PyArray_ISALIGNED(arr) || strides[0] % 8 != 0 || strides[1] % 8 != 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an aligned 2-D float64 array", name);
    return false;
  }
  const npy_intp* shape = PyArray_DIMS(arr);
  out = vorna::ConstMatrixView(static_cast<const double*>(PyArray_DATA(arr)), static_cast<std::size_t>(shape[0]),
                               static_cast<std::size_t>(shape[1]), strides[0] / 8, strides[1] / 8);
  return true;
}

bool to_index(PyObject* obj, const char* name, std::size_t& out) { return py::to_count(obj, name, out); }

using py::parse_model;

// The modelling layer's errors speak to its user: the message without its
// kind (a user passed no "parameter" when the data leave no degrees of
// freedom), and a failed factorization with what usually causes it.
PyObject* raise_fit_error(const vorna::GamError& error) {
  switch (error.kind) {
    case vorna::GamErrorKind::Interrupted: return py::raise_error(error);
    case vorna::GamErrorKind::LinAlgError:
    case vorna::GamErrorKind::SingularMatrix:
      return py::raise_value_error("the fit's linear algebra failed (" + error.display() +
                                   "): the model is too ill-conditioned for its data, as with columns of extreme size "
                                   "or terms that repeat each other; rescale the columns or drop repeated terms");
    default: return py::raise_value_error(error.message);
  }
}

// The data view and the term model on its columns; null with an exception set.
std::unique_ptr<vorna::TermModel> model_on(PyObject* terms_obj, PyObject* data_obj, vorna::ConstMatrixView& data) {
  if (!to_data_view(data_obj, "data", data)) return nullptr;
  return parse_model(terms_obj, data.cols());
}

// The model's rows evaluated by `compute` (model matrix or column sums), without the GIL.
template <class Compute>
PyObject* evaluate_terms(PyObject* args, const char* format, Compute compute) {
  PyObject *terms_obj, *data_obj;
  if (!PyArg_ParseTuple(args, format, &terms_obj, &data_obj)) return nullptr;
  vorna::ConstMatrixView data;
  auto model = model_on(terms_obj, data_obj, data);
  if (!model) return nullptr;
  auto result = py::without_gil([&] { return compute(*model, data); });
  if (!result) return raise_fit_error(result.error());
  return py::new_array(result.value());
}

PyObject* engine_model_matrix(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  return evaluate_terms(args, "OO:model_matrix",
                        [](const vorna::TermModel& m, vorna::ConstMatrixView d) { return m.model_matrix(d); });
  VORNA_PY_END
}

PyObject* engine_column_sums(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *data_obj;
  Py_ssize_t threads = 1;
  if (!PyArg_ParseTuple(args, "OO|n:column_sums", &terms_obj, &data_obj, &threads)) return nullptr;
  if (threads < 0) return py::raise_value_error("threads must be 0 (all cores) or positive");
  vorna::ConstMatrixView data;
  auto model = model_on(terms_obj, data_obj, data);
  if (!model) return nullptr;
  auto result = py::without_gil(
      [&] { return vorna::model_column_sums(*model, data, vorna::thread_count(static_cast<std::size_t>(threads))); });
  if (!result) return raise_fit_error(result.error());
  return py::new_array(result.value());
  VORNA_PY_END
}

// Column sums of a cubic regression spline basis over ascending values,
// without evaluating it row by row; None where the basis has no local form.
PyObject* engine_sorted_column_sums(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *knots_obj, *values_obj;
  if (!PyArg_ParseTuple(args, "OO:sorted_column_sums", &knots_obj, &values_obj)) return nullptr;
  Vector knots, unused;
  if (!py::to_vector(knots_obj, "knots", knots)) return nullptr;
  if (!PyArray_Check(values_obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(values_obj)) != 1)
    return py::raise_value_error("values must be a 1-D float64 array");
  const auto n = static_cast<std::size_t>(PyArray_DIMS(reinterpret_cast<PyArrayObject*>(values_obj))[0]);
  vorna::VectorView values;
  if (!to_column_view(values_obj, "values", n, 0.0, unused, values)) return nullptr;
  auto basis = vorna::CubicRegressionBasis::create(std::move(knots), vorna::CrEnds::Tangent);
  if (!basis) return raise_fit_error(basis.error());
  bool ascending = true;
  const Vector sums = py::without_gil([&] {
    // Ascending with finite ends is ascending and finite (a NaN fails every
    // comparison); the loop has no exit, so that it vectorizes.
    ascending = n == 0 || (std::isfinite(values[0]) && std::isfinite(values[n - 1]));
    for (std::size_t r = 1; r < n; ++r) ascending &= values[r - 1] <= values[r];
    return ascending ? basis.value().column_sums_sorted(values) : Vector();
  });
  if (!ascending) return py::raise_value_error("values must be finite and in ascending order");
  if (sums.empty()) Py_RETURN_NONE;
  return py::new_array(sums);
  VORNA_PY_END
}

// A column split at a pivot for a sort on two threads (see split_below):
// (values below the pivot then the others, count below).
PyObject* engine_split_below(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* values_obj;
  double pivot = 0.0;
  if (!PyArg_ParseTuple(args, "Od:split_below", &values_obj, &pivot)) return nullptr;
  if (!PyArray_Check(values_obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(values_obj)) != 1)
    return py::raise_value_error("values must be a 1-D float64 array");
  const auto n = static_cast<std::size_t>(PyArray_DIMS(reinterpret_cast<PyArrayObject*>(values_obj))[0]);
  Vector unused;
  vorna::VectorView values;
  if (!to_column_view(values_obj, "values", n, 0.0, unused, values)) return nullptr;
  vorna::RowBuffer out(n);
  const std::size_t below = py::without_gil([&] { return vorna::split_below(values, pivot, out.data()); });
  py::Ref array(py::adopt_array(std::move(out)));
  if (!array) return nullptr;
  return Py_BuildValue("(On)", array.get(), static_cast<Py_ssize_t>(below));
  VORNA_PY_END
}

PyObject* engine_predict(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *data_obj, *beta_obj, *v_obj;
  int per_term = 0;
  if (!PyArg_ParseTuple(args, "OOOOp:predict", &terms_obj, &data_obj, &beta_obj, &v_obj, &per_term)) return nullptr;
  vorna::ConstMatrixView data;
  auto model = model_on(terms_obj, data_obj, data);
  if (!model) return nullptr;
  Vector beta;
  Matrix v;
  if (!py::to_vector(beta_obj, "beta", beta)) return nullptr;
  const bool with_se = v_obj != Py_None;
  if (with_se && !py::to_matrix(v_obj, "cov", v)) return nullptr;
  auto pred = py::without_gil([&] { return vorna::predict_terms(*model, data, beta, v, with_se, per_term != 0); });
  if (!pred) return raise_fit_error(pred.error());
  const vorna::TermPrediction& p = pred.value();
  py::Ref eta(py::new_array(p.eta));
  py::Ref se(with_se ? py::new_array(p.se) : Py_NewRef(Py_None));
  py::Ref terms(per_term ? py::new_array(p.terms) : Py_NewRef(Py_None));
  py::Ref term_se(per_term && with_se ? py::new_array(p.term_se) : Py_NewRef(Py_None));
  if (!eta || !se || !terms || !term_se) return nullptr;
  return PyTuple_Pack(4, eta.get(), se.get(), terms.get(), term_se.get());
  VORNA_PY_END
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  py::Ref ref(value);
  return ref && PyDict_SetItemString(dict, key, ref.get()) == 0;
}

// The per-row vectors (n entries each) are handed over, not copied.
PyObject* fit_dict(vorna::PenalizedGlmFit& f) {
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  py::Ref warnings(PyList_New(0));
  if (!warnings) return nullptr;
  for (const std::string& w : f.warnings) {
    py::Ref text(PyUnicode_FromString(w.c_str()));
    if (!text || PyList_Append(warnings.get(), text.get()) < 0) return nullptr;
  }
  const bool ok = set_item(d.get(), "coefficients", py::new_array(f.coefficients)) &&
                  set_item(d.get(), "lambda", py::new_array(f.lambda)) &&
                  set_item(d.get(), "linear_predictor", py::adopt_array(std::move(f.linear_predictor))) &&
                  set_item(d.get(), "fitted", py::adopt_array(std::move(f.fitted))) &&
                  set_item(d.get(), "working_weights", py::adopt_array(std::move(f.working_weights))) &&
                  set_item(d.get(), "vp", py::new_array(f.vp)) && set_item(d.get(), "ve", py::new_array(f.ve)) &&
                  set_item(d.get(), "xtwx", py::new_array(f.xtwx)) && set_item(d.get(), "edf", py::new_array(f.edf)) &&
                  set_item(d.get(), "scale", PyFloat_FromDouble(f.scale)) &&
                  set_item(d.get(), "scale_estimated", PyBool_FromLong(f.scale_estimated)) &&
                  set_item(d.get(), "deviance", PyFloat_FromDouble(f.deviance)) &&
                  set_item(d.get(), "null_deviance", PyFloat_FromDouble(f.null_deviance)) &&
                  set_item(d.get(), "log_likelihood", PyFloat_FromDouble(f.log_likelihood)) &&
                  set_item(d.get(), "aic_scale", PyFloat_FromDouble(f.aic_scale)) &&
                  set_item(d.get(), "log_likelihood_at_scale", PyFloat_FromDouble(f.log_likelihood_at_scale)) &&
                  set_item(d.get(), "penalty", PyFloat_FromDouble(f.penalty)) &&
                  set_item(d.get(), "penalty_log_det", PyFloat_FromDouble(f.penalty_log_det)) &&
                  set_item(d.get(), "penalty_rank", PyLong_FromSize_t(f.penalty_rank)) &&
                  set_item(d.get(), "log_det_a", PyFloat_FromDouble(f.log_det_a)) &&
                  set_item(d.get(), "log_det_range", PyFloat_FromDouble(f.log_det_range)) &&
                  set_item(d.get(), "criterion", PyFloat_FromDouble(f.criterion)) &&
                  set_item(d.get(), "observations", PyLong_FromSize_t(f.observations)) &&
                  set_item(d.get(), "negligible_deviance", PyFloat_FromDouble(f.negligible_deviance)) &&
                  set_item(d.get(), "response_at_bound", PyBool_FromLong(f.response_at_bound)) &&
                  set_item(d.get(), "pirls_iterations", PyLong_FromSize_t(f.pirls_iterations)) &&
                  set_item(d.get(), "selection_passes", PyLong_FromSize_t(f.selection_passes)) &&
                  set_item(d.get(), "converged", PyBool_FromLong(f.converged)) &&
                  set_item(d.get(), "warm_started", PyBool_FromLong(f.warm_started)) &&
                  PyDict_SetItemString(d.get(), "warnings", warnings.get()) == 0;
  if (!ok) return nullptr;
  py::Ref passes(PyList_New(0));
  if (!passes) return nullptr;
  for (const auto& pass : f.passes) {
    py::Ref lambda(py::new_array(pass.lambda));
    if (!lambda) return nullptr;
    py::Ref record(Py_BuildValue("(Oddi)", lambda.get(), pass.criterion, pass.gradient, pass.iterations));
    if (!record || PyList_Append(passes.get(), record.get()) < 0) return nullptr;
  }
  if (PyDict_SetItemString(d.get(), "passes", passes.get()) < 0) return nullptr;
  return d.release();
}

bool parse_glm(const char* family, const char* link, vorna::Glm& glm) {
  const auto dist = vorna::distribution_from_name(family);
  const auto lnk = vorna::link_from_name(link);
  if (!dist || !lnk) {
    py::raise_value_error("unknown family or link");
    return false;
  }
  glm = {*dist, *lnk};
  return true;
}

std::optional<vorna::SelectionCriterion> criterion_from_name(const std::string& name) {
  using C = vorna::SelectionCriterion;
  if (name == "REML") return C::Reml;
  if (name == "REML_KNOWN_SCALE") return C::RemlKnownScale;
  if (name == "GCV") return C::Gcv;
  if (name == "UBRE") return C::Ubre;
  if (name == "ML") return C::Ml;
  if (name == "ML_KNOWN_SCALE") return C::MlKnownScale;
  return std::nullopt;
}

// The options every fit entry point takes: family and link, the selection
// criterion, the PiRLS iteration cap and an optional fixed λ.
bool parse_options(const char* family, const char* link, const char* criterion, Py_ssize_t max_iter, PyObject* lam_obj,
                   vorna::PenalizedGlmOptions& options) {
  if (!parse_glm(family, link, options.glm)) return false;
  const auto crit = criterion_from_name(criterion);
  if (!crit || max_iter < 1) {
    py::raise_value_error("unknown criterion or max_iter below 1");
    return false;
  }
  options.criterion = *crit;
  options.max_pirls_iterations = static_cast<std::size_t>(max_iter);
  if (lam_obj == Py_None) return true;
  Vector lam;
  if (!py::to_vector(lam_obj, "lam", lam)) return false;
  options.fixed_lambda = std::move(lam);
  return true;
}

PyObject* engine_fit(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"terms", "data",      "y",   "weights",  "offset",  "penalties", "family",
                                 "link",  "criterion", "lam", "max_iter", "threads", nullptr};
  PyObject *terms_obj, *data_obj, *y_obj, *w_obj, *off_obj, *pen_obj, *lam_obj = Py_None;
  const char *family, *link, *criterion;
  Py_ssize_t max_iter = 100, threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOsss|Onn:fit", const_cast<char**>(kwlist), &terms_obj, &data_obj,
                                   &y_obj, &w_obj, &off_obj, &pen_obj, &family, &link, &criterion, &lam_obj, &max_iter,
                                   &threads))
    return nullptr;
  vorna::ConstMatrixView data;
  auto model = model_on(terms_obj, data_obj, data);
  if (!model) return nullptr;
  RowVectors v;
  std::vector<Matrix> penalties;
  if (y_obj == Py_None) return py::raise_value_error("y is required");
  if (!to_row_vectors(y_obj, w_obj, off_obj, data.rows(), v) || !py::to_matrix_list(pen_obj, "penalties", penalties))
    return nullptr;
  vorna::PenalizedGlmOptions options;
  if (!parse_options(family, link, criterion, max_iter, lam_obj, options)) return nullptr;
  if (threads < 0) return py::raise_value_error("threads must be 0 (all cores) or positive");
  options.threads = static_cast<std::size_t>(threads);
  auto fit =
      py::without_gil([&] { return vorna::fit_penalized_glm(*model, data, v.y, v.w, v.offset, penalties, options); });
  if (!fit) return raise_fit_error(fit.error());
  return fit_dict(fit.value());
  VORNA_PY_END
}

// ---- Fits whose passes run elsewhere ------------------------------------------
// A fit can run its passes over rows that are not in this process (partitions
// of a larger data set): `partition_pass` computes one part's sums, and
// `fit_passes` drives a fit whose passes are a Python callable adding such
// parts up. Requests and sums cross as dicts of plain values.

PyObject* eta_spec_object(const vorna::EtaSpec& spec) {
  py::Ref beta(spec.beta != nullptr ? py::new_array(*spec.beta) : Py_NewRef(Py_None));
  if (!beta) return nullptr;
  return Py_BuildValue("(Od)", beta.get(), spec.blend);
}

PyObject* request_dict(const vorna::PassRequest& r) {
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* scales = r.likelihood_scales ? Py_BuildValue("(dd)", (*r.likelihood_scales)[0], (*r.likelihood_scales)[1])
                                         : Py_NewRef(Py_None);
  const bool ok = set_item(d.get(), "eta", eta_spec_object(r.eta)) &&
                  set_item(d.get(), "previous", r.previous ? eta_spec_object(*r.previous) : Py_NewRef(Py_None)) &&
                  set_item(d.get(), "start_fallback", PyFloat_FromDouble(r.start_fallback)) &&
                  set_item(d.get(), "cross_products", PyBool_FromLong(r.cross_products)) &&
                  set_item(d.get(), "likelihood_scales", scales) &&
                  set_item(d.get(), "null_mean", r.null_mean ? PyFloat_FromDouble(*r.null_mean) : Py_NewRef(Py_None));
  return ok ? d.release() : nullptr;
}

// An item of a dict the caller built; a KeyError names it when it is missing.
// The dict is a private copy (see private_dict): converting one item may run
// the caller's code (__float__), which must not free the others.
PyObject* required_item(PyObject* dict, const char* key) {
  PyObject* value = PyDict_GetItemString(dict, key);
  if (value == nullptr) PyErr_Format(PyExc_KeyError, "the dict has no item '%s'", key);
  return value;
}

// A copy of the dict `obj` whose items it holds (the caller's dict may change
// while its items are read), or a TypeError naming `what`.
py::Ref private_dict(PyObject* obj, const char* what) {
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a dict, not %.100s", what, Py_TYPE(obj)->tp_name);
    return py::Ref(nullptr);
  }
  return py::Ref(PyDict_Copy(obj));
}

// PyArg_ParseTuple for an item that must be a tuple (it raises SystemError on anything else).
bool is_tuple(PyObject* obj, const char* what) {
  if (PyTuple_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a tuple, not %.100s", what, Py_TYPE(obj)->tp_name);
  return false;
}

// A truth value; false with the exception set when its __bool__ raises.
bool to_truth(PyObject* obj, bool& out) {
  const int truth = PyObject_IsTrue(obj);
  out = truth == 1;
  return truth >= 0;
}

bool to_double(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

// (beta or None, blend) into `spec`, β kept in `storage`.
bool parse_eta_spec(PyObject* obj, Vector& storage, vorna::EtaSpec& spec) {
  PyObject* beta = nullptr;
  if (!is_tuple(obj, "an η (beta or None, blend)") ||
      !PyArg_ParseTuple(obj, "Od;an η is (beta or None, blend)", &beta, &spec.blend))
    return false;
  spec.beta = nullptr;
  if (beta == Py_None) return true;
  if (!py::to_vector(beta, "beta", storage)) return false;
  spec.beta = &storage;
  return true;
}

struct ParsedRequest {
  vorna::PassRequest request;
  Vector beta, previous_beta;
};

bool parse_request(PyObject* obj, ParsedRequest& out) {
  const py::Ref copy = private_dict(obj, "a pass request");
  if (!copy) return false;
  PyObject* d = copy.get();
  PyObject *eta, *previous, *fallback, *cross, *scales, *null_mean;
  if (!(eta = required_item(d, "eta")) || !(previous = required_item(d, "previous")) ||
      !(fallback = required_item(d, "start_fallback")) || !(cross = required_item(d, "cross_products")) ||
      !(scales = required_item(d, "likelihood_scales")) || !(null_mean = required_item(d, "null_mean")))
    return false;
  vorna::PassRequest& r = out.request;
  if (!parse_eta_spec(eta, out.beta, r.eta) || !to_double(fallback, r.start_fallback)) return false;
  if (previous != Py_None) {
    vorna::EtaSpec spec;
    if (!parse_eta_spec(previous, out.previous_beta, spec)) return false;
    r.previous = spec;
  }
  if (!to_truth(cross, r.cross_products)) return false;
  if (scales != Py_None) {
    std::array<double, 2> values{};
    if (!is_tuple(scales, "likelihood_scales") ||
        !PyArg_ParseTuple(scales, "dd;likelihood_scales is a pair of scales", &values[0], &values[1]))
      return false;
    r.likelihood_scales = values;
  }
  if (null_mean != Py_None) {
    double mean = 0.0;
    if (!to_double(null_mean, mean)) return false;
    r.null_mean = mean;
  }
  return true;
}

PyObject* sums_dict(const vorna::PassSums& s) {
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool cross = s.xtwx.rows() > 0;
  const bool ok =
      set_item(d.get(), "xtwx", cross ? py::new_array(s.xtwx) : Py_NewRef(Py_None)) &&
      set_item(d.get(), "xtwz", cross ? py::new_array(s.xtwz) : Py_NewRef(Py_None)) &&
      set_item(d.get(), "xtwr", cross ? py::new_array(s.xtwr) : Py_NewRef(Py_None)) &&
      set_item(d.get(), "rss", PyFloat_FromDouble(s.rss)) &&
      set_item(d.get(), "deviance", PyFloat_FromDouble(s.deviance)) &&
      set_item(d.get(), "valid", PyBool_FromLong(s.valid)) &&
      set_item(d.get(), "max_change", PyFloat_FromDouble(s.max_change)) &&
      set_item(d.get(), "max_abs_eta", PyFloat_FromDouble(s.max_abs_eta)) &&
      set_item(d.get(), "min_mu", PyFloat_FromDouble(s.min_mu)) &&
      set_item(d.get(), "max_mu", PyFloat_FromDouble(s.max_mu)) &&
      set_item(d.get(), "log_likelihood", Py_BuildValue("(dd)", s.log_likelihood[0], s.log_likelihood[1])) &&
      set_item(d.get(), "null_deviance", PyFloat_FromDouble(s.null_deviance)) &&
      set_item(d.get(), "rows", PyLong_FromSize_t(s.rows));
  return ok ? d.release() : nullptr;
}

bool parse_sums(PyObject* obj, vorna::PassSums& s) {
  const py::Ref copy = private_dict(obj, "the sums of a pass");
  if (!copy) return false;
  PyObject* d = copy.get();
  PyObject *xtwx, *xtwz, *xtwr, *rss, *dev, *valid, *change, *size, *lo, *hi, *ll, *null_dev, *rows;
  if (!(xtwx = required_item(d, "xtwx")) || !(xtwz = required_item(d, "xtwz")) || !(xtwr = required_item(d, "xtwr")) ||
      !(rss = required_item(d, "rss")) || !(dev = required_item(d, "deviance")) ||
      !(valid = required_item(d, "valid")) || !(change = required_item(d, "max_change")) ||
      !(size = required_item(d, "max_abs_eta")) || !(lo = required_item(d, "min_mu")) ||
      !(hi = required_item(d, "max_mu")) || !(ll = required_item(d, "log_likelihood")) ||
      !(null_dev = required_item(d, "null_deviance")) || !(rows = required_item(d, "rows")))
    return false;
  if (xtwx != Py_None && (!py::to_matrix(xtwx, "xtwx", s.xtwx) || !py::to_vector(xtwz, "xtwz", s.xtwz) ||
                          !py::to_vector(xtwr, "xtwr", s.xtwr)))
    return false;
  if (!to_double(rss, s.rss) || !to_double(dev, s.deviance) || !to_double(change, s.max_change) ||
      !to_double(size, s.max_abs_eta) || !to_double(lo, s.min_mu) || !to_double(hi, s.max_mu) ||
      !to_double(null_dev, s.null_deviance) || !is_tuple(ll, "log_likelihood") ||
      !PyArg_ParseTuple(ll, "dd;log_likelihood is a pair", &s.log_likelihood[0], &s.log_likelihood[1]) ||
      !py::to_count(rows, "rows", s.rows) || !to_truth(valid, s.valid))
    return false;
  // XᵀWX square, XᵀWz and XᵀWr of its size (or all three absent).
  const std::size_t p = s.xtwx.rows();
  if (s.xtwx.cols() != p || s.xtwz.size() != p || s.xtwr.size() != p) {
    py::raise_value_error("the sums of a pass need a square xtwx and xtwz, xtwr of its size");
    return false;
  }
  return true;
}

PyObject* engine_partition_pass(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *data_obj, *y_obj, *w_obj, *off_obj, *request_obj;
  const char *family, *link;
  Py_ssize_t threads = 1;
  if (!PyArg_ParseTuple(args, "OOOOOssO|n:partition_pass", &terms_obj, &data_obj, &y_obj, &w_obj, &off_obj, &family,
                        &link, &request_obj, &threads))
    return nullptr;
  vorna::ConstMatrixView data;
  auto model = model_on(terms_obj, data_obj, data);
  if (!model) return nullptr;
  RowVectors v;
  if (!to_row_vectors(y_obj, w_obj, off_obj, data.rows(), v)) return nullptr;
  vorna::Glm glm;
  ParsedRequest parsed;
  if (!parse_glm(family, link, glm) || !parse_request(request_obj, parsed)) return nullptr;
  for (const Vector* beta :
       {parsed.request.eta.beta, parsed.request.previous ? parsed.request.previous->beta : nullptr})
    if (beta != nullptr && beta->size() != model->width())
      return py::raise_value_error("beta has " + std::to_string(beta->size()) + " entries for a model of " +
                                   std::to_string(model->width()) + " columns");
  if (threads < 1) return py::raise_value_error("threads must be positive");
  const vorna::RowData rows{model.get(), data, v.y, v.w, v.offset, glm};
  auto sums =
      py::without_gil([&] { return vorna::row_pass(rows, parsed.request, {}, static_cast<std::size_t>(threads)); });
  if (!sums) return raise_fit_error(sums.error());
  return sums_dict(sums.value());
  VORNA_PY_END
}

// The sums of two parts' passes, by the rule a pass uses for its partitions.
PyObject* engine_add_sums(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *a_obj, *b_obj;
  if (!PyArg_ParseTuple(args, "OO:add_sums", &a_obj, &b_obj)) return nullptr;
  vorna::PassSums a, b;
  if (!parse_sums(a_obj, a) || !parse_sums(b_obj, b)) return nullptr;
  if (a.rows > 0 && b.rows > 0 && a.xtwx.rows() > 0 && b.xtwx.rows() > 0 && a.xtwx.rows() != b.xtwx.rows())
    return py::raise_value_error("the sums describe different models");
  vorna::add_sums(a, b);
  return sums_dict(a);
  VORNA_PY_END
}

PyObject* engine_partition_moments(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *y_obj, *w_obj, *off_obj;
  const char *family, *link;
  Py_ssize_t first_row = 0;
  if (!PyArg_ParseTuple(args, "ssOOO|n:partition_moments", &family, &link, &y_obj, &w_obj, &off_obj, &first_row))
    return nullptr;
  vorna::Glm glm;
  if (!parse_glm(family, link, glm)) return nullptr;
  Vector yv;
  if (!py::to_vector(y_obj, "y", yv)) return nullptr;
  Vector unit, zero;
  vorna::VectorView w, offset;
  if (!to_column_view(w_obj, "weights", yv.size(), 1.0, unit, w) ||
      !to_column_view(off_obj, "offset", yv.size(), 0.0, zero, offset))
    return nullptr;
  if (first_row < 0) return py::raise_value_error("first_row must not be negative");
  auto m = vorna::row_moments(glm, vorna::VectorView(yv), w, offset, static_cast<std::size_t>(first_row));
  if (!m) return raise_fit_error(m.error());
  const vorna::RowMoments& mo = m.value();
  return Py_BuildValue("(ddddnnn)", mo.weight_sum, mo.weighted_response, mo.weighted_offset, mo.log_weight_sum,
                       static_cast<Py_ssize_t>(mo.observations), static_cast<Py_ssize_t>(mo.rows),
                       static_cast<Py_ssize_t>(mo.nonzero_offsets));
  VORNA_PY_END
}

// A pass run by a Python callable: the request goes out as a dict, the sums
// come back as one. When the callable raises, its exception stays set and
// the fit stops with it (reported through the Interrupted kind, whose
// binding leaves a pending exception in place).
vorna::PassFunction python_pass(PyObject* callable) {
  return [callable](const vorna::PassRequest& request) -> vorna::Result<vorna::PassSums> {
    // (At the shutdown the fit stops instead; see py::may_take_gil.)
    if (!py::may_take_gil()) return vorna::GamError{vorna::GamErrorKind::Interrupted, "the interpreter exits"};
    const PyGILState_STATE gil = PyGILState_Ensure();
    vorna::PassSums sums;
    bool ok = false;
    {
      py::Ref arg(request_dict(request));
      py::Ref result(arg ? PyObject_CallOneArg(callable, arg.get()) : nullptr);
      ok = result && parse_sums(result.get(), sums);
    }
    PyGILState_Release(gil);
    if (!ok) return vorna::GamError{vorna::GamErrorKind::Interrupted, "a pass raised an exception"};
    return sums;
  };
}

// `warm`: (β, λ) of a fit on a sample of the rows, the start of the fit on
// all of them; λ must be positive and finite. The start is dropped (the fit
// starts cold) under VORNA_COLD_START.
bool parse_warm_start(PyObject* obj, std::optional<vorna::WarmStart>& warm) {
  PyObject *beta_obj, *lambda_obj;
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "warm must be a tuple (beta, lambda) of a fit on a sample, or None");
    return false;
  }
  if (!PyArg_ParseTuple(obj, "OO;warm is (beta, lambda) of a fit on a sample", &beta_obj, &lambda_obj)) return false;
  vorna::WarmStart start;
  if (!py::to_vector(beta_obj, "warm beta", start.beta) || !py::to_vector(lambda_obj, "warm lambda", start.lambda))
    return false;
  for (double l : start.lambda)
    if (!(l > 0.0) || !std::isfinite(l)) {
      py::raise_value_error("warm lambda must be positive and finite");
      return false;
    }
  if (!vorna::diag::enabled(vorna::diag::kColdStart)) warm = std::move(start);
  return true;
}

PyObject* engine_fit_passes(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kwlist[] = {"width", "intercept", "moments", "pass_",    "null_pass", "penalties", "family",
                                 "link",  "criterion", "lam",     "max_iter", "warm",      nullptr};
  Py_ssize_t width = 0, max_iter = 100;
  PyObject *intercept_obj, *moments_obj, *pass_obj, *null_obj, *pen_obj, *lam_obj = Py_None, *warm_obj = Py_None;
  const char *family, *link, *criterion;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nOOOOOsss|OnO:fit_passes", const_cast<char**>(kwlist), &width,
                                   &intercept_obj, &moments_obj, &pass_obj, &null_obj, &pen_obj, &family, &link,
                                   &criterion, &lam_obj, &max_iter, &warm_obj))
    return nullptr;
  std::optional<vorna::WarmStart> warm;
  if (warm_obj != Py_None && !parse_warm_start(warm_obj, warm)) return nullptr;
  if (width < 1) return py::raise_value_error("width must be positive");
  if (!PyCallable_Check(pass_obj) || !PyCallable_Check(null_obj))
    return py::raise_value_error("pass_ and null_pass must be callables");
  vorna::PassSource source;
  source.width = static_cast<std::size_t>(width);
  if (intercept_obj != Py_None) {
    std::size_t column = 0;
    if (!to_index(intercept_obj, "intercept", column)) return nullptr;
    if (column >= source.width) return py::raise_value_error("intercept is not a column of the model");
    source.intercept = column;
  }
  vorna::RowMoments& mo = source.moments;
  Py_ssize_t observations = 0, rows = 0, nonzero_offsets = 0;
  if (!is_tuple(moments_obj, "moments") ||
      !PyArg_ParseTuple(moments_obj, "ddddnnn;moments is the tuple partition_moments returns", &mo.weight_sum,
                        &mo.weighted_response, &mo.weighted_offset, &mo.log_weight_sum, &observations, &rows,
                        &nonzero_offsets))
    return nullptr;
  if (observations < 0 || rows < observations || nonzero_offsets < 0 || nonzero_offsets > rows)
    return py::raise_value_error("malformed moments");
  mo.nonzero_offsets = static_cast<std::size_t>(nonzero_offsets);
  mo.observations = static_cast<std::size_t>(observations);
  mo.rows = static_cast<std::size_t>(rows);
  std::vector<Matrix> penalties;
  if (!py::to_matrix_list(pen_obj, "penalties", penalties)) return nullptr;
  vorna::PenalizedGlmOptions options;
  if (!parse_options(family, link, criterion, max_iter, lam_obj, options)) return nullptr;
  source.pass = python_pass(pass_obj);
  source.null_pass = python_pass(null_obj);
  auto fit =
      py::without_gil([&] { return vorna::fit_penalized_glm(source, penalties, options, warm ? &*warm : nullptr); });
  if (!fit) return raise_fit_error(fit.error());
  return fit_dict(fit.value());
  VORNA_PY_END
}

PyObject* engine_sample_stride(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  Py_ssize_t rows = 0, most_rows = 0;
  if (!PyArg_ParseTuple(args, "n|n:sample_stride", &rows, &most_rows)) return nullptr;
  if (rows < 0 || most_rows < 0) return py::raise_value_error("rows and most_rows must not be negative");
  return PyLong_FromSize_t(vorna::sample_stride(static_cast<std::size_t>(rows), static_cast<std::size_t>(most_rows)));
  VORNA_PY_END
}

PyObject* engine_penalty(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* kind = nullptr;
  PyObject* knots_obj = nullptr;
  if (!PyArg_ParseTuple(args, "sO:penalty", &kind, &knots_obj)) return nullptr;
  Vector knots;
  if (!py::to_vector(knots_obj, "knots", knots)) return nullptr;
  const std::string k(kind);
  if (k == "cr") {
    const std::size_t size = knots.size();
    auto s = vorna::compute_penalty_matrix("cr", size, knots);
    if (!s) return raise_fit_error(s.error());
    return py::new_array(s.value());
  }
  if (k == "bs") {
    auto basis = vorna::BSplineBasis::create(std::move(knots));
    if (!basis) return raise_fit_error(basis.error());
    return py::new_array(vorna::bspline_curvature_penalty(basis.value()));
  }
  return py::raise_value_error("unknown basis kind '" + k + "'");
  VORNA_PY_END
}

PyObject* engine_inverse_link(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char *family, *link;
  PyObject* eta_obj;
  if (!PyArg_ParseTuple(args, "ssO:inverse_link", &family, &link, &eta_obj)) return nullptr;
  vorna::Glm glm;
  Vector eta;
  if (!parse_glm(family, link, glm) || !py::to_vector(eta_obj, "eta", eta)) return nullptr;
  for (double& v : eta) v = glm.inverse(v);
  return py::new_array(eta);
  VORNA_PY_END
}

PyObject* engine_family_info(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* family;
  if (!PyArg_ParseTuple(args, "s:family_info", &family)) return nullptr;
  const auto dist = vorna::distribution_from_name(family);
  if (!dist) return py::raise_value_error("unknown family");
  py::Ref admitted(PyList_New(0));
  if (!admitted) return nullptr;
  for (int l = 0; l <= static_cast<int>(vorna::Link::Sqrt); ++l) {
    const auto link = static_cast<vorna::Link>(l);
    if (!vorna::link_admitted(*dist, link)) continue;
    py::Ref name(PyUnicode_FromString(std::string(vorna::link_name(link)).c_str()));
    if (!name || PyList_Append(admitted.get(), name.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(sOO)", std::string(vorna::link_name(vorna::canonical_link(*dist))).c_str(), admitted.get(),
                       vorna::scale_is_known(*dist) ? Py_True : Py_False);
  VORNA_PY_END
}

// The deviance of rounding for a response (Glm::negligible_deviance).
PyObject* engine_negligible_deviance(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char *family, *link;
  double mean = 0.0, weight_sum = 0.0;
  if (!PyArg_ParseTuple(args, "ssdd:negligible_deviance", &family, &link, &mean, &weight_sum)) return nullptr;
  vorna::Glm glm;
  if (!parse_glm(family, link, glm)) return nullptr;
  return PyFloat_FromDouble(glm.negligible_deviance(mean, weight_sum));
  VORNA_PY_END
}

PyObject* engine_deviance_residuals(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char *family, *link;
  PyObject *y_obj, *mu_obj, *w_obj;
  if (!PyArg_ParseTuple(args, "ssOOO:deviance_residuals", &family, &link, &y_obj, &mu_obj, &w_obj)) return nullptr;
  vorna::Glm glm;
  Vector y, mu, w;
  if (!parse_glm(family, link, glm) || !py::to_vector(y_obj, "y", y) || !py::to_vector(mu_obj, "mu", mu) ||
      !py::to_vector(w_obj, "weights", w))
    return nullptr;
  if (mu.size() != y.size() || w.size() != y.size()) return py::raise_value_error("y, mu and weights differ in length");
  Vector r(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double d = w[i] > 0.0 ? glm.deviance(y[i], mu[i], w[i]) : 0.0;
    r[i] = std::copysign(std::sqrt(std::max(d, 0.0)), y[i] - mu[i]);
  }
  return py::new_array(r);
  VORNA_PY_END
}

PyObject* engine_check_response(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char *family, *link;
  PyObject* y_obj;
  if (!PyArg_ParseTuple(args, "ssO:check_response", &family, &link, &y_obj)) return nullptr;
  vorna::Glm glm;
  Vector y;
  if (!parse_glm(family, link, glm) || !py::to_vector(y_obj, "y", y)) return nullptr;
  if (auto checked = vorna::check_response(glm.distribution, vorna::VectorView(y), 0); !checked)
    return py::raise_value_error(checked.error().message);
  Py_RETURN_NONE;
  VORNA_PY_END
}

PyMethodDef g_methods[] = {
    {"check_response", engine_check_response, METH_VARARGS,
     "check_response(family, link, y) -> None, or ValueError naming the first y outside the family's range"},
    {"negligible_deviance", engine_negligible_deviance, METH_VARARGS,
     "negligible_deviance(family, link, mean, weight_sum) -> the deviance of rounding for such a response"},
    {"deviance_residuals", engine_deviance_residuals, METH_VARARGS,
     "deviance_residuals(family, link, y, mu, weights) -> sign(y − μ)·√(unit deviance)"},
    {"inverse_link", engine_inverse_link, METH_VARARGS, "inverse_link(family, link, eta) -> mu"},
    {"family_info", engine_family_info, METH_VARARGS,
     "family_info(family) -> (canonical link, admitted links, scale known)"},
    {"model_matrix", engine_model_matrix, METH_VARARGS, "model_matrix(terms, data) -> n × p array"},
    {"column_sums", engine_column_sums, METH_VARARGS,
     "column_sums(terms, data, threads=1) -> column sums of the model matrix (threads 0: all cores)"},
    {"predict", engine_predict, METH_VARARGS,
     "predict(terms, data, beta, cov or None, per_term) -> (eta, se, term values, term se)"},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit)), METH_VARARGS | METH_KEYWORDS,
     "fit(terms, data, y, weights, offset, penalties, family, link, criterion, lam=None, max_iter=100) -> dict"},
    {"penalty", engine_penalty, METH_VARARGS, "penalty(kind, knots) -> the basis's curvature penalty"},
    {"split_below", engine_split_below, METH_VARARGS,
     "split_below(values, pivot) -> (values below pivot then the others, count below)"},
    {"sorted_column_sums", engine_sorted_column_sums, METH_VARARGS,
     "sorted_column_sums(knots, values) -> column sums of the cr basis over ascending values, or None"},
    {"partition_pass", engine_partition_pass, METH_VARARGS,
     "partition_pass(terms, data, y, weights, offset, family, link, request, threads=1) -> sums of one part"},
    {"add_sums", engine_add_sums, METH_VARARGS, "add_sums(a, b) -> the sums of two parts' passes"},
    {"partition_moments", engine_partition_moments, METH_VARARGS,
     "partition_moments(family, link, y, weights, offset, first_row=0) -> (Σw, Σwy, Σw·offset, Σlog w, "
     "observations, rows, non-zero offsets)"},
    {"fit_passes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_passes)),
     METH_VARARGS | METH_KEYWORDS,
     "fit_passes(width, intercept, moments, pass_, null_pass, penalties, family, link, criterion, lam=None, "
     "max_iter=100, warm=None) -> dict"},
    {"sample_stride", engine_sample_stride, METH_VARARGS,
     "sample_stride(rows, most_rows=0) -> k of the every-k-th-row sample a fit starts from, 0 for none"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT,
                            "_engine",
                            "The vorna modelling layer's numerical engine.",
                            -1,
                            g_methods,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
  import_array();
  vorna::configure_blas_threads();
  if (!vorna::py::install_interrupt_check()) return nullptr;
  return PyModule_Create(&g_module_def);
}
