#include "py_terms.hpp"

#include <string>
#include <utility>
#include <vector>

#include "basis.hpp"

namespace vorna::py {

bool parse_margin(PyObject* item, std::shared_ptr<const SplineBasis>& out) {
  const char* kind = nullptr;
  PyObject* knots_obj = nullptr;
  if (!PyTuple_Check(item)) {
    PyErr_SetString(PyExc_TypeError, "a margin is a tuple (kind, knots)");
    return false;
  }
  if (!PyArg_ParseTuple(item, "sO;a margin is (kind, knots)", &kind, &knots_obj)) return false;
  Vector knots;
  if (!to_vector(knots_obj, "knots", knots)) return false;
  const std::string k(kind);
  if (k == "cr") {
    // The modelling layer's cr smooths continue the natural spline beyond their ends.
    auto basis = CubicRegressionBasis::create(std::move(knots), CrEnds::Tangent);
    if (!basis) return raise_error(basis.error()) != nullptr;
    out = std::make_shared<CubicRegressionBasis>(std::move(basis).value());
  } else if (k == "bs") {
    auto basis = BSplineBasis::create(std::move(knots));
    if (!basis) return raise_error(basis.error()) != nullptr;
    out = std::make_shared<BSplineBasis>(std::move(basis).value());
  } else {
    PyErr_Format(PyExc_ValueError, "unknown basis kind '%s'", kind);
    return false;
  }
  return true;
}

// One term: ("intercept",), ("linear", col), ("factor", col, levels) or
// ("smooth", cols, margins, constraint or None, by or None).
namespace {

// The items of a sequence as a tuple that holds them: reading one item may
// run the caller's code (__index__), which must not free the others by
// changing the sequence.
Ref held_items(PyObject* obj, const char* message) {
  if (!PySequence_Check(obj) || PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, message);
    return Ref(nullptr);
  }
  return Ref(PySequence_Tuple(obj));
}

bool parse_term(PyObject* item, ModelTerm& term) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
    PyErr_SetString(PyExc_TypeError, "a term is a tuple starting with its kind");
    return false;
  }
  const char* kind_text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0));
  if (kind_text == nullptr) return false;
  const std::string kind = kind_text;
  const Py_ssize_t size = PyTuple_GET_SIZE(item);
  using Kind = ModelTerm::Kind;
  std::size_t column = 0;
  if (kind == "intercept" && size == 1) {
    term.kind = Kind::Intercept;
  } else if (kind == "linear" && size == 2) {
    term.kind = Kind::Linear;
    if (!to_count(PyTuple_GET_ITEM(item, 1), "column", column)) return false;
    term.columns = {column};
  } else if (kind == "factor" && (size == 3 || size == 4)) {
    term.kind = Kind::Factor;
    if (!to_count(PyTuple_GET_ITEM(item, 1), "column", column)) return false;
    if (!to_count(PyTuple_GET_ITEM(item, 2), "levels", term.levels)) return false;
    if (size == 4) {
      const int full = PyObject_IsTrue(PyTuple_GET_ITEM(item, 3));
      if (full < 0) return false;
      term.every_level = full == 1;
    }
    term.columns = {column};
  } else if (kind == "smooth" && size == 5) {
    term.kind = Kind::Smooth;
    if (!to_count_list(PyTuple_GET_ITEM(item, 1), "columns", term.columns)) return false;
    Ref margins = held_items(PyTuple_GET_ITEM(item, 2), "margins must be a sequence");
    if (!margins) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(margins.get()); ++i) {
      std::shared_ptr<const SplineBasis> basis;
      if (!parse_margin(PyTuple_GET_ITEM(margins.get(), i), basis)) return false;
      term.margins.push_back(std::move(basis));
    }
    PyObject* constraint = PyTuple_GET_ITEM(item, 3);
    if (constraint != Py_None && !to_matrix(constraint, "constraint", term.constraint)) return false;
    PyObject* by = PyTuple_GET_ITEM(item, 4);
    if (by != Py_None) {
      if (!to_count(by, "by", column)) return false;
      term.by = column;
    }
  } else {
    PyErr_Format(PyExc_ValueError, "malformed term of kind '%s'", kind.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<TermModel> parse_model(PyObject* terms_obj, std::size_t data_columns) {
  Ref terms = held_items(terms_obj, "terms must be a sequence");
  if (!terms) return nullptr;
  std::vector<ModelTerm> parsed;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(terms.get()); ++i) {
    ModelTerm term;
    if (!parse_term(PyTuple_GET_ITEM(terms.get(), i), term)) return nullptr;
    parsed.push_back(std::move(term));
  }
  auto model = TermModel::create(std::move(parsed), data_columns);
  if (!model) {
    raise_error(model.error());
    return nullptr;
  }
  return std::make_unique<TermModel>(std::move(model).value());
}

}  // namespace vorna::py
