#include "selection.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics.hpp"
#include "format.hpp"
#include "pirls.hpp"

namespace vorna {
namespace {

constexpr int kMaxIterations = 100;
constexpr double kGradientTolerance = 1e-6;  // converged below this largest |∂/∂ρ_j|
constexpr double kRoundingTolerance = 1e-3;  // ... or below this when no step helps any more
constexpr double kMaxStepNorm = 5.0;         // Euclidean length of a step in ρ
constexpr double kEigenFloor = 1e-7;         // relative floor of |eigenvalues| of the Hessian
constexpr double kArmijo = 1e-4;
constexpr int kMaxHalvings = 25;          // down to a fraction 3e-8 of the step
constexpr double kLogLambdaRange = 10.0;  // ρ_j stays within this of the balanced start
// Residual sums from the anchored identity lose digits when they are tiny
// against its terms; below this fraction they are summed over the rows.
constexpr double kResidualCancellation = 1e-4;

void profile(const std::string& text) { diag::line_if(diag::kProfile, text); }

// R⁻ᵀ·rhs (transpose) or R⁻¹·rhs for an upper triangular R.
Result<Matrix> solve_factor(const Matrix& factor, bool transpose, const Matrix& rhs) {
  auto out = triangular_solve(factor, true, transpose, rhs);
  if (!out) return lapack_error("Triangular solve failed", out.error());
  return std::move(out).value();
}

// View of rows [row, row + rows) and columns [col, col + cols) of a row-major matrix.
ConstMatrixView sub(const Matrix& m, std::size_t row, std::size_t col, std::size_t rows, std::size_t cols) {
  return {m.data() + row * m.cols() + col, rows, cols, static_cast<std::ptrdiff_t>(m.cols()), 1};
}

}  // namespace

// ---- The working problem --------------------------------------------------------

struct SelectionProblem::Solution {
  Vector lambda;
  Matrix factor;         // upper R with RᵀR = A
  double log_det = 0.0;  // log|A|
  Vector beta;
  std::vector<Vector> s_beta;  // S_jβ, p each
  double penalty = 0.0;        // βᵀ(S_λ + δI)β
  double rss = 0.0;
};

Result<SelectionProblem> SelectionProblem::build(VectorView z, ConstMatrixView x, VectorView w,
                                                 std::span<const Matrix> penalties, SelectionCriterion criterion,
                                                 const CrossProducts* cross, const Vector* anchor,
                                                 std::optional<double> ridge) {
  const std::size_t n = x.rows(), p = x.cols();
  if (z.size() != n || w.size() != n)
    return GamError::dimension_mismatch("X has " + std::to_string(n) + " rows but the response has " +
                                        std::to_string(z.size()) + " and the weights " + std::to_string(w.size()) +
                                        " elements");
  if (cross != nullptr && (cross->xtwx.rows() != p || cross->xtwx.cols() != p || cross->xtwy.size() != p))
    return GamError::dimension_mismatch("Cached cross products do not match X with " + std::to_string(p) + " columns");
  std::size_t observations = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (w[i] > 0.0) ++observations;
  VORNA_TRY(problem, prepare(penalties, criterion, p, observations, anchor));
  problem.z_ = z;
  problem.x_ = x;
  problem.w_ = w;
  if (cross != nullptr) {
    problem.xtwx_ = cross->xtwx;
    problem.xtwz_ = cross->xtwy;
  } else {
    CrossProducts products = weighted_cross_products(x, w, z);
    problem.xtwx_ = std::move(products.xtwx);
    problem.xtwz_ = std::move(products.xtwy);
  }
  VORNA_CHECK(problem.factor_data(ridge));
  // Anchor the residual sums and the value's reference at the start.
  const Vector rho = anchor != nullptr ? *anchor : problem.balanced_start();
  // The residual model is anchored at this solution, so its residual sum is
  // the model's own (one pass over the rows instead of two).
  VORNA_TRY(solution, problem.solve_at(rho, false));
  problem.residuals_.emplace(z, x, w, problem.xtwx_, solution.beta);
  solution.rss = problem.residual_sum(solution.beta);
  VORNA_CHECK(problem.set_reference(solution));
  return problem;
}

Result<SelectionProblem> SelectionProblem::from_sums(WorkingSums sums, std::span<const Matrix> penalties,
                                                     SelectionCriterion criterion, const Vector* anchor,
                                                     std::optional<double> ridge, ResidualPass pass,
                                                     bool penalized_ridge) {
  const std::size_t p = sums.xtwx.rows();
  if (sums.xtwx.cols() != p || sums.xtwz.size() != p || sums.beta0.size() != p || sums.g0.size() != p)
    return GamError::dimension_mismatch("the working sums do not describe " + std::to_string(p) + " coefficients");
  VORNA_TRY(problem, prepare(penalties, criterion, p, sums.observations, anchor));
  problem.xtwx_ = sums.xtwx;
  problem.xtwz_ = std::move(sums.xtwz);
  problem.pass_ = std::move(pass);
  VORNA_CHECK(problem.factor_data(ridge, penalized_ridge));
  problem.residuals_.emplace(std::move(sums.xtwx), std::move(sums.beta0), std::move(sums.g0), sums.rss0);
  const Vector rho = anchor != nullptr ? *anchor : problem.balanced_start();
  VORNA_TRY(solution, problem.solve_at(rho));
  VORNA_CHECK(problem.set_reference(solution));
  return problem;
}

// The penalties' blocks, roots and groups, and the checks that need only
// their ranks and the number of observations.
Result<SelectionProblem> SelectionProblem::prepare(std::span<const Matrix> penalties, SelectionCriterion criterion,
                                                   std::size_t p, std::size_t observations, const Vector* anchor) {
  const std::size_t m = penalties.size();
  if (anchor != nullptr && anchor->size() != m)
    return GamError::dimension_mismatch("Number of penalties must match number of lambdas");
  SelectionProblem problem;
  problem.criterion_ = criterion;
  problem.observations_ = observations;
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = penalties[j];
    VORNA_TRY(root, penalty_sqrt(s));
    if (s.rows() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " is not " + std::to_string(p) + "×" +
                                          std::to_string(p));
    const auto [lo, hi] = penalty_support(s);
    problem.blocks_.push_back(
        {lo, Matrix(sub(s, lo, lo, hi - lo, hi - lo)), Matrix(sub(root, lo, 0, hi - lo, root.cols())), root.cols()});
    problem.total_rank_ += root.cols();
  }
  VORNA_TRY(groups, group_penalties(problem.blocks_));
  problem.groups_ = std::move(groups);
  if (criterion == SelectionCriterion::RemlProfiledScale && observations <= problem.total_rank_)
    return GamError::invalid_parameter(std::to_string(observations) +
                                       " observations leave no residual degrees of freedom "
                                       "for penalties of total rank " +
                                       std::to_string(problem.total_rank_));
  if (criterion == SelectionCriterion::Reml && observations + problem.penalty_rank() <= p)
    return GamError::invalid_parameter(std::to_string(observations) +
                                       " observations leave no residual degrees "
                                       "of freedom for " +
                                       std::to_string(p) + " coefficients");
  return problem;
}

