// The cached fit pipeline behind GAM.fit: the model matrix and the scaled
// penalties are built once, the smoothing parameters start from a data-driven
// guess, the convergence test loosens after four passes, and every phase is
// timed for the optional [PROFILE] lines.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics.hpp"
#include "format.hpp"
#include "gam.hpp"
#include "interrupt.hpp"
#include "vector_clones.hpp"

namespace vorna {
namespace {

constexpr std::size_t kDefaultMaxIter = 10;

void profile_ms(const char* label, double ms) {
  if (diag::enabled(diag::kProfile)) diag::line(std::string("[PROFILE] ") + label + fmt::fixed(ms, 2) + "ms");
}

double frobenius(const Matrix& m) {
  double sum = 0.0;
  for (double v : m.storage()) sum += v * v;
  return std::sqrt(sum);
}

// λ₀ = clamp(n·(T/n)·‖S₁‖_F / (‖x‖_F² + 1e-10), 1e-6, 1e6), T the total sum of
// squares of y and x the raw inputs. NaN clamps to the lower bound.
double starting_lambda(const Matrix& x, const Vector& y, const Matrix& first_penalty) {
  const double n = static_cast<double>(y.size());
  const double mean = lane_sum(y.data(), y.size(), [](double v) { return v; }) / n;
  const double total = lane_sum(y.data(), y.size(), [mean](double v) { return (v - mean) * (v - mean); });
  const double x_norm = std::sqrt(lane_sum(x.data(), x.rows() * x.cols(), [](double v) { return v * v; }));
  const double guess = n * (total / n) * frobenius(first_penalty) / (x_norm * x_norm + 1e-10);
  return std::fmin(std::fmax(guess, 1e-6), 1e6);
}

// Four doubles, one lane each: arithmetic on them rounds lane by lane as on
// doubles, in one instruction where the processor has 256-bit vectors.
typedef double Quad __attribute__((vector_size(32)));

// to[0 … 3] += s·q (passed by reference: a vector in registers would make
// the baseline clone's calling convention differ from the AVX2 one's).
inline void add_scaled(double* to, double s, const Quad& q) {
  Quad sum;
  std::memcpy(&sum, to, sizeof sum);
  sum += s * q;
  std::memcpy(to, &sum, sizeof sum);
}

// The most smooths a fit sums by rows (a row's columns and values sit on the stack).
constexpr std::size_t kMaxSmooths = 64;

// The running sums of BSplineRows::sums(): XᵀX (upper triangle and the
// smooths' own tiles, row-major p × p), Xᵀy, the residual sums at β₀ and
// each smooth's largest absolute row sum.
struct BlockSums {
  double* xtx;
  std::size_t p;
  double* xty;
  double* g0;
  double* norms;
  double rss0;
};

// Adds `count` rows of a block in local form (`smooths` smooths, their rows
// `block` apart; see BSplineRows::Block) to `out`, row by row in order. β₀
// may be non-zero on the first smooth's columns only.
// Where the rows spend most of a Gaussian fit: compiled per instruction set.
VORNA_VECTOR_CLONES
void add_block_sums(std::size_t count, std::size_t smooths, std::size_t block, const std::uint32_t* index,
                    const double* value, const std::size_t* offsets, const double* y, const double* beta0,
                    BlockSums& out) {
  std::size_t column[kMaxSmooths];
  Quad v[kMaxSmooths];  // by value: no store to the sums can change them
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < smooths; ++j) {
      column[j] = offsets[j] + index[(j * block + r) * 4];
      std::memcpy(&v[j], value + (j * block + r) * 4, sizeof v[j]);
    }
    // β₀ is zero beyond the first smooth's columns: the other smooths add exact zeros.
    double fitted = 0.0;
    for (std::size_t a = 0; a < 4 && smooths > 0; ++a) fitted += v[0][a] * beta0[column[0] + a];
    const double e = y[r] - fitted;
    out.rss0 += e * e;
    for (std::size_t j = 0; j < smooths; ++j) {
      double sum = 0.0;
      for (std::size_t a = 0; a < 4; ++a) sum += std::fabs(v[j][a]);
      out.norms[j] = sum > out.norms[j] ? sum : out.norms[j];  // finite sums: fmax without its call
      add_scaled(out.xty + column[j], y[r], v[j]);
      add_scaled(out.g0 + column[j], e, v[j]);
      // Upper triangle: the smooth's own 4 × 4 tile and those of the smooths after it.
      for (std::size_t l = j; l < smooths; ++l)
        for (std::size_t a = 0; a < 4; ++a) {
          add_scaled(out.xtx + (column[j] + a) * out.p + column[l], v[j][a], v[l]);
        }
    }
  }
}

