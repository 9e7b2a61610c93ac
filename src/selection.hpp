// Smoothing-parameter selection on a working linear model: the criteria a fit
// minimizes over ρ_j = ln λ_j (REML with a profiled or a known scale, and
// GCV), each with its exact gradient and Hessian, and the Newton minimizer
// that drives them.
//
// The working model is the penalized weighted least-squares problem
//   minimize over β   Σ_i w_i (z_i − x_iβ)² + βᵀ(S_λ + δI)β,   S_λ = Σ_j λ_j S_j,
// that PiRLS solves at convergence (z the working response, w the working
// weights; a Gaussian fit has z = y and w = 1). δ is the fit's ridge
// (`penalty_ridge` of XᵀWX), fixed for the whole search, so that the
// criterion, its derivatives and PiRLS describe one and the same model.
// Where a caller asks for it, the ridge spares the coefficients no penalty
// acts on (δI becomes Δ, δ on the penalties' blocks and 0 elsewhere): a ridge
// on an intercept or a slope would make the fit depend on the level of y
// and on the units of x.
//
// Notation: A = XᵀWX + S_λ + δI, β = A⁻¹XᵀWz, RSS = Σ w_i (z_i − x_iβ)²,
// D = RSS + βᵀ(S_λ + δI)β, r_j the rank of S_j (the number of its
// eigenvalues kept by penalty_sqrt: one rank rule everywhere), r = Σ r_j.
//   REML, profiled scale:  φ = RSS/(n − r),
//     V = ½[D/φ + (n − r)·log(2πφ) + log|A| − Σ_j r_j ρ_j]
//   REML, known scale φ = 1 (binomial, Poisson):
//     V = ½[D + log|A| − Σ_j r_j ρ_j]
//   GCV: V_g = n·RSS/(n − τ)² with τ = tr(A⁻¹XᵀWX); the search minimizes
//     Q = (n/2)·log V_g, which has the same minimizer and a gradient of the
//     same size as REML's.
//   REML with the scale at its own optimum φ = D/(n − M_p), M_p = p − rank(S_λ)
//     (the restricted likelihood of Harville 1977 and Wood 2011, profiled):
//     V = ½[(n − M_p)·log D + log|A| − log|S_λ|₊]
//   UBRE (Mallows' C_p) for φ = 1: V = ½·RSS + τ, n/2 times the usual score.
//   ML, the Laplace approximate marginal likelihood with the coefficients in
//     the penalties' null space as fixed effects (Wood 2011, §2.1): only the
//     penalized range U (p × r, orthonormal) is integrated out, so
//     V = ½[n·log D + log|UᵀAU| − log|S_λ|₊] with φ = D/n profiled, and
//     V = ½[D + log|UᵀAU| − log|S_λ|₊] for φ = 1.
// n counts the observations with a positive weight. log|S_λ|₊ is Σ_j r_j ρ_j
// (up to a constant) for penalties on separate coefficients; penalties that
// share coefficients (a tensor product's margins) enter through the
// determinant of their sum on its range, which is the same for every λ > 0.
// The value an evaluation reports omits terms that do not depend on ρ and
// measures the scale-dependent ones against the problem's anchor (the first
// point it was built at), so that it carries no units of z and comparisons
// between trial points lose nothing to a large constant. Gradient and Hessian
// are exact derivatives of that value.
//
// After set-up (one pass over the rows for the residual sums) everything works
// on p × p matrices: RᵀR = A per evaluation from a QR factor of the Cholesky
// factor of XᵀWX + δI stacked over the scaled penalty roots, plus triangular
// solves with the roots when derivatives are asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "linalg.hpp"
#include "matrix.hpp"
#include "reml.hpp"

