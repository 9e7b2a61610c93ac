// Fitting a penalized GLM on a model matrix: PiRLS with prior weights,
// offsets and any admitted link; smoothing parameters chosen by REML, GCV or
// UBRE on the working model of each PiRLS fit until they settle; then the
// quantities inference needs (Wood, Generalized Additive Models, 2nd ed.,
// 2017, §6.9–6.10): the Bayesian posterior covariance V_p = φ·A⁻¹ and the
// frequentist V_e = φ·A⁻¹XᵀWXA⁻¹, effective degrees of freedom diag(A⁻¹XᵀWX),
// scale, deviances and log-likelihood.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "glm.hpp"
#include "matrix.hpp"
#include "row_pass.hpp"
#include "selection.hpp"
#include "terms.hpp"

namespace vorna {

struct PenalizedGlmOptions {
  Glm glm;
  SelectionCriterion criterion = SelectionCriterion::Reml;
  // λ fixed by the caller (one per penalty): no selection.
  std::optional<Vector> fixed_lambda;
  std::size_t max_pirls_iterations = 100;
  std::size_t max_selection_passes = 50;
  std::size_t threads = 0;  // rows in memory: 0 for every available core; results do not depend on it
};

struct PenalizedGlmFit {
  Vector coefficients;  // β (p)
  Vector lambda;        // λ (m)
  // Per row (n), from a fit on rows in memory; empty for a fit from passes.
  RowBuffer linear_predictor;  // η = Xβ + offset
  RowBuffer fitted;            // μ
  RowBuffer working_weights;   // prior × (dμ/dη)²/V(μ) at the fit
  Matrix vp, ve;               // V_p and V_e (p × p)
  Matrix xtwx;                 // XᵀWX at the fit (p × p)
  Vector edf;                  // diag(A⁻¹XᵀWX) (p)
  double scale = 1.0;          // φ: 1 when known, else Pearson χ²/(n − Σ edf)
  bool scale_estimated = false;
  double deviance = 0.0;
  double null_deviance = 0.0;
  double log_likelihood = 0.0;  // at `aic_scale` for families with a scale
  double aic_scale = 1.0;
  double log_likelihood_at_scale = 0.0;  // at `scale`
  double penalty = 0.0;                  // βᵀS_λβ
  double penalty_log_det = 0.0;          // log|S_λ|₊
  std::size_t penalty_rank = 0;
  double log_det_a = 0.0;            // log|XᵀWX + S_λ|
  double log_det_range = 0.0;        // log|Uᵀ(XᵀWX + S_λ)U| on the penalties' range (ML fits)
  double criterion = 0.0;            // the selection criterion at λ, up to a constant
  std::size_t observations = 0;      // rows with a positive prior weight
  double negligible_deviance = 0.0;  // Glm::negligible_deviance of the response
  // Every response on one bound of the mean's range (counts all 0, one
  // class): the fit's working weights vanish with its means' distance to it.
  bool response_at_bound = false;
  std::size_t pirls_iterations = 0;
  std::size_t selection_passes = 0;
  bool warm_started = false;  // PiRLS and the selection began at a WarmStart
  bool converged = true;
  std::vector<std::string> warnings;
  // One record per selection pass: λ chosen, the criterion there and the
  // largest |gradient| the search ended with.
  struct Pass {
    Vector lambda;
    double criterion = 0.0;
    double gradient = 0.0;
    int iterations = 0;
  };
  std::vector<Pass> passes;
};

// A pass over the rows wherever they live (see row_pass.hpp).
using PassFunction = std::function<Result<PassSums>(const PassRequest&)>;

// The rows of a fit as passes: its model's passes, the passes of the
// intercept-only model (one column of ones) on the same rows, and the rows'
// moments (checked by row_moments).
struct PassSource {
  std::size_t width = 0;                 // p, the model's number of columns
  std::optional<std::size_t> intercept;  // the model's column of ones, if it has one
  RowMoments moments;
  PassFunction pass;
  PassFunction null_pass;
};

// The fit from passes alone: everything is computed from their sums, so the
// rows need never be in one place. Each PiRLS iteration is one pass; a
// Gaussian fit with the identity link needs one pass with cross products
// and one without. The per-row vectors of the result stay empty.
// Errors: DimensionMismatch for penalties that are not p × p or sums of the
// wrong size; InvalidParameter for a fixed λ of the wrong length or not
// positive, a link the family does not admit, no positive weight; the
// passes' own errors; OptimizationFailed when PiRLS cannot find a step that
// keeps the mean valid; LinAlgError when the penalized system is not
// positive definite; Interrupted when a stop is requested.
//
// `warm`: where a fit on a sample of the rows ended (β and λ), to start
// PiRLS and the selection from instead of the response and a balanced λ;
// ignored for a Gaussian identity-link fit, a fixed λ, or a β at which some
// row's mean leaves the family's range.
struct WarmStart {
  Vector beta;
  Vector lambda;
};
Result<PenalizedGlmFit> fit_penalized_glm(const PassSource& source, std::span<const Matrix> penalties,
                                          const PenalizedGlmOptions& options, const WarmStart* warm = nullptr);

// The model matrix is that of `model` on `data` (n rows), evaluated block by
// block in every pass over the rows and never held whole; y, prior weights w
// (≥ 0, finite) and offset: n; penalties: m p × p symmetric matrices, each
// non-zero on one block of coefficients. The result holds η, μ and the
// working weights of every row. With many rows, a model whose working model
// depends on β first fits every k-th row and starts from there (WarmStart):
// fewer passes over all rows; the result is the same to the fit's tolerances.
// Errors: as above, and DimensionMismatch for inconsistent sizes;
// InvalidParameter for a response outside the family's support, a weight
// that is negative or not finite, a non-finite offset or model-matrix entry,
// or a factor code outside its levels.
// The stride k of the sample a fit of `rows` rows starts from (every k-th
// row: k ≤ 40, at least 25 000 rows), or 0 where it starts from the response
// (below 2·10⁵ rows, or under VORNA_COLD_START). With `most_rows` > 0, k grows
// so that the sample has at most that many rows, but never so far that it
// keeps fewer than 25 000 (for a sample held elsewhere, e.g. a Dask client).
std::size_t sample_stride(std::size_t rows, std::size_t most_rows = 0);

Result<PenalizedGlmFit> fit_penalized_glm(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w,
                                          VectorView offset, std::span<const Matrix> penalties,
                                          const PenalizedGlmOptions& options);

}  // namespace vorna
