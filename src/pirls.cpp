#include "pirls.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "linalg.hpp"

namespace vorna {
namespace {

// ---- Guard constants ------------------------------------------------------------

constexpr double kExpClamp = 20.0;          // keep exp() of the binomial and Poisson links finite
constexpr double kTiny = 1e-10;             // floor for variances, weights, means and |η|, |dμ/dη|
constexpr double kInverseOfZero = 1e10;     // Gamma mean where |η| is below kTiny
constexpr double kBinomialStartMin = 0.01;  // keep the logit of a 0/1 response finite
constexpr double kBinomialStartMax = 0.99;
constexpr double kPositiveStartMin = 0.1;  // keep log(y) and 1/y of a zero response finite

// ---- PiRLS constants --------------------------------------------------------------

constexpr std::size_t kMaxIterations = 100;
// On the largest change of β (Gaussian) or of η = Xβ (other families)
// relative to the largest entry: both carry the units of the response (or of
// its link), so an absolute test would be too loose in some units and out of
// reach in others.
constexpr double kCoefficientTolerance = 1e-6;
constexpr double kRidgeFactor = 1e-5;
constexpr std::size_t kBlockRows = 1000;  // rows of X per QR update of the block-wise factor

// ---- Scalar family formulas (std::fmax / std::fmin are IEEE maxNum / minNum) ---

double initial_eta_of(Family f, double y) {
  switch (f) {
    case Family::Gaussian: return y;
    case Family::Binomial: {
      const double p = std::fmin(std::fmax(y, kBinomialStartMin), kBinomialStartMax);
      return std::log(p / (1.0 - p));
    }
    case Family::Poisson: return std::log(std::fmax(y, kPositiveStartMin));
    // μ = y itself: a fit checks y > 0 beforehand, and any floor would tie
    // the start to the units of y.
    case Family::Gamma: return 1.0 / (y > 0.0 ? y : kPositiveStartMin);
  }
  return y;
}

double link_inverse_of(Family f, double eta) {
  switch (f) {
    case Family::Gaussian: return eta;
    case Family::Binomial:
      // μ stays within about 2.1e-9 of 0 and 1.
      return 1.0 / (1.0 + std::exp(-std::fmin(std::fmax(eta, -kExpClamp), kExpClamp)));
    case Family::Poisson: return std::exp(std::fmin(eta, kExpClamp));  // no lower clamp
    case Family::Gamma: return std::abs(eta) < kTiny ? kInverseOfZero : 1.0 / eta;
  }
  return eta;
}

double mu_eta_of(Family f, double eta) {
  switch (f) {
    case Family::Gaussian: return 1.0;
    case Family::Binomial: {
      const double mu = link_inverse_of(f, eta);
      return mu * (1.0 - mu);
    }
    case Family::Poisson: return std::exp(eta);     // unclamped, unlike the inverse link
    case Family::Gamma: return -1.0 / (eta * eta);  // unguarded: η = 0 gives −∞
  }
  return 1.0;
}

double variance_of(Family f, double mu) {
  switch (f) {
    case Family::Gaussian: return 1.0;
    case Family::Binomial: return mu * (1.0 - mu);
    case Family::Poisson: return mu;
    case Family::Gamma: return mu * mu;
  }
  return 1.0;
}

// w = max(d² / max(V(μ), 1e-10), 1e-10) for d = dμ/dη. The Gamma weight is
// exactly μ² = 1/η²: absolute floors would change it with the units of y.
double weight_of(Family f, double mu, double d, double eta) {
  if (f == Family::Gamma) {
    const double w = 1.0 / (eta * eta);
    return std::isfinite(w) ? w : kTiny;
  }
  return std::fmax(d * d / std::fmax(variance_of(f, mu), kTiny), kTiny);
}

// z = η + (y − μ)/d, or η where |d| < 1e-10 (the correction would blow up).
// The Gamma derivative −1/η² is non-zero wherever η is finite, and small only
// because of the units of y, so it is never replaced.
double response_of(Family f, double eta, double mu, double y, double d) {
  if (f == Family::Gamma) return d != 0.0 ? eta + (y - mu) / d : eta;
  return std::abs(d) < kTiny ? eta : eta + (y - mu) / d;
}

// Whether η gives means inside the family's domain: the inverse link maps
// every finite η into it except for the Gamma, whose means must be positive.
bool valid_eta(Family f, double eta) { return f == Family::Gamma ? eta > 0.0 && std::isfinite(eta) : !std::isnan(eta); }

double unit_deviance(Family f, double y, double mu) {
  if (f == Family::Gaussian) {
    const double r = y - mu;
    return r * r;
  }
  const double m = std::fmax(mu, kTiny);  // keep log(y/μ) and 1/μ finite
  switch (f) {
    case Family::Binomial:
      // 0·log 0 = 0 at y = 0 and y = 1; a response outside [0, 1] contributes nothing.
      if (y == 0.0) return 2.0 * std::log(1.0 / (1.0 - m));
      if (y == 1.0) return 2.0 * std::log(1.0 / m);
      if (y > 0.0 && y < 1.0) return 2.0 * (y * std::log(y / m) + (1.0 - y) * std::log((1.0 - y) / (1.0 - m)));
      return 0.0;
    case Family::Poisson:
      if (y > 0.0) return 2.0 * (y * std::log(y / m) - (y - m));
      return 2.0 * m;
    case Family::Gamma: return 2.0 * ((y - m) / m - std::log(y / m));  // y ≤ 0: non-finite
    case Family::Gaussian: break;
  }
  return 0.0;
}

template <class F>
Vector map(VectorView v, F f) {
  Vector out(v.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(v[i], i);
  return out;
}

}  // namespace

// ---- Families -----------------------------------------------------------------------

Vector initial_eta(Family family, VectorView y) {
  return map(y, [&](double v, std::size_t) { return initial_eta_of(family, v); });
}

Vector link_inverse(Family family, VectorView eta) {
  return map(eta, [&](double v, std::size_t) { return link_inverse_of(family, v); });
}

Vector mu_eta(Family family, VectorView eta) {
  return map(eta, [&](double v, std::size_t) { return mu_eta_of(family, v); });
}

Vector variance(Family family, VectorView mu) {
  return map(mu, [&](double v, std::size_t) { return variance_of(family, v); });
}

Vector working_weights(Family family, VectorView eta) {
  return map(eta, [&](double v, std::size_t) {
    return weight_of(family, link_inverse_of(family, v), mu_eta_of(family, v), v);
  });
}

Vector working_response(Family family, VectorView eta, VectorView mu, VectorView y) {
  return map(eta, [&](double v, std::size_t i) { return response_of(family, v, mu[i], y[i], mu_eta_of(family, v)); });
}

double deviance(Family family, VectorView y, VectorView mu) {
  double total = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) total += unit_deviance(family, y[i], mu[i]);
  return total;
}

// ---- Penalized cross products ---------------------------------------------------------

namespace {

// A += Σ_j λ_j S_j, one penalty after another, entry by entry.
void add_penalties(Matrix& a, std::span<const double> lambdas, std::span<const Matrix> penalties) {
  const std::size_t count = std::min(lambdas.size(), penalties.size());
  const std::size_t size = a.rows() * a.cols();
  double* out = a.data();
  for (std::size_t j = 0; j < count; ++j) {
    const double* s = penalties[j].data();
    const double lambda = lambdas[j];
    for (std::size_t e = 0; e < size; ++e) out[e] += lambda * s[e];
  }
}

void add_ridge(Matrix& a, double ridge) {
  if (ridge == 0.0) return;
  for (std::size_t k = 0; k < std::min(a.rows(), a.cols()); ++k) a(k, k) += ridge;
}

}  // namespace

Matrix penalty_sum(std::span<const double> lambdas, std::span<const Matrix> penalties, std::size_t p) {
  Matrix s_lambda(p, p);
  add_penalties(s_lambda, lambdas, penalties);
  return s_lambda;
}

Matrix penalized_gram(Matrix xtwx, std::span<const double> lambdas, std::span<const Matrix> penalties, double ridge) {
  add_penalties(xtwx, lambdas, penalties);
  add_ridge(xtwx, ridge);
  return xtwx;
}

Matrix penalized_gram(Matrix xtwx, const Matrix& s_lambda, double ridge) {
  const std::size_t size = xtwx.rows() * xtwx.cols();
  double* out = xtwx.data();
  const double* s = s_lambda.data();
  for (std::size_t e = 0; e < size; ++e) out[e] += s[e];
  add_ridge(xtwx, ridge);
  return xtwx;
}

// ---- PiRLS --------------------------------------------------------------------------
//
// Penalized IRLS (Wood 2017, §6.1.1): at the current η, solve the weighted,
// penalized least-squares problem in the working response z and weights w,
// and repeat. Where this departs from the textbook iteration:
//   - a ridge δI joins S_λ (penalty_ridge), because nothing else pins down
//     the constant that several smooths share;
//   - convergence is judged on η (β for the Gaussian), not on the deviance
//     (see convergence_change);
//   - the plain iteration runs first, and only when it does not settle is it
//     run again with step halving on the penalized deviance (Marschner 2011,
//     R Journal 3(2), 12–15; Wood 2017, §6.1.1), see PirlsProblem::run.

namespace {

constexpr std::size_t kMaxStepHalvings = 30;
constexpr double kHalvingTolerance = 1e-8;

bool all_valid(Family family, const Vector& eta) {
  return std::all_of(eta.begin(), eta.end(), [&](double v) { return valid_eta(family, v); });
}

// deviance(y, g⁻¹(η)) + βᵀS_λβ.
double penalized_deviance(Family family, VectorView y, const Vector& eta, const Vector& beta, const Matrix& s_lambda) {
  double total = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) total += unit_deviance(family, y[i], link_inverse_of(family, eta[i]));
  const std::size_t p = beta.size();
  for (std::size_t j = 0; j < p; ++j) {
    const double* row = s_lambda.row_ptr(j);
    double sj = 0.0;
    for (std::size_t l = 0; l < p; ++l) sj += row[l] * beta[l];
    total += beta[j] * sj;
  }
  return total;
}

// β with Xβ ≈ 1/ȳ (the Gamma linear predictor of the constant mean) by
// ridged least squares, and η = Xβ; η is empty when it is not everywhere
// positive (a basis that cannot represent a constant).
Result<std::pair<Vector, Vector>> constant_mean_coefficients(ConstMatrixView x, VectorView y, double ridge) {
  double mean = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) mean += y[i];
  mean /= static_cast<double>(y.size());
  const Vector target(x.rows(), 1.0 / mean);
  VORNA_TRY(beta, solve(penalized_gram(gram(x), {}, {}, ridge), matvec_t(x, target)));
  Vector eta = matvec(x, beta);
  if (!all_valid(Family::Gamma, eta)) eta.clear();
  return std::pair{std::move(beta), std::move(eta)};
}

