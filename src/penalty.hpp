// The penalty builder: the raw (unscaled) k × k penalty of a basis.
#pragma once

#include <cstddef>
#include <string_view>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

// basis_type "cr"/"cubic_regression" (knots: the k knot positions), "cubic"
// (cubic B-splines; only the first and last knot are used) or
// "tps"/"thin_plate" (a fixed diagonal; knots ignored).
Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t k, VectorView knots);

}  // namespace vorna
