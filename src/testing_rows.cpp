// Test access to the row passes and their sparse rows: a pass over a term
// model (the path set by VORNA_DENSE_ROWS / VORNA_SPARSE_ROWS), the sparse
// rows and map of a model, and the local form of one basis.
//
// Terms are tuples as the modelling layer's engine takes them:
// ("intercept",), ("linear", col), ("factor", col, levels),
// ("smooth", cols, [(kind, knots), ...], constraint or None, by or None).
#include <memory>
#include <string>

#include "basis.hpp"
#include "glm.hpp"
#include "row_pass.hpp"
#include "sparse_rows.hpp"
#include "terms.hpp"
#include "py_terms.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

using py::parse_model;

// row_pass(terms, data, y, weights, offset, family, link, beta or None, start_fallback, threads)
//   -> (eta, mu, w, xtwx, xtwz, xtwr, rss, deviance, valid): the pass at η = Xβ + offset, or at the
//   start's η without β.
PyObject* row_pass_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *data_obj, *y_obj, *w_obj, *offset_obj, *beta_obj, *threads_obj;
  const char *family = nullptr, *link = nullptr;
  double fallback = 0.0;
  if (!PyArg_ParseTuple(args, "OOOOOssOdO:row_pass", &terms_obj, &data_obj, &y_obj, &w_obj, &offset_obj, &family, &link,
                        &beta_obj, &fallback, &threads_obj))
    return nullptr;
  Matrix data;
  Vector y, weights, offset, beta;
  std::size_t threads = 1;
  if (!py::to_matrix(data_obj, "data", data) || !py::to_vector(y_obj, "y", y) ||
      !py::to_vector(w_obj, "weights", weights) || !py::to_vector(offset_obj, "offset", offset) ||
      !py::to_count(threads_obj, "threads", threads))
    return nullptr;
  if (beta_obj != Py_None && !py::to_vector(beta_obj, "beta", beta)) return nullptr;
  if (weights.size() != y.size() || offset.size() != y.size() || data.rows() != y.size())
    return py::raise_value_error("data, y, weights and offset need one entry per row");
  const auto distribution = distribution_from_name(family);
  const auto chosen_link = link_from_name(link);
  if (!distribution || !chosen_link) return py::raise_value_error("unknown family or link");
  auto model = parse_model(terms_obj, data.cols());
  if (!model) return nullptr;
  if (beta_obj != Py_None && beta.size() != model->width()) return py::raise_value_error("beta must have p entries");
  const RowData rows{model.get(), data, y, weights, offset, Glm{*distribution, *chosen_link}};
  PassRequest request;
  if (beta_obj != Py_None) request.eta.beta = &beta;
  request.start_fallback = fallback;
  const std::size_t n = y.size();
  Vector eta(n), mu(n), w(n);
  auto sums =
      py::without_gil([&] { return row_pass(rows, request, RowOutputs{eta.data(), mu.data(), w.data()}, threads); });
  if (!sums) return py::raise_error(sums.error());
  const PassSums& s = sums.value();
  py::Ref eta_out(py::new_array(eta)), mu_out(py::new_array(mu)), w_out(py::new_array(w));
  py::Ref xtwx(py::new_array(s.xtwx)), xtwz(py::new_array(s.xtwz)), xtwr(py::new_array(s.xtwr));
  if (!eta_out || !mu_out || !w_out || !xtwx || !xtwz || !xtwr) return nullptr;
  return Py_BuildValue("(OOOOOOddO)", eta_out.get(), mu_out.get(), w_out.get(), xtwx.get(), xtwz.get(), xtwr.get(),
                       s.rss, s.deviance, s.valid ? Py_True : Py_False);
  VORNA_PY_END
}

// sparse_rows(terms, data) -> None when the model has no sparse form, else
// (index (n × N, as floats), value (n × N), G (R × p)); fill errors raise.
PyObject* sparse_rows_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *data_obj;
  if (!PyArg_ParseTuple(args, "OO:sparse_rows", &terms_obj, &data_obj)) return nullptr;
  Matrix data;
  if (!py::to_matrix(data_obj, "data", data)) return nullptr;
  auto model = parse_model(terms_obj, data.cols());
  if (!model) return nullptr;
  const auto design = SparseDesign::create(*model);
  if (!design) Py_RETURN_NONE;
  const std::size_t n = data.rows(), entries = design->entries();
  // Blocks of an odd size, so that a block boundary falls inside the rows.
  constexpr std::size_t kTestBlock = 37;
  SparseBlock block = design->make_block(kTestBlock);
  Matrix index(n, entries), value(n, entries);
  for (std::size_t first = 0; first < n; first += kTestBlock) {
    const std::size_t count = std::min(kTestBlock, n - first);
    auto filled = design->fill(data, first, count, block);
    if (!filled) return py::raise_error(filled.error());
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t e = 0; e < entries; ++e) {
        index(first + r, e) = block.index[r * entries + e];
        value(first + r, e) = block.value[r * entries + e];
      }
  }
  py::Ref index_out(py::new_array(index)), value_out(py::new_array(value)), map_out(py::new_array(design->map()));
  if (!index_out || !value_out || !map_out) return nullptr;
  return Py_BuildValue("(OOO)", index_out.get(), value_out.get(), map_out.get());
  VORNA_PY_END
}