// The model matrix of B-spline smooths as the bases' local form gives it:
// four values per smooth and row, made a block of rows at a time whenever
// the fit reads the rows, so that a Gaussian fit never holds the n × p
// matrix. The values are those of evaluate_into() up to rounding (the local
// form's cubics); sums that skip the zero entries are the sums over the whole
// row (β finite). The model matrix made later is evaluate_into()'s.
class BSplineRows {
 public:
  // Null unless every smooth is a B-spline basis with a local form.
  static std::optional<BSplineRows> create(const std::vector<SmoothTerm>& smooths, const Matrix& x) {
    BSplineRows rows(x);
    if (smooths.size() > kMaxSmooths) return std::nullopt;
    std::size_t offset = 0;
    for (const SmoothTerm& smooth : smooths) {
      const auto* basis = dynamic_cast<const BSplineBasis*>(smooth.basis.get());
      if (basis == nullptr || !basis->has_local_map()) return std::nullopt;
      rows.bases_.push_back(basis);
      rows.offsets_.push_back(offset);
      offset += basis->num_basis();
    }
    rows.p_ = offset;
    return rows;
  }

  // XᵀX, Xᵀy, each smooth's largest absolute row sum (the norms of
  // scaled_penalties(), summed over the four entries in column order as over
  // the whole row), and the residual sums at β₀, the constant fit ȳ held by
  // the first smooth's B-splines (which sum to 1): the selection's anchor.
  struct Sums {
    SelectionProblem::WorkingSums working;
    std::vector<double> basis_norms;
  };
  Sums sums(const Vector& y) const {
    Sums out{SelectionProblem::WorkingSums{Matrix(p_, p_), Vector(p_, 0.0), Vector(p_, 0.0), Vector(p_, 0.0), 0.0,
                                           x_.rows()},
             std::vector<double>(bases_.size(), 0.0)};
    SelectionProblem::WorkingSums& w = out.working;
    double mean = 0.0;
    for (double v : y) mean += v;
    mean /= static_cast<double>(y.size());
    if (!bases_.empty()) std::fill_n(w.beta0.begin(), bases_.front()->num_basis(), mean);
    BlockSums block_sums{w.xtwx.data(), p_, w.xtwz.data(), w.g0.data(), out.basis_norms.data(), 0.0};
    for_blocks([&](const Block& block) {
      add_block_sums(block.count, bases_.size(), kBlock, block.index, block.value, offsets_.data(),
                     y.data() + block.start, w.beta0.data(), block_sums);
    });
    w.rss0 = block_sums.rss0;
    // A smooth's own tiles hold both triangles already (the same products in
    // the same order); the tiles between smooths are mirrored.
    for (std::size_t r = 0; r < p_; ++r)
      for (std::size_t c = r + 1; c < p_; ++c) w.xtwx(c, r) = w.xtwx(r, c);
    return out;
  }

  // Σ (z_i − x_iβ)².
  double residual_sum(const Vector& z, const Vector& beta) const {
    double rss = 0.0;
    for_rows([&](std::size_t i, const Row& row) {
      const double e = z[i] - row.dot(beta, bases_.size());
      rss += e * e;
    });
    return rss;
  }

  // η = Xβ, each smooth's spline evaluated from its cubics on each interval
  // (the rows times β up to rounding), a block of rows at a time.
  Vector predictor(const Vector& beta) const {
    Vector eta(x_.rows(), 0.0);
    std::vector<std::vector<double>> cubics;
    for (std::size_t j = 0; j < bases_.size(); ++j)
      cubics.push_back(bases_[j]->spline_cubics(beta.data() + offsets_[j]));
    for_block_ranges([&](std::size_t start, std::size_t count) {
      for (std::size_t j = 0; j < bases_.size(); ++j)
        bases_[j]->add_spline(column_part(j, start, count), beta.data() + offsets_[j], cubics[j], eta.data() + start);
    });
    return eta;
  }

  // Whether a pass stopped for Ctrl-C (its sums are then partial, and every
  // later pass returns at once).
  bool stopped() const { return stopped_; }

 private:
  explicit BSplineRows(const Matrix& x) : x_(x) {}

  static constexpr std::size_t kBlock = 256;
  static constexpr std::size_t kPollBlocks = 64;  // about 16 000 rows between checks for Ctrl-C
  // One row: each smooth's first column and its four values.
  struct Row {
    std::array<std::size_t, kMaxSmooths> column;
    std::array<const double*, kMaxSmooths> value;
    double dot(const Vector& beta, std::size_t smooths) const {
      double s = 0.0;
      for (std::size_t j = 0; j < smooths; ++j)
        for (std::size_t a = 0; a < 4; ++a) s += value[j][a] * beta[column[j] + a];
      return s;
    }
  };

