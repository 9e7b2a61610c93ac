#include "gam.hpp"
#include "format.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include <unistd.h>

#include "diagnostics.hpp"
#include "format.hpp"
#include "formula.hpp"
#include "linalg.hpp"

namespace vorna {
namespace {

constexpr std::size_t kDefaultMaxIter = 10;
constexpr double kPlainStartLambda = 0.1;
constexpr double kLambdaTolerance = 1e-6;
constexpr std::size_t kStrictPasses = 4;  // the cached pipeline loosens its tolerance after these
constexpr double kLooseTolerance = 2e-6;
constexpr double kPenaltyNormFloor = 1e-10;
constexpr std::size_t kPredictBlockRows = 4096;

// The largest absolute row sum of each block of consecutive columns,
// `widths` from column 0 on, in one pass over the rows (a model matrix is far
// larger than a cache). `m` has contiguous rows.
std::vector<double> block_inf_norms(ConstMatrixView m, std::span<const std::size_t> widths) {
  std::vector<double> norms(widths.size(), 0.0);
  for (std::size_t i = 0; i < m.rows(); ++i) {
    const double* row = m.data() + static_cast<std::ptrdiff_t>(i) * m.row_stride();
    for (std::size_t b = 0; b < widths.size(); ++b) {
      double sum = 0.0;
      for (std::size_t j = 0; j < widths[b]; ++j) sum += std::fabs(row[j]);
      norms[b] = std::fmax(norms[b], sum);
      row += widths[b];
    }
  }
  return norms;
}

// Bytes in whole GiB, rounded.
std::string gib_text(long double bytes) { return std::to_string(static_cast<long long>(bytes / 1073741824.0L + 0.5L)); }

// Rows [start, start + rows) of the model matrix of `bases` (basis j at
// column j of x; p columns in all) into the zero-filled rows from `out`.
void fill_model_rows(std::span<const SplineBasis* const> bases, const Matrix& x, std::size_t start, std::size_t rows,
                     double* out, std::size_t p) {
  std::size_t offset = 0;
  for (std::size_t j = 0; j < bases.size(); ++j) {
    const VectorView column = x.col(j);
    const VectorView part(column.data() + static_cast<std::ptrdiff_t>(start) * column.stride(), rows, column.stride());
    bases[j]->evaluate_into(part, out + offset, p);
    offset += bases[j]->num_basis();
  }
}

// Physical memory in bytes, or 0 when the platform does not say.
long double physical_memory_bytes() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) return static_cast<long double>(pages) * page_size;
#endif
  return 0;
}

bool all_finite(const double* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(data[i])) return false;
  return true;
}

// Each smooth's penalty times its scale, embedded at its block of a p × p matrix.
std::vector<Matrix> embed_penalties(const std::vector<SmoothTerm>& smooths, std::size_t p,
                                    const std::vector<double>& scales) {
  std::vector<Matrix> penalties;
  penalties.reserve(smooths.size());
  std::size_t offset = 0;
  for (std::size_t j = 0; j < smooths.size(); ++j) {
    const std::size_t k = smooths[j].basis->num_basis();
    const Matrix& raw = smooths[j].penalty;
    Matrix embedded(p, p);
    for (std::size_t a = 0; a < k && a < raw.rows(); ++a)
      for (std::size_t b = 0; b < k && b < raw.cols(); ++b) embedded(offset + a, offset + b) = scales[j] * raw(a, b);
    penalties.push_back(std::move(embedded));
    offset += k;
  }
  return penalties;
}

}  // namespace

std::pair<double, double> finite_range(VectorView column) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < column.size(); ++i) {
    lo = std::fmin(lo, column[i]);
    hi = std::fmax(hi, column[i]);
  }
  return {lo, hi};
}

std::vector<Matrix> embedded_penalties(const std::vector<SmoothTerm>& smooths, std::size_t p) {
  return embed_penalties(smooths, p, std::vector<double>(smooths.size(), 1.0));
}

std::size_t total_basis(const std::vector<SmoothTerm>& smooths) {
  std::size_t p = 0;
  for (const auto& s : smooths) p += s.basis->num_basis();
  return p;
}

