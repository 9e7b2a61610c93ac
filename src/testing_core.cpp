// Test access to number formatting and the diagnostic switches.
#include "diagnostics.hpp"
#include "format.hpp"
#include "formula.hpp"
#include "testing_module.hpp"

#include <memory>
#include <string_view>

namespace vorna::testing {
namespace {

PyObject* to_str(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// format_number(form, x, decimals=0, width=0) with form one of
// "plain", "fixed", "sci", "debug".
PyObject* format_number(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* form;
  double x;
  int decimals = 0, width = 0;
  if (!PyArg_ParseTuple(args, "sd|ii:format_number", &form, &x, &decimals, &width)) return nullptr;
  const std::string f(form);
  if (f == "plain") return to_str(fmt::plain(x));
  if (f == "fixed") return to_str(width > 0 ? fmt::fixed(x, width, decimals) : fmt::fixed(x, decimals));
  if (f == "sci") return to_str(fmt::sci(x, decimals));
  if (f == "debug") return to_str(fmt::debug(x));
  return py::raise_value_error("unknown form " + f);
  VORNA_PY_END
}

PyObject* format_list(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject *obj, *array_form = Py_False;
  if (!PyArg_ParseTuple(args, "O|O:format_list", &obj, &array_form)) return nullptr;
  Vector v;
  if (!py::to_vector(obj, "values", v)) return nullptr;
  return to_str(PyObject_IsTrue(array_form) ? fmt::array_debug(v) : fmt::debug_list(v));
  VORNA_PY_END
}

PyObject* diag_enabled(PyObject*, PyObject* args) {
  const char* name;
  if (!PyArg_ParseTuple(args, "s:diag_enabled", &name)) return nullptr;
  return PyBool_FromLong(diag::enabled(name));
}

PyObject* diag_line_if(PyObject*, PyObject* args) {
  const char *name, *text;
  if (!PyArg_ParseTuple(args, "ss:diag_line_if", &name, &text)) return nullptr;
  diag::line_if(name, text);
  Py_RETURN_NONE;
}

// access_conflict(held, requested): takes the accesses named in `held` ("shared"
// or "exclusive") on a fresh flag, then requests `requested`. Returns the
// RuntimeError text of the refused request, or None; and checks that the flag
// is free again once every access is gone.
PyObject* access_conflict(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  PyObject* held;
  const char* requested;
  if (!PyArg_ParseTuple(args, "Os:access_conflict", &held, &requested)) return nullptr;
  auto mode_of = [](std::string_view name) {
    return name == "exclusive" ? py::Access::Mode::Exclusive : py::Access::Mode::Shared;
  };
  int flag = 0;
  PyObject* outcome = nullptr;
  {
    std::vector<std::unique_ptr<py::Access>> accesses;
    std::vector<std::string> names;
    if (!py::to_string_list(held, "held", names)) return nullptr;
    for (const auto& name : names) {
      accesses.push_back(std::make_unique<py::Access>(flag, mode_of(name)));
      if (!*accesses.back()) return nullptr;
    }
    py::Access request(flag, mode_of(requested));
    if (request) {
      outcome = Py_NewRef(Py_None);
    } else {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      outcome = PyObject_Str(value);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
    }
  }
  if (flag != 0) {
    Py_XDECREF(outcome);
    return py::raise_value_error("access flag not released");
  }
  return outcome;
  VORNA_PY_END
}

// parse_formula(text) -> list of (column, k), or ValueError with the parser's message.
PyObject* parse_formula(PyObject*, PyObject* args) {
  VORNA_PY_BEGIN
  const char* text;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "s#:parse_formula", &text, &size)) return nullptr;
  auto parsed = vorna::parse_formula(std::string_view(text, static_cast<std::size_t>(size)));
  if (auto* message = std::get_if<std::string>(&parsed)) return py::raise_value_error(*message);
  const auto& terms = std::get<std::vector<FormulaTerm>>(parsed);
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(terms.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(terms[i].column),
                                   static_cast<unsigned long long>(terms[i].k));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
  VORNA_PY_END
}

}  // namespace

void add_core_methods(std::vector<PyMethodDef>& table) {
  table.push_back({"format_number", format_number, METH_VARARGS, nullptr});
  table.push_back({"format_list", format_list, METH_VARARGS, nullptr});
  table.push_back({"diag_enabled", diag_enabled, METH_VARARGS, nullptr});
  table.push_back({"diag_line_if", diag_line_if, METH_VARARGS, nullptr});
  table.push_back({"access_conflict", access_conflict, METH_VARARGS, nullptr});
  table.push_back({"parse_formula", parse_formula, METH_VARARGS, nullptr});
}

}  // namespace vorna::testing