// The sizes, checked before any arithmetic so that a bad call costs nothing.
Result<void> check_pirls_inputs(ConstMatrixView x, VectorView y, std::span<const double> lambdas,
                                std::span<const Matrix> penalties) {
  const std::size_t n = x.rows(), p = x.cols(), m = lambdas.size();
  if (n != y.size())
    return GamError::dimension_mismatch("X has " + std::to_string(n) + " rows but y has " + std::to_string(y.size()) +
                                        " elements");
  if (m != penalties.size())
    return GamError::dimension_mismatch("Number of lambdas must match number of penalty matrices");
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = penalties[j];
    if (s.rows() != p || s.cols() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " is " + std::to_string(s.rows()) +
                                          " x " + std::to_string(s.cols()) + " but X has " + std::to_string(p) +
                                          " columns");
  }
  return {};
}

// The largest change of a vector in one iteration, and the largest entry
// after it: converged when change <= kCoefficientTolerance · size.
struct Change {
  double change = 0.0;
  double size = 0.0;
};

// Gaussian steps repeat one solve, so β itself settles exactly; other
// families pass `before`/`after` as η = Xβ: with several smooths the
// constant is shared between them and held only by the ridge, and heavily
// penalized smooths make A so ill-conditioned that β wanders in directions
// the data cannot see while η stays put.
Change convergence_change(const Vector& before, const Vector& after) {
  Change out;
  for (std::size_t i = 0; i < after.size(); ++i) {
    out.change = std::fmax(out.change, std::abs(after[i] - before[i]));
    out.size = std::fmax(out.size, std::abs(after[i]));
  }
  return out;
}

