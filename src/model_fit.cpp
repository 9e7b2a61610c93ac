#include "model_fit.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "diagnostics.hpp"
#include "linalg.hpp"
#include "pirls.hpp"
#include "reml.hpp"
#include "row_pass.hpp"

namespace vorna {
namespace {

constexpr double kEtaTolerance = 1e-9;  // largest change of η relative to its largest entry
// PiRLS inside the selection passes stops here: λ moves after each pass
// anyway, and the final fit at the chosen λ runs to kEtaTolerance.
constexpr double kSelectionEtaTolerance = 1e-7;
constexpr double kDevianceTolerance = 1e-15;  // relative change of the penalized deviance
// A whole step that moves η by more than this relative to its largest entry
// does not settle on an unchanged deviance alone (see penalized_irls).
constexpr double kFlatStepTolerance = 1e-5;
constexpr double kLambdaTolerance = 1e-6;  // largest change of ln λ between passes
constexpr int kMaxHalvings = 40;
// A PiRLS cap at least this high that a fallback selection pass still
// reaches ends the selection (see select_lambda).
constexpr std::size_t kAmplePirlsIterations = 25;

double quadratic_form(const Matrix& s, const Vector& beta) {
  const Vector sb = matvec(s, beta);
  return dot(beta, sb);
}

// βᵀSβ − β₀ᵀSβ₀ for symmetric S, as (β − β₀)ᵀS(β + β₀): its rounding error
// shrinks with the step. The difference of the two forms would carry the
// rounding of each whole form, which with λ up to 1e10 on directions the
// data hardly determine can exceed what a step near the fit changes.
double quadratic_change(const Matrix& s, const Vector& from, const Vector& to) {
  Vector step(to.size()), sum(to.size());
  for (std::size_t k = 0; k < to.size(); ++k) {
    step[k] = to[k] - from[k];
    sum[k] = to[k] + from[k];
  }
  return dot(step, matvec(s, sum));
}

// Each penalty's root L_j (L_jL_jᵀ = S_j) taken from S_j's block alone (so
// that it is exactly 0 elsewhere, where √λ would magnify any rounding), and
// the block's first row: they do not depend on λ, so a fit takes them once.
// With them, the model's column of ones, which sets the ridge's scale.
struct PenaltyRoots {
  std::vector<Matrix> roots;
  std::vector<std::size_t> first;
  std::size_t columns = 0;
  std::optional<std::size_t> intercept;

  std::vector<std::pair<std::size_t, std::size_t>> blocks() const {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t j = 0; j < roots.size(); ++j) out.emplace_back(first[j], first[j] + roots[j].rows());
    return out;
  }
};

// kFitRidge of the fit's ridge floor (see ridge_floor).
double model_ridge(const Matrix& xtwx, const PenaltyRoots& roots) {
  return kFitRidge * ridge_floor(xtwx, roots.blocks(), roots.intercept);
}

Result<PenaltyRoots> block_penalty_roots(std::span<const Matrix> penalties) {
  PenaltyRoots out;
  for (const Matrix& s : penalties) {
    const auto [lo, hi] = penalty_support(s);
    VORNA_TRY(root, penalty_sqrt(ConstMatrixView(s.data() + lo * s.cols() + lo, hi - lo, hi - lo,
                                                 static_cast<std::ptrdiff_t>(s.cols()), 1)));
    out.columns += root.cols();
    out.first.push_back(lo);
    out.roots.push_back(std::move(root));
  }
  return out;
}

// S_λ = Σ_j λ_j S_j, a root of it, the p × Σr_j matrix [√λ_1·L_1 … √λ_m·L_m],
// which coefficients S_λ acts on (a row with an entry), and the block of
// each penalty ([first, last) coefficients).
struct PenaltyAt {
  Matrix s;
  Matrix root;
  std::vector<bool> penalized;
  const PenaltyRoots* roots = nullptr;  // for the ridge's scale
};

PenaltyAt penalty_at(const Vector& lambda, std::span<const Matrix> penalties, const PenaltyRoots& roots,
                     std::size_t p) {
  PenaltyAt out{penalty_sum(lambda, penalties, p), Matrix(p, roots.columns), std::vector<bool>(p), &roots};
  std::size_t column = 0;
  for (std::size_t j = 0; j < roots.roots.size(); ++j) {
    const Matrix& root = roots.roots[j];
    const double scale = std::sqrt(lambda[j]);
    for (std::size_t a = 0; a < root.rows(); ++a)
      for (std::size_t c = 0; c < root.cols(); ++c) out.root(roots.first[j] + a, column + c) = scale * root(a, c);
    column += root.cols();
  }
  for (std::size_t k = 0; k < p; ++k) {
    const double* row = out.s.row_ptr(k);
    out.penalized[k] = std::any_of(row, row + p, [](double v) { return v != 0.0; });
  }
  return out;
}

// R with RᵀR = XᵀWX + S_λ + Δ, Δ the ridge of fit_ridge() (on the
// coefficients S_λ acts on, each on the scale of its block): the QR factor of [R₀; rootᵀ] with R₀ᵀR₀ =
// XᵀWX + Δ. A Cholesky factor of the sum itself would find the directions
// that large penalties leave to the data (a smooth's straight line) as
// differences of the large entries and lose their digits (a fixed λ of 1e16
// lost that line). Where the working weights vanish (separated binomial
// classes, a factor level of weight 0) or unpenalized columns are collinear,
// XᵀWX is singular outside the penalized coefficients; the ridge then joins
// every coefficient (scaled by its diagonal entry) and, should that not do,
// grows by factors of 1000 up to 1e-2 of those entries, which pins those
// directions near 0 instead of failing.
Result<Matrix> penalized_factor(const Matrix& xtwx, const PenaltyAt& pen) {
  const std::size_t p = xtwx.rows();
  const std::vector<bool>& penalized = pen.penalized;
  const std::vector<std::pair<std::size_t, std::size_t>> blocks =
      pen.roots != nullptr ? pen.roots->blocks() : std::vector<std::pair<std::size_t, std::size_t>>();
  const double floor = ridge_floor(xtwx, blocks, pen.roots != nullptr ? pen.roots->intercept : std::nullopt);
  const auto factor_with = [&](double relative, bool everywhere) {
    const Vector diagonal = fit_ridge(xtwx, penalized, blocks, floor, relative, everywhere);
    Matrix ridged = xtwx;
    for (std::size_t k = 0; k < p; ++k) ridged(k, k) += diagonal[k];
    return cholesky_upper(ridged);
  };
  double relative = kFitRidge;
  auto r0 = factor_with(relative, false);
  if (r0 && undetermined_pivot(r0.value(), xtwx, penalized)) r0 = factor_with(relative, true);
  while (!r0) {
    if (!(relative < 1e-2)) return lapack_error("the penalized system is not positive definite", r0.error());
    r0 = factor_with(relative, true);
    if (!r0) relative *= 1e3;
  }
  const std::size_t columns = pen.root.cols();
  Matrix stack(p + columns, p);
  const Matrix& data = r0.value();
  std::copy(data.storage().begin(), data.storage().end(), stack.data());
  for (std::size_t c = 0; c < columns; ++c)
    for (std::size_t a = 0; a < p; ++a) stack(p + c, a) = pen.root(a, c);
  auto factor = qr_r_consuming(std::move(stack));
  if (!factor) return lapack_error("QR decomposition failed", factor.error());
  return std::move(factor).value();
}

Result<Vector> factor_solve(const Matrix& r, const Vector& b) {
  const Matrix rhs(ConstMatrixView(b.data(), b.size(), 1, 1, 1));
  auto half = triangular_solve(r, true, true, rhs);
  if (!half) return lapack_error("Triangular solve failed", half.error());
  auto full = triangular_solve(r, true, false, half.value());
  if (!full) return lapack_error("Triangular solve failed", full.error());
  return std::move(full.value().storage());
}

bool fixed_working_model(const Glm& glm) {
  return glm.distribution == Distribution::Gaussian && glm.link == Link::Identity;
}

// Where a penalized IRLS run stands: the accepted β (empty before the first
// solve), how its η is formed, and the pass's sums at that η.
struct IrlsState {
  Vector beta;
  double blend = 1.0;  // η = blend·(Xβ + offset) + (1 − blend)·η_start
  PassSums sums;
  std::size_t iterations = 0;
  bool converged = false;
  bool halved = false;   // the last step was cut back: its length says nothing of the distance left
  bool at_edge = false;  // no step from β stays inside the family's range

