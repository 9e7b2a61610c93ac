#include "model_fit.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "linalg.hpp"
#include "pirls.hpp"
#include "row_pass.hpp"

namespace vorna {
namespace {

constexpr double kEtaTolerance = 1e-9;  // largest change of η relative to its largest entry
// PiRLS inside the selection passes stops here: λ moves after each pass
// anyway, and the final fit at the chosen λ runs to kEtaTolerance.
constexpr double kSelectionEtaTolerance = 1e-7;
constexpr double kDevianceTolerance = 1e-15;  // relative change of the penalized deviance
constexpr double kLambdaTolerance = 1e-6;     // largest change of ln λ between passes
constexpr int kMaxHalvings = 40;

double quadratic_form(const Matrix& s, const Vector& beta) {
  const Vector sb = matvec(s, beta);
  return dot(beta, sb);
}

// The ridge δ of the penalized system: 1e-10 of the largest diagonal entry
// of XᵀWX. The terms' constraints make a model identifiable, so the ridge only
// keeps a factorization alive where the data leave a direction undetermined
// (a tensor-product cell without data); it moves no estimate by more than
// about 1e-10 of its size.
double model_ridge(const Matrix& xtwx) {
  double top = 0.0;
  for (std::size_t k = 0; k < xtwx.rows(); ++k) top = std::max(top, xtwx(k, k));
  return top > 0.0 ? 1e-10 * top : 1e-10;
}

// R with RᵀR = XᵀWX + S + δI. Where the working weights vanish (separated
// binomial classes, means at the edge of their range) XᵀWX + S can be
// singular in the penalties' null space; δ then grows by factors of 1000 up
// to 1e-2 of the largest diagonal entry, which pins those directions near 0
// instead of failing.
Result<Matrix> penalized_factor(const Matrix& xtwx, const Matrix& s) {
  const std::size_t p = xtwx.rows();
  Matrix a = xtwx;
  for (std::size_t k = 0; k < p * p; ++k) a.storage()[k] += s.storage()[k];
  double top = 0.0;
  for (std::size_t k = 0; k < p; ++k) top = std::max(top, a(k, k));
  double ridge = model_ridge(xtwx);
  for (;;) {
    Matrix ridged = a;
    for (std::size_t k = 0; k < p; ++k) ridged(k, k) += ridge;
    auto r = cholesky_upper(ridged);
    if (r) return std::move(r).value();
    if (!(ridge < 1e-2 * top)) return lapack_error("the penalized system is not positive definite", r.error());
    ridge = std::max(ridge * 1e3, 1e-10 * top);
  }
}

Result<Vector> factor_solve(const Matrix& r, const Vector& b) {
  const Matrix rhs(ConstMatrixView(b.data(), b.size(), 1, 1, 1));
  auto half = triangular_solve(r, true, true, rhs);
  if (!half) return lapack_error("Triangular solve failed", half.error());
  auto full = triangular_solve(r, true, false, half.value());
  if (!full) return lapack_error("Triangular solve failed", full.error());
  return std::move(full.value().storage());
}

// A starting η inside the domain: the family's start from each response, or,
// where that is not admissible for the link, the weighted mean response.
Vector initial_eta(const Glm& glm, VectorView y, VectorView pw) {
  const std::size_t n = y.size();
  Vector eta(n);
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sw += pw[i];
    swy += pw[i] * y[i];
  }
  double mean = sw > 0.0 ? glm.start_mu(swy / sw, sw) : 1.0;
  if (!glm.valid_mu(mean) || !glm.valid_eta(glm.link_fn(mean)))
    mean = glm.distribution == Distribution::Binomial ? 0.5 : 1.0;
  const double fallback = glm.link_fn(mean);
  for (std::size_t i = 0; i < n; ++i) {
    const double mu = glm.start_mu(y[i], pw[i]);
    const double e = glm.valid_mu(mu) ? glm.link_fn(mu) : fallback;
    eta[i] = glm.valid_eta(e) && glm.valid_mu(glm.inverse(e)) ? e : fallback;
  }
  return eta;
}

bool fixed_working_model(const Glm& glm) {
  return glm.distribution == Distribution::Gaussian && glm.link == Link::Identity;
}

// Where a penalized IRLS run stands: the accepted β (empty before the first
// solve), η, μ, the working weights and the pass's sums at that η.
struct IrlsState {
  Vector beta, eta, mu, w;
  PassSums sums;
  bool eta_from_beta = false;  // η = Xβ + offset (not the start's η)
  std::size_t iterations = 0;
  bool converged = false;
};

// The state at the start's η: one pass without coefficients.
Result<IrlsState> start_state(const RowData& rows, std::size_t threads) {
  IrlsState st;
  st.eta = initial_eta(rows.glm, rows.y, rows.weights);
  VORNA_TRY(sums, row_pass(rows, nullptr, st.eta, st.mu, st.w, threads));
  st.sums = std::move(sums);
  return st;
}

// Penalized IRLS at fixed λ (S = S_λ) from `st`, one pass over the rows per
// iteration. Steps that leave the family's domain or raise the penalized
// deviance are halved back towards the previous iterate (step halving as in
// Marschner 2011 and Wood 2017, §6.1.1); before any β exists, η is moved
// half-way back to the start instead.
Result<IrlsState> penalized_irls(const RowData& rows, const Matrix& s, IrlsState st, std::size_t max_iterations,
                                 std::size_t threads, double tolerance = kEtaTolerance) {
  const Glm& glm = rows.glm;
  double old_penalized = st.beta.empty() || !st.sums.valid ? std::numeric_limits<double>::infinity()
                                                           : st.sums.deviance + quadratic_form(s, st.beta);
  st.converged = false;
  for (st.iterations = 1; st.iterations <= max_iterations; ++st.iterations) {
    VORNA_CHECK_INTERRUPT();
    VORNA_TRY(r, penalized_factor(st.sums.xtwx, s));
    VORNA_TRY(beta, factor_solve(r, st.sums.xtwz));
    // The previous μ and w are not needed after the solve: their storage
    // takes the new values (only the previous η is kept, for halving).
    Vector eta, mu = std::move(st.mu), w = std::move(st.w);
    VORNA_TRY(sums, row_pass(rows, &beta, eta, mu, w, threads));
    bool from_beta = true;
    const auto penalized_at = [&](const PassSums& ps, const Vector& b) {
      return ps.valid ? ps.deviance + quadratic_form(s, b) : std::numeric_limits<double>::infinity();
    };
    double penalized = penalized_at(sums, beta);
    for (int h = 0; h < kMaxHalvings &&
                    (!std::isfinite(penalized) || (!st.beta.empty() && penalized > old_penalized * (1.0 + 1e-12)));
         ++h) {
      if (st.beta.empty()) {
        for (std::size_t i = 0; i < eta.size(); ++i) eta[i] = 0.5 * (eta[i] + st.eta[i]);
        VORNA_TRY(blended, row_pass(rows, nullptr, eta, mu, w, threads));
        sums = std::move(blended);
        from_beta = false;
      } else {
        for (std::size_t k = 0; k < beta.size(); ++k) beta[k] = 0.5 * (beta[k] + st.beta[k]);
        VORNA_TRY(halved, row_pass(rows, &beta, eta, mu, w, threads));
        sums = std::move(halved);
      }
      penalized = penalized_at(sums, beta);
    }
    if (!std::isfinite(penalized))
      return GamError::optimization_failed("no PiRLS step keeps the fitted means inside the " +
                                           std::string(distribution_name(glm.distribution)) +
                                           " family's range with the " + std::string(link_name(glm.link)) + " link");
    // Settled when η stops moving relative to its size (non-canonical links
    // converge only linearly, so a small change of the deviance alone would
    // stop them while β still drifts), or when the penalized deviance no
    // longer changes at all in working precision.
    double moved = 0.0, size = 0.0;
    for (std::size_t i = 0; i < eta.size(); ++i) {
      moved = std::max(moved, std::abs(eta[i] - st.eta[i]));
      size = std::max(size, std::abs(eta[i]));
    }
    const bool settled =
        moved <= tolerance * size || std::abs(penalized - old_penalized) <= kDevianceTolerance * std::abs(penalized);
    st.beta = std::move(beta);
    st.eta = std::move(eta);
    st.mu = std::move(mu);
    st.w = std::move(w);
    st.sums = std::move(sums);
    st.eta_from_beta = from_beta;
    old_penalized = penalized;
    if (settled || fixed_working_model(glm)) {
      st.converged = true;
      break;
    }
  }
  st.iterations = std::min(st.iterations, max_iterations);
  if (!st.eta_from_beta && !st.beta.empty()) {
    // The sums must describe η = Xβ + offset for the working model's residuals.
    VORNA_TRY(sums, row_pass(rows, &st.beta, st.eta, st.mu, st.w, threads));
    st.sums = std::move(sums);
    st.eta_from_beta = true;
  }
  return st;
}

Result<void> check_inputs(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w, VectorView offset,
                          std::span<const Matrix> penalties, const PenalizedGlmOptions& options) {
  const std::size_t n = data.rows(), p = model.width();
  if (y.size() != n || w.size() != n || offset.size() != n)
    return GamError::dimension_mismatch("the data have " + std::to_string(n) + " rows but y has " +
                                        std::to_string(y.size()) + ", the weights " + std::to_string(w.size()) +
                                        " and the offset " + std::to_string(offset.size()));
  for (const Matrix& s : penalties)
    if (s.rows() != p || s.cols() != p)
      return GamError::dimension_mismatch("every penalty must be " + std::to_string(p) + " × " + std::to_string(p));
  if (options.fixed_lambda) {
    if (options.fixed_lambda->size() != penalties.size())
      return GamError::invalid_parameter("lambda has " + std::to_string(options.fixed_lambda->size()) +
                                         " entries for " + std::to_string(penalties.size()) + " penalties");
    for (double l : *options.fixed_lambda)
      if (!(l > 0.0) || !std::isfinite(l))
        return GamError::invalid_parameter("every lambda must be positive and finite");
  }
  if (!link_admitted(options.glm.distribution, options.glm.link))
    return GamError::invalid_parameter("the " + std::string(distribution_name(options.glm.distribution)) +
                                       " family does not admit the " + std::string(link_name(options.glm.link)) +
                                       " link");
  VORNA_CHECK(check_response(options.glm.distribution, y));
  bool any_positive = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(w[i] >= 0.0) || !std::isfinite(w[i]))
      return GamError::invalid_parameter("weights must be finite and non-negative, but weights[" + std::to_string(i) +
                                         "] is not");
    if (!std::isfinite(offset[i]))
      return GamError::invalid_parameter("offset must be finite, but offset[" + std::to_string(i) + "] is not");
    any_positive = any_positive || w[i] > 0.0;
  }
  if (!any_positive) return GamError::invalid_parameter("no observation has a positive weight");
  return {};
}

