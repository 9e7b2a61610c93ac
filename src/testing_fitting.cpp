// Test access to the dense linear algebra layer, the families and PiRLS.
//
// Errors of the core become ValueError with the GamError display text; a
// LAPACK error value is shown as a LinAlgError carrying its textual form.
#include "linalg.hpp"
#include "pirls.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

PyObject* raise_lapack(const LapackError& e) { return py::raise_error(GamError::linalg_error(e.to_string())); }

template <class T>
PyObject* matrix_or_error(const Result<T>& r) {
  if (!r) return py::raise_error(r.error());
  return py::new_array(r.value());
}

template <class T>
PyObject* matrix_or_error(const LapackResult<T>& r) {
  if (!r) return raise_lapack(r.error());
  return py::new_array(r.value());
}

// ---- Linear algebra --------------------------------------------------------

PyObject* solve_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *a_obj, *b_obj;
  if (!PyArg_ParseTuple(args, "OO:solve", &a_obj, &b_obj)) return nullptr;
  Matrix a;
  Vector b;
  if (!py::to_matrix(a_obj, "a", a) || !py::to_vector(b_obj, "b", b)) return nullptr;
  return matrix_or_error(solve(std::move(a), std::move(b)));
  VORNA_PY_END
}

PyObject* determinant_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  if (!PyArg_ParseTuple(args, "O:determinant", &a_obj)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  const Result<double> d = determinant(a);
  if (!d) return py::raise_error(d.error());
  return PyFloat_FromDouble(d.value());
  VORNA_PY_END
}

PyObject* inverse_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  if (!PyArg_ParseTuple(args, "O:inverse", &a_obj)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  return matrix_or_error(inverse(a));
  VORNA_PY_END
}

// The number of rows of x must not exceed the length of each vector.
bool check_lengths(const Matrix& x, std::initializer_list<const Vector*> vectors) {
  for (const Vector* v : vectors) {
    if (v->size() < x.rows()) {
      py::raise_value_error("vector shorter than the number of rows");
      return false;
    }
  }
  return true;
}

PyObject* weighted_gram_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *x_obj, *w_obj;
  if (!PyArg_ParseTuple(args, "OO:weighted_gram", &x_obj, &w_obj)) return nullptr;
  Matrix x;
  Vector w;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w)) return nullptr;
  if (!check_lengths(x, {&w})) return nullptr;
  return py::new_array(weighted_gram(x, w));
  VORNA_PY_END
}

PyObject* weighted_xty_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *x_obj, *w_obj, *y_obj;
  if (!PyArg_ParseTuple(args, "OOO:weighted_xty", &x_obj, &w_obj, &y_obj)) return nullptr;
  Matrix x;
  Vector w, y;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) || !py::to_vector(y_obj, "y", y)) return nullptr;
  if (!check_lengths(x, {&w, &y})) return nullptr;
  return py::new_array(weighted_xty(x, w, y));
  VORNA_PY_END
}

// The products read their operands through views, so the binding can hand
// over transposed views (flag `transposed_*`) to reach the column-major path.
ConstMatrixView maybe_transposed(const Matrix& m, bool transposed) {
  return transposed ? m.transposed_view() : m.view();
}

bool conforms(std::size_t a, std::size_t b) {
  if (a == b) return true;
  py::raise_value_error("shapes do not conform");
  return false;
}

// product(kind, a, b=None, a_transposed=False, b_transposed=False) with kind
// one of "matmul", "matmul_tn", "gram", "matvec", "matvec_t", "transpose";
// b is a matrix for the first two and a vector for the matvecs.
PyObject* product_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* kind;
  PyObject *a_obj, *b_obj = Py_None;
  int a_t = 0, b_t = 0;
  if (!PyArg_ParseTuple(args, "sO|Opp:product", &kind, &a_obj, &b_obj, &a_t, &b_t)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  const ConstMatrixView av = maybe_transposed(a, a_t);
  const std::string k(kind);
  if (k == "gram") return py::new_array(gram(av));
  if (k == "transpose") return py::new_array(transpose(av));
  if (k == "matvec" || k == "matvec_t") {
    Vector x;
    if (!py::to_vector(b_obj, "b", x)) return nullptr;
    if (k == "matvec") return conforms(av.cols(), x.size()) ? py::new_array(matvec(av, x)) : nullptr;
    return conforms(av.rows(), x.size()) ? py::new_array(matvec_t(av, x)) : nullptr;
  }
  if (k == "matmul" || k == "matmul_tn") {
    Matrix b;
    if (!py::to_matrix(b_obj, "b", b)) return nullptr;
    const ConstMatrixView bv = maybe_transposed(b, b_t);
    if (k == "matmul") return conforms(av.cols(), bv.rows()) ? py::new_array(matmul(av, bv)) : nullptr;
    return conforms(av.rows(), bv.rows()) ? py::new_array(matmul_tn(av, bv)) : nullptr;
  }
  return py::raise_value_error("unknown product " + k);
  VORNA_PY_END
}

