#include "row_pass.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "diagnostics.hpp"
#include "interrupt.hpp"
#include "linalg.hpp"
#include "sparse_rows.hpp"

namespace vorna {
namespace {

// Rows per block: large enough that the block's cross product is a BLAS
// call of some size, small enough that a block of the model matrix stays in cache.
constexpr std::size_t kBlockRows = 1024;

struct Partial {
  PassSums sums;
  std::optional<GamError> error;
};

PassSums empty_sums(std::size_t p, bool cross_products) {
  PassSums sums;
  if (cross_products) {
    sums.xtwx = Matrix(p, p);
    sums.xtwz.assign(p, 0.0);
    sums.xtwr.assign(p, 0.0);
  }
  sums.min_mu = std::numeric_limits<double>::infinity();
  sums.max_mu = -std::numeric_limits<double>::infinity();
  return sums;
}

// η of one row under `spec`, given xβ + offset (ignored without β).
double eta_of(const EtaSpec& spec, double model_eta, const RowData& rows, std::size_t row, double fallback) {
  if (spec.beta == nullptr) return start_eta(rows.glm, rows.y[row], rows.weights[row], fallback);
  if (spec.blend == 1.0) return model_eta;
  return spec.blend * model_eta + (1.0 - spec.blend) * start_eta(rows.glm, rows.y[row], rows.weights[row], fallback);
}

std::optional<GamError> non_finite_row(std::size_t row) {
  return GamError::invalid_parameter("the model matrix has a non-finite entry in row " + std::to_string(row));
}

// The work of one row once x_iβ (and x_iβ_previous) are known: η, μ, the
// working residual r, response z and weight w, and the row's share of the
// sums that need no cross products.
// The extremes of μ that the pass reports, over rows whose response lies on
// 0 (the least) or on 1 (the greatest): a binomial mean numerically 0 there
// is the sign of classes that separate, while for a proportion of 1e-12 it is
// the fit.
void track_bound_means(double y, double mu, PassSums& sums) {
  if (y == 0.0) sums.min_mu = std::min(sums.min_mu, mu);
  if (y == 1.0) sums.max_mu = std::max(sums.max_mu, mu);
}

void row_values(const RowData& rows, const PassRequest& request, const RowOutputs& outputs, std::size_t row,
                double model_eta, double previous_model_eta, double& r, double& z, double& w, PassSums& sums) {
  const Glm& glm = rows.glm;
  const double fallback = request.start_fallback;
  const double offset = rows.offset[row];
  const double e = eta_of(request.eta, model_eta + offset, rows, row, fallback);
  if (request.previous)
    sums.max_change = std::max(
        sums.max_change, std::abs(e - eta_of(*request.previous, previous_model_eta + offset, rows, row, fallback)));
  sums.max_abs_eta = std::max(sums.max_abs_eta, std::abs(e));
  const double m = glm.inverse(e);
  sums.valid = sums.valid && glm.valid_eta(e) && glm.valid_mu(m);
  const double pw = rows.weights[row];
  const double d = glm.mu_eta(e);
  // A row of weight 0 adds nothing; its working residual is set to 0 rather
  // than computed, as far out along η it overflows, and 0·∞ in the cross
  // products would be NaN.
  r = pw > 0.0 ? (rows.y[row] - m) / d : 0.0;
  z = e - offset + r;
  w = pw > 0.0 ? pw * d * d / glm.variance(m) : 0.0;
  if (outputs.eta != nullptr) {
    outputs.eta[row] = e;
    outputs.mu[row] = m;
    outputs.weights[row] = w;
  }
  if (pw > 0.0) {
    sums.deviance += glm.deviance(rows.y[row], m, pw);
    sums.rss += w * r * r;
    track_bound_means(rows.y[row], m, sums);
    if (request.likelihood_scales) {
      const auto& scales = *request.likelihood_scales;
      const double first = glm.row_log_likelihood(rows.y[row], m, pw, scales[0]);
      sums.log_likelihood[0] += first;
      // The scales coincide where the family fixes the scale (Poisson, binomial).
      sums.log_likelihood[1] += scales[1] == scales[0] ? first : glm.row_log_likelihood(rows.y[row], m, pw, scales[1]);
    }
    if (request.null_mean) sums.null_deviance += glm.deviance(rows.y[row], *request.null_mean, pw);
  }
}

// Whether the rows of a pass can take gaussian_rows(): the identity-link
// Gaussian at η = xβ + offset, asking for nothing beyond the plain sums.
bool plain_gaussian(const RowData& rows, const PassRequest& request) {
  return rows.glm.distribution == Distribution::Gaussian && rows.glm.link == Link::Identity &&
         request.eta.beta != nullptr && request.eta.blend == 1.0 && !request.previous && !request.likelihood_scales &&
         !request.null_mean;
}

// row_values() for `count` rows from `first` of a plain Gaussian pass: the
// same expressions with μ = η, dμ/dη = 1 and V = 1 written out, so that the
// results are those of row_values() to the bit, without its calls per row.
void gaussian_rows(const RowData& rows, const RowOutputs& outputs, std::size_t first, std::size_t count,
                   const double* model_eta, double* r, double* z, double* w, PassSums& sums) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t row = first + i;
    const double offset = rows.offset[row], y = rows.y[row], pw = rows.weights[row];
    const double e = model_eta[i] + offset;
    sums.max_abs_eta = std::max(sums.max_abs_eta, std::abs(e));
    sums.valid = sums.valid && std::isfinite(e);
    r[i] = y - e;
    z[i] = e - offset + r[i];
    w[i] = pw > 0.0 ? pw : 0.0;
    if (outputs.eta != nullptr) {
      outputs.eta[row] = e;
      outputs.mu[row] = e;
      outputs.weights[row] = w[i];
    }
    if (pw > 0.0) {
      sums.deviance += pw * (y - e) * (y - e);
      sums.rss += w[i] * r[i] * r[i];
      track_bound_means(y, e, sums);
    }
  }
}