  EtaSpec eta() const { return beta.empty() ? EtaSpec{} : EtaSpec{&beta, blend}; }
};

// What the closing pass asks of the rows besides the sums: the
// log-likelihoods at two scales, the null deviance at a constant mean, and
// (for rows in memory) each row's η, μ and working weight.
struct ClosingRequest {
  std::array<double, 2> scales;
  std::optional<double> null_mean;
};

// The passes of one model with the start η they share.
struct Passes {
  const PassFunction& pass;
  double fallback;
  std::size_t width;
  std::optional<std::size_t> intercept = std::nullopt;  // the model's column of ones, if it has one
  // The intercept of the constant-model start: the fallback η less the
  // weighted mean offset, so that with a constant offset the start is the
  // constant model's own fit, g(ȳ), whatever the offset (see constant_state).
  double level = 0.0;
  // Changes of the deviance below this are rounding (Glm::negligible_deviance).
  double negligible = 0.0;
  // Whether every response lies on one bound of the mean's range (counts all
  // 0, one class): the fit's means run off towards it, with no finite optimum.
  bool at_bound = false;

  Result<PassSums> run(EtaSpec eta, std::optional<EtaSpec> previous = std::nullopt,
                       const ClosingRequest* closing = nullptr) const {
    PassRequest request;
    request.eta = eta;
    request.previous = previous;
    request.start_fallback = fallback;
    if (closing != nullptr) {
      request.likelihood_scales = closing->scales;
      request.null_mean = closing->null_mean;
      request.record = true;
    }
    VORNA_TRY(sums, pass(request));
    VORNA_CHECK(check_sums(sums));
    return sums;
  }