// The ridge Δ, R₀ with R₀ᵀR₀ = XᵀWX + Δ, and (ML) the penalties' range.
// Δ = δI, or with `penalized_ridge` that of fit_ridge() (δI should that fail).
Result<void> SelectionProblem::factor_data(std::optional<double> ridge, bool penalized_ridge) {
  const std::size_t p = xtwx_.rows();
  const double delta = ridge ? *ridge : penalty_ridge(xtwx_, blocks_.size());
  const auto factor_with = [&](const Vector& diagonal) {
    Matrix ridged = xtwx_;
    for (std::size_t k = 0; k < p; ++k) ridged(k, k) += diagonal[k];
    return cholesky_upper(ridged);
  };
  ridge_.assign(p, delta);
  if (penalized_ridge) {
    std::vector<bool> penalized(p, false);
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    for (const Block& b : blocks_) {
      std::fill_n(penalized.begin() + static_cast<std::ptrdiff_t>(b.offset), b.s.rows(), true);
      ranges.emplace_back(b.offset, b.offset + b.s.rows());
    }
    Vector masked = fit_ridge(xtwx_, penalized, ranges, delta / kFitRidge, kFitRidge, false);
    auto data_factor = factor_with(masked);
    if (!data_factor || undetermined_pivot(data_factor.value(), xtwx_, penalized)) {
      masked = fit_ridge(xtwx_, penalized, ranges, delta / kFitRidge, kFitRidge, true);
      data_factor = factor_with(masked);
    }
    if (data_factor) {
      ridge_ = std::move(masked);
      data_factor_ = std::move(data_factor).value();
    }
  }
  if (data_factor_.rows() != p) {
    ridge_.assign(p, delta);
    auto data_factor = factor_with(ridge_);
    if (!data_factor) return lapack_error("XᵀWX plus the ridge is not positive definite", data_factor.error());
    data_factor_ = std::move(data_factor).value();
  }
  if (criterion_ == SelectionCriterion::Ml || criterion_ == SelectionCriterion::MlKnownScale)
    VORNA_CHECK(build_range());
  return {};
}

// The references the reported values are measured against, at the anchor's solution.
Result<void> SelectionProblem::set_reference(const Solution& solution) {
  reference_rss_ = residual_sum(solution.beta);
  if (!(reference_rss_ > 0.0) || !std::isfinite(reference_rss_)) reference_rss_ = 1.0;
  reference_logdet_ = solution.log_det;
  if (!range_penalties_.empty() || range_.cols() > 0) {
    VORNA_TRY(range, range_logdet(solution.lambda, false));
    reference_range_logdet_ = range.value;
  }
  return {};
}

Vector SelectionProblem::balanced_start() const {
  Vector rho(blocks_.size(), 0.0);
  for (std::size_t j = 0; j < blocks_.size(); ++j) {
    const Block& b = blocks_[j];
    double data = 0.0, pen = 0.0;
    for (std::size_t a = 0; a < b.s.rows(); ++a) {
      data += xtwx_(b.offset + a, b.offset + a);
      pen += b.s(a, a);
    }
    if (data > 0.0 && pen > 0.0 && std::isfinite(data / pen)) rho[j] = std::log(data / pen);
  }
  return rho;
}

namespace {
// An orthonormal basis (columns) of the range of Σ_j λ_j S_j, which is the
// same for every λ > 0: that of Σ_j S_j/‖S_j‖_F, eigenvalues above 1e-9 of the
// largest. `penalties` are embedded in one common square block.
Result<Matrix> range_basis(const std::vector<Matrix>& penalties, std::size_t size) {
  Matrix total(size, size);
  for (const Matrix& e : penalties) {
    const double scale = std::sqrt(dot(e.storage(), e.storage()));
    if (scale > 0.0)
      for (std::size_t k = 0; k < total.storage().size(); ++k) total.storage()[k] += e.storage()[k] / scale;
  }
  auto eig = symmetric_eigen(total);
  if (!eig) return lapack_error("Eigenvalue decomposition failed", eig.error());
  const Vector& values = eig.value().values;
  const double largest = values.empty() ? 0.0 : values.back();
  std::vector<std::size_t> kept;
  for (std::size_t k = 0; k < values.size(); ++k)
    if (values[k] > 1e-9 * largest) kept.push_back(k);
  Matrix u(size, kept.size());
  for (std::size_t a = 0; a < size; ++a)
    for (std::size_t c = 0; c < kept.size(); ++c) u(a, c) = eig.value().vectors(a, kept[c]);
  return u;
}

}  // namespace