Result<SmoothingMethod, Failure> parse_method(std::string_view method) {
  if (method == "REML") return SmoothingMethod::REML;
  if (method == "GCV") return SmoothingMethod::GCV;
  return Failure::message("method must be 'GCV' or 'REML'");
}

Result<void> check_rows(const Matrix& x, const Vector& y) {
  if (x.rows() == y.size()) return {};
  return GamError::dimension_mismatch("X has " + std::to_string(x.rows()) + " rows but y has " +
                                      std::to_string(y.size()) + " elements");
}

Result<void> check_columns(const Matrix& x, std::size_t num_smooths) {
  if (x.cols() == num_smooths) return {};
  return GamError::dimension_mismatch("X has " + std::to_string(x.cols()) + " columns but model has " +
                                      std::to_string(num_smooths) + " smooth terms");
}

Result<void> check_model_size(std::size_t n, std::size_t p, std::size_t m) {
  // n × p for the model matrix and m dense p × p penalties, in doubles.
  const long double bytes = 8.0L * (static_cast<long double>(n) * p + static_cast<long double>(m) * p * p);
  const long double available = physical_memory_bytes();
  if (available <= 0 || bytes <= available) return {};
  return GamError::invalid_parameter("the model needs about " + gib_text(bytes) + " GiB for its model matrix and " +
                                     std::to_string(m) + " penalty matrices of order " + std::to_string(p) +
                                     ", more than the " + gib_text(available) + " GiB of memory of this machine");
}

Result<void> check_data(const Matrix& x, const Vector& y) {
  if (x.rows() == 0) return GamError::invalid_parameter("no observations: x and y have zero rows");
  if (!all_finite(x.data(), x.rows() * x.cols()))
    return GamError::invalid_parameter("x contains NaN or infinite values");
  if (!all_finite(y.data(), y.size())) return GamError::invalid_parameter("y contains NaN or infinite values");
  return {};
}

Result<void> check_response_domain(Family family, const Vector& y) {
  const auto outside = [&](auto&& bad, const char* rule) -> Result<void> {
    for (std::size_t i = 0; i < y.size(); ++i)
      if (bad(y[i]))
        return GamError::invalid_parameter("the " + std::string(family_name(family)) + " family needs " + rule +
                                           ", but y[" + std::to_string(i) + "] = " + fmt::plain(y[i]));
    return {};
  };
  switch (family) {
    case Family::Binomial: return outside([](double v) { return !(v >= 0.0 && v <= 1.0); }, "0 <= y <= 1");
    case Family::Poisson: return outside([](double v) { return !(v >= 0.0); }, "y >= 0");
    case Family::Gamma: return outside([](double v) { return !(v > 0.0); }, "y > 0");
    case Family::Gaussian: break;
  }
  return {};
}

void fill_model_matrix(const std::vector<SmoothTerm>& smooths, const Matrix& x, Matrix& model) {
  std::size_t offset = 0;
  for (std::size_t j = 0; j < smooths.size(); ++j) {
    smooths[j].basis->evaluate_into(x.col(j), model.data() + offset, model.cols());
    offset += smooths[j].basis->num_basis();
  }
}

StoredModelMatrix::StoredModelMatrix(Matrix made) : matrix_(std::move(made)), p_(matrix_.cols()) { ready_ = true; }

StoredModelMatrix::StoredModelMatrix(Matrix x, std::vector<std::shared_ptr<const SplineBasis>> bases)
    : x_(std::move(x)), bases_(std::move(bases)) {
  for (const auto& basis : bases_) p_ += basis->num_basis();
}

