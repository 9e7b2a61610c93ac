#include "smooth.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics.hpp"
#include "format.hpp"
#include "linalg.hpp"
#include "pirls.hpp"
#include "reml.hpp"
#include "selection.hpp"

namespace vorna {
namespace {

// ---- Fellner-Schall constants ---------------------------------------------------
constexpr int kFsMaxIterations = 10;
constexpr double kFsRidgeFactor = 1e-5;
constexpr double kFsRetryRidgeMultiplier = 10.0;
constexpr double kFsMinRatio = 0.2;
constexpr double kFsMaxRatio = 5.0;
constexpr double kFsDamping = 0.5;                      // half of ln(ratio) is applied
constexpr double kFsMinLogLambda = -16.11809565095832;  // ln 1e-7
constexpr double kFsMaxLogLambda = 11.512925464970229;  // ln 1e5
constexpr double kFsTolerance = 1e-6;
constexpr double kFsEntryThreshold = 1e-10;  // "non-zero" penalty entries in the trace line

void profile(const std::string& text) { diag::line_if(diag::kProfile, text); }

std::string count_text(long long k) { return std::to_string(k); }

Vector log_of(const Vector& lambda) {
  Vector out(lambda.size());
  for (std::size_t j = 0; j < lambda.size(); ++j) out[j] = std::log(lambda[j]);
  return out;
}

// ---- Guards ------------------------------------------------------------------------
// The optimizer entry guarantees these sizes; the optimizers form cross
// products before any checked routine runs, so a broken promise is turned
// into an error here rather than into an out-of-bounds read.

Result<void> check_sizes(const SmoothingParameter& params, ConstMatrixView x, VectorView w, std::size_t penalty_count) {
  if (w.size() != x.rows())
    return GamError::dimension_mismatch("X has " + std::to_string(x.rows()) + " rows but w has " +
                                        std::to_string(w.size()) + " elements");
  if (params.lambda.size() != penalty_count)
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  return {};
}

// After the roots, so that a non-square penalty reports the roots' own error.
Result<void> check_penalty_shapes(std::size_t p, std::span<const Matrix> penalties) {
  for (std::size_t j = 0; j < penalties.size(); ++j)
    if (penalties[j].rows() != p || penalties[j].cols() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " is not " + std::to_string(p) + "×" +
                                          std::to_string(p));
  return {};
}

Result<void> check_cross_products(ConstMatrixView x, const CrossProducts* cross) {
  const std::size_t p = x.cols();
  if (cross == nullptr || (cross->xtwx.rows() == p && cross->xtwx.cols() == p && cross->xtwy.size() == p)) return {};
  return GamError::dimension_mismatch("Cached cross products do not match X with " + std::to_string(p) + " columns");
}

// ---- Fellner-Schall --------------------------------------------------------------

// L⁻¹ for the lower Cholesky factor L of A + δI, retrying once with 11δ on
// the diagonal; any failure to factor or invert is a singular matrix.
Result<Matrix> inverse_cholesky_factor(Matrix a, std::size_t m) {
  const std::size_t p = a.rows();
  double largest = 1.0;
  for (std::size_t k = 0; k < p; ++k) largest = std::fmax(largest, std::abs(a(k, k)));
  const double ridge = (std::sqrt(static_cast<double>(m)) + 1.0) * kFsRidgeFactor * largest;
  for (std::size_t k = 0; k < p; ++k) a(k, k) += ridge;
  auto factor = cholesky_lower(a);
  if (!factor) {
    for (std::size_t k = 0; k < p; ++k) a(k, k) += kFsRetryRidgeMultiplier * ridge;
    factor = cholesky_lower(a);
    if (!factor) return GamError::singular_matrix();
  }
  auto lu = lu_factor(factor.value());
  if (!lu) return GamError::singular_matrix();
  auto inverse = lu_inverse(lu.value());
  if (!inverse) return GamError::singular_matrix();
  return std::move(inverse).value();
}

// Diagonal entry k of L⁻¹·S; only the diagonal of the product is ever used.
double product_diagonal(const Matrix& l_inv, const Matrix& s, std::size_t k) {
  double sum = 0.0;
  for (std::size_t l = 0; l < s.rows(); ++l) sum += l_inv(k, l) * s(l, k);
  return sum;
}

double product_trace(const Matrix& l_inv, const Matrix& s) {
  double trace = 0.0;
  for (std::size_t k = 0; k < l_inv.rows(); ++k) trace += product_diagonal(l_inv, s, k);
  return trace;
}

// The trace restricted to the rows where S has entries, to show how much of
// it comes from the penalty's own block.
void report_trace(std::size_t j, const Matrix& l_inv, const Matrix& s, double trace, std::size_t p) {
  std::size_t rows = 0;
  double partial = 0.0;
  for (std::size_t k = 0; k < s.rows(); ++k) {
    bool nonzero = false;
    for (std::size_t l = 0; l < s.cols() && !nonzero; ++l) nonzero = std::abs(s(k, l)) > kFsEntryThreshold;
    if (!nonzero) continue;
    ++rows;
    partial += product_diagonal(l_inv, s, k);
  }
  diag::line("[TRACE_DEBUG] Smooth " + count_text(static_cast<long long>(j)) + ": full_trace=" + fmt::fixed(trace, 6) +
             ", nonzero_trace=" + fmt::fixed(partial, 6) + ", nonzero_cols=" +
             count_text(static_cast<long long>(rows)) + ", p=" + count_text(static_cast<long long>(p)));
}

}  // namespace

std::optional<SmoothingMethod> parse_smoothing_method(std::string_view name) {
  if (name == "REML") return SmoothingMethod::REML;
  if (name == "GCV") return SmoothingMethod::GCV;
  return std::nullopt;
}

std::string_view smoothing_method_name(SmoothingMethod method) {
  switch (method) {
    case SmoothingMethod::REML: return "REML";
    case SmoothingMethod::GCV: return "GCV";
  }
  return "REML";
}

// ---- Fellner-Schall -----------------------------------------------------------------

// The Fellner-Schall update of Wood & Fasiolo (2017, Biometrics 73(4),
// 1071–1081) multiplies λ_j by [tr(S_λ⁻S_j) − tr(A⁻¹S_j)] / (β̂ᵀS_jβ̂/φ), and
// its fixed points are those of the REML criterion. This routine departs
// from it: it balances tr(L⁻¹S_j), L the Cholesky factor of the ridged A
// rather than A⁻¹, against the rank of S_j, so it needs neither β̂ nor the
// response, and its fixed point is not in general the REML optimum. The step
// is damped and bounded as the header says.
Result<void> fellner_schall(SmoothingParameter& params, VectorView /*y*/, ConstMatrixView x, VectorView w,
                            std::span<const Matrix> penalties, const CrossProducts* cross) {
  const std::size_t m = penalties.size();
  VORNA_CHECK(check_sizes(params, x, w, m));
  VORNA_CHECK(check_cross_products(x, cross));
  std::vector<std::size_t> ranks;
  ranks.reserve(m);
  for (const Matrix& s : penalties) {
    VORNA_TRY(root, penalty_sqrt(s));
    ranks.push_back(root.cols());
  }
  VORNA_CHECK(check_penalty_shapes(x.cols(), penalties));
  const Matrix xtwx = cross ? cross->xtwx : weighted_gram(x, w);
  Vector rho = log_of(params.lambda);
  Vector rho_new = rho;
  profile("[PROFILE] Starting Fellner-Schall optimization (Cholesky)");

  for (int it = 0; it < kFsMaxIterations; ++it) {
    VORNA_CHECK_INTERRUPT();
    const Vector lambda = exp_of(rho);
    VORNA_TRY(l_inv, inverse_cholesky_factor(penalized_gram(xtwx, lambda, penalties), m));
    rho_new = rho;
    double max_change = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      const double trace = product_trace(l_inv, penalties[j]);
      if (it == 0 && diag::enabled(diag::kTraceDebug)) report_trace(j, l_inv, penalties[j], trace, x.cols());
      // A rank-0 penalty has nothing to balance: its λ stays where it is.
      double ratio = ranks[j] > 0 ? trace / static_cast<double>(ranks[j]) : 1.0;
      ratio = std::fmin(std::fmax(ratio, kFsMinRatio), kFsMaxRatio);
      // fmax maps a NaN update to the lower bound.
      const double next = std::fmin(std::fmax(rho[j] + kFsDamping * std::log(ratio), kFsMinLogLambda), kFsMaxLogLambda);
      rho_new[j] = next;
      const double change = std::abs(next - rho[j]);
      max_change = std::fmax(max_change, change);
      profile("[PROFILE] FS iter " + count_text(it) + ": smooth " + count_text(static_cast<long long>(j)) +
              ": λ=" + fmt::fixed(lambda[j], 6) + ", trace=" + fmt::fixed(trace, 6) +
              ", rank=" + fmt::plain(static_cast<double>(ranks[j])) + ", ratio=" + fmt::fixed(ratio, 3) +
              ", change=" + fmt::fixed(change, 6));
    }
    if (max_change < kFsTolerance) {
      params.lambda = exp_of(rho_new);
      profile("[PROFILE] Fellner-Schall converged in " + count_text(it + 1) + " iterations");
      return {};
    }
    rho = rho_new;
  }
  params.lambda = exp_of(rho_new);
  profile("[PROFILE] Fellner-Schall reached max iterations (" + count_text(kFsMaxIterations) + ") without convergence");
  return {};
}