// The system of one iteration: A β = b, and the ridge δ that A carries
// (the step control measures its objective with the same δ).
struct PenalizedSystem {
  Matrix a;
  Vector b;
  double delta = 0.0;
};

// A step as taken: β, its η (Xβ, except after a halved first step, which
// halves η from initial_eta(y) alongside β) and whether it was shortened.
struct Step {
  Vector beta;
  Vector eta;
  bool halved = false;
};

// What one fit at fixed λ keeps across its iterations and its two runs, and
// the steps of an iteration. Not copyable: xv_ may point into x_copy_.
class PirlsProblem {
 public:
  PirlsProblem(ConstMatrixView x, VectorView y, std::span<const double> lambdas, std::span<const Matrix> penalties,
               Family family, const CrossProducts* cache);
  PirlsProblem(const PirlsProblem&) = delete;
  PirlsProblem& operator=(const PirlsProblem&) = delete;

  bool unit_weights() const { return unit_weights_; }
  Result<PirlsResult> run(bool guarded) const;

 private:
  void working_model(const Vector& eta, Vector& weights, Vector& response) const;
  PenalizedSystem penalized_system(const Vector& weights, const Vector& response) const;
  double objective(const Vector& eta, const Vector& beta, double delta) const;
  Step guarded_step(std::size_t t, double delta, const Vector& beta, const Vector& eta, Vector beta_new,
                    double& penalized_old) const;
  PirlsResult record(Vector beta, Vector eta, std::size_t iterations, bool converged) const;