  // A block of rows in local form: smooth j's first slot of row r is
  // index[(j·kBlock + r)·4], its four values start at value[(j·kBlock + r)·4].
  struct Block {
    std::size_t start, count;
    const std::uint32_t* index;
    const double* value;
  };

  // f(start, count) for every block of rows in order, asking for Ctrl-C now
  // and then; a stop ends this pass and every later one.
  template <class F>
  void for_block_ranges(F&& f) const {
    for (std::size_t start = 0, block = 0; start < x_.rows(); start += kBlock, ++block) {
      if (stopped_ || (block % kPollBlocks == kPollBlocks - 1 && interrupted())) {
        stopped_ = true;
        return;
      }
      f(start, std::min(kBlock, x_.rows() - start));
    }
  }

  // Rows [start, start + count) of input column j.
  VectorView column_part(std::size_t j, std::size_t start, std::size_t count) const {
    const VectorView column = x_.col(j);
    return {column.data() + static_cast<std::ptrdiff_t>(start) * column.stride(), count, column.stride()};
  }

  // f(block) for every block of rows in order.
  template <class F>
  void for_blocks(F&& f) const {
    const std::size_t m = bases_.size();
    std::vector<std::uint32_t> index(m * 4 * kBlock);
    Vector value(m * 4 * kBlock);
    for_block_ranges([&](std::size_t start, std::size_t count) {
      for (std::size_t j = 0; j < m; ++j)
        bases_[j]->evaluate_local(column_part(j, start, count), index.data() + j * 4 * kBlock,
                                  value.data() + j * 4 * kBlock, 4);
      f(Block{start, count, index.data(), value.data()});
    });
  }

  // f(i, row) for every row in order.
  template <class F>
  void for_rows(F&& f) const {
    Row row;
    for_blocks([&](const Block& block) {
      for (std::size_t r = 0; r < block.count; ++r) {
        for (std::size_t j = 0; j < bases_.size(); ++j) {
          row.column[j] = offsets_[j] + block.index[j * 4 * kBlock + 4 * r];
          row.value[j] = block.value + j * 4 * kBlock + 4 * r;
        }
        f(block.start + r, row);
      }
    });
  }

  const Matrix& x_;
  mutable bool stopped_ = false;
  std::vector<const BSplineBasis*> bases_;
  std::vector<std::size_t> offsets_;
  std::size_t p_ = 0;
};

}  // namespace

Result<FitSummary, Failure> GamModel::fit_model_cached(Matrix x, const Vector& y, std::span<const std::size_t> k,
                                                       std::string_view method_name, std::string_view bs,
                                                       std::optional<std::size_t> max_iter) {
  SmoothList before = smooth_list();
  auto fitted = fit_model_cached_once(std::move(x), y, k, method_name, bs, max_iter);
  if (!fitted && fitted.error().interrupted()) restore_smooths(std::move(before));
  return fitted;
}

