#define VORNA_NUMPY_INIT_TU
#include "testing_module.hpp"

#include "linalg.hpp"

namespace {

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT,
                            "_vorna_core_testing",
                            "Private helpers that expose vorna_core internals to its test suite.",
                            -1,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__vorna_core_testing(void) {
  import_array();
  vorna::configure_blas_threads();
  static std::vector<PyMethodDef> table;
  if (table.empty()) {
    vorna::testing::add_core_methods(table);
    vorna::testing::add_basis_methods(table);
    vorna::testing::add_fitting_methods(table);
    vorna::testing::add_criteria_methods(table);
    vorna::testing::add_optimizer_methods(table);
    vorna::testing::add_newton_methods(table);
    vorna::testing::add_row_methods(table);
    table.push_back({nullptr, nullptr, 0, nullptr});
  }
  g_module_def.m_methods = table.data();
  return PyModule_Create(&g_module_def);
}