namespace {

// The model matrix of `bases` (basis j at column j of x, p columns in all),
// a block of rows at a time, each block handed to `visit(block, rows)` while
// it is in cache. The memory is taken at once but zero-filled block by block,
// and Ctrl-C asked after every few blocks, so that a stop is noticed while the
// pages of a large matrix are first touched too.
template <class Visit>
Result<Matrix> model_matrix_in_blocks(std::span<const SplineBasis* const> bases, const Matrix& x, std::size_t p,
                                      Visit&& visit) {
  constexpr std::size_t kRows = 512, kBlocksPerCheck = 8;
  Vector entries;
  entries.reserve(Matrix::checked_size(x.rows(), p));
  for (std::size_t start = 0; start < x.rows(); start += kRows) {
    if (start % (kRows * kBlocksPerCheck) == 0) VORNA_CHECK_INTERRUPT();
    const std::size_t rows = std::min(kRows, x.rows() - start);
    entries.resize(entries.size() + rows * p);
    double* block = entries.data() + start * p;
    fill_model_rows(bases, x, start, rows, block, p);
    visit(static_cast<const double*>(block), rows);
  }
  return Matrix(x.rows(), p, std::move(entries));
}

Result<Matrix> model_matrix_in_blocks(std::span<const SplineBasis* const> bases, const Matrix& x, std::size_t p) {
  return model_matrix_in_blocks(bases, x, p, [](const double*, std::size_t) {});
}

}  // namespace

Result<Matrix> StoredModelMatrix::make() const {
  std::vector<const SplineBasis*> bases;
  for (const auto& basis : bases_) bases.push_back(basis.get());
  return model_matrix_in_blocks(bases, x_, p_);
}

Result<const Matrix*> StoredModelMatrix::get() const {
  if (!ready_) {
    const std::lock_guard<std::mutex> lock(making_);
    if (!ready_) {
      VORNA_TRY(made, make());
      matrix_ = std::move(made);
      ready_ = true;
    }
  }
  return &matrix_;
}

Result<Matrix> StoredModelMatrix::copy() const {
  if (ready_) return Matrix(matrix_);
  return make();
}

Result<void> StoredModelMatrix::check_room(std::size_t copies) const {
  if (ready_) return {};
  const long double bytes = 8.0L * static_cast<long double>(x_.rows()) * p_ * static_cast<long double>(copies + 1);
  const long double available = physical_memory_bytes();
  if (available <= 0 || bytes <= available) return {};
  return GamError::invalid_parameter("the model matrix (" + std::to_string(x_.rows()) + " × " + std::to_string(p_) +
                                     ") and its copy need about " + gib_text(bytes) + " GiB, more than the " +
                                     gib_text(available) + " GiB of memory of this machine");
}

Matrix build_model_matrix(const std::vector<SmoothTerm>& smooths, const Matrix& x) {
  Matrix model(x.rows(), total_basis(smooths));
  fill_model_matrix(smooths, x, model);
  return model;
}

Result<NormedModelMatrix> build_model_matrix_with_norms(const std::vector<SmoothTerm>& smooths, const Matrix& x) {
  std::vector<const SplineBasis*> bases;
  std::vector<std::size_t> widths;
  for (const auto& smooth : smooths) {
    bases.push_back(smooth.basis.get());
    widths.push_back(smooth.basis->num_basis());
  }
  std::vector<double> basis_norms(smooths.size(), 0.0);
  const std::size_t p = total_basis(smooths);
  // Each block's norms are taken while it is in cache.
  VORNA_TRY(matrix, model_matrix_in_blocks(bases, x, p, [&](const double* block, std::size_t rows) {
              const std::vector<double> norms =
                  block_inf_norms(ConstMatrixView(block, rows, p, static_cast<std::ptrdiff_t>(p), 1), widths);
              for (std::size_t j = 0; j < norms.size(); ++j) basis_norms[j] = std::fmax(basis_norms[j], norms[j]);
            }));
  return NormedModelMatrix{std::move(matrix), std::move(basis_norms)};
}

std::vector<Matrix> scaled_penalties(const std::vector<SmoothTerm>& smooths, const Matrix& model_matrix) {
  std::vector<std::size_t> widths;
  for (const auto& smooth : smooths) widths.push_back(smooth.basis->num_basis());
  return scaled_penalties(smooths, block_inf_norms(model_matrix, widths), model_matrix.cols());
}