namespace vorna {

enum class SelectionCriterion : std::uint8_t { RemlProfiledScale, RemlKnownScale, Gcv, Reml, Ubre, Ml, MlKnownScale };

struct CriterionEvaluation {
  double value = 0.0;  // the minimized objective, V or Q, up to a constant
  Vector gradient;     // ∂/∂ρ_j (m), empty unless derivatives were asked for
  Matrix hessian;      // ∂²/∂ρ_i∂ρ_j (m × m, exactly symmetric), likewise
};

class SelectionProblem {
 public:
  // z, w: n; x: n × p; penalties: m matrices p × p, each non-zero only in one
  // contiguous block of rows and columns (the smooth's coefficients). `cross`,
  // when given, must be XᵀWX and XᵀWz of these x, w and z. `anchor` (m log λ)
  // is where the residual sums and the value's reference are taken. `ridge`
  // replaces the PiRLS ridge δ when the caller's fit uses another one.
  // Errors: DimensionMismatch for inconsistent sizes; those of penalty_sqrt;
  // InvalidParameter when a profiled scale has no residual degrees of freedom
  // (n ≤ r); LinAlgError when XᵀWX + δI is not positive definite.
  static Result<SelectionProblem> build(VectorView z, ConstMatrixView x, VectorView w,
                                        std::span<const Matrix> penalties, SelectionCriterion criterion,
                                        const CrossProducts* cross, const Vector* anchor = nullptr,
                                        std::optional<double> ridge = std::nullopt);

  // The working model summarized by the caller's own pass over the rows:
  // XᵀWX, XᵀWz, and the residual reference at some β₀ (best near the
  // solutions, e.g. the fit the working model comes from): RSS(β₀) and
  // g₀ = XᵀW(z − Xβ₀). Nothing later needs the rows.
  struct WorkingSums {
    Matrix xtwx;
    Vector xtwz;
    Vector beta0, g0;
    double rss0 = 0.0;
    std::size_t observations = 0;  // rows with a positive weight
  };
  // Σ (z_i − x_iβ)² over the rows of a working model with unit weights whose
  // rows the caller makes on demand: given to from_sums(), it is called
  // wherever the residual sum from the anchor cancels.
  using ResidualPass = std::function<double(const Vector& beta)>;

  // As build, from sums instead of the rows (and `pass`, when given, for the
  // residual sums the anchor's cannot give). With `penalized_ridge`, the
  // ridge is fit_ridge()'s with `ridge` as kFitRidge times its floor, and
  // `ridge` on every coefficient should that leave XᵀWX + Δ singular.
  static Result<SelectionProblem> from_sums(WorkingSums sums, std::span<const Matrix> penalties,
                                            SelectionCriterion criterion, const Vector* anchor = nullptr,
                                            std::optional<double> ridge = std::nullopt, ResidualPass pass = {},
                                            bool penalized_ridge = false);

  // The value and, when `derivatives` is set, the gradient and Hessian at ρ.
  // LinAlgError when A is not positive definite to working precision.
  Result<CriterionEvaluation> evaluate(const Vector& rho, bool derivatives) const;

  // ln λ_j at which λ_j·tr(S_j) equals the trace of XᵀWX over the penalty's
  // block: a starting point in the units of the data.
  Vector balanced_start() const;

  std::size_t size() const { return blocks_.size(); }
  // The total rank of S_λ (the same for every λ > 0).
  std::size_t penalty_rank() const;
  // log|UᵀAU| at λ = e^ρ (ML criteria only; NaN otherwise).
  double range_log_determinant(const Vector& rho) const;
  SelectionCriterion criterion() const { return criterion_; }