Result<FitSummary, Failure> GamModel::fit_model_cached_once(Matrix x, const Vector& y, std::span<const std::size_t> k,
                                                            std::string_view method_name, std::string_view bs,
                                                            std::optional<std::size_t> max_iter) {
  if (k.size() != x.cols()) {
    return Failure::message("k length (" + std::to_string(k.size()) + ") must match number of columns (" +
                            std::to_string(x.cols()) + ")");
  }
  VORNA_CHECK(setup_smooths(x, k, bs));
  VORNA_TRY(method, parse_method(method_name));
  const std::size_t iterations = max_iter.value_or(kDefaultMaxIter);
  VORNA_CHECK(check_rows(x, y));
  VORNA_CHECK(check_data(x, y));
  VORNA_CHECK(check_response_domain(family_, y));
  // Without smooths there is nothing to sum by rows (and no smooth to carry the level).
  if (family_ == Family::Gaussian && !smooths_.empty()) {
    if (const std::optional<BSplineRows> rows = BSplineRows::create(smooths_, x)) {
      // No n × p matrix on this path: its p × p ones (penalties and XᵀX) must fit.
      // Its B-splines (none degenerate) sum to 1 everywhere: they carry the level.
      VORNA_CHECK(check_model_size(0, total_basis(smooths_), smooths_.size() + 1));
      const ResponseLevel level{response_level(family_, y, smooths_.size()), 0, smooths_.front().basis->num_basis()};
      return fit_gaussian_by_rows(*rows, std::move(x), shifted(y, -level.value), method, iterations, level);
    }
  }
  VORNA_CHECK(check_model_size(x.rows(), total_basis(smooths_), smooths_.size()));

  diag::Timer cache_timer;
  diag::Timer basis_timer;
  VORNA_TRY(model, build_model_matrix_with_norms(smooths_, x));
  Matrix design = std::move(model.matrix);
  profile_ms("Basis evaluation: ", basis_timer.elapsed_ms());
  diag::Timer penalty_timer;
  const std::vector<Matrix> penalties = scaled_penalties(smooths_, model.basis_norms, design.cols());
  profile_ms("Penalty computation: ", penalty_timer.elapsed_ms());
  profile_ms("Total cache build: ", cache_timer.elapsed_ms());
  const ResponseLevel level = level_carrier(family_, y, design, smooths_);
  const Vector yc = shifted(y, -level.value);

  const std::optional<CrossProducts> cross = unit_weight_cross_products(family_, design, yc);
  const double lambda0 = penalties.empty() ? 1.0 : starting_lambda(x, yc, penalties.front());
  x = Matrix();  // the data are in the model matrix now: not held through the fit as well
  SmoothingParameter params{Vector(smooths_.size(), lambda0), method, false};
  VORNA_TRY(selected, select_and_fit(family_, design, yc, penalties, std::move(params), iterations,
                                     cross ? &*cross : nullptr, true));
  profile_ms("PiRLS iterations: ", selected.pirls_ms);
  profile_ms("REML optimization: ", selected.optimize_ms);
  return store(std::make_shared<StoredModelMatrix>(std::move(design)), std::move(selected.smoothing),
               std::move(selected.fit), y, std::move(selected.warnings), level);
}

// The Gaussian fit of select_and_fit() (one selection on the data, then the
// fit at the chosen λ) from the rows' sums: the rows are read once for the
// sums, again only where the selection's residual sums from its anchor
// cancel, and once for the fitted values. The model matrix is made only if
// asked for.
template <class Rows>
Result<FitSummary, Failure> GamModel::fit_gaussian_by_rows(const Rows& rows, Matrix&& x, const Vector& y,
                                                           SmoothingMethod method, std::size_t iterations,
                                                           ResponseLevel level) {
  diag::Timer cache_timer;
  diag::Timer basis_timer;
  typename Rows::Sums sums = rows.sums(y);
  if (rows.stopped()) return interrupted_error();
  profile_ms("Basis evaluation: ", basis_timer.elapsed_ms());
  diag::Timer penalty_timer;
  const std::vector<Matrix> penalties = scaled_penalties(smooths_, sums.basis_norms, sums.working.xtwx.rows());
  profile_ms("Penalty computation: ", penalty_timer.elapsed_ms());
  profile_ms("Total cache build: ", cache_timer.elapsed_ms());

  const CrossProducts cross{sums.working.xtwx, sums.working.xtwz};
  const double lambda0 = penalties.empty() ? 1.0 : starting_lambda(x, y, penalties.front());
  SelectedFit out;
  out.smoothing = SmoothingParameter{Vector(smooths_.size(), lambda0), method, false};
  SelectionOutcome report;
  if (iterations > 0) {
    VORNA_CHECK_INTERRUPT();
    diag::Timer optimize_timer;
    const auto pass = [&](const Vector& beta) { return rows.residual_sum(y, beta); };
    Result<void, Failure> chosen = optimize_from_sums(out.smoothing, std::move(sums.working), pass, penalties,
                                                      SelectionOptions{false, false, nullptr}, &report);
    // A search on partial sums says nothing: the stop is what happened.
    if (rows.stopped()) return interrupted_error();
    if (!chosen) return std::move(chosen).error();
    out.optimize_ms = optimize_timer.elapsed_ms();
  }
  add_search_warning(out, report);
  diag::Timer pirls_timer;
  VORNA_TRY(fit, gaussian_pirls_from_products(cross, y, out.smoothing.lambda, penalties,
                                              [&](const Vector& beta) { return rows.predictor(beta); }));
  if (rows.stopped()) return interrupted_error();
  out.pirls_ms = pirls_timer.elapsed_ms();
  add_final_fit(out, std::move(fit));
  profile_ms("PiRLS iterations: ", out.pirls_ms);
  profile_ms("REML optimization: ", out.optimize_ms);
  std::vector<std::shared_ptr<const SplineBasis>> bases;
  for (const SmoothTerm& smooth : smooths_) bases.push_back(smooth.basis);
  return store(std::make_shared<StoredModelMatrix>(std::move(x), std::move(bases)), std::move(out.smoothing),
               std::move(out.fit), y, std::move(out.warnings), level);
}

}  // namespace vorna