std::vector<Matrix> scaled_penalties(const std::vector<SmoothTerm>& smooths, std::span<const double> basis_norms,
                                     std::size_t p) {
  std::vector<double> scales;
  for (std::size_t j = 0; j < smooths.size(); ++j) {
    const std::size_t k = smooths[j].basis->num_basis();
    const std::size_t penalty_width = std::min(k, smooths[j].penalty.cols());
    const double penalty_norm = block_inf_norms(smooths[j].penalty, std::span(&penalty_width, 1))[0];
    scales.push_back(penalty_norm > kPenaltyNormFloor ? basis_norms[j] * basis_norms[j] / penalty_norm : 1.0);
  }
  return embed_penalties(smooths, p, scales);
}

std::optional<CrossProducts> unit_weight_cross_products(Family family, const Matrix& design, const Vector& y) {
  if (family != Family::Gaussian) return std::nullopt;
  return CrossProducts{gram(design), matvec_t(design, y)};
}

double max_log_change(const Vector& a, const Vector& b) {
  double change = 0.0;
  for (std::size_t j = 0; j < std::min(a.size(), b.size()); ++j)
    change = std::fmax(change, std::fabs(std::log(a[j]) - std::log(b[j])));
  return change;
}

Result<void, Failure> GamModel::setup_smooths(const Matrix& x, std::span<const std::size_t> k, std::string_view bs) {
  clear_smooths();
  for (std::size_t i = 0; i < x.cols(); ++i) {
    const std::string name = "x" + std::to_string(i);
    Result<SmoothTerm> smooth = GamError::invalid_parameter("");
    if (bs == "cr") {
      const auto [lo, hi] = finite_range(x.col(i));
      // Its knots would all coincide, and the penalty's divisions by their
      // spacing leave it NaN; the fit would fail later on that, obscurely.
      if (lo == hi)
        return GamError::invalid_parameter("column " + std::to_string(i) + " of x holds the single value " +
                                           fmt::debug(lo) + ": a spline needs a range of values; drop the column");
      smooth = cubic_regression_smooth(name, k[i], lo, hi);
      // The penalty scales as the knot spacing to the power −3: at extreme ranges (1e-300 wide, or
      // wider than the largest double) it overflows, and the fit would fail later, obscurely.
      // (Non-finite data and zero rows are refused later, with their own messages.)
      const bool range = std::isfinite(lo) && std::isfinite(hi) && lo < hi;
      const auto finite = [](const Matrix& m) { return all_finite(m.data(), m.rows() * m.cols()); };
      if (smooth && range && (!std::isfinite(hi - lo) || !finite(smooth.value().penalty)))
        return GamError::invalid_parameter("column " + std::to_string(i) + " of x spans " + fmt::debug(lo) + " to " +
                                           fmt::debug(hi) +
                                           ": a cubic regression spline's penalty overflows at this scale; rescale "
                                           "the column");
    } else if (bs == "bs") {
      smooth = bspline_smooth_from_data(name, k[i], x.col(i));
    } else {
      return Failure::message("Unknown basis type '" + std::string(bs) + "'. Use 'bs' or 'cr'.");
    }
    if (!smooth) return std::move(smooth).error();
    add_smooth(std::move(smooth).value());
  }
  return {};
}

Result<FitSummary, Failure> GamModel::fit_model(Matrix x, const Vector& y, std::string_view method_name,
                                                std::optional<std::size_t> max_iter) {
  VORNA_TRY(method, parse_method(method_name));
  const std::size_t iterations = max_iter.value_or(kDefaultMaxIter);
  VORNA_CHECK(check_rows(x, y));
  VORNA_CHECK(check_columns(x, smooths_.size()));
  VORNA_CHECK(check_data(x, y));
  VORNA_CHECK(check_response_domain(family_, y));
  VORNA_CHECK(check_model_size(x.rows(), total_basis(smooths_), smooths_.size()));

  std::vector<const SplineBasis*> bases;
  for (const SmoothTerm& smooth : smooths_) bases.push_back(smooth.basis.get());
  VORNA_TRY(design, model_matrix_in_blocks(bases, x, total_basis(smooths_)));
  const std::vector<Matrix> penalties = scaled_penalties(smooths_, design);
  SmoothingParameter params{Vector(smooths_.size(), kPlainStartLambda), method, false};
  const ResponseLevel level = level_carrier(family_, y, design, smooths_);
  const Vector yc = shifted(y, -level.value);
  const std::optional<CrossProducts> cross = unit_weight_cross_products(family_, design, yc);
  VORNA_TRY(selected, select_and_fit(family_, design, yc, penalties, std::move(params), iterations,
                                     cross ? &*cross : nullptr, false));
  return store(std::make_shared<StoredModelMatrix>(std::move(design)), std::move(selected.smoothing),
               std::move(selected.fit), y, std::move(selected.warnings), level);
}

