#include "pirls.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
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

// ---- PiRLS --------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxStepHalvings = 30;
constexpr double kHalvingTolerance = 1e-8;

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
  Matrix a = gram(x);
  for (std::size_t j = 0; j < a.rows(); ++j) a(j, j) += ridge;
  VORNA_TRY(beta, solve(std::move(a), matvec_t(x, target)));
  Vector eta = matvec(x, beta);
  if (!std::all_of(eta.begin(), eta.end(), [](double v) { return valid_eta(Family::Gamma, v); })) eta.clear();
  return std::pair{std::move(beta), std::move(eta)};
}

}  // namespace

Result<PirlsResult> pirls(ConstMatrixView x, VectorView y, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family, const CrossProducts* cache) {
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

  // 1. Fixed parts: S_λ = Σ_j λ_j S_j accumulated in order from zero; X in a
  //    BLAS-friendly layout (copied once, and only when it is not row-major).
  Matrix s_lambda(p, p);
  for (std::size_t j = 0; j < m; ++j) {
    const double* s = penalties[j].data();
    double* acc = s_lambda.data();
    for (std::size_t e = 0; e < p * p; ++e) acc[e] += lambdas[j] * s[e];
  }
  std::optional<Matrix> x_copy;
  if (!x.is_row_major_contiguous()) x_copy.emplace(x);
  const ConstMatrixView xv = x_copy ? x_copy->view() : x;

  // 2. Start: β = 0, η = initial_eta(y).
  //    Gaussian weights are all exactly 1, so XᵀWX = XᵀX is the same in every
  //    iteration (taken from the caller's cache or formed once here), no √W·X
  //    copy is needed, and each step minimizes the penalized least squares
  //    outright, so it needs no halving; with a cache, XᵀWz = Xᵀy as well
  //    (z = η + (y − η) is y up to rounding) and η is formed once, at the end.
  const bool unit_weights = family == Family::Gaussian;
  std::optional<Matrix> own_gram;
  if (unit_weights && cache == nullptr) own_gram = gram(xv);
  const Matrix* unit_gram = unit_weights ? (cache ? &cache->xtwx : &*own_gram) : nullptr;
  const bool cached_rhs = unit_weights && cache != nullptr;

  // One run of the iteration. `guarded` adds step control: from the second
  // iteration on, a step that raises the penalized deviance is halved back
  // towards the previous coefficients.
  const auto iterate = [&](bool guarded) -> Result<PirlsResult> {
    PirlsResult result;
    Vector beta(p, 0.0);
    Vector eta = initial_eta(family, y);
    Vector weights(unit_weights ? 0 : n);  // w and z at the current η, refilled each iteration
    Vector response(cached_rhs ? 0 : n);
    double penalized_old = std::numeric_limits<double>::infinity();  // deviance + βᵀS_λβ at β
    bool last_halved = false;
    Vector eta_before;  // η at the start of the iteration (not needed for Gaussian fits)
    for (std::size_t t = 1;; ++t) {
      VORNA_CHECK_INTERRUPT();
      // 2.1 Weights and working response at the current η.
      if (!cached_rhs) {
        for (std::size_t i = 0; i < n; ++i) {
          const double mu = link_inverse_of(family, eta[i]);
          const double d = mu_eta_of(family, eta[i]);
          response[i] = response_of(family, eta[i], mu, y[i], d);
          if (!unit_weights) weights[i] = weight_of(family, mu, d, eta[i]);
        }
      }

      // 2.2 A = XᵀWX + S_λ + δI with δ = penalty_ridge(XᵀWX) (taken before
      //     the penalty); b = XᵀWz. Both come from √W·X and √W·z, one pass over X.
      std::optional<CrossProducts> weighted;
      if (!unit_weights) weighted = weighted_cross_products(xv, weights, response);
      Matrix a = unit_weights ? *unit_gram : std::move(weighted->xtwx);
      const double delta = penalty_ridge(a, m);
      for (std::size_t e = 0; e < p * p; ++e) a.data()[e] += s_lambda.data()[e];
      for (std::size_t j = 0; j < p; ++j) a(j, j) += delta;
      Vector b = cached_rhs ? cache->xtwy : unit_weights ? matvec_t(xv, response) : std::move(weighted->xtwy);

      // 2.3 Solve and update η.
      VORNA_TRY(beta_new, solve(std::move(a), std::move(b)));
      if (!unit_weights) eta_before = eta;
      bool halved = false;
      if (guarded) {
        // The iteration heads for the minimum of deviance + βᵀS_λβ + δ‖β‖², so
        // that (with this iteration's δ) is what a step must not raise by more
        // than rounding noise; a step that leaves the family's domain counts
        // as +∞. Without a finite objective at the previous point only the
        // domain is checked; and where no fraction of the step lowers the
        // objective (clamped links), the full step is taken. η is halved
        // alongside β: the first step starts from initial_eta(y), which need
        // not be Xβ for any β.
        const auto objective_at = [&](const Vector& e, const Vector& coef) {
          for (double v : e)
            if (!valid_eta(family, v)) return std::numeric_limits<double>::infinity();
          return penalized_deviance(family, y, e, coef, s_lambda) + delta * dot(coef, coef);
        };
        Vector eta_new = matvec(xv, beta_new);
        double objective = objective_at(eta_new, beta_new);
        const double objective_old = penalized_old + delta * dot(beta, beta);
        const bool comparable = t > 1 && std::isfinite(objective_old);
        const double limit = objective_old + kHalvingTolerance * std::fabs(objective_old);
        const auto acceptable = [&](double value) { return comparable ? value <= limit : std::isfinite(value); };
        if (!acceptable(objective)) {
          // Halve towards the previous point. The first step has none of the
          // form Xβ: a Gamma fit then halves towards the coefficients of the
          // constant mean ȳ, so that η stays Xβ throughout.
          Vector base_beta = beta, base_eta = eta;
          if (t == 1 && family == Family::Gamma) {
            auto constant = constant_mean_coefficients(xv, y, delta);
            if (constant && !constant.value().second.empty()) {
              base_beta = std::move(constant.value().first);
              base_eta = std::move(constant.value().second);
            }
          }
          Vector beta_try = beta_new, eta_try = eta_new;
          double value = objective;
          for (std::size_t h = 0; h < kMaxStepHalvings && !acceptable(value); ++h) {
            for (std::size_t j = 0; j < p; ++j) beta_try[j] = 0.5 * (beta_try[j] + base_beta[j]);
            for (std::size_t i = 0; i < n; ++i) eta_try[i] = 0.5 * (eta_try[i] + base_eta[i]);
            value = objective_at(eta_try, beta_try);
          }
          // A step that leaves the domain is never taken whole: the shortest
          // fraction tried is, when it is inside.
          halved = acceptable(value) || (!std::isfinite(objective) && std::isfinite(value));
          if (halved) {
            beta_new = std::move(beta_try);
            eta_new = std::move(eta_try);
            objective = value;
          }
        }
        eta = std::move(eta_new);
        penalized_old = objective - delta * dot(beta_new, beta_new);
      } else if (!cached_rhs) {
        eta = matvec(xv, beta_new);
      }
      // Gaussian steps repeat one solve, so β itself settles exactly. Other
      // families test η = Xβ: with several smooths the constant is shared
      // between them and held only by the ridge, and heavily penalized
      // smooths make A so ill-conditioned that β wanders in directions the
      // data cannot see while η stays put.
      double change = 0.0, size = 0.0;
      if (unit_weights) {
        for (std::size_t j = 0; j < p; ++j) {
          change = std::fmax(change, std::abs(beta_new[j] - beta[j]));
          size = std::fmax(size, std::abs(beta_new[j]));
        }
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          change = std::fmax(change, std::abs(eta[i] - eta_before[i]));
          size = std::fmax(size, std::abs(eta[i]));
        }
      }
      beta = std::move(beta_new);
      last_halved = halved;
      // The plain iteration gives up once it leaves the domain: its weights
      // would be meaningless there.
      if (!guarded && !cached_rhs &&
          !std::all_of(eta.begin(), eta.end(), [&](double v) { return valid_eta(family, v); })) {
        result.iterations = t;
        result.converged = false;
        break;
      }
      // A shortened step says nothing about convergence: only a full one may end the loop.
      const bool small = change <= kCoefficientTolerance * size;
      if ((small && !halved) || t == kMaxIterations) {
        result.iterations = t;
        result.converged = small && !halved;
        break;
      }
    }
    if (cached_rhs || last_halved) eta = matvec(xv, beta);

    // 3. The record at the final η.
    result.fitted_values = link_inverse(family, eta);
    result.deviance = deviance(family, y, result.fitted_values);
    result.weights = working_weights(family, eta);
    result.coefficients = std::move(beta);
    result.linear_predictor = std::move(eta);
    return result;
  };

  // The plain iteration first. Started from initial_eta(y), far from the
  // optimum, it can oscillate with growing amplitude (the logit or log link
  // pinned at its clamps); only when it does not settle on finite coefficients
  // is it run again with step control. A Gaussian step minimizes the
  // penalized least squares outright and never needs it.
  VORNA_TRY(plain, iterate(false));
  const bool settled = plain.converged && std::all_of(plain.coefficients.begin(), plain.coefficients.end(),
                                                      [](double v) { return std::isfinite(v); });
  if (unit_weights || settled) return plain;
  auto guarded = iterate(true);
  const auto in_domain = [&](const PirlsResult& r) {
    return std::all_of(r.linear_predictor.begin(), r.linear_predictor.end(),
                       [&](double v) { return valid_eta(family, v); });
  };
  if (!guarded) {
    if (in_domain(plain)) return plain;
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

double penalty_ridge(ConstMatrixView xtwx, std::size_t m) {
  double scale = 0.0;
  for (std::size_t k = 0; k < std::min(xtwx.rows(), xtwx.cols()); ++k) scale = std::fmax(scale, std::abs(xtwx(k, k)));
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  return kRidgeFactor * (1.0 + std::sqrt(static_cast<double>(m))) * scale;
}

// ---- Block-wise R factor ----------------------------------------------------------

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
    if (!factor) return lapack_error("QR decomposition failed", factor.error());
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