// sparse_pays_off(terms, data_columns, rows) -> None without a sparse form, else
// whether ranges of `rows` rows take it.
PyObject* sparse_pays_off_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *terms_obj, *columns_obj, *rows_obj;
  if (!PyArg_ParseTuple(args, "OOO:sparse_pays_off", &terms_obj, &columns_obj, &rows_obj)) return nullptr;
  std::size_t columns = 0, rows = 0;
  if (!py::to_count(columns_obj, "data_columns", columns) || !py::to_count(rows_obj, "rows", rows)) return nullptr;
  auto model = parse_model(terms_obj, columns);
  if (!model) return nullptr;
  const auto design = SparseDesign::create(*model);
  if (!design) Py_RETURN_NONE;
  return PyBool_FromLong(design->pays_off(rows) ? 1 : 0);
  VORNA_PY_END
}

// local_form((kind, knots), x) -> (index (n × c, as floats), value, M, evaluate(x)),
// M empty (0 × 0) when the basis has no local form (index and value then empty too).
PyObject* local_form_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *basis_obj, *x_obj;
  if (!PyArg_ParseTuple(args, "OO:local_form", &basis_obj, &x_obj)) return nullptr;
  std::shared_ptr<const SplineBasis> basis;
  Vector x;
  if (!py::parse_margin(basis_obj, basis) || !py::to_vector(x_obj, "x", x)) return nullptr;
  const Matrix map = basis->local_map();
  const std::size_t c = map.rows() > 0 ? basis->local_count() : 0;
  std::vector<std::uint32_t> index(x.size() * c);
  Vector value(x.size() * c);
  if (c > 0) basis->evaluate_local(x, index.data(), value.data(), c);
  Matrix index_out(x.size(), c), value_out(x.size(), c);
  for (std::size_t i = 0; i < index.size(); ++i) {
    index_out.storage()[i] = index[i];
    value_out.storage()[i] = value[i];
  }
  py::Ref a(py::new_array(index_out)), b(py::new_array(value_out)), m(py::new_array(map)),
      phi(py::new_array(basis->evaluate(x)));
  if (!a || !b || !m || !phi) return nullptr;
  return Py_BuildValue("(OOOO)", a.get(), b.get(), m.get(), phi.get());
  VORNA_PY_END
}

// spline_curve((kind, knots), beta, x) -> φ(x)·β by SplineBasis::add_spline
// from the curve's cubics (γ = Mβ in the local form's raw space), or None
// when the basis has no local form.
PyObject* spline_curve_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *basis_obj, *beta_obj, *x_obj;
  if (!PyArg_ParseTuple(args, "OOO:spline_curve", &basis_obj, &beta_obj, &x_obj)) return nullptr;
  std::shared_ptr<const SplineBasis> basis;
  Vector beta, x;
  if (!py::parse_margin(basis_obj, basis) || !py::to_vector(beta_obj, "beta", beta) || !py::to_vector(x_obj, "x", x))
    return nullptr;
  const Matrix map = basis->local_map();
  if (map.rows() == 0) Py_RETURN_NONE;
  if (beta.size() != map.cols()) return py::raise_value_error("beta needs one entry per basis function");
  Vector gamma(map.rows(), 0.0);
  for (std::size_t r = 0; r < map.rows(); ++r)
    for (std::size_t c = 0; c < map.cols(); ++c) gamma[r] += map(r, c) * beta[c];
  Vector out(x.size(), 0.0);
  basis->add_spline(x, gamma.data(), basis->spline_cubics(gamma.data()), out.data());
  return py::new_array(out);
  VORNA_PY_END
}

}  // namespace

void add_row_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"row_pass", row_pass_py, METH_VARARGS, nullptr});
  table.push_back({"sparse_rows", sparse_rows_py, METH_VARARGS, nullptr});
  table.push_back({"sparse_pays_off", sparse_pays_off_py, METH_VARARGS, nullptr});
  table.push_back({"local_form", local_form_py, METH_VARARGS, nullptr});
  table.push_back({"spline_curve", spline_curve_py, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