Result<FitSummary, Failure> GamModel::fit_formula(Matrix x, const Vector& y, std::string_view formula,
                                                  std::string_view method, std::optional<std::size_t> max_iter) {
  auto parsed = parse_formula(formula);
  if (auto* message = std::get_if<std::string>(&parsed)) return Failure::message(std::move(*message));
  const auto& terms = std::get<std::vector<FormulaTerm>>(parsed);
  for (const FormulaTerm& term : terms) {
    if (term.column >= x.cols()) {
      return Failure::message("Column index " + std::to_string(term.column) +
                              " in the formula is out of range: x has " + std::to_string(x.cols()) + " columns");
    }
    if (term.k < 2) {
      return Failure::message("Invalid k value " + std::to_string(term.k) + " for column " +
                              std::to_string(term.column) + ": a smooth needs k >= 2");
    }
  }
  SmoothList before = smooth_list();
  clear_smooths();
  for (const FormulaTerm& term : terms) {
    VORNA_TRY(smooth, bspline_smooth_from_data("x" + std::to_string(term.column), static_cast<std::size_t>(term.k),
                                               x.col(term.column)));
    add_smooth(std::move(smooth));
  }
  auto fitted = fit_model(std::move(x), y, method, max_iter);
  if (!fitted && fitted.error().interrupted()) restore_smooths(std::move(before));
  return fitted;
}

Result<SelectedFit, Failure> select_and_fit(Family family, const Matrix& design, const Vector& y,
                                            std::span<const Matrix> penalties, SmoothingParameter smoothing,
                                            std::size_t max_passes, const CrossProducts* cache, bool loosen) {
  SelectedFit out;
  out.smoothing = std::move(smoothing);
  SmoothingParameter& params = out.smoothing;
  // Binomial and Poisson have a known scale (φ = 1); Gaussian and Gamma estimate theirs.
  const bool known_scale = family == Family::Binomial || family == Family::Poisson;
  SelectionOutcome report;
  Vector centre;
  double change = 0.0;
  bool settled = max_passes == 0;
  for (std::size_t pass = 1; pass <= max_passes; ++pass) {
    VORNA_CHECK_INTERRUPT();
    const Vector lambda_old = params.lambda;
    // Later passes start where the last one ended and keep the first pass's
    // range of λ, so that a smooth at its edge stays put.
    const SelectionOptions options{known_scale, pass > 1, nullptr};
    Result<void, Failure> chosen;
    if (family == Family::Gaussian) {
      // The working model is the data with unit weights whatever the fit at
      // the current λ: that fit is not needed.
      diag::Timer optimize_timer;
      chosen = optimize(params, y, design, Vector(y.size(), 1.0), penalties, cache, options, &report);
      out.optimize_ms += optimize_timer.elapsed_ms();
    } else {
      diag::Timer pirls_timer;
      auto fit = pirls(design, y, params.lambda, penalties, family, cache);
      out.pirls_ms += pirls_timer.elapsed_ms();
      if (!fit) return std::move(fit).error();
      diag::Timer optimize_timer;
      // The working model of this fit: the one PiRLS solves at convergence.
      const PirlsResult& f = fit.value();
      const Vector z = working_response(family, f.linear_predictor, f.fitted_values, y);
      chosen = optimize(params, z, design, f.weights, penalties, nullptr, options, &report);
      out.optimize_ms += optimize_timer.elapsed_ms();
    }
    if (!chosen) return std::move(chosen).error();
    if (pass == 1) centre = report.centre;
    change = max_log_change(lambda_old, params.lambda);
    const double tolerance = loosen && pass > kStrictPasses ? kLooseTolerance : kLambdaTolerance;
    // A Gaussian working model does not depend on the fit: one pass settles λ.
    if (family == Family::Gaussian || change < tolerance) {
      settled = true;
      break;
    }
  }
  add_search_warning(out, report);
  if (!settled)
    out.warnings.push_back("the fit did not converge: after " + std::to_string(max_passes) +
                           " passes of PiRLS and smoothing-parameter selection, log lambda still changed by " +
                           fmt::sci(change, 2));
  diag::Timer pirls_timer;
  auto final_fit = pirls(design, y, params.lambda, penalties, family, cache);
  out.pirls_ms += pirls_timer.elapsed_ms();
  if (!final_fit) return std::move(final_fit).error();
  add_final_fit(out, std::move(final_fit).value());
  return out;
}