Result<std::vector<SelectionProblem::Group>> SelectionProblem::group_penalties(const std::vector<Block>& blocks) {
  // Union of overlapping supports, in order of first coefficient.
  std::vector<std::size_t> order(blocks.size());
  for (std::size_t j = 0; j < order.size(); ++j) order[j] = j;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return blocks[a].offset < blocks[b].offset; });
  std::vector<Group> groups;
  std::size_t end = 0;
  for (std::size_t j : order) {
    const Block& b = blocks[j];
    if (groups.empty() || b.offset >= end) {
      groups.push_back({{j}, b.offset, b.s.rows(), b.rank, {}});
    } else {
      Group& g = groups.back();
      g.members.push_back(j);
      g.size = std::max(g.offset + g.size, b.offset + b.s.rows()) - g.offset;
    }
    end = groups.back().offset + groups.back().size;
  }
  for (Group& g : groups) {
    if (g.members.size() == 1) continue;
    std::vector<Matrix> embedded;
    for (std::size_t j : g.members) {
      const Block& b = blocks[j];
      Matrix e(g.size, g.size);
      for (std::size_t a = 0; a < b.s.rows(); ++a)
        for (std::size_t c = 0; c < b.s.cols(); ++c) e(b.offset - g.offset + a, b.offset - g.offset + c) = b.s(a, c);
      embedded.push_back(std::move(e));
    }
    VORNA_TRY(u, range_basis(embedded, g.size));
    g.rank = u.cols();
    for (const Matrix& e : embedded) g.projected.push_back(matmul_tn(u, matmul(e, u)));
  }
  return groups;
}

Result<void> SelectionProblem::build_range() {
  const std::size_t p = xtwx_.rows();
  std::vector<Matrix> full;
  for (const Block& b : blocks_) {
    Matrix e(p, p);
    for (std::size_t a = 0; a < b.s.rows(); ++a)
      for (std::size_t c = 0; c < b.s.cols(); ++c) e(b.offset + a, b.offset + c) = b.s(a, c);
    full.push_back(std::move(e));
  }
  VORNA_TRY(u, range_basis(full, p));
  range_ = std::move(u);
  for (const Matrix& e : full) range_penalties_.push_back(matmul_tn(range_, matmul(e, range_)));
  Matrix ridged = xtwx_;
  for (std::size_t k = 0; k < p; ++k) ridged(k, k) += ridge_[k];
  range_data_ = matmul_tn(range_, matmul(ridged, range_));
  return {};
}

Result<SelectionProblem::LogDet> SelectionProblem::range_logdet(const Vector& lambda, bool derivatives) const {
  const std::size_t m = blocks_.size(), r = range_.cols();
  LogDet out;
  out.gradient.assign(m, 0.0);
  out.hessian = Matrix(m, m);
  if (r == 0) return out;
  Matrix h = range_data_;
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k < r * r; ++k) h.storage()[k] += lambda[j] * range_penalties_[j].storage()[k];
  auto chol = cholesky_upper(h);
  if (!chol) return lapack_error("UᵀAU is not positive definite", chol.error());
  for (std::size_t k = 0; k < r; ++k) out.value += 2.0 * std::log(chol.value()(k, k));
  if (!derivatives) return out;
  // ∂log|H|/∂ρ_i = tr(H⁻¹M_i), ∂² = δ_ij tr(H⁻¹M_i) − tr(H⁻¹M_iH⁻¹M_j), M_i = λ_iUᵀS_iU.
  std::vector<Matrix> solved;
  for (std::size_t j = 0; j < m; ++j) {
    Matrix mj = range_penalties_[j];
    for (double& v : mj.storage()) v *= lambda[j];
    VORNA_TRY(half, solve_factor(chol.value(), true, mj));
    VORNA_TRY(whole, solve_factor(chol.value(), false, half));
    solved.push_back(std::move(whole));
  }
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < r; ++k) out.gradient[i] += solved[i](k, k);
    for (std::size_t j = 0; j <= i; ++j) {
      double cross = 0.0;
      for (std::size_t a = 0; a < r; ++a)
        for (std::size_t b = 0; b < r; ++b) cross += solved[i](a, b) * solved[j](b, a);
      const double value = (i == j ? out.gradient[i] : 0.0) - cross;
      out.hessian(i, j) = value;
      out.hessian(j, i) = value;
    }
  }
  return out;
}

std::size_t SelectionProblem::penalty_rank() const {
  std::size_t rank = 0;
  for (const Group& g : groups_) rank += g.rank;
  return rank;
}

Result<SelectionProblem::LogDet> SelectionProblem::penalty_logdet(const Vector& rho, bool derivatives) const {
  const std::size_t m = blocks_.size();
  LogDet out;
  out.gradient.assign(m, 0.0);
  out.hessian = Matrix(m, m);
  for (const Group& g : groups_) {
    if (g.members.size() == 1) {
      // log|λS|₊ = r·ρ + log|S|₊; the constant is dropped.
      const std::size_t j = g.members[0];
      out.value += static_cast<double>(blocks_[j].rank) * rho[j];
      out.gradient[j] = static_cast<double>(blocks_[j].rank);
      continue;
    }
    // M = Σ λ_j UᵀS_jU; ∂log|M|/∂ρ_i = tr(M⁻¹M_i), ∂² = δ_ij tr(M⁻¹M_i) − tr(M⁻¹M_iM⁻¹M_j).
    Matrix total(g.rank, g.rank);
    std::vector<Matrix> scaled;
    for (std::size_t a = 0; a < g.members.size(); ++a) {
      Matrix mi = g.projected[a];
      const double lambda = std::exp(rho[g.members[a]]);
      for (double& v : mi.storage()) v *= lambda;
      for (std::size_t k = 0; k < total.storage().size(); ++k) total.storage()[k] += mi.storage()[k];
      scaled.push_back(std::move(mi));
    }
    auto chol = cholesky_upper(total);
    if (!chol) return lapack_error("Penalty sum is not positive definite on its range", chol.error());
    for (std::size_t k = 0; k < g.rank; ++k) out.value += 2.0 * std::log(chol.value()(k, k));
    if (!derivatives) continue;
    std::vector<Matrix> solved;  // M⁻¹M_i
    for (const Matrix& mi : scaled) {
      VORNA_TRY(half, solve_factor(chol.value(), true, mi));
      VORNA_TRY(full, solve_factor(chol.value(), false, half));
      solved.push_back(std::move(full));
    }
    for (std::size_t a = 0; a < g.members.size(); ++a) {
      double trace = 0.0;
      for (std::size_t k = 0; k < g.rank; ++k) trace += solved[a](k, k);
      out.gradient[g.members[a]] = trace;
      for (std::size_t b = 0; b <= a; ++b) {
        // tr(PQ) = Σ_kl P_kl Q_lk.
        double cross = 0.0;
        for (std::size_t k = 0; k < g.rank; ++k)
          for (std::size_t l = 0; l < g.rank; ++l) cross += solved[a](k, l) * solved[b](l, k);
        const double h = (a == b ? trace : 0.0) - cross;
        out.hessian(g.members[a], g.members[b]) = h;
        out.hessian(g.members[b], g.members[a]) = h;
      }
    }
  }
  return out;
}

