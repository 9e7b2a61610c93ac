#include "row_pass.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics.hpp"
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

// Row `row` at η = eta[row]: μ, the working weight, residual and response,
// and its share of the deviance and of Σwr².
void working_values(const RowData& rows, std::size_t row, const Vector& eta, Vector& mu, Vector& w, double& r,
                    double& z, double& wb, PassSums& sums) {
  const Glm& glm = rows.glm;
  const double e = eta[row];
  const double m = glm.inverse(e);
  mu[row] = m;
  sums.valid = sums.valid && glm.valid_eta(e) && glm.valid_mu(m);
  const double pw = rows.weights[row];
  const double d = glm.mu_eta(e);
  r = (rows.y[row] - m) / d;
  z = e - rows.offset[row] + r;
  wb = pw > 0.0 ? pw * d * d / glm.variance(m) : 0.0;
  w[row] = wb;
  if (pw > 0.0) {
    sums.deviance += glm.deviance(rows.y[row], m, pw);
    sums.rss += wb * r * r;
  }
}

std::optional<GamError> non_finite_row(std::size_t row) {
  return GamError::invalid_parameter("the model matrix has a non-finite entry in row " + std::to_string(row));
}

// pass_range by sparse rows (see sparse_rows.hpp): the same values per row,
// the sums formed in the raw space and mapped to the model's at the end.
void sparse_pass_range(const RowData& rows, const SparseDesign& design, const Vector* beta, Vector& eta, Vector& mu,
                       Vector& w, std::size_t first, std::size_t last, Partial& out) {
  const std::size_t size = std::min(kBlockRows, std::max<std::size_t>(last - first, 1));
  SparseBlock block = design.make_block(size);
  RawSums raw = design.make_sums();
  Vector z(size), r(size), wb(size);
  const Vector gamma = beta != nullptr ? design.raw_coefficients(*beta) : Vector();
  for (std::size_t start = first; start < last; start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, last - start);
    auto filled = design.fill(rows.data, start, count, block);
    if (!filled) {
      out.error = std::move(filled).error();
      return;
    }
    if (const auto bad = design.first_non_finite(block, count)) {
      out.error = non_finite_row(start + *bad);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t row = start + i;
      if (beta != nullptr) eta[row] = design.row_dot(block, i, gamma) + rows.offset[row];
      working_values(rows, row, eta, mu, w, r[i], z[i], wb[i], out.sums);
    }
    if (!out.sums.valid) continue;  // the sums are not used
    design.accumulate(block, count, wb.data(), z.data(), r.data(), raw);
  }
  design.to_model(raw, out.sums.xtwx, out.sums.xtwz, out.sums.xtwr);
}

// The rows [first, last) of the pass, block by block.
void pass_range(const RowData& rows, const SparseDesign* sparse, const Vector* beta, Vector& eta, Vector& mu, Vector& w,
                std::size_t first, std::size_t last, Partial& out) {
  if (sparse != nullptr) return sparse_pass_range(rows, *sparse, beta, eta, mu, w, first, last, out);
  const std::size_t p = rows.model->width();
  out.sums.xtwx = Matrix(p, p);
  out.sums.xtwz.assign(p, 0.0);
  out.sums.xtwr.assign(p, 0.0);
  Matrix block(std::min(kBlockRows, std::max<std::size_t>(last - first, 1)), p);
  Vector z(block.rows()), r(block.rows()), wb(block.rows());
  for (std::size_t start = first; start < last; start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, last - start);
    auto filled = rows.model->fill_rows(rows.data, start, count, block.data());
    if (!filled) {
      out.error = std::move(filled).error();
      return;
    }
    const ConstMatrixView xb(block.data(), count, p, static_cast<std::ptrdiff_t>(p), 1);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t row = start + i;
      for (std::size_t k = 0; k < p; ++k)
        if (!std::isfinite(block(i, k))) {
          out.error = non_finite_row(row);
          return;
        }
      if (beta != nullptr) eta[row] = dot(block.row_ptr(i), beta->data(), p) + rows.offset[row];
      working_values(rows, row, eta, mu, w, r[i], z[i], wb[i], out.sums);
    }
    if (!out.sums.valid) continue;  // the sums are not used
    const CrossProducts cp = weighted_cross_products(xb, VectorView(wb.data(), count), VectorView(z.data(), count));
    const Vector xr = weighted_xty(xb, VectorView(wb.data(), count), VectorView(r.data(), count));
    for (std::size_t k = 0; k < p * p; ++k) out.sums.xtwx.storage()[k] += cp.xtwx.storage()[k];
    for (std::size_t k = 0; k < p; ++k) {
      out.sums.xtwz[k] += cp.xtwy[k];
      out.sums.xtwr[k] += xr[k];
    }
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

}  // namespace

std::size_t thread_count(std::size_t requested) {
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

Result<PassSums> row_pass(const RowData& rows, const Vector* beta, Vector& eta, Vector& mu, Vector& w,
                          std::size_t threads) {
  const std::size_t n = rows.y.size(), p = rows.model->width();
  eta.resize(n);
  mu.resize(n);
  w.resize(n);
  const std::size_t per = (n + kRowPartitions - 1) / kRowPartitions;
  const std::optional<SparseDesign> sparse = choose_sparse(*rows.model, per);
  std::vector<Partial> parts(kRowPartitions);
  const auto run = [&](std::size_t worker, std::size_t workers) {
    for (std::size_t part = worker; part < kRowPartitions; part += workers) {
      const std::size_t first = std::min(n, part * per), last = std::min(n, first + per);
      try {
        pass_range(rows, sparse ? &*sparse : nullptr, beta, eta, mu, w, first, last, parts[part]);
      } catch (const std::exception& e) {
        parts[part].error = GamError::invalid_parameter(std::string("a row pass failed: ") + e.what());
      }
    }
  };
  const std::size_t workers = std::min(std::max<std::size_t>(threads, 1), kRowPartitions);
  if (workers == 1) {
    run(0, 1);
  } else {
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(run, t, workers);
    run(0, workers);
    for (std::thread& thread : pool) thread.join();
  }
  PassSums total;
  total.xtwx = Matrix(p, p);
  total.xtwz.assign(p, 0.0);
  total.xtwr.assign(p, 0.0);
  for (Partial& part : parts) {
    if (part.error) return std::move(*part.error);
    if (part.sums.xtwx.rows() != p) continue;  // an empty partition
    for (std::size_t k = 0; k < p * p; ++k) total.xtwx.storage()[k] += part.sums.xtwx.storage()[k];
    for (std::size_t k = 0; k < p; ++k) {
      total.xtwz[k] += part.sums.xtwz[k];
      total.xtwr[k] += part.sums.xtwr[k];
    }
    total.rss += part.sums.rss;
    total.deviance += part.sums.deviance;
    total.valid = total.valid && part.sums.valid;
  }
  return total;
}

}  // namespace vorna