// ---- Newton selection and the optimizer entry --------------------------------------

namespace {

// Runs the Newton minimizer of the criterion on the working model (y, X, w)
// from ρ = ln(params.lambda) (warm) or from the balanced start, and writes
// exp(ρ) back on success.
Result<void> select(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                    std::span<const Matrix> penalties, const CrossProducts* cross, SelectionCriterion criterion,
                    const SelectionOptions& options, SelectionOutcome* report) {
  VORNA_CHECK(check_sizes(params, x, w, penalties.size()));
  diag::Timer timer;
  const Vector entry = log_of(params.lambda);
  const bool warm = options.warm_start;
  VORNA_TRY(problem, SelectionProblem::build(y, x, w, penalties, criterion, cross, warm ? &entry : nullptr));
  profile("[PROFILE] Pre-computed X'WX and X'Wy: " + fmt::fixed(timer.elapsed_ms(), 2) + "ms");
  VORNA_TRY(outcome, minimize_criterion(problem, warm ? entry : problem.balanced_start(), options.centre));
  params.lambda = exp_of(outcome.rho);
  if (report != nullptr) *report = std::move(outcome);
  return {};
}

}  // namespace

Result<void> newton_reml(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                         std::span<const Matrix> penalties, const CrossProducts* cross, bool known_scale,
                         SelectionOutcome* report) {
  return select(params, y, x, w, penalties, cross,
                known_scale ? SelectionCriterion::RemlKnownScale : SelectionCriterion::RemlProfiledScale,
                SelectionOptions{known_scale, true}, report);
}