double SelectionProblem::range_log_determinant(const Vector& rho) const {
  if (criterion_ != SelectionCriterion::Ml && criterion_ != SelectionCriterion::MlKnownScale)
    return std::numeric_limits<double>::quiet_NaN();
  auto logdet = range_logdet(exp_of(rho), false);
  return logdet ? logdet.value().value : std::numeric_limits<double>::quiet_NaN();
}

double SelectionProblem::residual_sum(const Vector& beta) const {
  if (residuals_) {
    double magnitude = 0.0;
    const double rss = residuals_->rss(beta, &magnitude);
    // Without the rows (a problem built from sums) the identity is all there is.
    if (rss > kResidualCancellation * magnitude || (x_.rows() == 0 && !pass_)) return std::max(rss, 0.0);
  }
  if (pass_) return pass_(beta);
  double rss = 0.0;
  for (std::size_t i = 0; i < x_.rows(); ++i) {
    double fitted = 0.0;
    for (std::size_t k = 0; k < x_.cols(); ++k) fitted += x_(i, k) * beta[k];
    const double e = z_[i] - fitted;
    rss += w_[i] * e * e;
  }
  return rss;
}

Result<SelectionProblem::Solution> SelectionProblem::solve_at(const Vector& rho, bool with_rss) const {
  const std::size_t p = xtwx_.rows(), m = blocks_.size();
  Solution sol;
  sol.lambda.resize(m);
  // R with RᵀR = A from the QR factor of [R₀; √λ_1·L_1ᵀ; …; √λ_m·L_mᵀ]. A
  // Cholesky factor of A itself would find the directions that the large
  // penalties leave to the data and the ridge (a smooth's null space, the
  // constant shared by several smooths) as differences of the large entries,
  // and lose their digits, and with them those of log|A|.
  std::size_t rows = p;
  for (const Block& b : blocks_) rows += b.rank;
  Matrix stack(rows, p);
  std::copy(data_factor_.storage().begin(), data_factor_.storage().end(), stack.data());
  std::size_t row = p;
  for (std::size_t j = 0; j < m; ++j) {
    sol.lambda[j] = std::exp(rho[j]);
    const Block& b = blocks_[j];
    const double root_lambda = std::sqrt(sol.lambda[j]);
    for (std::size_t c = 0; c < b.rank; ++c, ++row)
      for (std::size_t a = 0; a < b.root.rows(); ++a) stack(row, b.offset + a) = root_lambda * b.root(a, c);
  }
  auto factor = qr_r_consuming(std::move(stack));
  if (!factor) return lapack_error("QR decomposition failed", factor.error());
  sol.factor = std::move(factor).value();
  for (std::size_t k = 0; k < p; ++k) sol.log_det += 2.0 * std::log(std::abs(sol.factor(k, k)));

  // β from RᵀRβ = XᵀWz.
  const Matrix rhs(ConstMatrixView(xtwz_.data(), p, 1, 1, 1));
  auto half = triangular_solve(sol.factor, true, true, rhs);
  if (!half) return lapack_error("Triangular solve failed", half.error());
  auto beta = triangular_solve(sol.factor, true, false, half.value());
  if (!beta) return lapack_error("Triangular solve failed", beta.error());
  sol.beta = std::move(beta.value().storage());

  for (std::size_t k = 0; k < p; ++k) sol.penalty += ridge_[k] * sol.beta[k] * sol.beta[k];
  sol.s_beta.assign(m, Vector(p, 0.0));
  for (std::size_t j = 0; j < m; ++j) {
    const Block& b = blocks_[j];
    for (std::size_t r = 0; r < b.s.rows(); ++r)
      sol.s_beta[j][b.offset + r] = dot(b.s.row_ptr(r), sol.beta.data() + b.offset, b.s.cols());
    sol.penalty += sol.lambda[j] * dot(sol.beta, sol.s_beta[j]);
  }
  if (with_rss) sol.rss = residual_sum(sol.beta);
  return sol;
}