void add_search_warning(SelectedFit& out, const SelectionOutcome& report) {
  const char* criterion = out.smoothing.method == SmoothingMethod::GCV ? "GCV" : "REML";
  if (!report.converged)
    out.warnings.push_back(std::string(criterion) + " smoothing-parameter search did not converge: it stopped after " +
                           std::to_string(report.iterations) + " Newton iterations with gradient " +
                           fmt::sci(report.gradient, 2) + " in log lambda");
}

void add_final_fit(SelectedFit& out, PirlsResult fit) {
  out.fit = std::move(fit);
  if (!out.fit.converged)
    out.warnings.push_back("PiRLS did not converge in " + std::to_string(out.fit.iterations) +
                           " iterations at the chosen smoothing parameters");
}

double response_level(Family family, const Vector& y, std::size_t smooths) {
  if (family != Family::Gaussian || smooths == 0 || y.empty()) return 0.0;
  return lane_sum(y.data(), y.size(), [](double v) { return v; }) / static_cast<double>(y.size());
}

ResponseLevel level_carrier(Family family, const Vector& y, const Matrix& design,
                            const std::vector<SmoothTerm>& smooths) {
  std::size_t first = 0;
  for (const SmoothTerm& smooth : smooths) {
    const std::size_t count = smooth.basis->num_basis();
    bool sums_to_one = true;
    for (std::size_t i = 0; i < design.rows() && sums_to_one; ++i) {
      const double* row = design.row_ptr(i) + first;
      double sum = 0.0;
      for (std::size_t j = 0; j < count; ++j) sum += row[j];
      sums_to_one = std::abs(sum - 1.0) <= 1e-9;
    }
    if (sums_to_one) return {response_level(family, y, smooths.size()), first, count};
    first += count;
  }
  return {};
}

Vector shifted(const Vector& y, double by) {
  if (by == 0.0) return y;
  Vector out;
  out.reserve(y.size());  // written once, not zero-filled first
  std::transform(y.begin(), y.end(), std::back_inserter(out), [by](double v) { return v + by; });
  return out;
}

FitSummary GamModel::store(std::shared_ptr<const StoredModelMatrix> design, SmoothingParameter smoothing,
                           PirlsResult fit, const Vector& y, std::vector<std::string> warnings, ResponseLevel level) {
  if (level.value != 0.0) {
    for (std::size_t j = level.first; j < level.first + level.count; ++j) fit.coefficients[j] += level.value;
    for (double& v : fit.fitted_values) v += level.value;
    for (double& v : fit.linear_predictor) v += level.value;
  }
  // The Gaussian deviance is this very sum, in the same order.
  double rss = fit.deviance;
  if (family_ != Family::Gaussian) {
    rss = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double r = y[i] - fit.fitted_values[i];
      rss += r * r;
    }
  }
  FitSummary summary{smoothing.lambda, rss, fit.fitted_values, std::move(warnings)};
  deviance_ = rss;
  lambdas_ = smoothing.lambda;
  smoothing_ = std::move(smoothing);
  coefficients_ = std::move(fit.coefficients);
  fitted_values_ = std::move(fit.fitted_values);
  linear_predictor_ = std::move(fit.linear_predictor);
  working_weights_ = std::move(fit.weights);
  design_matrix_ = std::move(design);
  fitted_ = true;
  fitted_smooths_version_ = smooths_version_;
  return summary;
}