  // Sums from elsewhere must describe this model.
  Result<void> check_sums(const PassSums& sums) const {
    if (sums.xtwx.rows() != width || sums.xtwx.cols() != width || sums.xtwz.size() != width ||
        sums.xtwr.size() != width)
      return GamError::dimension_mismatch("a pass returned sums for other than " + std::to_string(width) +
                                          " coefficients");
    return {};
  }
};

// Glm::negligible_deviance of the rows' response.
double negligible_deviance(const Glm& glm, const RowMoments& moments) {
  return glm.negligible_deviance(moments.weighted_response / moments.weight_sum, moments.weight_sum);
}

// Whether the link reaches the bounds of the mean's range only as η runs to
// ±∞ (the log link's 0, the binomial links' 0 and 1).
bool bound_at_infinite_eta(Link link) {
  return link == Link::Log || link == Link::Logit || link == Link::Probit || link == Link::Cloglog;
}

// Whether every response (of positive weight) lies on a bound of the mean's
// range: Poisson counts all 0, binomial proportions all 0 or all 1.
bool response_at_bound(const Glm& glm, const RowMoments& moments) {
  if (!(moments.weight_sum > 0.0)) return false;
  switch (glm.distribution) {
    case Distribution::Poisson: return moments.weighted_response == 0.0;
    case Distribution::Binomial:
      return moments.weighted_response == 0.0 || moments.weighted_response == moments.weight_sum;
    default: return false;
  }
}

// The intercept of the constant-model start (see Passes::level).
double offset_level(double fallback, const RowMoments& moments) {
  return moments.weight_sum > 0.0 ? fallback - moments.weighted_offset / moments.weight_sum : fallback;
}

// The state at the start's η: one pass without coefficients.
Result<IrlsState> start_state(const Passes& passes) {
  IrlsState st;
  VORNA_TRY(sums, passes.run(EtaSpec{}));
  st.sums = std::move(sums);
  return st;
}

// The state at a given β, or nothing when some row's η or μ leaves the
// family's domain there (then the pass has no cross products to step from).
Result<std::optional<IrlsState>> state_at(const Passes& passes, const Vector& beta) {
  IrlsState st;
  st.beta = beta;
  VORNA_TRY(sums, passes.run(EtaSpec{&st.beta, 1.0}));
  if (!sums.valid) return std::optional<IrlsState>();
  st.sums = std::move(sums);
  return std::optional<IrlsState>(std::move(st));
}

// The constant model plus the offset with intercept `at`, every other
// coefficient 0. Nothing without an intercept or where η leaves the
// family's domain.
Result<std::optional<IrlsState>> level_state(const Passes& passes, double at) {
  if (!passes.intercept) return std::optional<IrlsState>();
  Vector level(passes.width, 0.0);
  level[*passes.intercept] = at;
  return state_at(passes, level);
}

// The constant model plus the offset at the better (lower deviance) of two
// intercepts: the fallback η, g(ȳ), and the same less the mean offset
// (Passes::level). With a constant offset c the second is the constant
// model's own fit whatever c; the first put η at g(ȳ) + c, and an
// inverse-link Gaussian fit with c = −1.18 started below the pole at η = 0,
// could not cross it, and slid to μ → 0, where the deviance is flat. With
// offsets that vary, either may lie nearer. Nothing where neither is in the
// family's domain.
Result<std::optional<IrlsState>> constant_state(const Passes& passes) {
  VORNA_TRY(plain, level_state(passes, passes.fallback));
  if (passes.level == passes.fallback) return plain;
  VORNA_TRY(shifted, level_state(passes, passes.level));
  if (shifted && (!plain || shifted->sums.deviance < plain->sums.deviance)) return shifted;
  return plain;
}

// The constant model's own level where it has a closed form: with the log
// link and a variance μ^q (Gaussian, Poisson, Gamma, inverse Gaussian), the
// score equation Σ w(y − μ)μ^{1−q} = 0 at μ = exp(b + offset) gives
// exp(b* − b) = 1 + Σ w r / Σ w from the working weights w and residuals r at
// any level b: the intercept's entries of XᵀWr and XᵀWX there. (PiRLS's step
// from b is this logarithm's first-order term; with offsets spread wide it
// overshoots, into a region where the inverse-Gaussian deviance is flat to
// working precision.) Nothing for other families and links, or where the
// sums give no finite level (a response of no positive mass).
std::optional<double> exact_level(const Glm& glm, const IrlsState& at, std::size_t intercept) {
  if (glm.link != Link::Log || glm.distribution == Distribution::Binomial) return std::nullopt;
  const double weight = at.sums.xtwx(intercept, intercept), residual = at.sums.xtwr[intercept];
  if (!(weight > 0.0) || !std::isfinite(residual)) return std::nullopt;
  const double level = at.beta[intercept] + std::log1p(residual / weight);
  return std::isfinite(level) ? std::optional<double>(level) : std::nullopt;
}

// Where PiRLS starts without a warm start: the start's own η = g(y), or with
// offsets the constant model plus the offset, at its own level where that is
// known in closed form (see exact_level). g(y) knows nothing of the offset,
// and the first step from it, taken unchecked, can land far off (a Gamma fit
// with offsets of ±15 ended at η ≈ 10⁴); the constant model is an iterate
// itself, and every step from it is checked against its penalized deviance.
Result<IrlsState> cold_start(const Passes& passes, const Glm& glm, const RowMoments& moments) {
  if (moments.nonzero_offsets > 0) {
    VORNA_TRY(level, constant_state(passes));
    if (!level) return start_state(passes);
    if (const auto exact = exact_level(glm, *level, *passes.intercept)) {
      Vector beta = level->beta;
      beta[*passes.intercept] = *exact;
      VORNA_TRY(better, state_at(passes, beta));
      if (better) return std::move(*better);
    }
    return std::move(*level);
  }
  return start_state(passes);
}

// Moves the trial η = c·(Xβ + offset) + (1 − c)·η_start (β = `beta`, c =
// `blend`) half-way back to the state's η, b·(Xβ₀ + offset) + (1 − b)·η_start:
// the midpoint is again of that form, with blend ½(c + b) and coefficients
// (cβ + bβ₀)/(c + b), which `beta` becomes; returns the new blend. Halving η
// rather than β matters after a blended step: there Xβ₀ itself may lie
// outside the family's range, and halving β alone would head for it.
double halve_step(Vector& beta, double blend, const IrlsState& st) {
  if (st.beta.empty()) return 0.5 * blend;  // back towards the start's η, β kept
  const double b = st.blend, mid = blend + b;
  for (std::size_t k = 0; k < beta.size(); ++k) beta[k] = (blend * beta[k] + b * st.beta[k]) / mid;
  return 0.5 * mid;
}

// Penalized IRLS at fixed λ (S = S_λ) from `st`, one pass over the rows per
// iteration. Steps that leave the family's domain or raise the penalized
// deviance are halved back towards the previous iterate's η (step halving as
// in Marschner 2011 and Wood 2017, §6.1.1; see halve_step).
//
// With `closing`, every pass also answers it, so that the sums of the last
// (those of the returned state) make the closing pass unnecessary.
Result<IrlsState> penalized_irls(const Passes& passes, const Glm& glm, const PenaltyAt& pen, IrlsState st,
                                 std::size_t max_iterations, double tolerance = kEtaTolerance,
                                 const ClosingRequest* closing = nullptr) {
  const Matrix& s = pen.s;
  const auto penalized_at = [&](const PassSums& ps, const Vector& b) {
    return ps.valid ? ps.deviance + quadratic_form(s, b) : std::numeric_limits<double>::infinity();
  };
  // A state whose penalized deviance is finite: inside the family's range,
  // and no term of the deviance overflowed there.
  const auto usable = [&](const PassSums& ps, const Vector& b) {
    return ps.valid && std::isfinite(penalized_at(ps, b));
  };
  // Whether steps from the current state can be compared with it: it has a β,
  // η is that β's own Xβ + offset (a blended η has no penalized deviance of
  // its β), and its penalized deviance is finite.
  const auto comparable = [&] { return !st.beta.empty() && st.blend == 1.0 && usable(st.sums, st.beta); };
  // How far the penalized deviance rose from the current state to (ps, b):
  // the deviances' difference plus the penalty's change taken from the step;
  // from a state that is not comparable, any usable step is taken.
  const auto rise_to = [&](const PassSums& ps, const Vector& b) {
    if (!usable(ps, b)) return std::numeric_limits<double>::infinity();
    if (!comparable()) return 0.0;
    return (ps.deviance - st.sums.deviance) + quadratic_change(s, st.beta, b);
  };
  double size = comparable() ? std::abs(penalized_at(st.sums, st.beta)) : 0.0;
  st.converged = false;
  st.at_edge = false;
  // A blended η is no iterate to stop at (its β need not give a valid Xβ):
  // past the cap, steps go on until one is taken whole, up to this many.
  constexpr std::size_t kBlendedIterations = 50;
  const auto go_on = [&] {
    return st.iterations <= max_iterations || (st.blend != 1.0 && st.iterations <= max_iterations + kBlendedIterations);
  };
  // The last state whose η is its β's own and inside the range, and a way
  // back to it that keeps the count of iterations.
  std::optional<IrlsState> whole;
  if (comparable()) whole = st;
  const auto return_to = [&st](IrlsState to) {
    const std::size_t iterations = st.iterations;
    st = std::move(to);
    st.iterations = iterations;
  };
  // Only links whose range in η ends at a finite point (μ = 0 at η = 0) have
  // an edge to press against; a log-type link reaches μ = 0 only by
  // overflow, far off any fit, and fails.
  const bool edged = glm.link == Link::Identity || glm.link == Link::Sqrt || glm.link == Link::Inverse ||
                     glm.link == Link::InverseSquare;
  bool level_tried = false;
  for (st.iterations = 1; go_on(); ++st.iterations) {
    VORNA_CHECK_INTERRUPT();
    VORNA_TRY(r, penalized_factor(st.sums.xtwx, pen));
    VORNA_TRY(beta, factor_solve(r, st.sums.xtwz));
    const EtaSpec previous = st.eta();
    double blend = 1.0;
    VORNA_TRY(sums, passes.run({&beta, blend}, previous, closing));
    const bool first = !comparable();
    double rise = rise_to(sums, beta);
    int h = 0;
    for (; h < kMaxHalvings && !(rise <= 1e-12 * size); ++h) {
      blend = halve_step(beta, blend, st);
      VORNA_TRY(halved, passes.run({&beta, blend}, previous, closing));
      sums = std::move(halved);
      rise = rise_to(sums, beta);
    }
    if (!usable(sums, beta)) {
      // From a state inside the range, every step being cut back to nothing
      // means the fit presses against the edge of the range (fitted means
      // near 0 with the sqrt or identity link): the fit stops at the last
      // whole iterate, unsettled, and the caller says so. (A blended state
      // is no iterate: its own Xβ may lie outside.)
      if (edged && !comparable() && whole) return_to(*whole);
      if (edged && !comparable() && !level_tried) {
        // No whole iterate yet (the start's η is the data's own, and every
        // step from it left the range): PiRLS goes on from the constant
        // model at the mean, from which steps halve within the range.
        level_tried = true;
        VORNA_TRY(level, constant_state(passes));
        if (level) {
          return_to(std::move(*level));
          size = std::abs(penalized_at(st.sums, st.beta));
          whole = st;
          continue;
        }
      }
      if (edged && comparable()) {
        st.at_edge = true;
        break;
      }
      return GamError::optimization_failed("no PiRLS step keeps the fitted means inside the " +
                                           std::string(distribution_name(glm.distribution)) +
                                           " family's range with the " + std::string(link_name(glm.link)) + " link");
    }
    const double penalized = penalized_at(sums, beta);
    // Settled when η stops moving relative to its size (non-canonical links
    // converge only linearly, so a small change of the deviance alone would
    // stop them while β still drifts), or when the penalized deviance no
    // longer changes at all in working precision. A step that every halving
    // left raising the penalized deviance is short for that reason alone,
    // and settles nothing; a step that was cut at all is short because it
    // was cut and says nothing of the distance left to the fit (PiRLS
    // pressed against the edge of the family's range creeps along it in cut
    // steps), so only a whole step settles by the change of η.
    //
    // An unchanged deviance does settle a step that still moves η far where
    // the optimum lies at infinity: a factor level of zero counts or of one
    // class, whose μ heads for the edge of its range. Only for the inverse
    // Gaussian is such a step no sign of that: its deviance alone tends to a
    // finite limit as μ → ∞ (every other family's grows without bound, or
    // its means are bounded), and is flat to working precision out there
    // while each step heads back. There the fit goes on.
    // Where the fit reproduces the data (a constant response), the penalized
    // deviance and its changes are rounding, relative to which nothing ever
    // settles: there changes below the rounding of a deviance count as none.
    const double noise = std::max(size, std::abs(penalized)) <= passes.negligible ? passes.negligible : 0.0;
    const bool descended = rise <= 1e-12 * size + noise;
    // ... and it settles a step only where η hardly moves, should the data
    // be far from where PiRLS stands (y of 1e-14 from a start near 1).
    const bool still = sums.max_change <= 1e-6 * std::max(1.0, sums.max_abs_eta);
    const bool far = glm.distribution == Distribution::InverseGaussian &&
                     sums.max_change > kFlatStepTolerance * std::max(1.0, sums.max_abs_eta);
    // A response all on a bound of the mean's range (counts all 0) is fitted
    // only in the limit, η running off by about one per step for ever: the
    // fit is there once its penalized deviance is rounding.
    const bool run_off = passes.at_bound && blend == 1.0 && std::abs(penalized) <= passes.negligible;
    const bool settled =
        run_off ||
        (descended && blend == 1.0 &&
         ((h == 0 && sums.max_change <= tolerance * sums.max_abs_eta) ||
          (!first && !far && std::abs(rise) <= kDevianceTolerance * std::abs(penalized) + (still ? noise : 0.0))));
    st.beta = std::move(beta);
    st.blend = blend;
    st.sums = std::move(sums);
    st.halved = h > 0;
    size = std::abs(penalized);
    if (comparable()) whole = st;
    if (settled || fixed_working_model(glm)) {
      st.converged = true;
      break;
    }
  }
  st.iterations = std::min(st.iterations, max_iterations);
  if ((st.blend != 1.0 || (st.at_edge && closing != nullptr)) && !st.beta.empty()) {
    // The sums must describe η = Xβ + offset for the working model's
    // residuals, and answer the closing request when the state kept at the
    // edge came from a pass that did not.
    st.blend = 1.0;
    VORNA_TRY(sums, passes.run(st.eta(), std::nullopt, closing));
    st.sums = std::move(sums);
    if (!st.sums.valid && whole) {
      // The cap came on a blended η whose own Xβ lies outside the range
      // (negative means of an identity-link Poisson fit): the fit stops at
      // the last whole iterate instead, unsettled.
      return_to(std::move(*whole));
      st.at_edge = true;
      if (closing != nullptr) {
        VORNA_TRY(again, passes.run(st.eta(), std::nullopt, closing));
        st.sums = std::move(again);
      }
    }
  }
  return st;
}

Result<void> check_options(std::size_t p, std::span<const Matrix> penalties, const PenalizedGlmOptions& options) {
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
  return {};
}

// The working model of a converged IRLS state, summed: its residual
// reference is that state's β.
SelectionProblem::WorkingSums working_sums(const IrlsState& st, std::size_t observations) {
  return {st.sums.xtwx, st.sums.xtwz, st.beta, st.sums.xtwr, st.sums.rss, observations};
}

// One selection on the working model of `state`: records the pass in `out`
// and returns ln λ. A search that stalls short of the optimum warns, and the
// fit is then not converged (the caller resets both before a search that
// supersedes this one).
Result<Vector> select_once(const IrlsState& state, std::span<const Matrix> penalties, const PenaltyRoots& roots,
                           const PenalizedGlmOptions& options, std::size_t observations, const Vector* rho,
                           Vector& centre, PenalizedGlmFit& out) {
  VORNA_TRY(problem, SelectionProblem::from_sums(working_sums(state, observations), penalties, options.criterion, rho,
                                                 model_ridge(state.sums.xtwx, roots), {}, true));
  const Vector start = rho == nullptr ? problem.balanced_start() : *rho;
  // GCV and UBRE can have a lower minimum with a smooth in its null space
  // that Newton's method from the start does not reach.
  const bool prediction_error =
      options.criterion == SelectionCriterion::Gcv || options.criterion == SelectionCriterion::Ubre;
  const Vector* fixed_centre = rho == nullptr ? nullptr : &centre;
  VORNA_TRY(outcome, prediction_error ? minimize_criterion_with_null_space_trials(problem, start, fixed_centre)
                                      : minimize_criterion_past_lower_ends(problem, start, fixed_centre));
  centre = outcome.centre;
  auto at = problem.evaluate(outcome.rho, false);
  out.passes.push_back({exp_of(outcome.rho), at ? at.value().value : std::numeric_limits<double>::quiet_NaN(),
                        outcome.gradient, outcome.iterations});
  // No step lowered the criterion where a short Newton step promised less
  // than its rounding: the search is at the optimum as far as the criterion
  // can tell. (Counts of 1e10 give a REML value of 1e12, which rounds in
  // steps of 1e-4 and leaves gradients of 1e-2 within 1e-2 of the optimum in
  // ln λ.) The step must be short too: a degenerate working model can make
  // the criterion so large that its rounding hides a search stuck far off.
  constexpr double kRoundingSteps = 16.0, kShortStep = 0.1;
  const double rounding = kRoundingSteps * std::numeric_limits<double>::epsilon() * std::abs(outcome.value);
  const bool at_rounding = outcome.newton_step <= kShortStep && outcome.promised <= rounding;
  if (!outcome.converged && !at_rounding) {
    out.warnings.push_back("the smoothing-parameter search stopped after " + std::to_string(outcome.iterations) +
                           " iterations with gradient " + std::to_string(outcome.gradient));
    out.converged = false;
  }
  return outcome.rho;
}

// What the selection passes leave: λ, and whether the state is already the
// fit at that λ (its last PiRLS step settled to kEtaTolerance at exactly that
// λ, and its pass answered the closing request if there is one), so that no
// final PiRLS is needed.
struct Selection {
  Vector lambda;
  bool fitted = false;
};

// Whether a PiRLS iterate is the fit to kEtaTolerance, from how far its
// step moved η (`change`, largest entry) and how far the step before moved it
// (`previous`, infinite when unknown), against the largest |η| (`size`).
// Either the step itself was that small, or the steps contract so fast
// (ratio r ≤ ½; Newton steps near the solution contract quadratically, so r
// only falls) that the remaining ones, at most change·r/(1 − r) while they
// keep contracting as fast, are.
bool at_fit(double change, double previous, double size) {
  if (change <= kEtaTolerance * size) return true;
  if (!(previous > 0.0) || !std::isfinite(previous) || change > 1e-6 * size) return false;
  const double r = change / previous;
  return r <= 0.5 && change * r / (1.0 - r) <= kEtaTolerance * size;
}

// λ by alternating PiRLS and selection on its working model until ln λ and
// η settle. Each selection pass takes a single PiRLS step (the performance
// iteration of Gu 1992 and Wood 2017, §6.2.5): β and λ then converge together,
// one pass over the rows each. Should ln λ stop contracting, the passes fall
// back to running PiRLS to convergence at each λ, which always settles.
//
// Once ln λ has nearly settled, a pass's PiRLS step is often already the
// final fit's last: when its β is the fit to the final tolerance (at_fit) and
// the selection then leaves λ where the step was taken, the state is returned
// as the fit at that λ. Such passes carry `closing`, so that the closing pass
// is answered too.
//
// `start`: λ to begin with (the first selection then starts there too).
Result<Selection> select_lambda(const Passes& passes, std::span<const Matrix> penalties, const PenaltyRoots& roots,
                                const PenalizedGlmOptions& options, std::size_t observations, IrlsState& state,
                                PenalizedGlmFit& out, const Vector* start, const ClosingRequest* closing) {
  // ln λ moved less than this in the previous pass: this pass may be the last.
  constexpr double kNearlySettled = 1e-3;
  const std::size_t m = penalties.size();
  Vector rho(m, 0.0), centre;
  if (start != nullptr)
    for (std::size_t j = 0; j < m; ++j) rho[j] = std::log((*start)[j]);
  bool single_steps = true;
  double last_change = std::numeric_limits<double>::infinity();
  double last_step = std::numeric_limits<double>::infinity();  // how far the previous single step moved η
  const std::size_t earlier_warnings = out.warnings.size();
  const bool earlier_converged = out.converged;
  for (std::size_t pass = 0; pass < options.max_selection_passes; ++pass) {
    VORNA_CHECK_INTERRUPT();
    const bool maybe_last = pass > 0 && last_change < kNearlySettled;
    const bool single = single_steps;
    VORNA_TRY(st, penalized_irls(passes, options.glm, penalty_at(exp_of(rho), penalties, roots, passes.width),
                                 std::move(state), single ? 1 : options.max_pirls_iterations, kSelectionEtaTolerance,
                                 maybe_last ? closing : nullptr));
    state = std::move(st);
    if (!single && !state.converged && options.max_pirls_iterations >= kAmplePirlsIterations) {
      // PiRLS given ample iterations did not settle (data that separate the
      // classes along an unpenalized direction send η off to infinity): more
      // passes would only repeat that. A cap the caller set low stops PiRLS
      // short anyway, and the passes go on as before.
      out.warnings.push_back("the smoothing-parameter search stopped after " + std::to_string(pass + 1) +
                             " passes: PiRLS does not converge at these smoothing parameters");
      out.converged = false;
      return Selection{exp_of(rho), false};
    }
    const bool from_rho = pass > 0 || start != nullptr;
    // Each pass searches λ afresh on its working model; only the last search's
    // trouble concerns the λ the fit ends with.
    out.warnings.resize(earlier_warnings);
    out.converged = earlier_converged;
    VORNA_TRY(next,
              select_once(state, penalties, roots, options, observations, from_rho ? &rho : nullptr, centre, out));
    double change = 0.0;
    for (std::size_t j = 0; j < m; ++j) change = std::max(change, std::abs(next[j] - rho[j]));
    out.selection_passes = pass + 1;
    const bool settled = pass > 0 && change < kLambdaTolerance;
    const double step = state.sums.max_change;
    if (settled && (maybe_last || closing == nullptr) && !state.halved &&
        at_fit(step, single ? last_step : std::numeric_limits<double>::infinity(), state.sums.max_abs_eta)) {
      state.converged = true;
      return Selection{exp_of(rho), true};
    }
    rho = std::move(next);
    if (settled && state.converged) return Selection{exp_of(rho), false};
    if (single_steps && pass > 2 && change > last_change) single_steps = false;
    last_change = change;
    last_step = single && !state.halved ? step : std::numeric_limits<double>::infinity();
  }
  out.warnings.push_back("the smoothing parameters did not settle in " + std::to_string(options.max_selection_passes) +
                         " passes");
  out.converged = false;
  return Selection{exp_of(rho), false};
}

// Moves a fixed working model's state to `beta`: z is fixed, so the residual
// there is r_ref − X(β − β_ref), and the sums follow from the reference's.
// Returns RSS(β) as that difference, which may have lost digits (see below).
double move_fixed_state(IrlsState& st, Vector beta) {
  const std::size_t p = beta.size();
  Vector step(p);
  for (std::size_t k = 0; k < p; ++k) step[k] = beta[k] - st.beta[k];
  const Vector moved = matvec(st.sums.xtwx, step);
  const double rss = st.sums.rss - 2.0 * dot(step, st.sums.xtwr) + dot(step, moved);
  for (std::size_t k = 0; k < p; ++k) st.sums.xtwr[k] -= moved[k];
  st.sums.rss = st.sums.deviance = std::max(rss, 0.0);
  st.beta = std::move(beta);
  return rss;
}

// A Gaussian model with the identity link has a working model that does not
// depend on β: one pass gives its sums, and every later quantity follows from
// them. The pass is made at the weighted mean (on the intercept, when there is
// one), and the residual sum of squares at β is the reference's corrected by
// the move from it. When the correction cancels most of the reference's
// value (a fit that reproduces the data almost exactly) that difference has
// lost digits, so another pass is made at the fitted β and λ is chosen again
// from there. A search that fails from the mean is retried from the fit at
// λ = 1; one that fails from a fit leaves the previous choice standing, with
// the sums of the pass at its β.
Result<IrlsState> fixed_model_fit(const Passes& passes, const PassSource& source, std::span<const Matrix> penalties,
                                  const PenaltyRoots& roots, const PenalizedGlmOptions& options, PenalizedGlmFit& out) {
  constexpr double kCancellation = 1e-4;  // RSS(β)/RSS(reference) below which a pass at β is made
  constexpr int kMaxPasses = 3;
  const std::size_t p = source.width;
  const bool select = !options.fixed_lambda && !penalties.empty();
  const RowMoments& mo = source.moments;
  IrlsState st;
  st.beta.assign(p, 0.0);
  st.converged = true;
  if (source.intercept) st.beta[*source.intercept] = (mo.weighted_response - mo.weighted_offset) / mo.weight_sum;
  out.lambda = options.fixed_lambda ? *options.fixed_lambda : Vector(penalties.size(), 1.0);
  const std::vector<std::string> base_warnings = out.warnings;
  std::vector<std::string> chosen_warnings = base_warnings;
  const bool base_converged = out.converged;
  bool chosen_converged = base_converged;
  Vector rho, centre;
  for (int attempt = 0; attempt < kMaxPasses; ++attempt) {
    VORNA_TRY(sums, passes.run(st.eta()));
    st.sums = std::move(sums);
    st.iterations = static_cast<std::size_t>(attempt) + 1;
    // At the weighted mean, the residual sum of squares is the null deviance.
    if (attempt == 0 && source.intercept) out.null_deviance = st.sums.rss;
    if (select) {
      out.warnings = base_warnings;
      out.converged = base_converged;
      auto chosen =
          select_once(st, penalties, roots, options, mo.observations, rho.empty() ? nullptr : &rho, centre, out);
      if (!chosen && (chosen.error().kind == GamErrorKind::Interrupted || attempt + 1 == kMaxPasses))
        return std::move(chosen).error();
      if (!chosen) {
        out.warnings = chosen_warnings;
        out.converged = chosen_converged;
        if (!rho.empty()) return st;  // β is the fit at the previous choice
      } else {
        rho = std::move(chosen).value();
        out.lambda = exp_of(rho);
        out.selection_passes += 1;
        chosen_warnings = out.warnings;
        chosen_converged = out.converged;
      }
    }
    VORNA_TRY(r, penalized_factor(st.sums.xtwx, penalty_at(out.lambda, penalties, roots, p)));
    VORNA_TRY(beta, factor_solve(r, st.sums.xtwz));
    IrlsState moved = st;
    const double rss = move_fixed_state(moved, beta);
    if (!rho.empty() || !select) {
      if (rss >= kCancellation * st.sums.rss || attempt + 1 == kMaxPasses) return moved;
    }
    st.beta = std::move(beta);
  }
  return st;
}

// The deviance of the intercept-only model with the same offset and weights
// (NaN when PiRLS finds no valid fit for it).
Result<double> null_deviance(const PassSource& source, double fallback, const PenalizedGlmOptions& options) {
  // The null model's means run off to the bound with the responses, its
  // deviance to 0: whatever the offset where η runs to infinity for it, and
  // with no offset where the bound is at a finite η (identity or sqrt link,
  // which an offset's rows then meet at different intercepts).
  if (response_at_bound(options.glm, source.moments) &&
      (source.moments.nonzero_offsets == 0 || bound_at_infinite_eta(options.glm.link)))
    return 0.0;
  const Passes passes{source.null_pass,
                      fallback,
                      1,
                      0,
                      offset_level(fallback, source.moments),
                      negligible_deviance(options.glm, source.moments)};
  const auto fit = [&]() -> Result<IrlsState> {
    VORNA_TRY(start, cold_start(passes, options.glm, source.moments));
    // The deviance is stationary at the optimum: η to 1e-7 gives it to about 1e-14.
    // One coefficient, but offsets far from the data can make PiRLS creep:
    // it gets four times the model's cap, and is not known short of it.
    return penalized_irls(passes, options.glm, PenaltyAt{Matrix(1, 1), Matrix(1, 0), {false}, {}}, std::move(start),
                          4 * options.max_pirls_iterations, kSelectionEtaTolerance);
  };
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  auto st = fit();
  if (!st) return st.error().kind == GamErrorKind::OptimizationFailed ? Result<double>(kNaN) : std::move(st).error();
  return st.value().sums.valid && st.value().converged ? st.value().sums.deviance : kNaN;
}

// Without an offset the intercept-only model's mean is the same in every row,
// and its score equation Σ w(y − μ)/(V(μ)g′(μ)) = 0 makes it the weighted mean
// response whatever the link: its deviance then needs no iteration, only a
// sum at that mean (taken in the closing pass). None when there is an offset
// or the mean lies outside the family's range (all-zero counts, one class).
std::optional<double> constant_null_mean(const Glm& glm, const RowMoments& moments) {
  if (moments.nonzero_offsets > 0 || !(moments.weight_sum > 0.0)) return std::nullopt;
  const double mean = moments.weighted_response / moments.weight_sum;
  if (!glm.valid_mu(mean) || !glm.valid_eta(glm.link_fn(mean))) return std::nullopt;
  return mean;
}

// The scale at which the AIC log-likelihood is evaluated: deviance/n for the
// Gaussian, Gamma and inverse Gaussian families (n rows of positive weight),
// 1 otherwise: the likelihood's maximum in φ for the Gaussian and inverse
// Gaussian, the usual approximation to it for the Gamma. Prior weights are
// precisions (row i has scale φ/w_i), so it is over the number of rows, not
// over Σw: only then do weights multiplied by a constant leave the
// log-likelihood as it is, as they leave the fit.
double aic_scale(Distribution d, double deviance, const RowMoments& moments) {
  switch (d) {
    case Distribution::Gaussian:
    case Distribution::Gamma:
    case Distribution::InverseGaussian:
      return moments.observations > 0 ? deviance / static_cast<double>(moments.observations) : 1.0;
    default: return 1.0;
  }
}

// V_p, V_e, EDF, the scale and the log-determinants at the fit, from the
// sums of its last pass.
Result<void> inference(const IrlsState& st, const PenaltyAt& pen, const Glm& glm, std::size_t observations,
                       PenalizedGlmFit& out) {
  const std::size_t p = st.beta.size();
  const Matrix& xtwx = st.sums.xtwx;
  VORNA_TRY(r, penalized_factor(xtwx, pen));
  auto r_inv = triangular_solve(r, true, false, Matrix::identity(p));
  if (!r_inv) return lapack_error("Triangular solve failed", r_inv.error());
  Matrix a_inv = matmul(r_inv.value(), transpose(r_inv.value()));  // A⁻¹ = R⁻¹R⁻ᵀ
  const Matrix f = matmul(a_inv, xtwx);
  out.edf.resize(p);
  double edf_total = 0.0;
  for (std::size_t k = 0; k < p; ++k) edf_total += out.edf[k] = f(k, k);
  out.observations = observations;
  out.scale_estimated = !scale_is_known(glm.distribution);
  if (out.scale_estimated) {
    // The Pearson statistic: Σ w r² = Σ prior·(y − μ)²/V(μ).
    // A fit that leaves (next to) no residual degrees of freedom has no scale
    // estimate: RSS/(n − τ) would divide rounding by rounding.
    constexpr double kLeastResidualDf = 1e-6;  // per observation
    const double residual_df = static_cast<double>(observations) - edf_total;
    out.scale = residual_df > kLeastResidualDf * static_cast<double>(observations)
                    ? st.sums.rss / residual_df
                    : std::numeric_limits<double>::quiet_NaN();
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
  out.penalty = quadratic_form(pen.s, st.beta);
  return {};
}

// The penalty's log-determinant and rank, the ML range determinant and the
// criterion at the chosen λ.
Result<void> criterion_at_fit(const IrlsState& st, const Matrix& s, std::span<const Matrix> penalties,
                              const PenaltyRoots& roots, const PenalizedGlmOptions& options, PenalizedGlmFit& out) {
  const std::size_t m = penalties.size();
  if (m == 0) return {};
  Vector rho(m);
  for (std::size_t j = 0; j < m; ++j) rho[j] = std::log(out.lambda[j]);
  VORNA_TRY(problem, SelectionProblem::from_sums(working_sums(st, out.observations), penalties, options.criterion, &rho,
                                                 model_ridge(st.sums.xtwx, roots), {}, true));
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
  return {};
}

// The closing pass at the fit: log-likelihoods at the AIC scale and at the
// fitted scale, the range of the means, and (for rows in memory) η, μ and
// the working weights of every row. A Gaussian identity-link fit has the
// likelihoods from its sums and makes no pass.
//
// `answered`: the state's last pass answered this closing request already.
Result<void> closing_pass(const Passes& passes, const IrlsState& st, const Glm& glm, const RowMoments& moments,
                          PenalizedGlmFit& out, const ClosingRequest* answered) {
  out.deviance = st.sums.deviance;
  out.aic_scale = aic_scale(glm.distribution, out.deviance, moments);
  if (fixed_working_model(glm)) {
    // Σ −½[w(y − μ)²/φ + log 2π + log(φ/w)] needs no pass: the deviance and Σ log w suffice.
    constexpr double kLog2Pi = 1.8378770664093453;
    const auto n = static_cast<double>(moments.observations);
    const auto at = [&](double phi) {
      return -0.5 * (out.deviance / phi + n * (kLog2Pi + std::log(phi)) - moments.log_weight_sum);
    };
    out.log_likelihood = at(out.aic_scale);
    out.log_likelihood_at_scale = at(out.scale);
    return {};
  }
  const std::optional<double> null_mean = constant_null_mean(glm, moments);
  PassSums sums;
  if (answered != nullptr && answered->scales == std::array<double, 2>{out.aic_scale, out.scale} &&
      answered->null_mean == null_mean) {
    sums = st.sums;
  } else {
    PassRequest request;
    request.eta = EtaSpec{&st.beta, 1.0};
    request.start_fallback = passes.fallback;
    request.cross_products = false;
    request.likelihood_scales = std::array<double, 2>{out.aic_scale, out.scale};
    request.record = true;
    request.null_mean = null_mean;
    VORNA_TRY(closing, passes.pass(request));
    sums = std::move(closing);
  }
  // PiRLS can end, at its cap, on an iterate outside the range (negative
  // means of an identity-link Poisson fit): no fit to report.
  if (!sums.valid)
    return GamError::optimization_failed("the fit ends with fitted means outside the " +
                                         std::string(distribution_name(glm.distribution)) +
                                         " family's range with the " + std::string(link_name(glm.link)) +
                                         " link; a link whose means stay inside it (log) avoids this");
  out.log_likelihood = sums.log_likelihood[0];
  out.log_likelihood_at_scale = sums.log_likelihood[1];
  if (null_mean) out.null_deviance = sums.null_deviance;
  if (glm.distribution == Distribution::Binomial && (sums.min_mu < 1e-8 || sums.max_mu > 1.0 - 1e-8))
    out.warnings.push_back(
        "fitted probabilities numerically 0 or 1 occurred: the classes may be separable, and "
        "standard errors there are unreliable");
  return {};
}

}  // namespace

Result<PenalizedGlmFit> fit_penalized_glm(const PassSource& source, std::span<const Matrix> penalties,
                                          const PenalizedGlmOptions& options, const WarmStart* warm) {
  const std::size_t p = source.width, m = penalties.size();
  VORNA_CHECK(check_options(p, penalties, options));
  VORNA_TRY(roots, block_penalty_roots(penalties));
  roots.intercept = source.intercept;
  if (source.moments.observations == 0) return GamError::invalid_parameter("no observation has a positive weight");
  const Glm& glm = options.glm;
  const double fallback = start_fallback(glm, source.moments);
  const double negligible = negligible_deviance(glm, source.moments);
  const Passes passes{source.pass,
                      fallback,
                      p,
                      source.intercept,
                      offset_level(fallback, source.moments),
                      negligible,
                      response_at_bound(glm, source.moments)};
  PenalizedGlmFit out;
  // The warnings of the search for λ, out.warnings[selection_from, selection_to),
  // and whether it failed.
  std::size_t selection_from = 0, selection_to = 0;
  bool selection_failed = false;
  IrlsState st;
  std::optional<ClosingRequest> closing;
  if (fixed_working_model(glm)) {
    VORNA_TRY(fixed, fixed_model_fit(passes, source, penalties, roots, options, out));
    selection_to = out.warnings.size();
    selection_failed = !out.converged;
    st = std::move(fixed);
  } else {
    std::optional<IrlsState> warm_state;
    if (warm != nullptr && m > 0 && !options.fixed_lambda && warm->beta.size() == p && warm->lambda.size() == m) {
      VORNA_TRY(at, state_at(passes, warm->beta));
      warm_state = std::move(at);
    }
    if (warm_state) {
      out.warm_started = true;
    } else {
      VORNA_TRY(start, cold_start(passes, options.glm, source.moments));
      warm_state = std::move(start);
    }
    IrlsState state = std::move(*warm_state);
    // After a selection the last passes (the final PiRLS's, or the
    // selection's own) can be told what the closing pass asks where the
    // family fixes the scale, since its scales are known now.
    if (m > 0 && !options.fixed_lambda && scale_is_known(glm.distribution))
      closing = ClosingRequest{{1.0, 1.0}, constant_null_mean(glm, source.moments)};
    bool fitted = false;
    if (options.fixed_lambda) {
      out.lambda = *options.fixed_lambda;
    } else if (m > 0) {
      selection_from = out.warnings.size();
      VORNA_TRY(selection, select_lambda(passes, penalties, roots, options, source.moments.observations, state, out,
                                         out.warm_started ? &warm->lambda : nullptr, closing ? &*closing : nullptr));
      selection_to = out.warnings.size();
      selection_failed = !out.converged;
      out.lambda = std::move(selection.lambda);
      fitted = selection.fitted;
    }
    if (fitted) {
      st = std::move(state);
    } else {
      VORNA_TRY(final_state,
                penalized_irls(passes, glm, penalty_at(out.lambda, penalties, roots, p), std::move(state),
                               options.max_pirls_iterations, kEtaTolerance, closing ? &*closing : nullptr));
      st = std::move(final_state);
    }
  }
  if (st.at_edge) {
    out.converged = false;
    out.warnings.push_back("the fit lies at the edge of the " + std::string(distribution_name(glm.distribution)) +
                           " family's range with the " + std::string(link_name(glm.link)) +
                           " link: PiRLS stopped where no step keeps every fitted mean inside it, and some fitted "
                           "means are near its bound; the estimates and their standard errors there are unreliable");
  } else if (!st.converged) {
    out.converged = false;
    out.warnings.push_back("PiRLS did not converge in " + std::to_string(options.max_pirls_iterations) + " iterations");
  }
  out.pirls_iterations = st.iterations;
  const PenaltyAt pen = penalty_at(out.lambda, penalties, roots, p);
  VORNA_CHECK(inference(st, pen, glm, source.moments.observations, out));
  out.xtwx = st.sums.xtwx;
  VORNA_CHECK(criterion_at_fit(st, pen.s, penalties, roots, options, out));
  const bool null_from_fit =
      fixed_working_model(glm) ? source.intercept.has_value() : constant_null_mean(glm, source.moments).has_value();
  if (!null_from_fit) {
    VORNA_TRY(null, null_deviance(source, fallback, options));
    out.null_deviance = null;
    if (std::isnan(null))
      out.warnings.push_back(
          "the null model (the intercept with the offset) could not be fitted: the null "
          "deviance and the deviance explained are not known");
  }
  VORNA_CHECK(closing_pass(passes, st, glm, source.moments, out, closing ? &*closing : nullptr));
  if (!std::isfinite(out.deviance) || !(std::isfinite(out.scale) || std::isnan(out.scale)))
    return GamError::invalid_parameter(
        "the deviance of the fit overflows: y, the offset or a column is too large in magnitude; rescale it");
  // A response that the fit reproduces to rounding (a constant, counts all
  // 0) is reproduced at every λ: a search for λ that did not settle says
  // nothing about the fit.
  if (out.deviance <= negligible && out.null_deviance <= negligible) {
    const auto first = out.warnings.begin();
    out.warnings.erase(first + static_cast<std::ptrdiff_t>(selection_from),
                       first + static_cast<std::ptrdiff_t>(selection_to));
    if (selection_failed && st.converged && !st.at_edge) out.converged = true;
  }
  out.coefficients = std::move(st.beta);
  out.negligible_deviance = negligible;
  out.response_at_bound = passes.at_bound;
  return out;
}

namespace {

// Where the passes over rows in memory write each row's η, μ and working
// weight when a request asks for it (sized on first use).
struct RowRecord {
  RowBuffer eta, mu, weights;  // written in full by the pass that asks
};

// The passes of `model` over rows in memory, with those of the
// intercept-only model on the same rows, and the rows' moments. The views
// must outlive the source; with `record`, a pass that asks writes there.
Result<PassSource> memory_source(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w,
                                 VectorView offset, const PenalizedGlmOptions& options, RowRecord* record) {
  const std::size_t threads = thread_count(options.threads), n = data.rows();
  VORNA_TRY(moments, row_moments(options.glm, y, w, offset, 0, threads));
  VORNA_TRY(null_model, TermModel::create({ModelTerm{}}, data.cols()));
  const auto null_shared = std::make_shared<const TermModel>(std::move(null_model));
  RowData rows{&model, data, y, w, offset, options.glm};
  RowData null_rows{null_shared.get(), data, y, w, offset, options.glm};
  PassSource source;
  source.width = model.width();
  for (std::size_t t = 0; t < model.terms().size(); ++t)
    if (model.terms()[t].kind == ModelTerm::Kind::Intercept) source.intercept = model.offset(t);
  source.moments = moments;
  // The rows are the same in every pass: once one has found every
  // model-matrix row finite, the later ones need not look again.
  source.pass = [rows, threads, record, n](const PassRequest& request) mutable {
    RowOutputs outputs;
    if (request.record && record != nullptr) {
      record->eta.resize(n);
      record->mu.resize(n);
      record->weights.resize(n);
      outputs = {record->eta.data(), record->mu.data(), record->weights.data()};
    }
    auto sums = row_pass(rows, request, outputs, threads);
    rows.finite = rows.finite || sums.has_value();
    return sums;
  };
  source.null_pass = [null_rows, null_shared, threads](const PassRequest& request) mutable {
    auto sums = row_pass(null_rows, request, {}, threads);
    null_rows.finite = null_rows.finite || sums.has_value();
    return sums;
  };
  return source;
}

// The fit on every k-th row, as a start for the fit on all of them (see
// fit_penalized_glm); nothing where it would not pay or does not succeed
// (the fit on all rows then reports what is wrong). A stop request is passed on.
Result<std::optional<WarmStart>> sample_fit(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w,
                                            VectorView offset, std::span<const Matrix> penalties,
                                            const PenalizedGlmOptions& options) {
  const std::size_t n = data.rows(), stride = sample_stride(n);
  if (stride == 0 || fixed_working_model(options.glm) || options.fixed_lambda || penalties.empty())
    return std::optional<WarmStart>();
  const std::size_t rows = (n + stride - 1) / stride;
  const auto k = static_cast<std::ptrdiff_t>(stride);
  const auto every = [&](VectorView v) { return VectorView(v.data(), rows, k * v.stride()); };
  const ConstMatrixView sample(data.data(), rows, data.cols(), k * data.row_stride(), data.col_stride());
  auto source = memory_source(model, sample, every(y), every(w), every(offset), options, nullptr);
  if (!source) return std::optional<WarmStart>();
  auto fit = fit_penalized_glm(source.value(), penalties, options);
  if (!fit && fit.error().kind == GamErrorKind::Interrupted) return std::move(fit).error();
  // A sample whose responses all lie on a bound (no events among its rows)
  // says nothing of β or λ for rows that have some.
  if (!fit || !fit.value().converged || fit.value().response_at_bound) return std::optional<WarmStart>();
  return std::optional<WarmStart>(WarmStart{std::move(fit.value().coefficients), std::move(fit.value().lambda)});
}

}  // namespace

std::size_t sample_stride(std::size_t rows, std::size_t most_rows) {
  // Below this many rows a fit is started from the response alone: its passes
  // are cheap, and a sample would be too small to say much about λ.
  constexpr std::size_t kWarmStartRows = 200000;
  constexpr std::size_t kMaxStride = 40;
  constexpr std::size_t kSampleRows = 25000;  // the fewest rows a sample keeps
  if (rows < kWarmStartRows || diag::enabled(diag::kColdStart)) return 0;
  std::size_t stride = std::min(kMaxStride, rows / kSampleRows);
  if (most_rows > 0) stride = std::max(stride, std::min((rows + most_rows - 1) / most_rows, rows / kSampleRows));
  return stride;
}

Result<PenalizedGlmFit> fit_penalized_glm(const TermModel& model, ConstMatrixView data, VectorView y, VectorView w,
                                          VectorView offset, std::span<const Matrix> penalties,
                                          const PenalizedGlmOptions& options) {
  const std::size_t n = data.rows();
  if (y.size() != n || w.size() != n || offset.size() != n)
    return GamError::dimension_mismatch("the data have " + std::to_string(n) + " rows but y has " +
                                        std::to_string(y.size()) + ", the weights " + std::to_string(w.size()) +
                                        " and the offset " + std::to_string(offset.size()));
  VORNA_CHECK(check_options(model.width(), penalties, options));
  RowRecord record;
  VORNA_TRY(source, memory_source(model, data, y, w, offset, options, &record));
  VORNA_TRY(warm, sample_fit(model, data, y, w, offset, penalties, options));
  VORNA_TRY(fit, fit_penalized_glm(source, penalties, options, warm ? &*warm : nullptr));
  if (record.eta.empty()) {  // no closing pass was made: one for the per-row values
    PassRequest request;
    request.eta = EtaSpec{&fit.coefficients, 1.0};
    request.cross_products = false;
    request.record = true;
    VORNA_CHECK(source.pass(request));
  }
  fit.linear_predictor = std::move(record.eta);
  fit.fitted = std::move(record.mu);
  fit.working_weights = std::move(record.weights);
  return fit;
}

}  // namespace vorna