Result<CriterionEvaluation> SelectionProblem::evaluate(const Vector& rho, bool derivatives) const {
  const std::size_t p = xtwx_.rows(), m = blocks_.size();
  VORNA_TRY(sol, solve_at(rho));
  const double dn = static_cast<double>(observations_);
  const double nu = dn - static_cast<double>(total_rank_);
  // n − M_p of the exact restricted likelihood.
  const double nu_reml = dn - static_cast<double>(p - penalty_rank());
  const double rss = sol.rss;
  const double log_det = sol.log_det - reference_logdet_;
  VORNA_TRY(logdet_s, penalty_logdet(rho, derivatives));
  const double rank_log = logdet_s.value;
  const bool uses_trace = criterion_ == SelectionCriterion::Gcv || criterion_ == SelectionCriterion::Ubre;
  const bool ml = criterion_ == SelectionCriterion::Ml || criterion_ == SelectionCriterion::MlKnownScale;
  LogDet range;
  if (ml) {
    VORNA_TRY(computed, range_logdet(sol.lambda, derivatives));
    range = std::move(computed);
    range.value -= reference_range_logdet_;
  }

  // GCV's trace τ = tr(A⁻¹G) = tr(C) with C = R⁻ᵀGR⁻¹, G = XᵀWX.
  std::optional<Matrix> c_mat;
  double tau = 0.0;
  if (uses_trace) {
    VORNA_TRY(left, solve_factor(sol.factor, true, xtwx_));            // R⁻ᵀG
    VORNA_TRY(both, solve_factor(sol.factor, true, transpose(left)));  // R⁻ᵀ(R⁻ᵀG)ᵀ = R⁻ᵀGR⁻¹
    c_mat = std::move(both);
    for (std::size_t k = 0; k < p; ++k) tau += (*c_mat)(k, k);
  }

  CriterionEvaluation out;
  switch (criterion_) {
    case SelectionCriterion::RemlProfiledScale:
      // D/φ = ν + ν(D − RSS)/RSS and ν·log(2πφ) = ν·log(RSS/RSS_ref) + constant.
      out.value = 0.5 * (nu * sol.penalty / rss + nu * std::log(rss / reference_rss_) + log_det - rank_log);
      break;
    case SelectionCriterion::RemlKnownScale: out.value = 0.5 * (rss + sol.penalty + log_det - rank_log); break;
    case SelectionCriterion::Gcv:
      out.value = 0.5 * dn * (std::log(rss / reference_rss_) - 2.0 * std::log1p(-tau / dn));
      break;
    case SelectionCriterion::Reml:
      out.value = 0.5 * (nu_reml * std::log((rss + sol.penalty) / reference_rss_) + log_det - rank_log);
      break;
    case SelectionCriterion::Ubre: out.value = 0.5 * (rss - reference_rss_) + tau; break;
    case SelectionCriterion::Ml:
      out.value = 0.5 * (dn * std::log((rss + sol.penalty) / reference_rss_) + range.value - rank_log);
      break;
    case SelectionCriterion::MlKnownScale: out.value = 0.5 * (rss + sol.penalty + range.value - rank_log); break;
  }
  if (!derivatives) return out;

  // Every trace goes through T_j = R⁻ᵀ·√λ_j·L_j (p × r_j), L_j the penalty's
  // root: λ_j·tr(A⁻¹S_j) = ‖T_j‖², λ_iλ_j·tr(A⁻¹S_iA⁻¹S_j) = ‖T_iᵀT_j‖², and
  // λ_jA⁻¹S_j·v = R⁻¹T_j(√λ_j L_jᵀv). Sums of squares keep their relative
  // accuracy where λ_jS_j dwarfs the rest of A; an explicit A⁻¹ would not.
  std::vector<Matrix> t(m);
  for (std::size_t j = 0; j < m; ++j) {
    const Block& b = blocks_[j];
    Matrix scaled(p, b.root.cols());
    const double root_lambda = std::sqrt(sol.lambda[j]);
    for (std::size_t a = 0; a < b.root.rows(); ++a)
      for (std::size_t c = 0; c < b.root.cols(); ++c) scaled(b.offset + a, c) = root_lambda * b.root(a, c);
    VORNA_TRY(tj, solve_factor(sol.factor, true, scaled));
    t[j] = std::move(tj);
  }
  // λ_jA⁻¹S_j·v for a p-vector v.
  const auto penalized_solve = [&](std::size_t j, const Vector& v) -> Result<Vector> {
    const Block& b = blocks_[j];
    const double root_lambda = std::sqrt(sol.lambda[j]);
    Vector coef(b.root.cols(), 0.0);
    for (std::size_t a = 0; a < b.root.rows(); ++a)
      for (std::size_t c = 0; c < b.root.cols(); ++c) coef[c] += root_lambda * b.root(a, c) * v[b.offset + a];
    const Vector tv = matvec(t[j], coef);
    VORNA_TRY(x, solve_factor(sol.factor, false, Matrix(ConstMatrixView(tv.data(), p, 1, 1, 1))));
    return std::move(x.storage());
  };

  // First derivatives of β, RSS, D, log|A| (and τ).
  Vector q(p);  // (S_λ + Δ)β = XᵀW(z − Xβ)
  for (std::size_t k = 0; k < p; ++k) q[k] = ridge_[k] * sol.beta[k];
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k < p; ++k) q[k] += sol.lambda[j] * sol.s_beta[j][k];
  std::vector<Vector> db(m), g_db(m);
  std::vector<Matrix> ct(m);  // C·T_j, for GCV
  Vector d_rss(m), d_dev(m), d_logdet(m), d_tau(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    VORNA_TRY(w_j, penalized_solve(j, sol.beta));  // λ_jA⁻¹S_jβ = −∂β_j
    for (double& v : w_j) v = -v;
    db[j] = std::move(w_j);
    g_db[j] = matvec(xtwx_, db[j]);
    d_rss[j] = -2.0 * dot(q, db[j]);
    d_dev[j] = sol.lambda[j] * dot(sol.beta, sol.s_beta[j]);
    d_logdet[j] = dot(t[j].storage(), t[j].storage());
    if (uses_trace) {
      ct[j] = matmul(*c_mat, t[j]);
      d_tau[j] = -dot(t[j].storage(), ct[j].storage());  // −tr(T_jᵀCT_j)
    }
  }

  out.gradient.assign(m, 0.0);
  out.hessian = Matrix(m, m);
  const double phi = rss / nu;
  const double dev = rss + sol.penalty;
  for (std::size_t i = 0; i < m; ++i) {
    const double r_i = logdet_s.gradient[i];
    switch (criterion_) {
      case SelectionCriterion::RemlProfiledScale: {
        const double dphi = d_rss[i] / nu;
        out.gradient[i] = 0.5 * (d_dev[i] / phi - dev * dphi / (phi * phi) + nu * dphi / phi + d_logdet[i] - r_i);
        break;
      }
      case SelectionCriterion::RemlKnownScale: out.gradient[i] = 0.5 * (d_dev[i] + d_logdet[i] - r_i); break;
      case SelectionCriterion::Gcv: out.gradient[i] = 0.5 * dn * (d_rss[i] / rss + 2.0 * d_tau[i] / (dn - tau)); break;
      case SelectionCriterion::Reml: out.gradient[i] = 0.5 * (nu_reml * d_dev[i] / dev + d_logdet[i] - r_i); break;
      case SelectionCriterion::Ubre: out.gradient[i] = 0.5 * d_rss[i] + d_tau[i]; break;
      case SelectionCriterion::Ml: out.gradient[i] = 0.5 * (dn * d_dev[i] / dev + range.gradient[i] - r_i); break;
      case SelectionCriterion::MlKnownScale: out.gradient[i] = 0.5 * (d_dev[i] + range.gradient[i] - r_i); break;
    }
    for (std::size_t j = 0; j <= i; ++j) {
      const bool diagonal = i == j;
      // ∂²β_ij = δ_ij ∂β_j − λ_iA⁻¹S_i∂β_j − λ_jA⁻¹S_j∂β_i.
      VORNA_TRY(mi_dbj, penalized_solve(i, db[j]));
      VORNA_TRY(mj_dbi, penalized_solve(j, db[i]));
      Vector d2b(p);
      for (std::size_t k = 0; k < p; ++k) d2b[k] = (diagonal ? db[j][k] : 0.0) - mi_dbj[k] - mj_dbi[k];
      const double d2_rss = 2.0 * dot(db[i], g_db[j]) - 2.0 * dot(q, d2b);
      const double d2_dev = (diagonal ? d_dev[i] : 0.0) + 2.0 * sol.lambda[i] * dot(sol.s_beta[i], db[j]);
      const Matrix titj = matmul_tn(t[i], t[j]);  // T_iᵀT_j
      const double d2_logdet =
          (diagonal ? d_logdet[i] : 0.0) - dot(titj.storage(), titj.storage()) - logdet_s.hessian(i, j);
      // ∂²τ_ij = δ_ij ∂τ_j + 2·tr((T_iᵀT_j)(T_jᵀCT_i)).
      double d2_tau = 0.0;
      if (uses_trace) {
        const Matrix tjcti = matmul_tn(t[j], ct[i]);
        d2_tau = (diagonal ? d_tau[i] : 0.0) + 2.0 * dot(titj.storage(), transpose(tjcti).storage());
      }

      double h = 0.0;
      switch (criterion_) {
        case SelectionCriterion::RemlProfiledScale: {
          const double dpi = d_rss[i] / nu, dpj = d_rss[j] / nu, d2phi = d2_rss / nu;
          h = 0.5 * (d2_dev / phi - (d_dev[i] * dpj + d_dev[j] * dpi) / (phi * phi) +
                     2.0 * dev * dpi * dpj / (phi * phi * phi) - dev * d2phi / (phi * phi) +
                     nu * (d2phi / phi - dpi * dpj / (phi * phi)) + d2_logdet);
          break;
        }
        case SelectionCriterion::RemlKnownScale: h = 0.5 * (d2_dev + d2_logdet); break;
        case SelectionCriterion::Gcv: {
          const double gap = dn - tau;
          h = 0.5 * dn *
              (d2_rss / rss - d_rss[i] * d_rss[j] / (rss * rss) + 2.0 * d2_tau / gap +
               2.0 * d_tau[i] * d_tau[j] / (gap * gap));
          break;
        }
        case SelectionCriterion::Reml:
          h = 0.5 * (nu_reml * (d2_dev / dev - d_dev[i] * d_dev[j] / (dev * dev)) + d2_logdet);
          break;
        case SelectionCriterion::Ubre: h = 0.5 * d2_rss + d2_tau; break;
        case SelectionCriterion::Ml:
          h = 0.5 *
              (dn * (d2_dev / dev - d_dev[i] * d_dev[j] / (dev * dev)) + range.hessian(i, j) - logdet_s.hessian(i, j));
          break;
        case SelectionCriterion::MlKnownScale: h = 0.5 * (d2_dev + range.hessian(i, j) - logdet_s.hessian(i, j)); break;
      }
      out.hessian(i, j) = h;
      out.hessian(j, i) = h;
    }
  }
  return out;
}