std::size_t positive_weights(VectorView w) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < w.size(); ++i)
    if (w[i] > 0.0) ++count;
  return count;
}

// The working model of a converged IRLS state, summed: its residual
// reference is that state's β.
SelectionProblem::WorkingSums working_sums(const IrlsState& st, std::size_t observations) {
  return {st.sums.xtwx, st.sums.xtwz, st.beta, st.sums.xtwr, st.sums.rss, observations};
}

// λ by alternating PiRLS and selection on its working model until ln λ settles.
Result<Vector> select_lambda(const RowData& rows, std::span<const Matrix> penalties, const PenalizedGlmOptions& options,
                             IrlsState& state, std::size_t threads, PenalizedGlmFit& out) {
  const std::size_t p = rows.model->width(), m = penalties.size();
  const std::size_t observations = positive_weights(rows.weights);
  Vector rho(m, 0.0), centre;
  for (std::size_t pass = 0; pass < options.max_selection_passes; ++pass) {
    VORNA_CHECK_INTERRUPT();
    VORNA_TRY(st, penalized_irls(rows, penalty_sum(exp_of(rho), penalties, p), std::move(state),
                                 options.max_pirls_iterations, threads, kSelectionEtaTolerance));
    state = std::move(st);
    VORNA_TRY(problem, SelectionProblem::from_sums(working_sums(state, observations), penalties, options.criterion,
                                                   pass == 0 ? nullptr : &rho, model_ridge(state.sums.xtwx)));
    const Vector start = pass == 0 ? problem.balanced_start() : rho;
    VORNA_TRY(outcome, minimize_criterion(problem, start, pass == 0 ? nullptr : &centre));
    double change = 0.0;
    for (std::size_t j = 0; j < m; ++j) change = std::max(change, std::abs(outcome.rho[j] - rho[j]));
    rho = outcome.rho;
    centre = outcome.centre;
    out.selection_passes = pass + 1;
    auto at = problem.evaluate(outcome.rho, false);
    out.passes.push_back({exp_of(outcome.rho), at ? at.value().value : std::numeric_limits<double>::quiet_NaN(),
                          outcome.gradient, outcome.iterations});
    if (!outcome.converged)
      out.warnings.push_back("the smoothing-parameter search stopped after " + std::to_string(outcome.iterations) +
                             " iterations with gradient " + std::to_string(outcome.gradient));
    if (fixed_working_model(rows.glm) || (pass > 0 && change < kLambdaTolerance)) return exp_of(rho);
  }
  out.warnings.push_back("the smoothing parameters did not settle in " + std::to_string(options.max_selection_passes) +
                         " passes");
  out.converged = false;
  return exp_of(rho);
}

