// One pass over the rows of a term model, as a penalized GLM fit needs it:
// the model matrix is evaluated block by block (never whole), and each block
// gives the linear predictor, the means, the working weights and the sums
// XᵀWX, XᵀWz, XᵀWr, Σwr² and the deviance, r = (y − μ)/μ′(η) being the
// working residual (z − Xβ for η = Xβ + offset).
//
// The rows are split into a fixed number of partitions whatever the number of
// threads; each partition sums its blocks in order and the partitions are
// added in order, so the results are bitwise the same for every thread count.
#pragma once

#include <cstddef>
#include <optional>

#include "error.hpp"
#include "glm.hpp"
#include "matrix.hpp"
#include "terms.hpp"

namespace vorna {

struct RowData {
  const TermModel* model = nullptr;
  ConstMatrixView data;  // one column per data column the terms read
  VectorView y, weights, offset;
  Glm glm;
};

struct PassSums {
  Matrix xtwx;            // XᵀWX at the pass's η
  Vector xtwz;            // XᵀWz
  Vector xtwr;            // XᵀWr
  double rss = 0.0;       // Σ w r²
  double deviance = 0.0;  // Σ prior-weighted unit deviances
  bool valid = true;      // every η and μ inside the family's and link's domain
};

// The number of partitions of the rows (see above).
inline constexpr std::size_t kRowPartitions = 16;

// With `beta`, η_i = x_iβ + offset_i is written into `eta`; without, `eta`
// holds η on entry. `mu` and `w` receive the means and working weights (n).
// `threads` ≥ 1 threads share the partitions. When the pass finds η or μ
// outside the domain it still completes (valid = false; weights and sums are
// then meaningless). Errors: those of the term model (a factor code outside
// its levels), InvalidParameter for a non-finite model-matrix entry (naming
// the row), in the order of the rows.
Result<PassSums> row_pass(const RowData& rows, const Vector* beta, Vector& eta, Vector& mu, Vector& w,
                          std::size_t threads);

// The number of threads to use for `requested` (0: every available core).
std::size_t thread_count(std::size_t requested);

}  // namespace vorna