// ---- Newton's method -------------------------------------------------------------

namespace {

const char* criterion_label(SelectionCriterion c) {
  switch (c) {
    case SelectionCriterion::Gcv: return "GCV";
    case SelectionCriterion::Ubre: return "UBRE";
    case SelectionCriterion::Ml:
    case SelectionCriterion::MlKnownScale: return "ML";
    default: return "REML";
  }
}

// −H̃⁻¹g over the free coordinates, H̃ the Hessian with its eigenvalues
// replaced by max(|e|, 1e-7·max|e|): always a descent direction.
Result<Vector> newton_direction(const Matrix& hessian, const Vector& gradient, const std::vector<bool>& free) {
  std::vector<std::size_t> idx;
  for (std::size_t i = 0; i < free.size(); ++i)
    if (free[i]) idx.push_back(i);
  Vector step(gradient.size(), 0.0);
  if (idx.empty()) return step;
  Matrix h(idx.size(), idx.size());
  for (std::size_t a = 0; a < idx.size(); ++a)
    for (std::size_t b = 0; b < idx.size(); ++b) h(a, b) = hessian(idx[a], idx[b]);
  auto eig = symmetric_eigen(h);
  if (!eig) return lapack_error("Eigenvalue decomposition failed", eig.error());
  const Vector& e = eig.value().values;
  const Matrix& u = eig.value().vectors;
  double largest = 0.0;
  for (double v : e) largest = std::fmax(largest, std::abs(v));
  const double floor = largest > 0.0 ? kEigenFloor * largest : 1.0;
  for (std::size_t c = 0; c < idx.size(); ++c) {
    double ug = 0.0;
    for (std::size_t a = 0; a < idx.size(); ++a) ug += u(a, c) * gradient[idx[a]];
    const double coef = -ug / std::fmax(std::abs(e[c]), floor);
    for (std::size_t a = 0; a < idx.size(); ++a) step[idx[a]] += coef * u(a, c);
  }
  return step;
}

}  // namespace