  VectorView y_;
  Family family_;
  const CrossProducts* cache_;
  std::size_t n_, p_, m_;
  Matrix s_lambda_;
  std::optional<Matrix> x_copy_;
  ConstMatrixView xv_;
  bool unit_weights_;
  bool cached_rhs_;
  std::optional<Matrix> own_gram_;
};

// Fixed parts: S_λ (penalty_sum) and X in a BLAS-friendly layout, copied once
// and only when it is not row-major. Gaussian weights are all exactly 1, so
// XᵀWX = XᵀX is the same in every iteration (taken from the caller's cache or
// formed here) and no √W·X copy is needed; with a cache, XᵀWz = Xᵀy as well
// (z = η + (y − η) is y up to rounding), so z is never formed and η only once,
// at the end.
PirlsProblem::PirlsProblem(ConstMatrixView x, VectorView y, std::span<const double> lambdas,
                           std::span<const Matrix> penalties, Family family, const CrossProducts* cache)
    : y_(y),
      family_(family),
      cache_(cache),
      n_(x.rows()),
      p_(x.cols()),
      m_(lambdas.size()),
      s_lambda_(penalty_sum(lambdas, penalties, x.cols())),
      x_copy_(x.is_row_major_contiguous() ? std::nullopt : std::optional<Matrix>(std::in_place, x)),
      xv_(x_copy_ ? x_copy_->view() : x),
      unit_weights_(family == Family::Gaussian),
      cached_rhs_(unit_weights_ && cache != nullptr),
      own_gram_(unit_weights_ && cache == nullptr ? std::optional<Matrix>(gram(xv_)) : std::nullopt) {}

// w and z at η, the weighted least-squares problem of one scoring step; unit
// weights are never stored.
void PirlsProblem::working_model(const Vector& eta, Vector& weights, Vector& response) const {
  for (std::size_t i = 0; i < n_; ++i) {
    const double mu = link_inverse_of(family_, eta[i]);
    const double d = mu_eta_of(family_, eta[i]);
    response[i] = response_of(family_, eta[i], mu, y_[i], d);
    if (!unit_weights_) weights[i] = weight_of(family_, mu, d, eta[i]);
  }
}

// A = XᵀWX + S_λ + δI with δ = penalty_ridge(XᵀWX), taken before the penalty
// is added; b = XᵀWz. Both come from √W·X and √W·z in one pass over X, or
// from the fixed unit-weight products.
PenalizedSystem PirlsProblem::penalized_system(const Vector& weights, const Vector& response) const {
  std::optional<CrossProducts> weighted;
  if (!unit_weights_) weighted = weighted_cross_products(xv_, weights, response);
  Matrix xtwx = unit_weights_ ? (cache_ ? cache_->xtwx : *own_gram_) : std::move(weighted->xtwx);
  const double delta = penalty_ridge(xtwx, m_);
  PenalizedSystem out{penalized_gram(std::move(xtwx), s_lambda_, delta), Vector{}, delta};
  out.b = cached_rhs_ ? cache_->xtwy : unit_weights_ ? matvec_t(xv_, response) : std::move(weighted->xtwy);
  return out;
}