// Per-block scratch of one range of rows, allocated once.
struct Scratch {
  Vector z, r, w, eta, previous;
  explicit Scratch(std::size_t rows) : z(rows), r(rows), w(rows), eta(rows), previous(rows) {}
};

// The values of the block's `count` rows from `first`, given their x·β (and
// x·β_previous) in the scratch.
void block_values(const RowData& rows, const PassRequest& request, const RowOutputs& outputs, std::size_t first,
                  std::size_t count, Scratch& s, PassSums& sums) {
  if (plain_gaussian(rows, request)) {
    gaussian_rows(rows, outputs, first, count, s.eta.data(), s.r.data(), s.z.data(), s.w.data(), sums);
    return;
  }
  for (std::size_t i = 0; i < count; ++i)
    row_values(rows, request, outputs, first + i, s.eta[i], s.previous[i], s.r[i], s.z[i], s.w[i], sums);
}

// The rows [first, last) of the pass by sparse rows (see sparse_rows.hpp):
// the same values per row, the sums formed in the raw space and mapped to
// the model's at the end.
void sparse_pass_range(const RowData& rows, const SparseDesign& design, const PassRequest& request,
                       const RowOutputs& outputs, std::size_t first, std::size_t last, PassSums& sums,
                       std::optional<GamError>& error, RowStop& stop) {
  const std::size_t capacity = std::min(kBlockRows, last - first);
  SparseBlock block = design.make_block(capacity);
  RawSums raw = design.make_sums();
  Scratch s(capacity);
  const auto coefficients = [&](const EtaSpec* spec) {
    return spec != nullptr && spec->beta != nullptr ? design.raw_coefficients(*spec->beta) : Vector();
  };
  const Vector gamma = coefficients(&request.eta);
  const Vector previous = coefficients(request.previous ? &*request.previous : nullptr);
  // A pass without cross products over rows an earlier pass checked needs
  // only x_iβ, which the terms can give without the sparse rows.
  const bool direct =
      !request.cross_products && rows.finite && !gamma.empty() && previous.empty() && design.direct_eta();
  const std::vector<std::vector<double>> cubics = direct ? design.eta_cubics(gamma) : decltype(cubics){};
  // At a β with only an intercept (the Gaussian fit's first pass), every row's x_iβ is that.
  const std::optional<double> constant = gamma.empty() ? std::nullopt : design.constant_eta(gamma);
  for (std::size_t start = first; start < last; start += kBlockRows) {
    if (stop.requested()) return;
    const std::size_t count = std::min(kBlockRows, last - start);
    if (direct) {
      design.eta_rows(rows.data, start, count, gamma, cubics, s.eta.data());
      std::fill_n(s.previous.data(), count, 0.0);
      block_values(rows, request, outputs, start, count, s, sums);
      continue;
    }
    auto filled = design.fill(rows.data, start, count, block);
    if (!filled) {
      error = std::move(filled).error();
      return;
    }
    if (const auto bad = rows.finite ? std::nullopt : design.first_non_finite(block, count)) {
      error = non_finite_row(start + *bad);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      s.eta[i] = constant ? *constant : gamma.empty() ? 0.0 : design.row_dot(block, i, gamma);
      s.previous[i] = previous.empty() ? 0.0 : design.row_dot(block, i, previous);
    }
    block_values(rows, request, outputs, start, count, s, sums);
    if (!sums.valid || !request.cross_products) continue;  // no cross products wanted, or meaningless
    design.accumulate(block, count, s.w.data(), s.z.data(), s.r.data(), raw);
  }
  if (request.cross_products) design.to_model(raw, sums.xtwx, sums.xtwz, sums.xtwr);
}