Result<SelectionOutcome> minimize_criterion(const SelectionProblem& problem, Vector start, const Vector* centre) {
  const std::size_t m = problem.size();
  const char* label = criterion_label(problem.criterion());
  SelectionOutcome outcome;
  outcome.converged = false;
  outcome.centre = centre != nullptr && centre->size() == m ? *centre : problem.balanced_start();
  Vector lower(m), upper(m);
  for (std::size_t j = 0; j < m; ++j) {
    lower[j] = outcome.centre[j] - kLogLambdaRange;
    upper[j] = outcome.centre[j] + kLogLambdaRange;
  }
  const auto clamp = [&](Vector& rho) {
    for (std::size_t j = 0; j < m; ++j) rho[j] = std::fmin(std::fmax(rho[j], lower[j]), upper[j]);
  };
  Vector rho = std::move(start);
  if (rho.size() != m) rho = outcome.centre;
  clamp(rho);
  std::optional<double> previous;
  Vector trial(m);

  for (int k = 1; k <= kMaxIterations; ++k) {
    VORNA_CHECK_INTERRUPT();
    outcome.iterations = k;
    VORNA_TRY(at, problem.evaluate(rho, true));
    // A coordinate at a bound whose gradient pushes it outwards is settled there.
    std::vector<bool> free(m, true);
    Vector g = at.gradient;
    for (std::size_t j = 0; j < m; ++j)
      if ((rho[j] <= lower[j] && g[j] > 0.0) || (rho[j] >= upper[j] && g[j] < 0.0)) {
        free[j] = false;
        g[j] = 0.0;
      }
    const double ginf = max_abs(g);
    outcome.gradient = ginf;
    if (diag::enabled(diag::kProfile)) {
      const double change = previous ? std::abs(at.value - *previous) : std::numeric_limits<double>::infinity();
      Vector lambda(m);
      for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(rho[j]);
      profile("[PROFILE] Newton iter " + std::to_string(k) + ": grad_L2=" + fmt::fixed(norm2(g), 6) +
              ", grad_Linf=" + fmt::fixed(ginf, 6) + ", " + label + "=" + fmt::fixed(at.value, 6) + ", " + label +
              "_change=" + fmt::sci(change, 6));
      profile("[PROFILE]   lambda=" + fmt::debug_list(lambda));
      profile("[PROFILE]   log_lambda=" + fmt::debug_list(rho));
      profile("[PROFILE]   gradient=" + fmt::debug_list(at.gradient));
    }
    if (!(ginf >= kGradientTolerance)) {  // a NaN gradient is not progress either
      outcome.converged = std::isfinite(ginf);
      if (outcome.converged)
        profile("[PROFILE] Converged after " + std::to_string(k) + " iterations (gradient criterion: " +
                fmt::fixed(ginf, 6) + " < " + fmt::plain(kGradientTolerance) + ")");
      break;
    }

    // Armijo halving along `step`; on success `trial` holds the new point.
    const auto line_search = [&](const Vector& step) {
      double scale = 1.0;
      for (int h = 0; h <= kMaxHalvings; ++h, scale *= 0.5) {
        for (std::size_t j = 0; j < m; ++j) trial[j] = rho[j] + scale * step[j];
        clamp(trial);
        double slope = 0.0;
        for (std::size_t j = 0; j < m; ++j) slope += at.gradient[j] * (trial[j] - rho[j]);
        const auto value = problem.evaluate(trial, false);
        if (value && value.value().value <= at.value + kArmijo * slope && value.value().value < at.value) {
          profile("[PROFILE]   Accepted Newton step, scale=" + fmt::fixed(scale, 4));
          return true;
        }
      }
      return false;
    };
    VORNA_TRY(step, newton_direction(at.hessian, g, free));
    const double promised = 0.5 * std::abs(dot(g, step)), newton_step = max_abs(step);
    const double length = norm2(step);
    if (length > kMaxStepNorm)
      for (double& s : step) s *= kMaxStepNorm / length;
    profile("[PROFILE]   Line search: step_norm=" + fmt::fixed(std::fmin(length, kMaxStepNorm), 6) + ", current_" +
            label + "=" + fmt::fixed(at.value, 6) + ", max_half=" + std::to_string(kMaxHalvings));
    profile("[PROFILE]     grad·step=" + fmt::sci(dot(g, step), 6) + " (expect decrease)");
    bool moved = line_search(step);
    if (!moved && m > 1) {
      // Far out along a flat direction (a smooth heading for its null space)
      // the criterion changes by less than its rounding, and such directions
      // can swamp the step. Newton on the coordinate of the largest gradient
      // alone still makes progress there.
      std::vector<bool> single(m, false);
      std::size_t steepest = 0;
      for (std::size_t j = 1; j < m; ++j)
        if (std::abs(g[j]) > std::abs(g[steepest])) steepest = j;
      single[steepest] = true;
      VORNA_TRY(coordinate_step, newton_direction(at.hessian, g, single));
      moved = line_search(coordinate_step);
    }
    if (!moved) {
      outcome.converged = ginf < kRoundingTolerance;
      outcome.value = at.value;
      outcome.promised = promised;
      outcome.newton_step = newton_step;
      profile(outcome.converged
                  ? "[PROFILE] Converged after " + std::to_string(k) + " iterations (gradient " + fmt::fixed(ginf, 6) +
                        " < " + fmt::plain(kRoundingTolerance) + " at numerical limit)"
                  : "[PROFILE]   Gradient " + fmt::fixed(ginf, 6) + " still too large, no step lowers the criterion");
      break;
    }
    previous = at.value;
    rho = trial;
  }
  if (!outcome.converged && outcome.iterations == kMaxIterations)
    profile("[PROFILE] Reached max iterations (" + std::to_string(kMaxIterations) + ") without convergence");
  outcome.rho = std::move(rho);
  return outcome;
}