Result<void> gcv_search(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                        std::span<const Matrix> penalties, const CrossProducts* cross, SelectionOutcome* report) {
  return select(params, y, x, w, penalties, cross, SelectionCriterion::Gcv, SelectionOptions{false, true}, report);
}

namespace {

SelectionCriterion criterion_of(const SmoothingParameter& params, const SelectionOptions& options) {
  return params.method == SmoothingMethod::GCV ? SelectionCriterion::Gcv
         : options.known_scale                 ? SelectionCriterion::RemlKnownScale
                                               : SelectionCriterion::RemlProfiledScale;
}

}  // namespace

Result<void, Failure> optimize_from_sums(SmoothingParameter& params, SelectionProblem::WorkingSums sums,
                                         SelectionProblem::ResidualPass pass, std::span<const Matrix> penalties,
                                         const SelectionOptions& options, SelectionOutcome* report) {
  if (penalties.size() != params.lambda.size())
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  if (report != nullptr) *report = {};
  if (params.use_fellner_schall && params.method == SmoothingMethod::REML)
    return GamError::invalid_parameter("Fellner-Schall needs the model matrix");
  diag::Timer timer;
  const Vector entry = log_of(params.lambda);
  const bool warm = options.warm_start;
  VORNA_TRY(problem, SelectionProblem::from_sums(std::move(sums), penalties, criterion_of(params, options),
                                                 warm ? &entry : nullptr, std::nullopt, std::move(pass)));
  profile("[PROFILE] Pre-computed X'WX and X'Wy: " + fmt::fixed(timer.elapsed_ms(), 2) + "ms");
  VORNA_TRY(outcome, minimize_criterion(problem, warm ? entry : problem.balanced_start(), options.centre));
  params.lambda = exp_of(outcome.rho);
  if (report != nullptr) *report = std::move(outcome);
  return {};
}

Result<void, Failure> optimize(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                               std::span<const Matrix> penalties, const CrossProducts* cross,
                               const SelectionOptions& options, SelectionOutcome* report) {
  if (penalties.size() != params.lambda.size())
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  if (report != nullptr) *report = {};
  if (params.use_fellner_schall && params.method == SmoothingMethod::REML) {
    if (!options.warm_start) std::fill(params.lambda.begin(), params.lambda.end(), 1.0);
    VORNA_CHECK(fellner_schall(params, y, x, w, penalties, cross));
    return {};
  }
  // A cold start balances each penalty against its block of XᵀWX, which
  // carries the units of the data; λ = 1 would not.
  VORNA_CHECK(select(params, y, x, w, penalties, cross, criterion_of(params, options), options, report));
  return {};
}

}  // namespace vorna
