// Test access to the smoothness criteria: penalty roots, the REML criterion,
// the stacked factor, the penalized coefficients and the QR-route gradient.
// Optional arguments accept None.
#include "reml.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

// The arguments every criterion shares: y, x, w, lambdas, penalties.
struct Problem {
  Vector y;
  Matrix x;
  Vector w;
  Vector lambdas;
  std::vector<Matrix> penalties;
};

bool to_problem(PyObject* y, PyObject* x, PyObject* w, PyObject* lambdas, PyObject* penalties, Problem& out) {
  return py::to_vector(y, "y", out.y) && py::to_matrix(x, "x", out.x) && py::to_vector(w, "w", out.w) &&
         py::to_real_list(lambdas, "lambdas", out.lambdas) && py::to_matrix_list(penalties, "penalties", out.penalties);
}

bool is_none(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// None leaves `out` empty; `present` tells the two apart.
bool optional_matrix(PyObject* obj, const char* name, Matrix& out, bool& present) {
  present = !is_none(obj);
  return !present || py::to_matrix(obj, name, out);
}
bool optional_vector(PyObject* obj, const char* name, Vector& out, bool& present) {
  present = !is_none(obj);
  return !present || py::to_vector(obj, name, out);
}
bool optional_matrix_list(PyObject* obj, const char* name, std::vector<Matrix>& out, bool& present) {
  present = !is_none(obj);
  return !present || py::to_matrix_list(obj, name, out);
}

PyObject* new_list(const std::vector<Matrix>& matrices) {
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(matrices.size())));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < matrices.size(); ++j) {
    PyObject* arr = py::new_array(matrices[j]);
    if (!arr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), arr);
  }
  return list.release();
}

PyObject* new_count_list(const std::vector<std::size_t>& counts) {
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < counts.size(); ++j) {
    PyObject* item = PyLong_FromSize_t(counts[j]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
  }
  return list.release();
}

PyObject* penalty_sqrt_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* s_obj;
  if (!PyArg_ParseTuple(args, "O:penalty_sqrt", &s_obj)) return nullptr;
  Matrix s;
  if (!py::to_matrix(s_obj, "s", s)) return nullptr;
  auto l = penalty_sqrt(s);
  if (!l) return py::raise_error(l.error());
  return py::new_array(l.value());
  VORNA_PY_END
}

PyObject* criterion_rank_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* s_obj;
  if (!PyArg_ParseTuple(args, "O:criterion_rank", &s_obj)) return nullptr;
  Matrix s;
  if (!py::to_matrix(s_obj, "s", s)) return nullptr;
  return PyLong_FromSize_t(criterion_rank(s));
  VORNA_PY_END
}

PyObject* reml_criterion_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kw[] = {"y", "x", "w", "lambdas", "penalties", "xtwx", "xtwy", nullptr};
  PyObject *y, *x, *w, *lam, *pen, *xtwx_obj = nullptr, *xtwy_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OO:reml_criterion", const_cast<char**>(kw), &y, &x, &w, &lam,
                                   &pen, &xtwx_obj, &xtwy_obj))
    return nullptr;
  Problem pr;
  Matrix xtwx;
  Vector xtwy;
  bool has_xtwx = false, has_xtwy = false;
  if (!to_problem(y, x, w, lam, pen, pr) || !optional_matrix(xtwx_obj, "xtwx", xtwx, has_xtwx) ||
      !optional_vector(xtwy_obj, "xtwy", xtwy, has_xtwy))
    return nullptr;
  auto v = reml_criterion(pr.y, pr.x, pr.w, pr.lambdas, pr.penalties, has_xtwx ? &xtwx : nullptr,
                          has_xtwy ? &xtwy : nullptr);
  if (!v) return py::raise_error(v.error());
  return PyFloat_FromDouble(v.value());
  VORNA_PY_END
}

// stacked_factor(x, w, lambdas, penalties, roots=None) -> (R, ranks, roots)
PyObject* stacked_factor_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kw[] = {"x", "w", "lambdas", "penalties", "roots", nullptr};
  PyObject *x_obj, *w_obj, *lam, *pen, *roots_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:stacked_factor", const_cast<char**>(kw), &x_obj, &w_obj, &lam,
                                   &pen, &roots_obj))
    return nullptr;
  Matrix x;
  Vector w, lambdas;
  std::vector<Matrix> penalties, roots;
  bool has_roots = false;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) || !py::to_real_list(lam, "lambdas", lambdas) ||
      !py::to_matrix_list(pen, "penalties", penalties) || !optional_matrix_list(roots_obj, "roots", roots, has_roots))
    return nullptr;
  auto f = stacked_factor(x, w, lambdas, penalties, has_roots ? &roots : nullptr);
  if (!f) return py::raise_error(f.error());
  py::Ref r(py::new_array(f.value().r));
  py::Ref ranks(new_count_list(f.value().ranks));
  py::Ref used(new_list(f.value().roots));
  if (!r || !ranks || !used) return nullptr;
  return PyTuple_Pack(3, r.get(), ranks.get(), used.get());
  VORNA_PY_END
}

