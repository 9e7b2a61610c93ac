#include "smooth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics.hpp"
#include "format.hpp"
#include "linalg.hpp"
#include "reml.hpp"

namespace vorna {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---- Newton REML constants ----------------------------------------------------
constexpr int kNewtonMaxIterations = 10;
constexpr double kGradientTolerance = 0.05;         // converged when max |g_j| is below it
constexpr double kRelativeChangeTolerance = 1e-5;   // converged on a flat criterion, from iteration 3
constexpr int kFirstChangeTestIteration = 3;
constexpr double kSmallGradient = 0.1;              // fall-back decisions and the halving count
constexpr double kArmijo = 0.01;                    // sufficient-decrease factor
constexpr double kMaxStepNorm = 4.0;                // a longer step in ρ is shortened to this norm
constexpr double kMinUsefulScale = 1e-6;            // a smaller best fraction counts as no step
constexpr double kDiagonalFloor = 1e-10;            // Hessian diagonals not above it get scale 1
constexpr double kHessianShift = 1e-7;              // keeps the scaled Newton system regular
constexpr double kSteepestDescentSizes[] = {0.01, 0.001, 0.0001};

// ---- Fellner-Schall constants ---------------------------------------------------
constexpr int kFsMaxIterations = 10;
constexpr double kFsRidgeFactor = 1e-5;
constexpr double kFsRetryRidgeMultiplier = 10.0;
constexpr double kFsMinRatio = 0.2;
constexpr double kFsMaxRatio = 5.0;
constexpr double kFsDamping = 0.5;                         // half of ln(ratio) is applied
constexpr double kFsMinLogLambda = -16.11809565095832;     // ln 1e-7
constexpr double kFsMaxLogLambda = 11.512925464970229;     // ln 1e5
constexpr double kFsTolerance = 1e-6;
constexpr double kFsEntryThreshold = 1e-10;                // "non-zero" penalty entries in the trace line

// ---- GCV search constants -------------------------------------------------------
constexpr int kGcvMaxIterations = 10;
constexpr double kGcvIncrement = 0.01;
constexpr double kGcvStepFactor = 0.5;
constexpr double kGcvTolerance = 1e-6;

// Samples from this size on evaluate residual sums from a reference fit
// instead of a pass over the rows (see ResidualModel).
constexpr std::size_t kResidualModelMinRows = 2000;
constexpr double kAnchorRidge = 1e-5;

void profile(const std::string& text) { diag::line_if(diag::kProfile, text); }

std::string count_text(long long k) { return std::to_string(k); }

const char* bool_text(bool b) { return b ? "true" : "false"; }

Vector exp_of(const Vector& rho) {
  Vector out(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) out[j] = std::exp(rho[j]);
  return out;
}

Vector log_of(const Vector& lambda) {
  Vector out(lambda.size());
  for (std::size_t j = 0; j < lambda.size(); ++j) out[j] = std::log(lambda[j]);
  return out;
}

// Largest |v_i|, 0 for an empty vector; NaN entries are skipped (maxNum).
double max_abs(const Vector& v) {
  double out = 0.0;
  for (double x : v) out = std::fmax(out, std::abs(x));
  return out;
}

double norm2(const Vector& v) {
  double sum = 0.0;
  for (double x : v) sum += x * x;
  return std::sqrt(sum);
}

double dot(const Vector& a, const Vector& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

bool all_ones(VectorView w) {
  for (std::size_t i = 0; i < w.size(); ++i)
    if (w[i] != 1.0) return false;
  return true;
}

// ---- Guards ------------------------------------------------------------------------
// The optimizer entry guarantees these sizes; the optimizers form cross
// products before any checked routine runs, so a broken promise is turned
// into an error here rather than into an out-of-bounds read.

Result<void> check_sizes(const SmoothingParameter& params, ConstMatrixView x, VectorView w,
                         std::size_t penalty_count) {
  if (w.size() != x.rows())
    return GamError::dimension_mismatch("X has " + std::to_string(x.rows()) + " rows but w has " +
                                        std::to_string(w.size()) + " elements");
  if (params.lambda.size() != penalty_count)
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  return {};
}

Result<void> check_response(VectorView y, ConstMatrixView x) {
  if (y.size() != x.rows())
    return GamError::dimension_mismatch("X has " + std::to_string(x.rows()) + " rows but y has " +
                                        std::to_string(y.size()) + " elements");
  return {};
}

// After the roots, so that a non-square penalty reports the roots' own error.
Result<void> check_penalty_shapes(std::size_t p, std::span<const Matrix> penalties) {
  for (std::size_t j = 0; j < penalties.size(); ++j)
    if (penalties[j].rows() != p || penalties[j].cols() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " is not " +
                                          std::to_string(p) + "×" + std::to_string(p));
  return {};
}

Result<void> check_cross_products(ConstMatrixView x, const CrossProducts* cross) {
  const std::size_t p = x.cols();
  if (cross == nullptr || (cross->xtwx.rows() == p && cross->xtwx.cols() == p && cross->xtwy.size() == p))
    return {};
  return GamError::dimension_mismatch("Cached cross products do not match X with " + std::to_string(p) +
                                      " columns");
}

Matrix penalized_gram(const Matrix& xtwx, const Vector& lambda, std::span<const Matrix> penalties);

// ---- Newton REML -----------------------------------------------------------------

// What one newton_reml call computes once: the penalty roots and the cross
// products, so that every later evaluation starts from p × p matrices and
// touches the n rows only for one residual pass.
class CachedProblem {
 public:
  // Writes the two set-up profile lines; `timer` runs from the optimizer's entry.
  static Result<CachedProblem> prepare(VectorView y, ConstMatrixView x, VectorView w,
                                       std::span<const Matrix> penalties, const Vector& start,
                                       const CrossProducts* cross, diag::Timer& timer) {
    CachedProblem problem(y, x, w, penalties);
    VORNA_TRY(roots, penalty_roots(penalties));
    VORNA_CHECK(check_penalty_shapes(x.cols(), penalties));
    problem.roots_ = std::move(roots);
    profile("[PROFILE] Pre-computed sqrt_penalties: " + fmt::fixed(timer.elapsed_ms(), 2) + "ms");
    timer.restart();
    problem.xtwx_ = cross ? cross->xtwx : weighted_gram(x, w);
    problem.xtwy_ = cross ? cross->xtwy : weighted_xty(x, w, y);
    profile("[PROFILE] Pre-computed X'WX and X'Wy: " + fmt::fixed(timer.elapsed_ms(), 2) + "ms");
    problem.unit_weights_ = all_ones(w);
    problem.build_residual_model(start);
    return problem;
  }

  Result<double> criterion(const Vector& lambda) const {
    return reml_criterion(y_, x_, w_, lambda, penalties_, &xtwx_, &xtwy_, residual_model());
  }

  Result<Vector> gradient(const Vector& lambda) const {
    return reml_gradient_blockwise(y_, x_, w_, lambda, penalties_, &roots_, &xtwx_, &xtwy_,
                                   residual_model());
  }

  // The fall-back's gradient deliberately ignores the caches.
  Result<Vector> uncached_gradient(const Vector& lambda) const {
    return reml_gradient_blockwise(y_, x_, w_, lambda, penalties_);
  }

  Result<Matrix> hessian(const Vector& lambda) {
    // With unit weights XᵀX is XᵀWX; otherwise form the unweighted product
    // once here rather than once per iteration inside the Hessian.
    if (!unit_weights_ && !xtx_) xtx_ = gram(x_);
    return reml_hessian_cached(y_, x_, w_, lambda, penalties_, xtwx_, &xtwy_,
                               xtx_ ? &*xtx_ : nullptr, residual_model());
  }

 private:
  // Residual sums for every later evaluation without a pass over the rows,
  // anchored at the penalized fit at the starting λ. Small samples keep the
  // direct sums: the pass is cheap there and the anchor would cost as much.
  void build_residual_model(const Vector& lambda) {
    if (x_.rows() < kResidualModelMinRows) return;
    Matrix a = penalized_gram(xtwx_, lambda, penalties_);
    double scale = 1.0;
    for (std::size_t k = 0; k < a.rows(); ++k) scale = std::fmax(scale, std::fabs(a(k, k)));
    for (std::size_t k = 0; k < a.rows(); ++k) a(k, k) += kAnchorRidge * scale;
    auto beta0 = solve(std::move(a), xtwy_);
    if (beta0) residuals_.emplace(y_, x_, w_, xtwx_, std::move(beta0).value());
  }
  const ResidualModel* residual_model() const { return residuals_ ? &*residuals_ : nullptr; }

  CachedProblem(VectorView y, ConstMatrixView x, VectorView w, std::span<const Matrix> penalties)
      : y_(y), x_(x), w_(w), penalties_(penalties) {}

  VectorView y_;
  ConstMatrixView x_;
  VectorView w_;
  std::span<const Matrix> penalties_;
  std::vector<Matrix> roots_;
  Matrix xtwx_;
  Vector xtwy_;
  bool unit_weights_ = true;
  std::optional<Matrix> xtx_;
  std::optional<ResidualModel> residuals_;
};

struct Iterate {
  double value = 0.0;  // V
  Vector gradient;     // g
  Matrix hessian;      // H
};

void report_raw_hessian(const Vector& lambda, const Iterate& it) {
  diag::line_if(diag::kGradDebug, "\n[SMOOTH_DEBUG] Raw Hessian at λ=" + fmt::debug_list(lambda) + ":");
  const std::size_t m = it.hessian.rows();
  for (std::size_t i = 0; i < m; ++i) {
    if (!diag::enabled(diag::kGradDebug)) continue;
    std::string row;
    for (std::size_t j = 0; j < m; ++j)
      row += "  H[" + count_text(static_cast<long long>(i)) + "," +
             count_text(static_cast<long long>(j)) + "]=" + fmt::fixed(it.hessian(i, j), 6);
    diag::line(row);
  }
  diag::line_if(diag::kGradDebug, "[SMOOTH_DEBUG] Gradient: " + fmt::array_debug(it.gradient));
}

// Steps 2–4 of an iteration: V, g and H at λ, with their timings. When the
// step that led here was accepted on its criterion value, that value is V:
// the trial was evaluated at exactly these λ, so the n-row pass is not repeated.
Result<Iterate> evaluate_iterate(CachedProblem& problem, const Vector& lambda,
                                 std::optional<double> known_value) {
  Iterate it;
  if (known_value) {
    it.value = *known_value;
  } else {
    VORNA_TRY(value, problem.criterion(lambda));
    it.value = value;
  }
  diag::Timer timer;
  VORNA_TRY(gradient, problem.gradient(lambda));
  const double ms_gradient = timer.elapsed_ms();
  timer.restart();
  VORNA_TRY(hessian, problem.hessian(lambda));
  const double ms_hessian = timer.elapsed_ms();
  it.gradient = std::move(gradient);
  it.hessian = std::move(hessian);
  profile("[PROFILE]     Gradient: " + fmt::fixed(ms_gradient, 2) + "ms, Hessian: " +
          fmt::fixed(ms_hessian, 2) + "ms");
  report_raw_hessian(lambda, it);
  return it;
}

struct DiagonalScaling {
  Vector d;           // D_i = √H_ii, or 1 where H_ii ≤ 1e-10
  double dmin = kInfinity;
  double dmax = 0.0;
};

DiagonalScaling diagonal_scaling(const Matrix& h) {
  DiagonalScaling out;
  out.d.resize(h.rows());
  for (std::size_t i = 0; i < h.rows(); ++i) {
    const double hii = h(i, i);
    out.dmin = std::fmin(out.dmin, hii);  // a NaN diagonal entry is skipped
    out.dmax = std::fmax(out.dmax, hii);
    out.d[i] = hii > kDiagonalFloor ? std::sqrt(hii) : 1.0;
  }
  return out;
}

void report_scaling(const Matrix& h) {
  if (!diag::enabled(diag::kProfile)) return;
  const DiagonalScaling s = diagonal_scaling(h);
  const double cond = s.dmin > kDiagonalFloor ? s.dmax / s.dmin : s.dmax / kDiagonalFloor;
  diag::line("[PROFILE]   Hessian diag range: [" + fmt::fixed(s.dmin, 6) + ", " + fmt::fixed(s.dmax, 6) +
             "], condition: " + fmt::fixed(cond, 2));
  profile("[PROFILE]   Preconditioner: " + fmt::debug_list(s.d));
}

void report_iteration(int k, const Iterate& it, double ginf, double change, const Vector& lambda,
                      const Vector& rho) {
  profile("[PROFILE] Newton iter " + count_text(k) + ": grad_L2=" + fmt::fixed(norm2(it.gradient), 6) +
          ", grad_Linf=" + fmt::fixed(ginf, 6) + ", REML=" + fmt::fixed(it.value, 6) +
          ", REML_change=" + fmt::sci(change, 6));
  profile("[PROFILE]   lambda=" + fmt::debug_list(lambda));
  profile("[PROFILE]   log_lambda=" + fmt::debug_list(rho));
  profile("[PROFILE]   gradient=" + fmt::debug_list(it.gradient));
}

std::string iterations_text(int k) { return "[PROFILE] Converged after " + count_text(k) + " iterations ("; }

// ρ + a·s (or ρ − t·g with a = −t) into `out`, which keeps its storage.
void shifted(const Vector& rho, double a, const Vector& s, Vector& out) {
  for (std::size_t j = 0; j < rho.size(); ++j) out[j] = rho[j] + a * s[j];
}

enum class FallBack { Stepped, Converged, GaveUp };

// Step 17: gradient steps of three sizes; on failure the gradient decides
// between convergence at the numerical limit and giving up.
// On a step, `rho` and `value` become the new point and its criterion.
Result<FallBack> steepest_descent_fallback(const CachedProblem& problem, const Vector& lambda,
                                           double& value, int k, Vector& rho) {
  profile("[PROFILE]   Newton failed, trying steepest descent");
  VORNA_TRY(g, problem.uncached_gradient(lambda));
  Vector trial_rho(rho.size());
  const newton::TrialCriterion at_size = [&](double t) {
    shifted(rho, -t, g, trial_rho);
    return problem.criterion(exp_of(trial_rho));
  };
  if (const auto taken = newton::steepest_descent(value, at_size)) {
    shifted(rho, -taken->scale, g, trial_rho);
    rho = trial_rho;
    value = taken->value;
    return FallBack::Stepped;
  }
  VORNA_TRY(g_check, problem.uncached_gradient(lambda));
  const double ginf = max_abs(g_check);
  if (ginf < kSmallGradient) {
    profile(iterations_text(k) + "gradient " + fmt::fixed(ginf, 6) + " < " + fmt::fixed(kSmallGradient, 6) +
            " at numerical limit)");
    return FallBack::Converged;
  }
  profile("[PROFILE]   Gradient " + fmt::fixed(ginf, 6) + " still too large (tolerance=" +
          fmt::fixed(kSmallGradient, 6) + "), stopping");
  return FallBack::GaveUp;
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

// XᵀWX + Σ λ_j S_j.
Matrix penalized_gram(const Matrix& xtwx, const Vector& lambda, std::span<const Matrix> penalties) {
  Matrix a = xtwx;
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const Matrix& s = penalties[j];
    for (std::size_t r = 0; r < a.rows(); ++r)
      for (std::size_t c = 0; c < a.cols(); ++c) a(r, c) += lambda[j] * s(r, c);
  }
  return a;
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
  diag::line("[TRACE_DEBUG] Smooth " + count_text(static_cast<long long>(j)) +
             ": full_trace=" + fmt::fixed(trace, 6) + ", nonzero_trace=" + fmt::fixed(partial, 6) +
             ", nonzero_cols=" + count_text(static_cast<long long>(rows)) +
             ", p=" + count_text(static_cast<long long>(p)));
}

}  // namespace

std::optional<SmoothingMethod> parse_smoothing_method(std::string_view name) {
  if (name == "REML") return SmoothingMethod::REML;
  if (name == "GCV") return SmoothingMethod::GCV;
  return std::nullopt;
}

// ---- Newton pieces -----------------------------------------------------------------

namespace newton {

int max_halvings(double gradient_inf) {
  if (gradient_inf < kSmallGradient) return 10;
  if (gradient_inf < 1.0) return 20;
  return 30;
}

Result<Step> preconditioned_step(const Vector& gradient, const Matrix& hessian) {
  const std::size_t m = gradient.size();
  Step step;
  if (m == 0) return step;
  const Vector d = diagonal_scaling(hessian).d;
  Matrix scaled(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) scaled(i, j) = hessian(i, j) / (d[i] * d[j]);
  for (std::size_t i = 0; i < m; ++i) scaled(i, i) += kHessianShift;
  Vector b(m);
  for (std::size_t i = 0; i < m; ++i) b[i] = -gradient[i] / d[i];
  VORNA_TRY(z, solve(std::move(scaled), std::move(b)));
  step.direction.resize(m);
  for (std::size_t i = 0; i < m; ++i) step.direction[i] = z[i] / d[i];
  const double norm = norm2(step.direction);
  if (norm > kMaxStepNorm) {
    const double shrink = kMaxStepNorm / norm;
    for (double& s : step.direction) s *= shrink;
  }
  step.norm = std::fmin(norm, kMaxStepNorm);
  return step;
}

Trial line_search(double value, double slope, int max_halvings, const TrialCriterion& criterion_at) {
  Trial best{0.0, value};
  double scale = 1.0;
  for (int h = 0; h <= max_halvings; ++h, scale *= 0.5) {
    const bool reported = h <= 2;
    const std::string prefix = "[PROFILE]     half=" + count_text(h) + ": ";
    const auto trial = criterion_at(scale);
    if (!trial) {
      if (reported) profile(prefix + "ERROR (numerical issue)");
      continue;
    }
    const double v_try = trial.value();
    const bool armijo = v_try <= value + scale * kArmijo * slope;
    if (reported)
      profile(prefix + "scale=" + fmt::fixed(scale, 4) + ", REML=" + fmt::fixed(v_try, 6) +
              ", armijo=" + bool_text(armijo));
    if (v_try < best.value) {
      best = {scale, v_try};
      // An Armijo full step is not taken at once: the half step may be lower still.
      if (armijo && h > 0) {
        profile("[PROFILE]   Armijo condition satisfied, accepting scale=" + fmt::fixed(scale, 4));
        break;
      }
    } else if (v_try >= best.value && best.scale > 0.0) {  // a NaN trial is neither kept nor final
      profile("[PROFILE]   Best step scale: " + fmt::fixed(best.scale, 4));
      break;
    }
  }
  return best;
}

std::optional<Trial> steepest_descent(double value, const TrialCriterion& criterion_at) {
  for (const double t : kSteepestDescentSizes) {
    const std::string prefix = "[PROFILE]     SD scale=" + fmt::plain(t) + ": ";
    const auto trial = criterion_at(t);
    if (!trial) {
      profile(prefix + "REML computation failed");
      continue;
    }
    const double v_try = trial.value();
    const bool better = v_try < value;
    profile(prefix + "REML=" + fmt::fixed(v_try, 6) + " (current=" + fmt::fixed(value, 6) +
            ", improvement=" + bool_text(better) + ")");
    if (better) {
      profile("[PROFILE]   Steepest descent succeeded (scale=" + fmt::plain(t) +
              "): REML=" + fmt::fixed(v_try, 6));
      return Trial{t, v_try};
    }
  }
  profile("[PROFILE]   Steepest descent failed at all scales");
  return std::nullopt;
}

}  // namespace newton

// ---- Newton REML -------------------------------------------------------------------

Result<void> newton_reml(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                         std::span<const Matrix> penalties, const CrossProducts* cross) {
  diag::Timer timer;
  VORNA_CHECK(check_response(y, x));
  VORNA_CHECK(check_sizes(params, x, w, penalties.size()));
  VORNA_CHECK(check_cross_products(x, cross));
  VORNA_TRY(problem, CachedProblem::prepare(y, x, w, penalties, params.lambda, cross, timer));
  Vector rho = log_of(params.lambda);
  Vector trial_rho(rho.size());
  double previous_value = kInfinity;
  std::optional<double> known_value;  // V at ρ when a trial already computed it

  for (int k = 1; k <= kNewtonMaxIterations; ++k) {
    // 1–4. The criterion, its gradient and Hessian at the iterate.
    const Vector lambda = exp_of(rho);
    VORNA_TRY(it, evaluate_iterate(problem, lambda, std::exchange(known_value, std::nullopt)));
    report_scaling(it.hessian);

    // 7–9. Convergence tests (the change test only from iteration 3 on).
    const double ginf = max_abs(it.gradient);
    const double change = std::isfinite(previous_value)
                              ? std::abs(it.value - previous_value) / std::fmax(std::abs(previous_value), 1e-10)
                              : kInfinity;
    report_iteration(k, it, ginf, change, lambda, rho);
    if (ginf < kGradientTolerance) {
      profile(iterations_text(k) + "gradient criterion: " + fmt::fixed(ginf, 6) + " < 0.05)");
      params.lambda = lambda;
      return {};
    }
    if (k >= kFirstChangeTestIteration && change < kRelativeChangeTolerance) {
      profile(iterations_text(k) + "REML change: " + fmt::sci(change, 2) + " < 1e-5)");
      params.lambda = lambda;
      return {};
    }

    // 10–14. Preconditioned, capped Newton step and the halving line search.
    VORNA_TRY(step, newton::preconditioned_step(it.gradient, it.hessian));
    const double slope = dot(it.gradient, step.direction);
    const int halvings = newton::max_halvings(ginf);
    profile("[PROFILE]   Line search: step_norm=" + fmt::fixed(step.norm, 6) + ", current_REML=" +
            fmt::fixed(it.value, 6) + ", max_half=" + count_text(halvings));
    profile("[PROFILE]     grad·step=" + fmt::sci(slope, 6) + " (expect decrease)");
    diag::Timer search_timer;
    const newton::TrialCriterion at_scale = [&](double a) {
      shifted(rho, a, step.direction, trial_rho);
      return problem.criterion(exp_of(trial_rho));
    };
    const auto outcome = newton::line_search(it.value, slope, halvings, at_scale);
    profile("[PROFILE]     Line search: " + fmt::fixed(search_timer.elapsed_ms(), 2) + "ms");

    // 15. Take the step.
    if (outcome.scale > kMinUsefulScale) {
      profile("[PROFILE]   Accepted Newton step, scale=" + fmt::fixed(outcome.scale, 4));
      shifted(rho, outcome.scale, step.direction, trial_rho);
      rho = trial_rho;
      previous_value = it.value;
      known_value = outcome.value;
      continue;
    }

    // 16–17. No useful Newton step: stop near a stationary point, else fall back.
    profile("[PROFILE]   Newton step too small (scale=" + fmt::sci(outcome.scale, 3) + "), checking gradient");
    if (ginf < kSmallGradient) {
      profile(iterations_text(k) + "gradient " + fmt::fixed(ginf, 6) +
              " < 0.1, no further progress possible)");
      params.lambda = lambda;
      return {};
    }
    double value = it.value;
    VORNA_TRY(fallback, steepest_descent_fallback(problem, lambda, value, k, rho));
    if (fallback == FallBack::Converged) {
      params.lambda = lambda;
      return {};
    }
    if (fallback == FallBack::GaveUp) break;
    previous_value = it.value;
    known_value = value;
  }

  params.lambda = exp_of(rho);
  profile("[PROFILE] Reached max iterations (" + count_text(kNewtonMaxIterations) + ") without convergence");
  return {};
}

// ---- Fellner-Schall -----------------------------------------------------------------

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
      const double next = std::fmin(std::fmax(rho[j] + kFsDamping * std::log(ratio), kFsMinLogLambda),
                                    kFsMaxLogLambda);
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
  profile("[PROFILE] Fellner-Schall reached max iterations (" + count_text(kFsMaxIterations) +
          ") without convergence");
  return {};
}

