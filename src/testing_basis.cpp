// Test access to the spline bases, the smooth constructors and the pieces of
// the penalty builder, plus literal reference versions of the two fast paths
// (the tabulated cr evaluation and the banded "cubic" penalty).
#include <cmath>
#include <string>

#include "basis.hpp"
#include "penalty.hpp"
#include "testing_module.hpp"

namespace vorna::testing {
namespace {

// (knots, penalty, lambda, name, basis matrix at x or None)
template <class Basis>
PyObject* smooth_tuple(const Result<SmoothTerm>& made, PyObject* x_obj) {
  if (!made) return py::raise_error(made.error());
  const SmoothTerm& smooth = made.value();
  const auto& basis = dynamic_cast<const Basis&>(*smooth.basis);
  py::Ref values;
  if (x_obj && x_obj != Py_None) {
    Vector x;
    if (!py::to_vector(x_obj, "x", x)) return nullptr;
    values = py::Ref(py::new_array(basis.evaluate(x)));
  } else {
    values = py::Ref(Py_NewRef(Py_None));
  }
  py::Ref knots(py::new_array(basis.knots()));
  py::Ref penalty(py::new_array(smooth.penalty));
  if (!values || !knots || !penalty) return nullptr;
  return Py_BuildValue("(OOds#O)", knots.get(), penalty.get(), smooth.lambda, smooth.name.data(),
                       static_cast<Py_ssize_t>(smooth.name.size()), values.get());
}

bool parse_range_smooth(PyObject* args, const char* format, std::string& name, std::size_t& k, double& lo, double& hi,
                        PyObject*& x_obj) {
  PyObject *name_obj, *k_obj, *lo_obj, *hi_obj;
  x_obj = nullptr;
  if (!PyArg_ParseTuple(args, format, &name_obj, &k_obj, &lo_obj, &hi_obj, &x_obj)) return false;
  return py::to_string(name_obj, "name", name) && py::to_count(k_obj, "k", k) && py::to_real(lo_obj, "x_min", lo) &&
         py::to_real(hi_obj, "x_max", hi);
}

// cubic_regression_smooth(name, k, x_min, x_max, x=None)
PyObject* cubic_regression_smooth_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  std::string name;
  std::size_t k = 0;
  double lo = 0.0, hi = 0.0;
  PyObject* x_obj;
  if (!parse_range_smooth(args, "OOOO|O:cubic_regression_smooth", name, k, lo, hi, x_obj)) return nullptr;
  return smooth_tuple<CubicRegressionBasis>(cubic_regression_smooth(name, k, lo, hi), x_obj);
  VORNA_PY_END
}

// bspline_smooth_from_range(name, k, x_min, x_max, x=None)
PyObject* bspline_smooth_from_range_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  std::string name;
  std::size_t k = 0;
  double lo = 0.0, hi = 0.0;
  PyObject* x_obj;
  if (!parse_range_smooth(args, "OOOO|O:bspline_smooth_from_range", name, k, lo, hi, x_obj)) return nullptr;
  return smooth_tuple<BSplineBasis>(bspline_smooth_from_range(name, k, lo, hi), x_obj);
  VORNA_PY_END
}

// bspline_smooth_from_data(name, k, column, x=None)
PyObject* bspline_smooth_from_data_py(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *name_obj, *k_obj, *column_obj, *x_obj = nullptr;
  if (!PyArg_ParseTuple(args, "OOO|O:bspline_smooth_from_data", &name_obj, &k_obj, &column_obj, &x_obj)) return nullptr;
  std::string name;
  std::size_t k = 0;
  Vector column;
  if (!py::to_string(name_obj, "name", name) || !py::to_count(k_obj, "k", k) ||
      !py::to_vector(column_obj, "column", column))
    return nullptr;
  return smooth_tuple<BSplineBasis>(bspline_smooth_from_data(name, k, column), x_obj);
  VORNA_PY_END
}

bool parse_knots_and_x(PyObject* args, const char* format, Vector& knots, Vector& x) {
  PyObject *knots_obj, *x_obj;
  if (!PyArg_ParseTuple(args, format, &knots_obj, &x_obj)) return false;
  return py::to_vector(knots_obj, "knots", knots) && py::to_vector(x_obj, "x", x);
}

// cr_basis(knots, x): the basis matrix at x.
PyObject* cr_basis(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  Vector knots, x;
  if (!parse_knots_and_x(args, "OO:cr_basis", knots, x)) return nullptr;
  auto basis = CubicRegressionBasis::create(std::move(knots));
  if (!basis) return py::raise_error(basis.error());
  return py::new_array(basis.value().evaluate(x));
  VORNA_PY_END
}