// The same by dense rows of the model matrix, with BLAS for the cross products.
void dense_pass_range(const RowData& rows, const PassRequest& request, const RowOutputs& outputs, std::size_t first,
                      std::size_t last, PassSums& sums, std::optional<GamError>& error, RowStop& stop) {
  const std::size_t p = rows.model->width();
  const std::size_t capacity = std::min(kBlockRows, last - first);
  Matrix block(capacity, p);
  Scratch s(capacity);
  const auto model_eta = [p](const EtaSpec* spec, const double* x) {
    return spec != nullptr && spec->beta != nullptr ? dot(x, spec->beta->data(), p) : 0.0;
  };
  const EtaSpec* previous = request.previous ? &*request.previous : nullptr;
  for (std::size_t start = first; start < last; start += kBlockRows) {
    if (stop.requested()) return;
    const std::size_t count = std::min(kBlockRows, last - start);
    auto filled = rows.model->fill_rows(rows.data, start, count, block.data());
    if (!filled) {
      error = std::move(filled).error();
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const double* x = block.row_ptr(i);
      for (std::size_t k = 0; k < p && !rows.finite; ++k)
        if (!std::isfinite(x[k])) {
          error = non_finite_row(start + i);
          return;
        }
      s.eta[i] = model_eta(&request.eta, x);
      s.previous[i] = model_eta(previous, x);
    }
    block_values(rows, request, outputs, start, count, s, sums);
    if (!sums.valid || !request.cross_products) continue;  // no cross products wanted, or meaningless
    const ConstMatrixView xb(block.data(), count, p, static_cast<std::ptrdiff_t>(p), 1);
    const VectorView wb(s.w.data(), count);
    const CrossProducts cp = weighted_cross_products(xb, wb, VectorView(s.z.data(), count));
    const Vector xr = weighted_xty(xb, wb, VectorView(s.r.data(), count));
    for (std::size_t k = 0; k < p * p; ++k) sums.xtwx.storage()[k] += cp.xtwx.storage()[k];
    for (std::size_t k = 0; k < p; ++k) {
      sums.xtwz[k] += cp.xtwy[k];
      sums.xtwr[k] += xr[k];
    }
  }
}

// The rows [first, last) of the pass, block by block.
void pass_range(const RowData& rows, const SparseDesign* sparse, const PassRequest& request, const RowOutputs& outputs,
                std::size_t first, std::size_t last, Partial& out, RowStop& stop) {
  out.sums = empty_sums(rows.model->width(), request.cross_products);
  out.sums.rows = last - first;
  if (first >= last) return;
  if (sparse != nullptr) {
    sparse_pass_range(rows, *sparse, request, outputs, first, last, out.sums, out.error, stop);
  } else {
    dense_pass_range(rows, request, outputs, first, last, out.sums, out.error, stop);
  }
}