// ---- GCV search and the optimizer entry ---------------------------------------------

Result<void> gcv_search(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                        ConstMatrixView penalty) {
  if (params.lambda.size() != 1)
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  double rho = std::log(params.lambda[0]);
  for (int it = 0; it < kGcvMaxIterations; ++it) {
    const double rho_old = rho;
    VORNA_TRY(f0, gcv_score(y, x, w, penalty, std::exp(rho_old)));
    VORNA_TRY(f1, gcv_score(y, x, w, penalty, std::exp(rho_old + kGcvIncrement)));
    // A gradient step with the forward-difference slope (f1 − f0)/0.01.
    rho = rho_old + ((f1 - f0) / -kGcvIncrement) * kGcvStepFactor;
    if (!(std::abs(rho - rho_old) > kGcvTolerance)) break;
  }
  params.lambda = Vector{std::exp(rho)};
  return {};
}

Result<void, Failure> optimize(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                               std::span<const Matrix> penalties, const CrossProducts* cross) {
  if (penalties.size() != params.lambda.size())
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  // Every call starts from λ = 1: the previous pass's values are not a start.
  std::fill(params.lambda.begin(), params.lambda.end(), 1.0);
  if (params.method == SmoothingMethod::REML) {
    if (params.use_fellner_schall) {
      VORNA_CHECK(fellner_schall(params, y, x, w, penalties, cross));
    } else {
      VORNA_CHECK(newton_reml(params, y, x, w, penalties, cross));
    }
    return {};
  }
  if (penalties.empty()) {
    params.lambda.clear();
    return {};
  }
  if (penalties.size() > 1) return Failure::message("Multiple smooths not yet properly implemented for GCV");
  VORNA_CHECK(gcv_search(params, y, x, w, penalties[0]));
  return {};
}

}  // namespace vorna