// The evaluation rule entry by entry: linear scan for the interval and the
// spline coefficients recomputed for every entry.
double cr_reference_value(const Vector& knots, std::size_t i, double v) {
  const std::size_t n = knots.size();
  Vector y(n, 0.0);
  y[i] = 1.0;
  std::size_t interval = 0;
  for (std::size_t j = 0; j + 1 < n; ++j) {
    if (knots[j] <= v && v <= knots[j + 1]) {
      interval = j;
      break;
    }
  }
  if (v < knots[0]) return y[0] + (v - knots[0]) * (y[1] - y[0]) / (knots[1] - knots[0]);
  if (v > knots[n - 1]) return y[n - 1] + (v - knots[n - 1]) * (y[n - 1] - y[n - 2]) / (knots[n - 1] - knots[n - 2]);
  const NaturalSplineCoefficients s = natural_spline_coefficients(knots, y);
  const double u = v - knots[interval];
  return y[interval] + u * s.b[interval] + u * (u * s.c[interval]) + u * (u * (u * s.d[interval]));
}

// cr_basis_reference(knots, x)
PyObject* cr_basis_reference(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  Vector knots, x;
  if (!parse_knots_and_x(args, "OO:cr_basis_reference", knots, x)) return nullptr;
  if (knots.size() < 2) return py::raise_value_error("need at least 2 knots");
  Matrix phi(x.size(), knots.size());
  for (std::size_t r = 0; r < x.size(); ++r)
    for (std::size_t i = 0; i < knots.size(); ++i) phi(r, i) = cr_reference_value(knots, i, x[r]);
  return py::new_array(phi);
  VORNA_PY_END
}

// bspline_basis(knots, x, full_rule=False)
PyObject* bspline_basis(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *knots_obj, *x_obj, *full_obj = Py_False;
  if (!PyArg_ParseTuple(args, "OO|O:bspline_basis", &knots_obj, &x_obj, &full_obj)) return nullptr;
  Vector knots, x;
  bool full_rule = false;
  if (!py::to_vector(knots_obj, "knots", knots) || !py::to_vector(x_obj, "x", x) ||
      !py::to_flag(full_obj, "full_rule", full_rule))
    return nullptr;
  auto basis = BSplineBasis::create(std::move(knots));
  if (!basis) return py::raise_error(basis.error());
  return py::new_array(full_rule ? basis.value().evaluate_full_rule(x) : basis.value().evaluate(x));
  VORNA_PY_END
}

// cubic_penalty_all_pairs(k, knots): the "cubic" penalty summed literally over
// every pair and every grid interval.
PyObject* cubic_penalty_all_pairs(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *k_obj, *knots_obj;
  if (!PyArg_ParseTuple(args, "OO:cubic_penalty_all_pairs", &k_obj, &knots_obj)) return nullptr;
  std::size_t k = 0;
  Vector knots;
  if (!py::to_count(k_obj, "k", k) || !py::to_vector(knots_obj, "knots", knots)) return nullptr;
  if (k < 4 || k > kMaxBasisDimension || knots.size() < 2)
    return py::raise_value_error("need 4 <= k <= the maximum and at least 2 knots");
  const double lo = knots.front(), hi = knots.back();
  const Vector t = cubic_penalty_grid(lo, hi, k);
  Matrix s(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i; j < k; ++j) {
      double sum = 0.0;
      for (std::size_t m = 1; m < t.size(); ++m) {
        if (t[m - 1] >= hi || t[m] <= lo) continue;
        const double lower = std::fmax(t[m - 1], lo), upper = std::fmin(t[m], hi);
        const double len = upper - lower;
        if (len < 1e-14) continue;
        for (std::size_t q = 0; q < kGaussNodes.size(); ++q) {
          const double x = lower + (len / 2.0) * (kGaussNodes[q] + 1.0);
          sum +=
              len * (kGaussWeights[q] * bspline_second_derivative(t, i, x) * bspline_second_derivative(t, j, x) * 0.5);
        }
      }
      s(i, j) = s(j, i) = sum;
    }
  }
  return py::new_array(s);
  VORNA_PY_END
}

}  // namespace

void add_basis_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"cubic_regression_smooth", cubic_regression_smooth_py, METH_VARARGS, nullptr});
  table.push_back({"bspline_smooth_from_range", bspline_smooth_from_range_py, METH_VARARGS, nullptr});
  table.push_back({"bspline_smooth_from_data", bspline_smooth_from_data_py, METH_VARARGS, nullptr});
  table.push_back({"cr_basis", cr_basis, METH_VARARGS, nullptr});
  table.push_back({"cr_basis_reference", cr_basis_reference, METH_VARARGS, nullptr});
  table.push_back({"bspline_basis", bspline_basis, METH_VARARGS, nullptr});
  table.push_back({"cubic_penalty_all_pairs", cubic_penalty_all_pairs, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