 private:
  struct Block {
    std::size_t offset = 0;  // first coefficient the penalty touches
    Matrix s;                // its k × k block
    Matrix root;             // the k × r_j block of its root L_j (L_jL_jᵀ = S_j)
    std::size_t rank = 0;    // r_j
  };
  struct Solution;  // A's factor, β and the residual sums at one ρ
  // Penalties whose coefficients overlap: log|Σ_j λ_j S_j|₊ is taken on the
  // range U (size × rank, orthonormal) of their sum.
  struct Group {
    std::vector<std::size_t> members;
    std::size_t offset = 0, size = 0, rank = 0;
    std::vector<Matrix> projected;  // UᵀS_jU, rank × rank, one per member
  };
  struct LogDet {
    double value = 0.0;
    Vector gradient;
    Matrix hessian;
  };
  static Result<std::vector<Group>> group_penalties(const std::vector<Block>& blocks);
  Result<void> build_range();
  static Result<SelectionProblem> prepare(std::span<const Matrix> penalties, SelectionCriterion criterion,
                                          std::size_t p, std::size_t observations, const Vector* anchor);
  Result<void> factor_data(std::optional<double> ridge, bool penalized_ridge = false);
  Result<void> set_reference(const Solution& solution);
  Result<LogDet> penalty_logdet(const Vector& rho, bool derivatives) const;
  // log|UᵀAU| and its derivatives (ML only).
  Result<LogDet> range_logdet(const Vector& lambda, bool derivatives) const;

  SelectionProblem() = default;
  // Without `with_rss` the solution's rss is left at 0.
  Result<Solution> solve_at(const Vector& rho, bool with_rss = true) const;
  double residual_sum(const Vector& beta) const;

