#include "penalty.hpp"

namespace vorna {

Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t, VectorView) {
  return GamError::invalid_parameter("Unknown basis type: " + std::string(basis_type));
}

}  // namespace vorna
