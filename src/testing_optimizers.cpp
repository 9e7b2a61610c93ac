// Test access to the smoothing-parameter optimizers and to the separate
// rules of the Newton optimizer (step, line search, fall-back).
#include "smooth.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

// ValueError(display) carrying the record's λ after the failed call as the
// attribute `lambda_after`, so that tests can see what a failure left behind.
PyObject* raise_with_record(const std::string& message, const Vector& lambda) {
  py::Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  py::Ref error(PyObject_CallOneArg(PyExc_ValueError, text.get()));
  if (!error) return nullptr;
  py::Ref record(py::new_array(lambda));
  if (!record || PyObject_SetAttrString(error.get(), "lambda_after", record.get()) < 0) return nullptr;
  PyErr_SetObject(PyExc_ValueError, error.get());
  return nullptr;
}

struct Problem {
  Vector y, w, lambda;
  Matrix x;
  std::vector<Matrix> penalties;
};

bool parse_problem(PyObject* y, PyObject* x, PyObject* w, PyObject* penalties, PyObject* lambda,
                   Problem& out) {
  return py::to_vector(y, "y", out.y) && py::to_matrix(x, "x", out.x) && py::to_vector(w, "w", out.w) &&
         py::to_matrix_list(penalties, "penalties", out.penalties) &&
         py::to_real_list(lambda, "lambda", out.lambda);
}

using Optimizer = Result<void> (*)(SmoothingParameter&, VectorView, ConstMatrixView, VectorView,
                                   std::span<const Matrix>, const CrossProducts*);

// (y, x, w, penalties, lambda) -> the new λ; the record starts at `lambda` as given.
PyObject* run_optimizer(PyObject* args, const char* format, Optimizer optimizer) {
  PyObject *y, *x, *w, *penalties, *lambda;
  if (!PyArg_ParseTuple(args, format, &y, &x, &w, &penalties, &lambda)) return nullptr;
  Problem p;
  if (!parse_problem(y, x, w, penalties, lambda, p)) return nullptr;
  SmoothingParameter params{p.lambda, SmoothingMethod::REML, false};
  auto result = optimizer(params, p.y, p.x, p.w, p.penalties, nullptr);
  if (!result) return raise_with_record(result.error().display(), params.lambda);
  return py::new_array(params.lambda);
}

PyObject* newton_reml_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  return run_optimizer(args, "OOOOO:newton_reml", &newton_reml);
  VORNA_PY_END
}

PyObject* fellner_schall_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  return run_optimizer(args, "OOOOO:fellner_schall", &fellner_schall);
  VORNA_PY_END
}

// optimize(y, x, w, penalties, lambda, method="REML", use_fellner_schall=False)
PyObject* optimize_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *y, *x, *w, *penalties, *lambda, *fs = Py_False;
  const char* method_name = "REML";
  if (!PyArg_ParseTuple(args, "OOOOO|sO:optimize", &y, &x, &w, &penalties, &lambda, &method_name, &fs))
    return nullptr;
  Problem p;
  if (!parse_problem(y, x, w, penalties, lambda, p)) return nullptr;
  const auto method = parse_smoothing_method(method_name);
  if (!method) return py::raise_value_error(std::string("unknown method ") + method_name);
  SmoothingParameter params{p.lambda, *method, false};
  if (!py::to_flag(fs, "use_fellner_schall", params.use_fellner_schall)) return nullptr;
  auto result = optimize(params, p.y, p.x, p.w, p.penalties);
  if (!result) return raise_with_record(result.error().display(), params.lambda);
  return py::new_array(params.lambda);
  VORNA_PY_END
}

// newton_step(gradient, hessian) -> (direction, reported_norm)
PyObject* newton_step_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *g_obj, *h_obj;
  if (!PyArg_ParseTuple(args, "OO:newton_step", &g_obj, &h_obj)) return nullptr;
  Vector g;
  Matrix h;
  if (!py::to_vector(g_obj, "gradient", g) || !py::to_matrix(h_obj, "hessian", h)) return nullptr;
  if (h.rows() != g.size() || h.cols() != g.size()) return py::raise_value_error("hessian must be m x m");
  auto step = newton::preconditioned_step(g, h);
  if (!step) return py::raise_error(step.error());
  py::Ref direction(py::new_array(step.value().direction));
  if (!direction) return nullptr;
  return Py_BuildValue("(Od)", direction.get(), step.value().norm);
  VORNA_PY_END
}

// Wraps a Python callable f(scale) -> float, or None for a failed criterion.
// A Python exception stops further calls and is re-raised by the caller.
newton::TrialCriterion python_criterion(PyObject* fn) {
  return [fn](double scale) -> Result<double> {
    if (PyErr_Occurred()) return GamError::invalid_parameter("callback raised");
    py::Ref value(PyObject_CallFunction(fn, "d", scale));
    if (!value) return GamError::invalid_parameter("callback raised");
    if (value.get() == Py_None) return GamError::invalid_parameter("criterion failed");
    const double v = PyFloat_AsDouble(value.get());
    if (v == -1.0 && PyErr_Occurred()) return GamError::invalid_parameter("callback raised");
    return v;
  };
}

// line_search(value, slope, max_halvings, f) -> (scale, best_value)
PyObject* line_search_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  double value, slope;
  int halvings;
  PyObject* fn;
  if (!PyArg_ParseTuple(args, "ddiO:line_search", &value, &slope, &halvings, &fn)) return nullptr;
  const auto outcome = newton::line_search(value, slope, halvings, python_criterion(fn));
  if (PyErr_Occurred()) return nullptr;
  return Py_BuildValue("(dd)", outcome.scale, outcome.value);
  VORNA_PY_END
}

// steepest_descent(value, f) -> the accepted size or None
PyObject* steepest_descent_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  double value;
  PyObject* fn;
  if (!PyArg_ParseTuple(args, "dO:steepest_descent", &value, &fn)) return nullptr;
  const auto taken = newton::steepest_descent(value, python_criterion(fn));
  if (PyErr_Occurred()) return nullptr;
  if (!taken) Py_RETURN_NONE;
  return PyFloat_FromDouble(taken->scale);
  VORNA_PY_END
}

PyObject* max_halvings_py(PyObject*, PyObject* args) {
  double ginf;
  if (!PyArg_ParseTuple(args, "d:max_halvings", &ginf)) return nullptr;
  return PyLong_FromLong(newton::max_halvings(ginf));
}

}  // namespace

void add_optimizer_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"newton_reml", newton_reml_py, METH_VARARGS, nullptr});
  table.push_back({"fellner_schall", fellner_schall_py, METH_VARARGS, nullptr});
  table.push_back({"optimize", optimize_py, METH_VARARGS, nullptr});
  table.push_back({"newton_step", newton_step_py, METH_VARARGS, nullptr});
  table.push_back({"line_search", line_search_py, METH_VARARGS, nullptr});
  table.push_back({"steepest_descent", steepest_descent_py, METH_VARARGS, nullptr});
  table.push_back({"max_halvings", max_halvings_py, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
