// The terms of a model formula and the model matrix they define, evaluated
// in blocks of rows so that no caller needs more than a block of it at once.
//
//   Intercept   one column of ones
//   Linear      the data column itself
//   Factor      treatment coding: level codes 0 … L−1 in a data column, one
//               indicator column for each level but the first (the reference),
//               or for every level (a model without an intercept)
//   Smooth      one spline basis per margin; with two or more margins the
//               row-wise Kronecker product of the marginal bases (a tensor
//               product, the first margin varying slowest); optionally times
//               a K × q constraint matrix Z (the basis of the null space of the
//               identifiability constraint, so that the term's columns are
//               B·Z) and times a `by` data column, row by row
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "basis.hpp"
#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

struct ModelTerm {
  enum class Kind { Intercept, Linear, Factor, Smooth };
  Kind kind = Kind::Intercept;
  std::vector<std::size_t> columns;                         // data columns read: one per margin, or one
  std::vector<std::shared_ptr<const SplineBasis>> margins;  // Smooth
  std::size_t levels = 0;                                   // Factor
  bool every_level = false;                                 // Factor: a column for the reference level too
  Matrix constraint;                                        // Smooth: K × q, or empty for none
  std::optional<std::size_t> by;                            // Smooth: the multiplying data column

  // K, the product of the marginal basis sizes (Smooth only).
  std::size_t raw_width() const;
  // The number of model-matrix columns the term owns.
  std::size_t width() const;
};

// The level (0 … levels − 1) a factor column's code stands for;
// InvalidParameter naming `row` for a code that is not one of them.
Result<std::size_t> factor_level(double code, std::size_t levels, std::size_t row);

// Beyond this many columns no fit could hold its p × p cross products; a
// model this wide is refused rather than sized.
inline constexpr std::size_t kMaxModelWidth = std::size_t{1} << 20;

// Rows of the model matrix are computed this many at a time.
inline constexpr std::size_t kRowBlock = 512;

class TermModel {
 public:
  // Errors (InvalidParameter): a term reading a data column that does not
  // exist, a factor with fewer than 1 level, a smooth without margins, a
  // constraint whose row count is not K, more than kMaxModelWidth columns
  // (or basis functions of one smooth).
  static Result<TermModel> create(std::vector<ModelTerm> terms, std::size_t data_columns);

  std::size_t width() const { return width_; }
  const std::vector<ModelTerm>& terms() const { return terms_; }
  // The first model-matrix column of term t.
  std::size_t offset(std::size_t t) const { return offsets_[t]; }

  // Rows [first, first + count) of the model matrix into `out` (count × width,
  // row-major, overwritten). `data` holds one column per data column.
  // InvalidParameter for a factor code that is not one of 0 … L−1 (naming the
  // row), so that a level unseen at fit time never reaches a fit silently.
  Result<void> fill_rows(ConstMatrixView data, std::size_t first, std::size_t count, double* out) const;

  // The whole n × p model matrix.
  Result<Matrix> model_matrix(ConstMatrixView data) const;

  // Σ over rows of each model-matrix column, block by block.
  Result<Vector> column_sums(ConstMatrixView data) const;

 private:
  TermModel() = default;
  Result<void> fill_term(const ModelTerm& term, ConstMatrixView data, std::size_t first, std::size_t count, double* out,
                         std::size_t stride, Matrix& scratch, Matrix& scratch2) const;

  std::vector<ModelTerm> terms_;
  std::vector<std::size_t> offsets_;
  std::size_t width_ = 0;
};

// Predictions from a fitted coefficient vector, row block by row block: the
// linear predictor Xβ (no offset), optionally its standard error
// √(x_i V x_iᵀ), and each term's contribution X_tβ_t with its standard error
// √(x_{i,t} V_tt x_{i,t}ᵀ) (n × number of terms).
struct TermPrediction {
  Vector eta, se;
  Matrix terms, term_se;
};
// β: width(); V: width() × width() (may be empty when no standard errors are asked for).
Result<TermPrediction> predict_terms(const TermModel& model, ConstMatrixView data, const Vector& beta, const Matrix& v,
                                     bool with_se, bool per_term);

// The penalty ∫ B_i″(x) B_j″(x) dx of a cubic B-spline basis over the span of
// its knots (BSplineBasis knot convention), computed exactly: B″ is linear on
// each knot interval, so two-point Gauss–Legendre per interval is exact.
Matrix bspline_curvature_penalty(const BSplineBasis& basis);

}  // namespace vorna
