// Test access to the smoothing-parameter optimizers and to the selection
// criteria with their derivatives.
#include "selection.hpp"
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

bool parse_problem(PyObject* y, PyObject* x, PyObject* w, PyObject* penalties, PyObject* lambda, Problem& out) {
  return py::to_vector(y, "y", out.y) && py::to_matrix(x, "x", out.x) && py::to_vector(w, "w", out.w) &&
         py::to_matrix_list(penalties, "penalties", out.penalties) && py::to_real_list(lambda, "lambda", out.lambda);
}

// (y, x, w, penalties, lambda[, flag]) -> the new λ from `run` on a record
// that starts at `lambda` as given; a failure carries the record's λ.
template <class Run>
PyObject* run_on_record(PyObject* args, const char* format, Run run) {
  PyObject *y, *x, *w, *penalties, *lambda, *flag_obj = Py_False;
  if (!PyArg_ParseTuple(args, format, &y, &x, &w, &penalties, &lambda, &flag_obj)) return nullptr;
  Problem p;
  bool flag = false;
  if (!parse_problem(y, x, w, penalties, lambda, p) || !py::to_flag(flag_obj, "flag", flag)) return nullptr;
  SmoothingParameter params{p.lambda, SmoothingMethod::REML, false};
  auto result = run(params, p, flag);
  if (!result) return raise_with_record(result.error().display(), params.lambda);
  return py::new_array(params.lambda);
}

// newton_reml(y, x, w, penalties, lambda, known_scale=False)
PyObject* newton_reml_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  return run_on_record(args, "OOOOO|O:newton_reml", [](SmoothingParameter& params, const Problem& p, bool known) {
    return newton_reml(params, p.y, p.x, p.w, p.penalties, nullptr, known);
  });
  VORNA_PY_END
}

// fellner_schall(y, x, w, penalties, lambda)
PyObject* fellner_schall_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  return run_on_record(args, "OOOOO:fellner_schall", [](SmoothingParameter& params, const Problem& p, bool) {
    return fellner_schall(params, p.y, p.x, p.w, p.penalties);
  });
  VORNA_PY_END
}

// optimize(y, x, w, penalties, lambda, method="REML", use_fellner_schall=False,
//          known_scale=False, warm_start=False) -> (λ, converged, iterations, gradient)
PyObject* optimize_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *y, *x, *w, *penalties, *lambda, *fs = Py_False, *known = Py_False, *warm = Py_False;
  const char* method_name = "REML";
  if (!PyArg_ParseTuple(args, "OOOOO|sOOO:optimize", &y, &x, &w, &penalties, &lambda, &method_name, &fs, &known, &warm))
    return nullptr;
  Problem p;
  if (!parse_problem(y, x, w, penalties, lambda, p)) return nullptr;
  const auto method = parse_smoothing_method(method_name);
  if (!method) return py::raise_value_error(std::string("unknown method ") + method_name);
  SmoothingParameter params{p.lambda, *method, false};
  SelectionOptions options;
  if (!py::to_flag(fs, "use_fellner_schall", params.use_fellner_schall) ||
      !py::to_flag(known, "known_scale", options.known_scale) || !py::to_flag(warm, "warm_start", options.warm_start))
    return nullptr;
  SelectionOutcome report;
  auto result = optimize(params, p.y, p.x, p.w, p.penalties, nullptr, options, &report);
  if (!result) return raise_with_record(result.error().display(), params.lambda);
  py::Ref chosen(py::new_array(params.lambda));
  if (!chosen) return nullptr;
  return Py_BuildValue("(OOid)", chosen.get(), report.converged ? Py_True : Py_False, report.iterations,
                       report.gradient);
  VORNA_PY_END
}

// selection_criterion(y, x, w, penalties, rho, criterion, anchor=None)
//   -> (value, gradient, hessian); criterion is "reml", "reml_known", "reml_exact", "ubre" or "gcv".
PyObject* selection_criterion_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *y, *x, *w, *penalties, *rho_obj, *anchor_obj = Py_None;
  const char* name;
  if (!PyArg_ParseTuple(args, "OOOOOs|O:selection_criterion", &y, &x, &w, &penalties, &rho_obj, &name, &anchor_obj))
    return nullptr;
  Problem p;
  if (!parse_problem(y, x, w, penalties, rho_obj, p)) return nullptr;
  Vector anchor;
  if (anchor_obj != Py_None && !py::to_real_list(anchor_obj, "anchor", anchor)) return nullptr;
  const std::string criterion_name(name);
  SelectionCriterion criterion = SelectionCriterion::Gcv;
  if (criterion_name == "reml")
    criterion = SelectionCriterion::RemlProfiledScale;
  else if (criterion_name == "reml_known")
    criterion = SelectionCriterion::RemlKnownScale;
  else if (criterion_name == "reml_exact")
    criterion = SelectionCriterion::Reml;
  else if (criterion_name == "ubre")
    criterion = SelectionCriterion::Ubre;
  else if (criterion_name == "ml")
    criterion = SelectionCriterion::Ml;
  else if (criterion_name == "ml_known")
    criterion = SelectionCriterion::MlKnownScale;
  else if (criterion_name != "gcv")
    return py::raise_value_error("unknown criterion " + criterion_name);
  auto problem = SelectionProblem::build(p.y, p.x, p.w, p.penalties, criterion, nullptr,
                                         anchor_obj == Py_None ? nullptr : &anchor);
  if (!problem) return py::raise_error(problem.error());
  auto at = problem.value().evaluate(p.lambda, true);
  if (!at) return py::raise_error(at.error());
  py::Ref gradient(py::new_array(at.value().gradient));
  py::Ref hessian(gradient ? py::new_array(at.value().hessian) : nullptr);
  if (!hessian) return nullptr;
  return Py_BuildValue("(dOO)", at.value().value, gradient.get(), hessian.get());
  VORNA_PY_END
}

}  // namespace

void add_optimizer_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"newton_reml", newton_reml_py, METH_VARARGS, nullptr});
  table.push_back({"fellner_schall", fellner_schall_py, METH_VARARGS, nullptr});
  table.push_back({"optimize", optimize_py, METH_VARARGS, nullptr});
  table.push_back({"selection_criterion", selection_criterion_py, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