Result<Vector> GamModel::predict_response(const Matrix& x) const {
  if (!fitted_) return GamError::invalid_parameter("Model has not been fitted yet");
  VORNA_CHECK(check_columns(x, smooths_.size()));
  const std::size_t p = total_basis(smooths_);
  if (p != coefficients_->size()) {
    return GamError::dimension_mismatch("the smooths have changed since the last fit: the model matrix has " +
                                        std::to_string(p) + " columns but the fit has " +
                                        std::to_string(coefficients_->size()) + " coefficients");
  }
  if (fitted_smooths_version_ != smooths_version_) {
    return GamError::invalid_parameter(
        "the smooths have changed since the last successful fit; fit the model again before predicting");
  }
  if (!all_finite(x.data(), x.rows() * x.cols()))
    return GamError::invalid_parameter("x contains NaN or infinite values");
  // η = X_new β block by block of rows: the same products, without holding
  // the whole n × p model matrix.
  const std::size_t n = x.rows();
  Vector eta(n);
  Matrix block(std::min(n, kPredictBlockRows), p);
  for (std::size_t start = 0; start < n; start += kPredictBlockRows) {
    const std::size_t rows = std::min(kPredictBlockRows, n - start);
    if (rows != block.rows()) block = Matrix(rows, p);
    std::fill(block.storage().begin(), block.storage().end(), 0.0);
    const Matrix slice(ConstMatrixView(x.row_ptr(start), rows, x.cols(), static_cast<std::ptrdiff_t>(x.cols()), 1));
    fill_model_matrix(smooths_, slice, block);
    const Vector part = matvec(block, *coefficients_);
    std::copy(part.begin(), part.end(), eta.begin() + static_cast<std::ptrdiff_t>(start));
  }
  return link_inverse(family_, eta);
}

// ---- Saving and restoring ----------------------------------------------------------

Result<GamState> GamModel::state() const {
  GamState out;
  out.family = family_;
  out.smooths_version = smooths_version_;
  out.smooths.reserve(smooths_.size());
  for (std::size_t j = 0; j < smooths_.size(); ++j) {
    const SmoothTerm& smooth = smooths_[j];
    SmoothState saved{smooth.name, BasisKind::BSpline, {}, smooth.penalty, smooth.lambda};
    if (const auto* cr = dynamic_cast<const CubicRegressionBasis*>(smooth.basis.get())) {
      saved.basis = BasisKind::CubicRegression;
      saved.knots = cr->knots();
    } else if (const auto* bs = dynamic_cast<const BSplineBasis*>(smooth.basis.get())) {
      saved.knots = bs->knots();
    } else {
      return GamError::invalid_parameter("smooth " + std::to_string(j) + " ('" + smooth.name +
                                         "') has a basis that cannot be saved");
    }
    out.smooths.push_back(std::move(saved));
  }
  // store() sets every result field together with the flag.
  if (fitted_) {
    VORNA_CHECK(design_matrix_->check_room(1));
    VORNA_TRY(design, design_matrix_->copy());
    const std::size_t n = fitted_values_->size();
    Vector linear = linear_predictor_->size() == n ? *linear_predictor_ : *fitted_values_;
    Vector weights = working_weights_->size() == n ? *working_weights_ : Vector(n, 1.0);
    out.fit = FitState{*smoothing_,        *lambdas_,         *coefficients_, *fitted_values_,        std::move(linear),
                       std::move(weights), std::move(design), *deviance_,     fitted_smooths_version_};
  }
  return out;
}