// What the iteration heads for: the minimum of deviance + βᵀS_λβ + δ‖β‖²
// (with this iteration's δ); +∞ outside the family's domain.
double PirlsProblem::objective(const Vector& eta, const Vector& beta, double delta) const {
  if (!all_valid(family_, eta)) return std::numeric_limits<double>::infinity();
  return penalized_deviance(family_, y_, eta, beta, s_lambda_) + delta * dot(beta, beta);
}

// Step halving towards the previous point while the step raises the
// objective by more than rounding noise, at most 30 times. Without a finite
// objective at the previous point only the domain is checked; where no
// fraction of the step lowers the objective (clamped links), the full step
// is taken, but a step that leaves the domain never is: the shortest
// fraction tried is, when it is inside. η is halved alongside β because the
// first step starts from initial_eta(y), which need not be Xβ for any β; a
// Gamma fit then halves towards the coefficients of the constant mean ȳ
// instead, so that η stays Xβ throughout. `penalized_old` carries
// deviance + βᵀS_λβ from one iteration to the next.
Step PirlsProblem::guarded_step(std::size_t t, double delta, const Vector& beta, const Vector& eta, Vector beta_new,
                                double& penalized_old) const {
  Step step;
  step.eta = matvec(xv_, beta_new);
  step.beta = std::move(beta_new);
  double value = objective(step.eta, step.beta, delta);
  const double objective_old = penalized_old + delta * dot(beta, beta);
  const bool comparable = t > 1 && std::isfinite(objective_old);
  const double limit = objective_old + kHalvingTolerance * std::fabs(objective_old);
  const auto acceptable = [&](double v) { return comparable ? v <= limit : std::isfinite(v); };
  if (!acceptable(value)) {
    Vector base_beta = beta, base_eta = eta;
    if (t == 1 && family_ == Family::Gamma) {
      auto constant = constant_mean_coefficients(xv_, y_, delta);
      if (constant && !constant.value().second.empty()) {
        base_beta = std::move(constant.value().first);
        base_eta = std::move(constant.value().second);
      }
    }
    Vector beta_try = step.beta, eta_try = step.eta;
    double value_try = value;
    for (std::size_t h = 0; h < kMaxStepHalvings && !acceptable(value_try); ++h) {
      for (std::size_t j = 0; j < p_; ++j) beta_try[j] = 0.5 * (beta_try[j] + base_beta[j]);
      for (std::size_t i = 0; i < n_; ++i) eta_try[i] = 0.5 * (eta_try[i] + base_eta[i]);
      value_try = objective(eta_try, beta_try, delta);
    }
    step.halved = acceptable(value_try) || (!std::isfinite(value) && std::isfinite(value_try));
    if (step.halved) {
      step.beta = std::move(beta_try);
      step.eta = std::move(eta_try);
      value = value_try;
    }
  }
  penalized_old = value - delta * dot(step.beta, step.beta);
  return step;
}

// The result at the final η.
PirlsResult PirlsProblem::record(Vector beta, Vector eta, std::size_t iterations, bool converged) const {
  PirlsResult result;
  result.iterations = iterations;
  result.converged = converged;
  result.fitted_values = link_inverse(family_, eta);
  result.deviance = deviance(family_, y_, result.fitted_values);
  result.weights = working_weights(family_, eta);
  result.coefficients = std::move(beta);
  result.linear_predictor = std::move(eta);
  return result;
}

