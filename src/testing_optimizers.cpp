#include "testing_module.hpp"

namespace vorna::testing {

void add_optimizer_methods(std::vector<PyMethodDef>& /*table*/) {}

}  // namespace vorna::testing
