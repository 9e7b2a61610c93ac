#include "testing_module.hpp"

namespace vorna::testing {

void add_newton_methods(std::vector<PyMethodDef>& /*table*/) {}

}  // namespace vorna::testing