PyObject* qr_r_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  if (!PyArg_ParseTuple(args, "O:qr_r", &a_obj)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  return matrix_or_error(qr_r(a));
  VORNA_PY_END
}

// cholesky(a, upper)
PyObject* cholesky_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  int upper = 1;
  if (!PyArg_ParseTuple(args, "Op:cholesky", &a_obj, &upper)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  return matrix_or_error(upper ? cholesky_upper(a) : cholesky_lower(a));
  VORNA_PY_END
}

// triangular_solve(t, upper, transpose, b)
PyObject* triangular_solve_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *t_obj, *b_obj;
  int upper = 1, trans = 0;
  if (!PyArg_ParseTuple(args, "OppO:triangular_solve", &t_obj, &upper, &trans, &b_obj)) return nullptr;
  Matrix t, b;
  if (!py::to_matrix(t_obj, "t", t) || !py::to_matrix(b_obj, "b", b)) return nullptr;
  return matrix_or_error(triangular_solve(t, upper, trans, b));
  VORNA_PY_END
}

// symmetric_eigen(s) -> (values, vectors)
PyObject* symmetric_eigen_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* s_obj;
  if (!PyArg_ParseTuple(args, "O:symmetric_eigen", &s_obj)) return nullptr;
  Matrix s;
  if (!py::to_matrix(s_obj, "s", s)) return nullptr;
  const auto e = symmetric_eigen(s);
  if (!e) return raise_lapack(e.error());
  py::Ref values(py::new_array(e.value().values));
  if (!values) return nullptr;
  py::Ref vectors(py::new_array(e.value().vectors));
  if (!vectors) return nullptr;
  return PyTuple_Pack(2, values.get(), vectors.get());
  VORNA_PY_END
}

// lu_inverse(a): dgetrf then dgetri.
PyObject* lu_inverse_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  if (!PyArg_ParseTuple(args, "O:lu_inverse", &a_obj)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  const auto f = lu_factor(a);
  if (!f) return raise_lapack(f.error());
  return matrix_or_error(lu_inverse(f.value()));
  VORNA_PY_END
}

// lu_solve(a, b): dgetrf then dgetrs; b is n × k.
PyObject* lu_solve_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *a_obj, *b_obj;
  if (!PyArg_ParseTuple(args, "OO:lu_solve", &a_obj, &b_obj)) return nullptr;
  Matrix a, b;
  if (!py::to_matrix(a_obj, "a", a) || !py::to_matrix(b_obj, "b", b)) return nullptr;
  const auto f = lu_factor(a);
  if (!f) return raise_lapack(f.error());
  return matrix_or_error(lu_solve(f.value(), b));
  VORNA_PY_END
}

// lu_factor(a) -> (lu, ipiv as a float array)
PyObject* lu_factor_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* a_obj;
  if (!PyArg_ParseTuple(args, "O:lu_factor", &a_obj)) return nullptr;
  Matrix a;
  if (!py::to_matrix(a_obj, "a", a)) return nullptr;
  const auto f = lu_factor(a);
  if (!f) return raise_lapack(f.error());
  py::Ref lu(py::new_array(f.value().lu));
  if (!lu) return nullptr;
  py::Ref ipiv(py::new_array(Vector(f.value().ipiv.begin(), f.value().ipiv.end())));
  if (!ipiv) return nullptr;
  return PyTuple_Pack(2, lu.get(), ipiv.get());
  VORNA_PY_END
}

// ---- Families -------------------------------------------------------------------

bool to_family(PyObject* obj, Family& out) {
  std::string name;
  if (!py::to_string(obj, "family", name)) return false;
  const std::optional<Family> f = family_from_name(name);
  if (!f) {
    py::raise_value_error("unknown family '" + name + "'");
    return false;
  }
  out = *f;
  return true;
}

