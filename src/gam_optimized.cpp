// The cached fit pipeline behind GAM.fit: the model matrix and the scaled
// penalties are built once, the smoothing parameters start from a data-driven
// guess, the convergence test loosens after four passes, and every phase is
// timed for the optional [PROFILE] lines.
#include <algorithm>
#include <cmath>
#include <string>

#include "diagnostics.hpp"
#include "format.hpp"
#include "gam.hpp"

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
  double mean = 0.0;
  for (double v : y) mean += v;
  mean /= n;
  double total = 0.0;
  for (double v : y) total += (v - mean) * (v - mean);
  const double x_norm = frobenius(x);
  const double guess = n * (total / n) * frobenius(first_penalty) / (x_norm * x_norm + 1e-10);
  return std::fmin(std::fmax(guess, 1e-6), 1e6);
}

}  // namespace

Result<FitSummary, Failure> GamModel::fit_model_cached(Matrix x, const Vector& y, std::span<const std::size_t> k,
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
  VORNA_CHECK(check_model_size(x.rows(), total_basis(smooths_), smooths_.size()));

  diag::Timer cache_timer;
  diag::Timer basis_timer;
  NormedModelMatrix model = build_model_matrix_with_norms(smooths_, x);
  Matrix design = std::move(model.matrix);
  profile_ms("Basis evaluation: ", basis_timer.elapsed_ms());
  diag::Timer penalty_timer;
  const std::vector<Matrix> penalties = scaled_penalties(smooths_, model.basis_norms, design.cols());
  profile_ms("Penalty computation: ", penalty_timer.elapsed_ms());
  profile_ms("Total cache build: ", cache_timer.elapsed_ms());

  const std::optional<CrossProducts> cross = unit_weight_cross_products(family_, design, y);
  const double lambda0 = penalties.empty() ? 1.0 : starting_lambda(x, y, penalties.front());
  x = Matrix();  // the data are in the model matrix now: not held through the fit as well
  SmoothingParameter params{Vector(smooths_.size(), lambda0), method, false};
  VORNA_TRY(selected, select_and_fit(family_, design, y, penalties, std::move(params), iterations,
                                     cross ? &*cross : nullptr, true));
  profile_ms("PiRLS iterations: ", selected.pirls_ms);
  profile_ms("REML optimization: ", selected.optimize_ms);
  return store(std::move(design), std::move(selected.smoothing), std::move(selected.fit), y,
               std::move(selected.warnings));
}

}  // namespace vorna
