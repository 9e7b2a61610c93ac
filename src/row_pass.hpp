// One pass over the rows of a term model, as a penalized GLM fit needs it:
// the model matrix is evaluated block by block (never whole), and each block
// gives the linear predictor, the means, the working weights and the sums
// XᵀWX, XᵀWz, XᵀWr, Σwr² and the deviance, r = (y − μ)/μ′(η) being the
// working residual (z − Xβ for η = Xβ + offset).
//
// A pass is a pure function of its rows and its request, and its sums add
// over any split of the rows: a fit may run its passes here, on the rows in
// memory, or anywhere else the rows live, and add the parts up.
//
// The rows are split into a fixed number of partitions whatever the number of
// threads; each partition sums its blocks in order and the partitions are
// added in order, so the results are bitwise the same for every thread count.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <thread>

#include "error.hpp"
#include "glm.hpp"
#include "matrix.hpp"
#include "terms.hpp"

namespace vorna {

struct RowData {
  const TermModel* model = nullptr;
  ConstMatrixView data;  // one column per data column the terms read
  VectorView y, weights, offset;
  Glm glm;
  // Whether an earlier pass over these same rows and terms found every
  // model-matrix row finite; the passes then skip that check.
  bool finite = false;
};

// The linear predictor of every row: the start's (no β), or
// η = blend·(xβ + offset) + (1 − blend)·η_start, 0 < blend ≤ 1.
struct EtaSpec {
  const Vector* beta = nullptr;
  double blend = 1.0;
};

struct PassRequest {
  EtaSpec eta;
  // When set, the pass measures the largest change of η from this one.
  std::optional<EtaSpec> previous;
  // The start η of a row whose own response gives no admissible start
  // (see start_fallback below).
  double start_fallback = 0.0;
  // false: η, μ, the deviance and the likelihoods only (no cross products).
  bool cross_products = true;
  // When set, Σ log-likelihood at each of these two scales.
  std::optional<std::array<double, 2>> likelihood_scales;
  // Whether the caller wants η, μ and the working weights of each row kept.
  bool record = false;
  // When set, Σ prior-weighted unit deviances at this constant mean as well.
  std::optional<double> null_mean;
};

struct PassSums {
  Matrix xtwx;                             // XᵀWX at the pass's η (empty without cross products)
  Vector xtwz;                             // XᵀWz
  Vector xtwr;                             // XᵀWr
  double rss = 0.0;                        // Σ w r² (the Pearson statistic)
  double deviance = 0.0;                   // Σ prior-weighted unit deviances
  bool valid = true;                       // every η and μ inside the family's and link's domain
  double max_change = 0.0;                 // max |η − η_previous|
  double max_abs_eta = 0.0;                // max |η|
  double min_mu = 0.0, max_mu = 0.0;       // over rows with a positive weight and y = 0 (min) or y = 1 (max)
  std::array<double, 2> log_likelihood{};  // at request.likelihood_scales
  double null_deviance = 0.0;              // at request.null_mean
  std::size_t rows = 0;                    // rows summed
};

// total += part: sums add, extremes combine, validity is the conjunction.
// Either may be empty (rows = 0).
void add_sums(PassSums& total, const PassSums& part);

// The number of partitions of the rows (see above).
inline constexpr std::size_t kRowPartitions = 16;

// work(part, first, last) for each of the kRowPartitions partitions of n rows
// (the same ranges for every thread count), shared by `threads` ≥ 1 threads,
// the calling thread among them. `work` must not throw; it runs concurrently
// for distinct partitions.
void for_row_partitions(std::size_t n, std::size_t threads,
                        const std::function<void(std::size_t, std::size_t, std::size_t)>& work);

// A stop request (Ctrl-C) as the threads of one for_row_partitions call see
// it. Only the thread that made the object can ask `interrupted()` (the
// interpreter answers on its main thread alone, and asking may wait for the
// GIL), so that thread asks, at most every kStopPoll, and the flag tells the
// others. Work polls `requested()` between row blocks and stops when it is
// true; the caller then returns interrupted_error().
class RowStop {
 public:
  RowStop();
  bool requested();

 private:
  std::thread::id owner_;
  std::chrono::steady_clock::time_point next_poll_;
  std::atomic<bool> stop_{false};
};

// Where η, μ and the working weights of each row go (n entries each), or null.
struct RowOutputs {
  double* eta = nullptr;
  double* mu = nullptr;
  double* weights = nullptr;
};

// `threads` ≥ 1 threads share the partitions. When the pass finds η or μ
// outside the domain it still completes (valid = false; weights and sums are
// then meaningless). Errors: those of the term model (a factor code outside
// its levels), InvalidParameter for a non-finite model-matrix entry (naming
// the row), in the order of the rows.
Result<PassSums> row_pass(const RowData& rows, const PassRequest& request, RowOutputs outputs, std::size_t threads);

// The sums over the rows that need no model matrix. Adding the moments of
// parts gives the moments of the whole.
struct RowMoments {
  double weight_sum = 0.0;         // Σ w
  double weighted_response = 0.0;  // Σ w·y
  double weighted_offset = 0.0;    // Σ w·offset
  double log_weight_sum = 0.0;     // Σ log w over positive weights
  std::size_t observations = 0;    // rows with a positive weight
  std::size_t rows = 0;
  std::size_t nonzero_offsets = 0;  // rows whose offset is not 0
};
void add_moments(RowMoments& total, const RowMoments& part);

// The moments of y, prior weights w and offset, checking them: a response
// outside the family's support, a weight that is negative or not finite, or
// a non-finite offset is InvalidParameter naming the row (counted from
// `first_row`); so is a length mismatch.
Result<RowMoments> row_moments(const Glm& glm, VectorView y, VectorView w, VectorView offset,
                               std::size_t first_row = 0);
// The same over the fixed row partitions on `threads` threads, added in
// order (the same moments for every thread count); the error is the first
// partition's, so it names the first bad row.
Result<RowMoments> row_moments(const Glm& glm, VectorView y, VectorView w, VectorView offset, std::size_t first_row,
                               std::size_t threads);

// The start η of rows whose response is not an admissible start for the
// link: the link of the family's start for the weighted mean response.
double start_fallback(const Glm& glm, const RowMoments& moments);

// The start η of one row.
double start_eta(const Glm& glm, double y, double weight, double fallback);

// The number of threads to use for `requested` (0: every available core).
std::size_t thread_count(std::size_t requested);

}  // namespace vorna
