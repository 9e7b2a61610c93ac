// Test access to the exact REML Hessian and to the Newton-PIRLS optimizer
// with every configuration field, including the trust-region variant that
// the public module never selects, and to the pieces of one iteration.
#include "newton_optimizer.hpp"
#include "reml_hessian.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

bool is_none(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// reml_hessian_multi_qr(y, x, w, lambdas, penalties) -> m × m array
PyObject* reml_hessian_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *y_obj, *x_obj, *w_obj, *lam_obj, *pen_obj;
  if (!PyArg_ParseTuple(args, "OOOOO:reml_hessian_multi_qr", &y_obj, &x_obj, &w_obj, &lam_obj, &pen_obj))
    return nullptr;
  Vector y, w, lambdas;
  Matrix x;
  std::vector<Matrix> penalties;
  if (!py::to_vector(y_obj, "y", y) || !py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) ||
      !py::to_real_list(lam_obj, "lambdas", lambdas) || !py::to_matrix_list(pen_obj, "penalties", penalties))
    return nullptr;
  auto h = reml_hessian_multi_qr(y, x, w, lambdas, penalties);
  if (!h) return py::raise_error(h.error());
  return py::new_array(h.value());
  VORNA_PY_END
}

// Reads the optional keyword fields of NewtonConfig; None keeps the default.
bool to_config(PyObject* kwargs, NewtonConfig& config) {
  if (kwargs == nullptr) return true;
  auto get = [&](const char* name) { return PyDict_GetItemString(kwargs, name); };
  auto count = [&](const char* name, std::size_t& out) {
    PyObject* obj = get(name);
    return is_none(obj) || py::to_count(obj, name, out);
  };
  auto real = [&](const char* name, double& out) {
    PyObject* obj = get(name);
    return is_none(obj) || py::to_real(obj, name, out);
  };
  auto flag = [&](const char* name, bool& out) {
    PyObject* obj = get(name);
    return is_none(obj) || py::to_flag(obj, name, out);
  };
  static const char* const kFields[] = {"max_iter",       "grad_tol",   "min_step", "step_shrink", "max_line_search",
                                        "initial_radius", "max_radius", "eta",      "verbose",     "use_trust_region"};
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    bool known = false;
    for (const char* field : kFields) known = known || PyUnicode_CompareWithASCIIString(key, field) == 0;
    if (!known) {
      PyErr_Format(PyExc_TypeError, "newton_pirls() got an unexpected keyword argument '%U'", key);
      return false;
    }
  }
  return count("max_iter", config.max_iter) && real("grad_tol", config.grad_tol) && real("min_step", config.min_step) &&
         real("step_shrink", config.step_shrink) && count("max_line_search", config.max_line_search) &&
         real("initial_radius", config.initial_radius) && real("max_radius", config.max_radius) &&
         real("eta", config.eta) && flag("verbose", config.verbose) &&
         flag("use_trust_region", config.use_trust_region);
}

PyObject* to_dict(const NewtonResult& r) {
  py::Ref log_lambda(py::new_array(r.log_lambda));
  py::Ref lambda(py::new_array(r.lambda));
  if (!log_lambda || !lambda) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:d,s:n,s:O,s:s#}", "log_lambda", log_lambda.get(), "lambda", lambda.get(), "reml",
                       r.reml, "iterations", static_cast<Py_ssize_t>(r.iterations), "converged",
                       r.converged ? Py_True : Py_False, "message", r.message.data(),
                       static_cast<Py_ssize_t>(r.message.size()));
}

// newton_pirls(y, x, w, initial_rho, penalties, **config) -> dict with the
// NewtonResult fields; config keywords are the NewtonConfig field names.
PyObject* newton_pirls_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  PyObject *y_obj, *x_obj, *w_obj, *rho_obj, *pen_obj;
  if (!PyArg_ParseTuple(args, "OOOOO:newton_pirls", &y_obj, &x_obj, &w_obj, &rho_obj, &pen_obj)) return nullptr;
  Vector y, w, rho;
  Matrix x;
  std::vector<Matrix> penalties;
  NewtonConfig config;
  if (!py::to_vector(y_obj, "y", y) || !py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) ||
      !py::to_vector(rho_obj, "initial_rho", rho) || !py::to_matrix_list(pen_obj, "penalties", penalties) ||
      !to_config(kwargs, config))
    return nullptr;
  auto result = newton_pirls(config, y, x, w, rho, penalties);
  if (!result) return py::raise_error(result.error());
  return to_dict(result.value());
  VORNA_PY_END
}

// newton_direction(h, g) -> p with H·p = −g (ridged once if needed)
PyObject* newton_direction_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *h_obj, *g_obj;
  if (!PyArg_ParseTuple(args, "OO:newton_direction", &h_obj, &g_obj)) return nullptr;
  Matrix h;
  Vector g;
  if (!py::to_matrix(h_obj, "h", h) || !py::to_vector(g_obj, "g", g)) return nullptr;
  if (!h.is_square() || h.rows() != g.size()) return py::raise_value_error("h must be m × m");
  auto p = newton_direction(h, g);
  if (!p) return py::raise_error(p.error());
  return py::new_array(p.value());
  VORNA_PY_END
}

// trust_region_step(g, h, newton, descent, radius) -> (step, kind, beta)
PyObject* trust_region_step_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *g_obj, *h_obj, *n_obj, *descent_obj;
  double radius;
  if (!PyArg_ParseTuple(args, "OOOOd:trust_region_step", &g_obj, &h_obj, &n_obj, &descent_obj, &radius)) return nullptr;
  Vector g, newton;
  Matrix h;
  bool descent = true;
  if (!py::to_vector(g_obj, "g", g) || !py::to_matrix(h_obj, "h", h) || !py::to_vector(n_obj, "newton", newton) ||
      !py::to_flag(descent_obj, "descent", descent))
    return nullptr;
  if (!h.is_square() || h.rows() != g.size() || newton.size() != g.size())
    return py::raise_value_error("g, h and newton must agree in m");
  const TrustStep s = trust_region_step(g, h, newton, descent, radius);
  const char* kind = s.kind == TrustStepKind::Newton         ? "newton"
                     : s.kind == TrustStepKind::ScaledCauchy ? "scaled_cauchy"
                     : s.kind == TrustStepKind::Dogleg       ? "dogleg"
                                                             : "cauchy_not_descent";
  py::Ref step(py::new_array(s.step));
  if (!step) return nullptr;
  return Py_BuildValue("(Osd)", step.get(), kind, s.dogleg_beta);
  VORNA_PY_END
}

PyObject* updated_radius_py(PyObject*, PyObject* args) {
  double ratio, step_norm, radius, max_radius;
  if (!PyArg_ParseTuple(args, "dddd:updated_radius", &ratio, &step_norm, &radius, &max_radius)) return nullptr;
  return PyFloat_FromDouble(updated_radius(ratio, step_norm, radius, max_radius));
}

template <class F>
PyCFunction with_keywords(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

void add_newton_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"reml_hessian_multi_qr", reml_hessian_py, METH_VARARGS, nullptr});
  table.push_back({"newton_pirls", with_keywords(newton_pirls_py), METH_VARARGS | METH_KEYWORDS, nullptr});
  table.push_back({"newton_direction", newton_direction_py, METH_VARARGS, nullptr});
  table.push_back({"trust_region_step", trust_region_step_py, METH_VARARGS, nullptr});
  table.push_back({"updated_radius", updated_radius_py, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