Result<GamModel> GamModel::from_state(GamState state) {
  const auto count = [](std::size_t v) { return std::to_string(v); };

  // 1. The smooths: each basis rebuilt from its knots, each penalty k × k.
  std::vector<SmoothTerm> smooths;
  smooths.reserve(state.smooths.size());
  for (std::size_t j = 0; j < state.smooths.size(); ++j) {
    SmoothState& saved = state.smooths[j];
    const std::string where = "smooth " + count(j) + " ('" + saved.name + "')";
    std::shared_ptr<const SplineBasis> basis;
    if (saved.basis == BasisKind::CubicRegression) {
      auto made = CubicRegressionBasis::create(std::move(saved.knots));
      if (!made) return GamError::invalid_parameter(where + ": " + made.error().message);
      basis = std::make_shared<CubicRegressionBasis>(std::move(made).value());
    } else {
      auto made = BSplineBasis::create(std::move(saved.knots));
      if (!made) return GamError::invalid_parameter(where + ": " + made.error().message);
      basis = std::make_shared<BSplineBasis>(std::move(made).value());
    }
    const std::size_t k = basis->num_basis();
    if (saved.penalty.rows() != k || saved.penalty.cols() != k) {
      return GamError::invalid_parameter(where + ": the penalty is " + count(saved.penalty.rows()) + " × " +
                                         count(saved.penalty.cols()) + " but the basis has " + count(k) + " functions");
    }
    smooths.push_back(SmoothTerm{std::move(saved.name), std::move(basis), std::move(saved.penalty), saved.lambda});
  }

  // 2. The fit: its vectors agree with its n × p design matrix, and a fit of
  // the current smooth list has one coefficient per basis function and one λ
  // per smooth (predict_response relies on the first).
  if (state.fit) {
    const FitState& fit = *state.fit;
    const std::size_t n = fit.design_matrix.rows();
    const std::size_t p = fit.design_matrix.cols();
    const auto mismatch = [&](const char* what, std::size_t got, const char* dimension, std::size_t want) {
      return GamError::invalid_parameter("the fit has " + count(got) + " " + what + " but its design matrix has " +
                                         count(want) + " " + dimension);
    };
    if (fit.coefficients.size() != p) return mismatch("coefficients", fit.coefficients.size(), "columns", p);
    if (fit.fitted_values.size() != n) return mismatch("fitted values", fit.fitted_values.size(), "rows", n);
    if (fit.linear_predictor.size() != n)
      return mismatch("linear predictor values", fit.linear_predictor.size(), "rows", n);
    if (fit.working_weights.size() != n) return mismatch("working weights", fit.working_weights.size(), "rows", n);
    if (fit.lambdas.size() != fit.smoothing.lambda.size()) {
      return GamError::invalid_parameter("the fit has " + count(fit.lambdas.size()) +
                                         " smoothing parameters but its smoothing record has " +
                                         count(fit.smoothing.lambda.size()));
    }
    if (fit.smooths_version > state.smooths_version) {
      return GamError::invalid_parameter("the fit belongs to version " + count(fit.smooths_version) +
                                         " of the smooth list, which is only at version " +
                                         count(state.smooths_version));
    }
    if (fit.smooths_version == state.smooths_version) {
      if (p != total_basis(smooths)) {
        return GamError::invalid_parameter("the fit of the current smooths has " + count(p) +
                                           " coefficients but the smooths have " + count(total_basis(smooths)) +
                                           " basis functions");
      }
      if (fit.lambdas.size() != smooths.size()) {
        return GamError::invalid_parameter("the fit of the current smooths has " + count(fit.lambdas.size()) +
                                           " smoothing parameters for " + count(smooths.size()) + " smooths");
      }
    }
  }

  // 3. Everything checked: move it in.
  GamModel model(state.family);
  model.smooths_ = std::move(smooths);
  model.smooths_version_ = state.smooths_version;
  if (state.fit) {
    FitState& fit = *state.fit;
    model.fitted_ = true;
    model.fitted_smooths_version_ = fit.smooths_version;
    model.deviance_ = fit.deviance;
    model.smoothing_ = std::move(fit.smoothing);
    model.lambdas_ = std::move(fit.lambdas);
    model.coefficients_ = std::move(fit.coefficients);
    model.fitted_values_ = std::move(fit.fitted_values);
    model.linear_predictor_ = std::move(fit.linear_predictor);
    model.working_weights_ = std::move(fit.working_weights);
    model.design_matrix_ = std::make_shared<StoredModelMatrix>(std::move(fit.design_matrix));
  }
  return model;
}

}  // namespace vorna