Result<SelectionOutcome> minimize_criterion_with_null_space_trials(const SelectionProblem& problem, Vector start,
                                                                   const Vector* centre) {
  // A trial must lower the criterion by more than its rounding to count.
  constexpr double kTrialMargin = 1e-9;
  VORNA_TRY(best, minimize_criterion(problem, std::move(start), centre));
  const std::size_t m = problem.size();
  int iterations = best.iterations;
  for (std::size_t round = 0; round < m; ++round) {
    VORNA_TRY(at, problem.evaluate(best.rho, false));
    double lowest = at.value - kTrialMargin * (1.0 + std::abs(at.value));
    std::optional<Vector> trial;
    for (std::size_t j = 0; j < m; ++j) {
      const double upper = best.centre[j] + kLogLambdaRange;
      if (best.rho[j] >= upper) continue;
      Vector rho = best.rho;
      rho[j] = upper;
      // A trial point where the criterion cannot be evaluated is no candidate.
      const auto value = problem.evaluate(rho, false);
      if (value && value.value().value < lowest) {
        lowest = value.value().value;
        trial = std::move(rho);
      }
    }
    if (!trial) break;
    profile("[PROFILE] A smooth in its null space lowers the criterion: searching again from there");
    VORNA_TRY(next, minimize_criterion(problem, std::move(*trial), &best.centre));
    iterations += next.iterations;
    VORNA_TRY(reached, problem.evaluate(next.rho, false));
    if (!(reached.value < at.value)) break;
    best = std::move(next);
  }
  best.iterations = iterations;
  return best;
}

Result<SelectionOutcome> minimize_criterion_past_lower_ends(const SelectionProblem& problem, Vector start,
                                                            const Vector* centre) {
  // Three moves reach e⁻⁴⁰ of the balanced λ, where the fit's ridge outweighs the penalty anyway.
  constexpr int kMaxMoves = 3;
  VORNA_TRY(best, minimize_criterion(problem, std::move(start), centre));
  const SelectionCriterion c = problem.criterion();
  if (c == SelectionCriterion::Gcv || c == SelectionCriterion::Ubre) return best;
  int iterations = best.iterations;
  for (int move = 0; move < kMaxMoves; ++move) {
    Vector moved = best.centre;
    bool any = false;
    for (std::size_t j = 0; j < moved.size(); ++j)
      if (best.rho[j] <= moved[j] - kLogLambdaRange) {
        moved[j] -= kLogLambdaRange;
        any = true;
      }
    if (!any) break;
    profile("[PROFILE] A smooth stopped at the lower end of its range: searching on below it");
    VORNA_TRY(next, minimize_criterion(problem, best.rho, &moved));
    iterations += next.iterations;
    best = std::move(next);
  }
  best.iterations = iterations;
  return best;
}

double ridge_floor(const Matrix& xtwx, std::span<const std::pair<std::size_t, std::size_t>> blocks,
                   std::optional<std::size_t> intercept) {
  double floor = 0.0;
  if (intercept && *intercept < xtwx.rows()) {
    floor = xtwx(*intercept, *intercept);
  } else {
    for (const auto& [first, last] : blocks)
      for (std::size_t k = first; k < last; ++k) floor = std::max(floor, xtwx(k, k));
  }
  if (floor > 0.0) return floor;
  for (std::size_t k = 0; k < xtwx.rows(); ++k) floor = std::max(floor, xtwx(k, k));
  return floor > 0.0 ? floor : 1.0;
}

Vector fit_ridge(const Matrix& xtwx, const std::vector<bool>& penalized,
                 std::span<const std::pair<std::size_t, std::size_t>> blocks, double floor, double relative,
                 bool everywhere) {
  const std::size_t p = xtwx.rows();
  Vector scale(p, floor);
  for (const auto& [first, last] : blocks) {
    double top = 0.0;
    for (std::size_t k = first; k < last; ++k) top = std::max(top, xtwx(k, k));
    for (std::size_t k = first; k < last; ++k) scale[k] = std::max(scale[k], top);
  }
  Vector out(p, 0.0);
  for (std::size_t k = 0; k < p; ++k) {
    if (penalized[k]) {
      out[k] = relative * scale[k];
    } else if (everywhere) {
      out[k] = relative * (xtwx(k, k) > 0.0 ? xtwx(k, k) : floor);
    }
  }
  return out;
}

bool undetermined_pivot(const Matrix& r, const Matrix& xtwx, const std::vector<bool>& penalized) {
  constexpr double kRoundingPivot = 1e-13;
  for (std::size_t k = 0; k < r.rows(); ++k)
    if (!penalized[k] && r(k, k) * r(k, k) <= kRoundingPivot * xtwx(k, k)) return true;
  return false;
}

std::pair<std::size_t, std::size_t> penalty_support(const Matrix& s) {
  std::size_t lo = s.rows(), hi = 0;
  for (std::size_t i = 0; i < s.rows(); ++i)
    for (std::size_t j = 0; j < s.cols(); ++j)
      if (s(i, j) != 0.0) {
        lo = std::min({lo, i, j});
        hi = std::max({hi, i + 1, j + 1});
      }
  return lo < hi ? std::pair{lo, hi} : std::pair{std::size_t{0}, std::size_t{0}};
}

}  // namespace vorna