// One run from β = 0, η = initial_eta(y): per iteration
//   1. w and z at η (working_model);
//   2. A and b (penalized_system), solved for the new β;
//   3. η = Xβ, through guarded_step when `guarded`;
//   4. the convergence test; only a full step may end the loop, as a
//      shortened one says nothing about convergence.
// The plain run gives up once η leaves the family's domain: its weights
// would be meaningless there.
Result<PirlsResult> PirlsProblem::run(bool guarded) const {
  Vector beta(p_, 0.0);
  Vector eta = initial_eta(family_, y_);
  Vector weights(unit_weights_ ? 0 : n_);  // refilled each iteration
  Vector response(cached_rhs_ ? 0 : n_);
  double penalized_old = std::numeric_limits<double>::infinity();  // deviance + βᵀS_λβ at β
  bool last_halved = false;
  Vector eta_before;  // η at the start of the iteration (not needed for Gaussian fits)
  std::size_t iterations = 0;
  bool converged = false;
  for (std::size_t t = 1;; ++t) {
    VORNA_CHECK_INTERRUPT();
    if (!cached_rhs_) working_model(eta, weights, response);
    PenalizedSystem system = penalized_system(weights, response);
    VORNA_TRY(beta_new, solve(std::move(system.a), std::move(system.b)));
    if (!unit_weights_) eta_before = eta;
    bool halved = false;
    if (guarded) {
      Step step = guarded_step(t, system.delta, beta, eta, std::move(beta_new), penalized_old);
      beta_new = std::move(step.beta);
      eta = std::move(step.eta);
      halved = step.halved;
    } else if (!cached_rhs_) {
      eta = matvec(xv_, beta_new);
    }
    const Change change = unit_weights_ ? convergence_change(beta, beta_new) : convergence_change(eta_before, eta);
    beta = std::move(beta_new);
    last_halved = halved;
    if (!guarded && !cached_rhs_ && !all_valid(family_, eta)) {
      iterations = t;
      converged = false;
      break;
    }
    const bool small = change.change <= kCoefficientTolerance * change.size;
    if ((small && !halved) || t == kMaxIterations) {
      iterations = t;
      converged = small && !halved;
      break;
    }
  }
  if (cached_rhs_ || last_halved) eta = matvec(xv_, beta);
  return record(std::move(beta), std::move(eta), iterations, converged);
}

// Whether a plain run can stand: it converged on finite coefficients.
bool settled(const PirlsResult& plain) {
  return plain.converged &&
         std::all_of(plain.coefficients.begin(), plain.coefficients.end(), [](double v) { return std::isfinite(v); });
}

// The guarded run's result, unless it failed where the plain run stayed in
// the domain; a guarded η outside the domain is an error.
Result<PirlsResult> prefer_guarded(Family family, PirlsResult plain, Result<PirlsResult> guarded) {
  if (!guarded) {
    if (all_valid(family, plain.linear_predictor)) return plain;
    return std::move(guarded).error();
  }
  const Vector& eta = guarded.value().linear_predictor;
  for (std::size_t i = 0; i < eta.size(); ++i)
    if (!valid_eta(family, eta[i]))
      return GamError::optimization_failed("PiRLS found no coefficients with valid " +
                                           std::string(family_name(family)) + " means: the linear predictor at row " +
                                           std::to_string(i) + " is " + std::to_string(eta[i]));
  return std::move(guarded).value();
}

}  // namespace

Result<PirlsResult> pirls(ConstMatrixView x, VectorView y, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family, const CrossProducts* cache) {
  VORNA_CHECK(check_pirls_inputs(x, y, lambdas, penalties));
  const PirlsProblem problem(x, y, lambdas, penalties, family, cache);
  // The plain iteration first. Started from initial_eta(y), far from the
  // optimum, it can oscillate with growing amplitude (the logit or log link
  // pinned at its clamps); only when it does not settle on finite coefficients
  // is it run again with step control. A Gaussian step minimizes the
  // penalized least squares outright and never needs it.
  VORNA_TRY(plain, problem.run(false));
  if (problem.unit_weights() || settled(plain)) return plain;
  return prefer_guarded(family, std::move(plain), problem.run(true));
}

Result<PirlsResult> gaussian_pirls_from_products(const CrossProducts& cache, VectorView y,
                                                 std::span<const double> lambdas, std::span<const Matrix> penalties,
                                                 const std::function<Vector(const Vector&)>& predictor) {
  const std::size_t p = cache.xtwx.rows(), m = lambdas.size();
  if (m != penalties.size())
    return GamError::dimension_mismatch("Number of lambdas must match number of penalty matrices");
  for (std::size_t j = 0; j < m; ++j)
    if (penalties[j].rows() != p || penalties[j].cols() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " does not match the " +
                                          std::to_string(p) + " coefficients");
  // The iteration pirls() runs for unit weights with a cache solves the same
  // system at every step from β = 0: every step after the first repeats it
  // exactly. It stops after the first when that is within tolerance of 0,
  // after the second when β is (its change is then 0), else at the cap (a β
  // with a NaN, whose change never compares small).
  Matrix xtwx = cache.xtwx;
  const double delta = penalty_ridge(xtwx, m);
  VORNA_TRY(beta, solve(penalized_gram(std::move(xtwx), penalty_sum(lambdas, penalties, p), delta), cache.xtwy));
  const auto small = [](const Change& c) { return c.change <= kCoefficientTolerance * c.size; };
  PirlsResult result;
  result.converged = true;
  if (small(convergence_change(Vector(p, 0.0), beta))) {
    result.iterations = 1;
  } else if (small(convergence_change(beta, beta))) {
    result.iterations = 2;
  } else {
    result.iterations = kMaxIterations;
    result.converged = false;
  }
  result.fitted_values = predictor(beta);  // μ = η for the identity link
  result.deviance = deviance(Family::Gaussian, y, result.fitted_values);
  result.coefficients = std::move(beta);
  return result;
}