  SelectionCriterion criterion_ = SelectionCriterion::RemlProfiledScale;
  VectorView z_;
  ConstMatrixView x_;
  VectorView w_;
  std::vector<Block> blocks_;
  std::size_t total_rank_ = 0;
  std::vector<Group> groups_;
  std::size_t observations_ = 0;  // rows with a positive weight
  // ML: the penalties' range U, UᵀS_jU per penalty and Uᵀ(XᵀWX + δI)U.
  Matrix range_;
  std::vector<Matrix> range_penalties_;
  Matrix range_data_;
  double reference_range_logdet_ = 0.0;
  Matrix xtwx_;
  Vector xtwz_;
  Vector ridge_;        // δ_k of the ridge Δ = diag(δ_k), p entries
  Matrix data_factor_;  // R₀ with R₀ᵀR₀ = XᵀWX + Δ
  std::optional<ResidualModel> residuals_;
  ResidualPass pass_;  // the rows, for a problem from_sums() that has them
  double reference_rss_ = 1.0;
  double reference_logdet_ = 0.0;
};

// How a selection ended.
struct SelectionOutcome {
  Vector rho;             // the chosen ln λ
  bool converged = true;  // a stationary point (or the flat end of a direction) was reached
  int iterations = 0;
  double gradient = 0.0;  // largest |∂/∂ρ_j| at the end, directions held at a bound excluded
  // Where the search stopped because no step lowered the criterion: the
  // criterion there, the decrease the last Newton step s promised, ½|gᵀs|,
  // and that step's largest |s_j| (both +∞ where it stopped otherwise).
  double value = 0.0;
  double promised = std::numeric_limits<double>::infinity();
  double newton_step = std::numeric_limits<double>::infinity();
  // The middle of the search range ρ_j ∈ [centre_j − 10, centre_j + 10]. A
  // smooth whose criterion keeps falling towards λ → ∞ (a linear effect) or
  // λ → 0 stops at the edge; passing the centre on to later searches of the
  // same fit keeps that edge, and so the fit, where it is.
  Vector centre;
};

// Newton's method on ρ from `start`: the exact Hessian made positive definite
// by its eigenvalues (|e| floored at 1e-7 of the largest), steps capped at
// Euclidean length 5, an Armijo halving line search, ρ_j kept within ±10 of
// the range's centre (e^10 ≈ 2·10⁴ times the λ at which penalty and data
// weigh alike: a smooth there is all but in its penalty's null space, or all
// but unpenalized). Converged when the largest gradient entry is below
// 1e-6, or below 1e-3 where no step lowers the criterion any further (the
// rounding floor); at most 100 iterations. Progress under VORNA_PROFILE.
// Errors: those of the evaluation at an iterate; a failed trial point only
// shortens the step.
// `centre`, when given (m entries), fixes the middle of the range; otherwise
// it is the balanced start.
Result<SelectionOutcome> minimize_criterion(const SelectionProblem& problem, Vector start,
                                            const Vector* centre = nullptr);

// First and one-past-last index of the rows and columns where S has entries
// (0, 0 for none).
std::pair<std::size_t, std::size_t> penalty_support(const Matrix& s);

// The relative size of the ridge of a fit that spares unpenalized
// coefficients (see fit_ridge).
inline constexpr double kFitRidge = 1e-10;

// The floor of that ridge's scale: the intercept's diagonal entry of XᵀWX
// (`intercept`, the model's column of ones), which is the weight sum and,
// where the bases sum to 1, as large as any of theirs; without an intercept
// the largest entry over the penalized coefficients (`blocks`, [first, last)
// ranges). A slope column in large units (a price in cents, a time stamp)
// stays out of it: it neither flattens a smooth nor makes the fit depend on
// its units.
double ridge_floor(const Matrix& xtwx, std::span<const std::pair<std::size_t, std::size_t>> blocks,
                   std::optional<std::size_t> intercept);
// The ridge Δ = diag(δ_k) of a fit that spares unpenalized coefficients: on
// every coefficient a penalty acts on (`penalized`), `relative` times the
// larger of `floor` and the largest diagonal entry over its penalty's block
// (a smooth by a column of large values is on its own scale), nothing on
// the others; or with `everywhere` (XᵀWX leaves one of them undetermined)
// also `relative` times the coefficient's own diagonal entry (`floor` where
// that is 0): the undetermined direction is pinned, while a well-determined
// coefficient of a large column (a slope in years) is not pulled towards 0.
Vector fit_ridge(const Matrix& xtwx, const std::vector<bool>& penalized,
                 std::span<const std::pair<std::size_t, std::size_t>> blocks, double floor, double relative,
                 bool everywhere);
// Whether an unpenalized pivot of R (RᵀR = XᵀWX + Δ) is of rounding size
// against its diagonal entry of XᵀWX (r_kk² ≤ 1e-13·(XᵀWX)_kk): Cholesky can
// pass exactly collinear columns on such a pivot (their pivots come out near
// 1e-15 of the entry), while a column that only nearly repeats another (a
// slope of x + 10⁵ beside the intercept, about 1e-11) is still determined.
bool undetermined_pivot(const Matrix& r, const Matrix& xtwx, const std::vector<bool>& penalized);

// minimize_criterion(), then a look for a lower minimum with smooths in their
// penalties' null spaces: GCV and UBRE can have one at λ_j → ∞ beyond a
// ridge that Newton's method from a moderate λ_j does not cross (a smooth of
// pure noise kept with several degrees of freedom). Each λ_j below its upper
// bound is tried there, the others as found; the best trial that lowers the
// criterion starts the search again, until none does (at most m + 1
// searches). The iterations of all searches are counted; the outcome is the
// last accepted search's. Errors: those of minimize_criterion() and of the
// evaluation at a trial point.
Result<SelectionOutcome> minimize_criterion_with_null_space_trials(const SelectionProblem& problem, Vector start,
                                                                   const Vector* centre = nullptr);

// minimize_criterion() for REML and ML, whose optimum in λ_j is never at 0
// (−½ log|S_λ|₊ rises without bound as λ_j → 0): a ρ_j stopped on the lower
// end of its range has its optimum beyond it, so that end moves down by the
// range's width (the outcome's centre with it) and the search goes on from
// there, up to three times. The iterations of all searches are counted.
// Other criteria: minimize_criterion() alone. Errors: minimize_criterion()'s.
Result<SelectionOutcome> minimize_criterion_past_lower_ends(const SelectionProblem& problem, Vector start,
                                                            const Vector* centre = nullptr);

}  // namespace vorna