// The deviance of the intercept-only model with the same offset and weights,
// by scalar IRLS (no model matrix needed).
double null_deviance(const Glm& glm, VectorView y, VectorView pw, VectorView offset, std::size_t max_iterations) {
  const std::size_t n = y.size();
  Vector eta = initial_eta(glm, y, pw);
  double deviance = std::numeric_limits<double>::infinity(), beta = 0.0;
  bool have_beta = false;
  for (std::size_t it = 0; it < max_iterations; ++it) {
    double swz = 0.0, sw = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!(pw[i] > 0.0)) continue;
      const double m = glm.inverse(eta[i]), d = glm.mu_eta(eta[i]);
      const double wi = pw[i] * d * d / glm.variance(m);
      swz += wi * (eta[i] - offset[i] + (y[i] - m) / d);
      sw += wi;
    }
    if (!(sw > 0.0)) break;
    double next = swz / sw, dev = std::numeric_limits<double>::infinity();
    for (int h = 0; h < kMaxHalvings; ++h) {
      dev = 0.0;
      bool valid = true;
      for (std::size_t i = 0; i < n && valid; ++i) {
        const double e = next + offset[i], m = glm.inverse(e);
        valid = glm.valid_eta(e) && glm.valid_mu(m);
        if (valid && pw[i] > 0.0) dev += glm.deviance(y[i], m, pw[i]);
      }
      if (valid && (!have_beta || dev <= deviance * (1.0 + 1e-12))) break;
      if (!have_beta) return std::numeric_limits<double>::quiet_NaN();
      next = 0.5 * (next + beta);
      dev = std::numeric_limits<double>::infinity();
    }
    const bool settled = have_beta && std::abs(next - beta) <= kEtaTolerance * std::max(std::abs(next), 1.0);
    beta = next;
    have_beta = true;
    deviance = dev;
    for (std::size_t i = 0; i < n; ++i) eta[i] = beta + offset[i];
    if (settled || fixed_working_model(glm)) break;
  }
  return deviance;
}

}  // namespace