// The sparse form of the rows when it exists and pays off for ranges of
// `rows` rows (the partition size, the same for every thread count, so the
// choice is too). VORNA_DENSE_ROWS forces the dense path, VORNA_SPARSE_ROWS
// the sparse one wherever it exists (for tests and comparisons).
std::optional<SparseDesign> choose_sparse(const TermModel& model, std::size_t rows) {
  if (diag::enabled(diag::kDenseRows)) return std::nullopt;
  std::optional<SparseDesign> design = SparseDesign::create(model);
  if (design && !diag::enabled(diag::kSparseRows) && !design->pays_off(rows)) return std::nullopt;
  return design;
}

void add_vector(Vector& total, const Vector& part) {
  if (total.empty()) {
    total = part;
    return;
  }
  for (std::size_t k = 0; k < part.size(); ++k) total[k] += part[k];
}

}  // namespace

void add_sums(PassSums& total, const PassSums& part) {
  if (part.rows == 0) return;
  if (total.rows == 0) {
    total = part;
    return;
  }
  if (part.xtwx.rows() > 0) {
    if (total.xtwx.rows() == 0) {
      total.xtwx = part.xtwx;
    } else {
      for (std::size_t k = 0; k < part.xtwx.storage().size(); ++k) total.xtwx.storage()[k] += part.xtwx.storage()[k];
    }
  }
  add_vector(total.xtwz, part.xtwz);
  add_vector(total.xtwr, part.xtwr);
  total.rss += part.rss;
  total.deviance += part.deviance;
  total.valid = total.valid && part.valid;
  total.max_change = std::max(total.max_change, part.max_change);
  total.max_abs_eta = std::max(total.max_abs_eta, part.max_abs_eta);
  total.min_mu = std::min(total.min_mu, part.min_mu);
  total.max_mu = std::max(total.max_mu, part.max_mu);
  for (std::size_t j = 0; j < 2; ++j) total.log_likelihood[j] += part.log_likelihood[j];
  total.null_deviance += part.null_deviance;
  total.rows += part.rows;
}

