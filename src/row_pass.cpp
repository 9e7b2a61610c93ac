#include "row_pass.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "linalg.hpp"

namespace vorna {
namespace {

// Rows per block: large enough that the block's cross product is a BLAS
// call of some size, small enough that a block of the model matrix stays in cache.
constexpr std::size_t kBlockRows = 1024;

struct Partial {
  PassSums sums;
  std::optional<GamError> error;
};

// The rows [first, last) of the pass, block by block.
void pass_range(const RowData& rows, const Vector* beta, Vector& eta, Vector& mu, Vector& w, std::size_t first,
                std::size_t last, Partial& out) {
  const std::size_t p = rows.model->width();
  out.sums.xtwx = Matrix(p, p);
  out.sums.xtwz.assign(p, 0.0);
  out.sums.xtwr.assign(p, 0.0);
  Matrix block(std::min(kBlockRows, std::max<std::size_t>(last - first, 1)), p);
  Vector z(block.rows()), r(block.rows()), wb(block.rows());
  const Glm& glm = rows.glm;
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
          out.error =
              GamError::invalid_parameter("the model matrix has a non-finite entry in row " + std::to_string(row));
          return;
        }
      if (beta != nullptr) eta[row] = dot(block.row_ptr(i), beta->data(), p) + rows.offset[row];
      const double e = eta[row];
      const double m = glm.inverse(e);
      mu[row] = m;
      out.sums.valid = out.sums.valid && glm.valid_eta(e) && glm.valid_mu(m);
      const double pw = rows.weights[row];
      const double d = glm.mu_eta(e);
      r[i] = (rows.y[row] - m) / d;
      z[i] = e - rows.offset[row] + r[i];
      wb[i] = pw > 0.0 ? pw * d * d / glm.variance(m) : 0.0;
      w[row] = wb[i];
      if (pw > 0.0) {
        out.sums.deviance += glm.deviance(rows.y[row], m, pw);
        out.sums.rss += wb[i] * r[i] * r[i];
      }
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
  std::vector<Partial> parts(kRowPartitions);
  const auto run = [&](std::size_t worker, std::size_t workers) {
    for (std::size_t part = worker; part < kRowPartitions; part += workers) {
      const std::size_t first = std::min(n, part * per), last = std::min(n, first + per);
      try {
        pass_range(rows, beta, eta, mu, w, first, last, parts[part]);
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