Result<PenalizedGlmFit> fit_penalized_glm(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w,
                                          VectorView offset, std::span<const Matrix> penalties,
                                          const PenalizedGlmOptions& options) {
  VORNA_CHECK(check_inputs(model, data, y, w, offset, penalties, options));
  const Glm& glm = options.glm;
  const std::size_t n = data.rows(), p = model.width(), m = penalties.size();
  const std::size_t threads = thread_count(options.threads);
  const RowData rows{&model, data, y, w, offset, glm};
  PenalizedGlmFit out;
  VORNA_TRY(state, start_state(rows, threads));
  if (options.fixed_lambda) {
    out.lambda = *options.fixed_lambda;
  } else if (m > 0) {
    VORNA_TRY(lambda, select_lambda(rows, penalties, options, state, threads, out));
    out.lambda = std::move(lambda);
  }
  const Matrix s = penalty_sum(out.lambda, penalties, p);
  VORNA_TRY(st, penalized_irls(rows, s, std::move(state), options.max_pirls_iterations, threads));
  if (!st.converged) {
    out.converged = false;
    out.warnings.push_back("PiRLS did not converge in " + std::to_string(options.max_pirls_iterations) + " iterations");
  }
  out.pirls_iterations = st.iterations;

  // Inference at the fit, from the sums of its last pass.
  const Matrix& xtwx = st.sums.xtwx;
  VORNA_TRY(r, penalized_factor(xtwx, s));
  auto r_inv = triangular_solve(r, true, false, Matrix::identity(p));
  if (!r_inv) return lapack_error("Triangular solve failed", r_inv.error());
  Matrix a_inv = matmul(r_inv.value(), transpose(r_inv.value()));  // A⁻¹ = R⁻¹R⁻ᵀ
  const Matrix f = matmul(a_inv, xtwx);
  out.edf.resize(p);
  double edf_total = 0.0;
  for (std::size_t k = 0; k < p; ++k) edf_total += out.edf[k] = f(k, k);
  double pearson = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(w[i] > 0.0)) continue;
    ++out.observations;
    pearson += w[i] * (y[i] - st.mu[i]) * (y[i] - st.mu[i]) / glm.variance(st.mu[i]);
  }
  out.scale_estimated = !scale_is_known(glm.distribution);
  if (out.scale_estimated) {
    const double residual_df = static_cast<double>(out.observations) - edf_total;
    out.scale = residual_df > 0.0 ? pearson / residual_df : std::numeric_limits<double>::quiet_NaN();
  }
  Matrix ve = matmul(f, a_inv);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      a_inv(i, j) *= out.scale;
      ve(i, j) *= out.scale;
    }
  for (std::size_t i = 0; i < p; ++i)  // exact symmetry
    for (std::size_t j = 0; j < i; ++j) ve(i, j) = ve(j, i) = 0.5 * (ve(i, j) + ve(j, i));
  out.vp = std::move(a_inv);
  out.ve = std::move(ve);
  for (std::size_t k = 0; k < p; ++k) out.log_det_a += 2.0 * std::log(std::abs(r(k, k)));
  out.penalty = quadratic_form(s, st.beta);

  if (m > 0) {
    Vector rho(m);
    for (std::size_t j = 0; j < m; ++j) rho[j] = std::log(out.lambda[j]);
    VORNA_TRY(problem, SelectionProblem::from_sums(working_sums(st, out.observations), penalties, options.criterion,
                                                   &rho, model_ridge(xtwx)));
    out.penalty_rank = problem.penalty_rank();
    // log|S_λ|₊ from the largest `rank` eigenvalues of S_λ (the rank does not depend on λ).
    auto eig = symmetric_eigen(s);
    if (!eig) return lapack_error("Eigenvalue decomposition failed", eig.error());
    const Vector& values = eig.value().values;
    for (std::size_t k = 0; k < out.penalty_rank && k < values.size(); ++k)
      out.penalty_log_det += std::log(values[values.size() - 1 - k]);
    out.log_det_range = problem.range_log_determinant(rho);
    auto value = problem.evaluate(rho, false);
    if (value) out.criterion = value.value().value;
  }

  out.null_deviance = null_deviance(glm, y, w, offset, options.max_pirls_iterations);
  out.deviance = st.sums.deviance;
  out.coefficients = std::move(st.beta);
  out.linear_predictor = std::move(st.eta);
  out.fitted = std::move(st.mu);
  out.working_weights = std::move(st.w);
  out.aic_scale = glm.aic_scale(y, out.fitted, w);
  out.log_likelihood = glm.log_likelihood(y, out.fitted, w, out.aic_scale);
  out.log_likelihood_at_scale = glm.log_likelihood(y, out.fitted, w, out.scale);
  if (glm.distribution == Distribution::Binomial) {
    const bool edge =
        std::any_of(out.fitted.begin(), out.fitted.end(), [](double m) { return m < 1e-8 || m > 1.0 - 1e-8; });
    if (edge)
      out.warnings.push_back(
          "fitted probabilities numerically 0 or 1 occurred: the classes may be separable, and "
          "standard errors there are unreliable");
  }
  return out;
}

}  // namespace vorna