double penalty_ridge(ConstMatrixView xtwx, std::size_t m) {
  double scale = 0.0;
  for (std::size_t k = 0; k < std::min(xtwx.rows(), xtwx.cols()); ++k) scale = std::fmax(scale, std::abs(xtwx(k, k)));
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  return kRidgeFactor * (1.0 + std::sqrt(static_cast<double>(m))) * scale;
}

// ---- Block-wise R factor ----------------------------------------------------------
//
// The row-appending QR update (Golub & Van Loan 2013, Matrix Computations,
// 4th ed., §6.5) as Wood, Goude & Shaw (2015, JRSS C 64(1), 139–155) use it
// for large n: R of [R; next block] by one dense QR per block. Two
// departures: the penalty rows come first rather than last (RᵀR is the same
// sum), and neither Q nor Qᵀz is kept, since callers need R alone.

Result<Matrix> blockwise_r_factor(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                  std::span<const Matrix> roots) {
  const std::size_t n = x.rows(), p = x.cols();
  const std::size_t used = std::min(lambdas.size(), roots.size());
  if (w.size() < n)
    return GamError::dimension_mismatch("X has " + std::to_string(n) + " rows but w has " + std::to_string(w.size()) +
                                        " elements");
  std::size_t r_total = 0;
  for (std::size_t j = 0; j < roots.size(); ++j) {
    if (j < used && roots[j].rows() != p)
      return GamError::dimension_mismatch("Penalty root " + std::to_string(j) + " has " +
                                          std::to_string(roots[j].rows()) + " rows but X has " + std::to_string(p) +
                                          " columns");
    r_total += roots[j].cols();
  }

  // 1. Penalty rows E: row o_j + u is √λ_j·(column u of L_j)ᵀ; unused roots stay zero rows.
  std::optional<Matrix> r;
  if (r_total > 0) {
    Matrix e(r_total, p);
    std::size_t offset = 0;
    for (std::size_t j = 0; j < used; ++j) {
      const double s = std::sqrt(lambdas[j]);
      const Matrix& l = roots[j];
      for (std::size_t u = 0; u < l.cols(); ++u)
        for (std::size_t k = 0; k < p; ++k) e(offset + u, k) = s * l(k, u);
      offset += l.cols();
    }
    auto factor = qr_r_consuming(std::move(e));
    if (!factor) return lapack_error(GamErrorKind::LinAlgError, "QR decomposition failed", factor.error(), false);
    r.emplace(p, p);
    std::copy(factor.value().storage().begin(), factor.value().storage().end(), r->data());
  }

  // 2. Fold in the data rows √w_i·X_i, 1000 at a time: R ← R factor of [R; block].
  for (std::size_t start = 0; start < n; start += kBlockRows) {
    const std::size_t rows = std::min(kBlockRows, n - start);
    const std::size_t top = r ? p : 0;
    Matrix stacked(top + rows, p);
    if (r) std::copy(r->storage().begin(), r->storage().end(), stacked.data());
    for (std::size_t i = 0; i < rows; ++i) {
      const double s = std::sqrt(w[start + i]);
      double* dst = stacked.row_ptr(top + i);
      for (std::size_t k = 0; k < p; ++k) dst[k] = s * x(start + i, k);
    }
    auto factor = qr_r_consuming(std::move(stacked));
    if (!factor) return GamError::linalg_error(r ? "Block QR update failed" : "First block QR failed");
    // min(top + rows, p) × p, upper trapezoidal: the leading rows of R.
    if (!r) r.emplace(p, p);
    std::copy(factor.value().storage().begin(), factor.value().storage().end(), r->data());
  }
  if (!r) return GamError::invalid_parameter("No blocks processed");
  return std::move(*r);
}

}  // namespace vorna