// family_op(op, family, a, b=None, c=None): op one of "initial_eta" (y),
// "link_inverse" (eta), "mu_eta" (eta), "variance" (mu), "working_weights"
// (eta), "working_response" (eta, mu, y), "deviance" (y, mu; a float).
PyObject* family_op_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* op;
  PyObject *family_obj, *a_obj, *b_obj = nullptr, *c_obj = nullptr;
  if (!PyArg_ParseTuple(args, "sOO|OO:family_op", &op, &family_obj, &a_obj, &b_obj, &c_obj)) return nullptr;
  Family family{};
  if (!to_family(family_obj, family)) return nullptr;
  Vector a, b, c;
  if (!py::to_vector(a_obj, "a", a)) return nullptr;
  const std::string k(op);
  if (k == "initial_eta") return py::new_array(initial_eta(family, a));
  if (k == "link_inverse") return py::new_array(link_inverse(family, a));
  if (k == "mu_eta") return py::new_array(mu_eta(family, a));
  if (k == "variance") return py::new_array(variance(family, a));
  if (k == "working_weights") return py::new_array(working_weights(family, a));
  if (k == "deviance") {  // a = y, b = mu
    if (!b_obj) return py::raise_value_error("deviance needs y and mu");
    if (!py::to_vector(b_obj, "b", b)) return nullptr;
    if (b.size() < a.size()) return py::raise_value_error("mu shorter than y");
    return PyFloat_FromDouble(deviance(family, a, b));
  }
  if (k == "working_response") {  // a = eta, b = mu, c = y
    if (!b_obj || !c_obj) return py::raise_value_error("working_response needs eta, mu and y");
    if (!py::to_vector(b_obj, "b", b) || !py::to_vector(c_obj, "c", c)) return nullptr;
    if (b.size() < a.size() || c.size() < a.size()) return py::raise_value_error("mu or y shorter than eta");
    return py::new_array(working_response(family, a, b, c));
  }
  return py::raise_value_error("unknown family operation " + k);
  VORNA_PY_END
}

// ---- PiRLS -----------------------------------------------------------------------

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  py::Ref v(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

// pirls(x, y, lambdas, penalties, family) -> dict of the result record.
PyObject* pirls_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *x_obj, *y_obj, *l_obj, *s_obj, *family_obj;
  if (!PyArg_ParseTuple(args, "OOOOO:pirls", &x_obj, &y_obj, &l_obj, &s_obj, &family_obj)) return nullptr;
  Matrix x;
  Vector y, lambdas;
  std::vector<Matrix> penalties;
  Family family{};
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(y_obj, "y", y) || !py::to_real_list(l_obj, "lambdas", lambdas) ||
      !py::to_matrix_list(s_obj, "penalties", penalties) || !to_family(family_obj, family))
    return nullptr;
  const Result<PirlsResult> r = pirls(x, y, lambdas, penalties, family);
  if (!r) return py::raise_error(r.error());
  const PirlsResult& f = r.value();
  py::Ref dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "coefficients", py::new_array(f.coefficients)) ||
      !set_item(dict.get(), "fitted_values", py::new_array(f.fitted_values)) ||
      !set_item(dict.get(), "linear_predictor", py::new_array(f.linear_predictor)) ||
      !set_item(dict.get(), "weights", py::new_array(f.weights)) ||
      !set_item(dict.get(), "deviance", PyFloat_FromDouble(f.deviance)) ||
      !set_item(dict.get(), "iterations", PyLong_FromSize_t(f.iterations)) ||
      !set_item(dict.get(), "converged", PyBool_FromLong(f.converged)))
    return nullptr;
  return dict.release();
  VORNA_PY_END
}

// blockwise_r_factor(x, w, lambdas, roots) -> R
PyObject* blockwise_r_factor_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *x_obj, *w_obj, *l_obj, *r_obj;
  if (!PyArg_ParseTuple(args, "OOOO:blockwise_r_factor", &x_obj, &w_obj, &l_obj, &r_obj)) return nullptr;
  Matrix x;
  Vector w, lambdas;
  std::vector<Matrix> roots;
  if (!py::to_matrix(x_obj, "x", x) || !py::to_vector(w_obj, "w", w) || !py::to_real_list(l_obj, "lambdas", lambdas) ||
      !py::to_matrix_list(r_obj, "roots", roots))
    return nullptr;
  return matrix_or_error(blockwise_r_factor(x, w, lambdas, roots));
  VORNA_PY_END
}

}  // namespace

void add_fitting_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"solve", solve_py, METH_VARARGS, nullptr});
  table.push_back({"determinant", determinant_py, METH_VARARGS, nullptr});
  table.push_back({"inverse", inverse_py, METH_VARARGS, nullptr});
  table.push_back({"weighted_gram", weighted_gram_py, METH_VARARGS, nullptr});
  table.push_back({"weighted_xty", weighted_xty_py, METH_VARARGS, nullptr});
  table.push_back({"product", product_py, METH_VARARGS, nullptr});
  table.push_back({"qr_r", qr_r_py, METH_VARARGS, nullptr});
  table.push_back({"cholesky", cholesky_py, METH_VARARGS, nullptr});
  table.push_back({"triangular_solve", triangular_solve_py, METH_VARARGS, nullptr});
  table.push_back({"symmetric_eigen", symmetric_eigen_py, METH_VARARGS, nullptr});
  table.push_back({"lu_factor", lu_factor_py, METH_VARARGS, nullptr});
  table.push_back({"lu_solve", lu_solve_py, METH_VARARGS, nullptr});
  table.push_back({"lu_inverse", lu_inverse_py, METH_VARARGS, nullptr});
  table.push_back({"family_op", family_op_py, METH_VARARGS, nullptr});
  table.push_back({"pirls", pirls_py, METH_VARARGS, nullptr});
  table.push_back({"blockwise_r_factor", blockwise_r_factor_py, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