// penalized_coefficients(y, x, w, lambdas, penalties, total_rank, xtwx=None, xtwy=None)
//   -> {"beta", "xtwe", "rss", "penalty", "phi", "total_rank"}
PyObject* penalized_coefficients_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kw[] = {"y", "x", "w", "lambdas", "penalties", "total_rank", "xtwx", "xtwy", nullptr};
  PyObject *y, *x, *w, *lam, *pen, *rank_obj, *xtwx_obj = nullptr, *xtwy_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|OO:penalized_coefficients", const_cast<char**>(kw), &y, &x, &w,
                                   &lam, &pen, &rank_obj, &xtwx_obj, &xtwy_obj))
    return nullptr;
  Problem pr;
  std::size_t total_rank = 0;
  Matrix xtwx;
  Vector xtwy;
  bool has_xtwx = false, has_xtwy = false;
  if (!to_problem(y, x, w, lam, pen, pr) || !py::to_count(rank_obj, "total_rank", total_rank) ||
      !optional_matrix(xtwx_obj, "xtwx", xtwx, has_xtwx) || !optional_vector(xtwy_obj, "xtwy", xtwy, has_xtwy))
    return nullptr;
  auto fit = penalized_coefficients(pr.y, pr.x, pr.w, pr.lambdas, pr.penalties, total_rank, has_xtwx ? &xtwx : nullptr,
                                    has_xtwy ? &xtwy : nullptr);
  if (!fit) return py::raise_error(fit.error());
  const PenalizedFit& f = fit.value();
  py::Ref beta(py::new_array(f.beta));
  py::Ref xtwe(py::new_array(f.xtwe));
  if (!beta || !xtwe) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:d,s:d,s:d,s:n}", "beta", beta.get(), "xtwe", xtwe.get(), "rss", f.rss, "penalty",
                       f.penalty, "phi", f.phi, "total_rank", static_cast<Py_ssize_t>(f.total_rank));
  VORNA_PY_END
}

// reml_gradient_multi_qr(y, x, w, lambdas, penalties, roots=None, xtwx=None, xtwy=None)
PyObject* reml_gradient_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  VORNA_PY_BEGIN
  static const char* kw[] = {"y", "x", "w", "lambdas", "penalties", "roots", "xtwx", "xtwy", nullptr};
  PyObject *y, *x, *w, *lam, *pen, *roots_obj = nullptr, *xtwx_obj = nullptr, *xtwy_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOO:reml_gradient_multi_qr", const_cast<char**>(kw), &y, &x, &w,
                                   &lam, &pen, &roots_obj, &xtwx_obj, &xtwy_obj))
    return nullptr;
  Problem pr;
  std::vector<Matrix> roots;
  Matrix xtwx;
  Vector xtwy;
  bool has_roots = false, has_xtwx = false, has_xtwy = false;
  if (!to_problem(y, x, w, lam, pen, pr) || !optional_matrix_list(roots_obj, "roots", roots, has_roots) ||
      !optional_matrix(xtwx_obj, "xtwx", xtwx, has_xtwx) || !optional_vector(xtwy_obj, "xtwy", xtwy, has_xtwy))
    return nullptr;
  auto g = reml_gradient_multi_qr(pr.y, pr.x, pr.w, pr.lambdas, pr.penalties, has_roots ? &roots : nullptr,
                                  has_xtwx ? &xtwx : nullptr, has_xtwy ? &xtwy : nullptr);
  if (!g) return py::raise_error(g.error());
  return py::new_array(g.value());
  VORNA_PY_END
}

template <class F>
PyCFunction with_keywords(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

void add_criteria_methods(std::vector<PyMethodDef>& table) {
  constexpr int kKw = METH_VARARGS | METH_KEYWORDS;
  table.push_back({"penalty_sqrt", penalty_sqrt_py, METH_VARARGS, nullptr});
  table.push_back({"criterion_rank", criterion_rank_py, METH_VARARGS, nullptr});
  table.push_back({"reml_criterion", with_keywords(reml_criterion_py), kKw, nullptr});
  table.push_back({"stacked_factor", with_keywords(stacked_factor_py), kKw, nullptr});
  table.push_back({"penalized_coefficients", with_keywords(penalized_coefficients_py), kKw, nullptr});
  table.push_back({"reml_gradient_multi_qr", with_keywords(reml_gradient_multi_qr_py), kKw, nullptr});
}

}  // namespace vorna::testing