std::size_t thread_count(std::size_t requested) {
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

namespace {
// How often the owner of a RowStop asks for a stop request: often enough for
// a prompt Ctrl-C, rarely enough that waiting for the GIL costs nothing.
constexpr auto kStopPoll = std::chrono::milliseconds(20);
}  // namespace

RowStop::RowStop() : owner_(std::this_thread::get_id()), next_poll_(std::chrono::steady_clock::now() + kStopPoll) {}

bool RowStop::requested() {
  if (stop_.load(std::memory_order_relaxed)) return true;
  if (std::this_thread::get_id() != owner_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return false;
  next_poll_ = now + kStopPoll;
  if (interrupted()) stop_.store(true, std::memory_order_relaxed);
  return stop_.load(std::memory_order_relaxed);
}

void for_row_partitions(std::size_t n, std::size_t threads,
                        const std::function<void(std::size_t, std::size_t, std::size_t)>& work) {
  const std::size_t per = (n + kRowPartitions - 1) / kRowPartitions;
  // Each thread takes the next partition not yet taken: a thread on a core
  // that runs slower (shared with other work) then simply takes fewer. Which
  // thread sums a partition changes no sum.
  std::atomic<std::size_t> next{0};
  const auto run = [&] {
    for (std::size_t part = next.fetch_add(1); part < kRowPartitions; part = next.fetch_add(1)) {
      const std::size_t first = std::min(n, part * per), last = std::min(n, first + per);
      work(part, first, last);
    }
  };
  const std::size_t workers = std::min(std::max<std::size_t>(threads, 1), kRowPartitions);
  if (workers == 1) return run();
  std::vector<std::thread> pool;
  pool.reserve(workers - 1);
  try {
    for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(run);
  } catch (const std::system_error&) {
    // The system has no more threads to give (a process limit): the
    // partitions go to the threads that did start, and this one.
  }
  run();
  for (std::thread& thread : pool) thread.join();
}

Result<PassSums> row_pass(const RowData& rows, const PassRequest& request, RowOutputs outputs, std::size_t threads) {
  const std::size_t n = rows.y.size();
  const std::optional<SparseDesign> sparse = choose_sparse(*rows.model, (n + kRowPartitions - 1) / kRowPartitions);
  std::vector<Partial> parts(kRowPartitions);
  RowStop stop;
  for_row_partitions(n, threads, [&](std::size_t part, std::size_t first, std::size_t last) {
    try {
      pass_range(rows, sparse ? &*sparse : nullptr, request, outputs, first, last, parts[part], stop);
    } catch (const std::exception& e) {
      parts[part].error = GamError::invalid_parameter(std::string("a row pass failed: ") + e.what());
    }
  });
  if (stop.requested()) return interrupted_error();
  PassSums total = empty_sums(rows.model->width(), request.cross_products);
  for (Partial& part : parts) {
    if (part.error) return std::move(*part.error);
    add_sums(total, part.sums);
  }
  return total;
}

void add_moments(RowMoments& total, const RowMoments& part) {
  total.weight_sum += part.weight_sum;
  total.weighted_response += part.weighted_response;
  total.weighted_offset += part.weighted_offset;
  total.log_weight_sum += part.log_weight_sum;
  total.observations += part.observations;
  total.rows += part.rows;
  total.nonzero_offsets += part.nonzero_offsets;
}

Result<RowMoments> row_moments(const Glm& glm, VectorView y, VectorView w, VectorView offset, std::size_t first_row,
                               std::size_t threads) {
  const std::size_t n = y.size();
  if (w.size() != n || offset.size() != n) return row_moments(glm, y, w, offset, first_row);  // its message
  const auto part = [](VectorView v, std::size_t first, std::size_t last) {
    return VectorView(v.data() + static_cast<std::ptrdiff_t>(first) * v.stride(), last - first, v.stride());
  };
  std::vector<std::optional<Result<RowMoments>>> parts(kRowPartitions);
  for_row_partitions(n, threads, [&](std::size_t index, std::size_t first, std::size_t last) {
    try {
      parts[index] =
          row_moments(glm, part(y, first, last), part(w, first, last), part(offset, first, last), first_row + first);
    } catch (const std::exception& e) {
      parts[index] = Result<RowMoments>(GamError::invalid_parameter(std::string("a row pass failed: ") + e.what()));
    }
  });
  RowMoments total;
  for (auto& moments : parts) {
    if (!moments) continue;
    if (!*moments) return std::move(*moments).error();
    add_moments(total, moments->value());
  }
  return total;
}

Result<RowMoments> row_moments(const Glm& glm, VectorView y, VectorView w, VectorView offset, std::size_t first_row) {
  const std::size_t n = y.size();
  if (w.size() != n || offset.size() != n)
    return GamError::dimension_mismatch("y has " + std::to_string(n) + " rows but the weights " +
                                        std::to_string(w.size()) + " and the offset " + std::to_string(offset.size()));
  VORNA_CHECK(check_response(glm.distribution, y, first_row));
  RowMoments m;
  m.rows = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(w[i] >= 0.0) || !std::isfinite(w[i]))
      return GamError::invalid_parameter("weights must be finite and non-negative, but weights[" +
                                         std::to_string(first_row + i) + "] is not");
    if (!std::isfinite(offset[i]))
      return GamError::invalid_parameter("offset must be finite, but offset[" + std::to_string(first_row + i) +
                                         "] is not");
    // Every row's offset counts, its weight 0 or not: the fit keeps the
    // means of all rows inside the family's range.
    if (offset[i] != 0.0) ++m.nonzero_offsets;
    if (!(w[i] > 0.0)) continue;
    m.weight_sum += w[i];
    m.weighted_response += w[i] * y[i];
    m.weighted_offset += w[i] * offset[i];
    if (w[i] != 1.0) m.log_weight_sum += std::log(w[i]);  // log 1 = 0: unit weights need no call
    ++m.observations;
  }
  return m;
}

double start_fallback(const Glm& glm, const RowMoments& moments) {
  double mean =
      moments.weight_sum > 0.0 ? glm.start_mu(moments.weighted_response / moments.weight_sum, moments.weight_sum) : 1.0;
  if (!glm.valid_mu(mean) || !glm.valid_eta(glm.link_fn(mean)))
    mean = glm.distribution == Distribution::Binomial ? 0.5 : 1.0;
  return glm.link_fn(mean);
}

double start_eta(const Glm& glm, double y, double weight, double fallback) {
  const double mu = glm.start_mu(y, weight);
  const double e = glm.valid_mu(mu) ? glm.link_fn(mu) : fallback;
  return glm.valid_eta(e) && glm.valid_mu(glm.inverse(e)) ? e : fallback;
}

}  // namespace vorna
