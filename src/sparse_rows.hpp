// The model matrix of a term model as sparse rows times a fixed map, for the
// row passes.
//
// Every term's part of a model-matrix row is a row with a fixed, small number
// of non-zeros in a "raw" space times a dense map G_t (raw_t × width_t):
//
//   Intercept, Linear   one entry (1 or the data value), G = [1]
//   Factor              one entry (1 at the level's slot), G = the treatment
//                       coding (L × (L − 1), the reference level's row zero),
//                       or the identity when every level has a column
//   Smooth              the margins' local forms (SplineBasis::local_map), for
//                       a tensor product their row-wise Kronecker product
//                       (4^m entries), times the `by` value; G = (M_1 ⊗ … ⊗ M_m)·Z
//
// With the terms' raw spaces side by side (raw width R) and N entries per
// row, a row costs about N(N+1)/2 multiply-adds to XᵀWX_raw = Σ w x̃ᵀx̃
// instead of p(p+1)/2 plus the dense basis evaluation; XᵀWX = GᵀXᵀWX_raw G
// once at the end (G block-diagonal). The pairs of a row come in runs of
// consecutive indices (a spline margin's four), so the products go to XᵀWX_raw
// as small dense tiles rather than entry by entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "error.hpp"
#include "matrix.hpp"
#include "terms.hpp"

namespace vorna {

// Raw widths above this are left to the dense path: XᵀWX_raw (R × R, of which
// the upper triangle is written) would no longer sit in a core's L2 cache,
// and the map G (R × p) costs R·p per product.
inline constexpr std::size_t kMaxRawWidth = 512;

// One block of sparse rows: N (index, value) pairs per row, row-major, with
// the scratch a tensor product needs; allocated once per range of rows.
struct SparseBlock {
  std::vector<std::uint32_t> index;
  Vector value;
  Vector weighted;                          // w_i·v of one row (N)
  std::vector<std::uint32_t> margin_index;  // a tensor product's margins, side by side
  Vector margin_value;
};

// The running sums of a range of rows in the raw space; of `xtwx` only the
// upper triangle holds sums, the entries below it are scratch.
struct RawSums {
  Matrix xtwx;  // R × R
  Vector xtwz;  // R
  Vector xtwr;  // R
};

class SparseDesign {
 public:
  // The sparse form of `model`, or nullopt when a term has none (a basis
  // without a local form, a map with a non-finite entry) or R > kMaxRawWidth.
  static std::optional<SparseDesign> create(const TermModel& model);

  std::size_t raw_width() const { return raw_width_; }
  std::size_t entries() const { return entries_; }  // N, the pairs per row

  // Whether a range of `rows` rows is cheaper this way than densely, by a
  // count of operations: rows·(dense − sparse cost per row) against the
  // final GᵀAG (which for small ranges and wide maps dominates).
  bool pays_off(std::size_t rows) const;

  SparseBlock make_block(std::size_t rows) const;
  RawSums make_sums() const;

  // Rows [first, first + count) (count at most the block's rows) into the
  // block. Errors as TermModel::fill_rows (a factor code outside its levels,
  // the first in term order, then row order).
  Result<void> fill(ConstMatrixView data, std::size_t first, std::size_t count, SparseBlock& block) const;

  // The first row among the block's first `count` with a non-finite value:
  // exactly the rows whose model-matrix row has a non-finite entry.
  std::optional<std::size_t> first_non_finite(const SparseBlock& block, std::size_t count) const;

  // γ = Gβ (R) for β of the model's width, so that x_iβ = Σ v·γ[index].
  Vector raw_coefficients(const Vector& beta) const;
  double row_dot(const SparseBlock& block, std::size_t row, const Vector& gamma) const {
    const std::uint32_t* ix = block.index.data() + row * entries_;
    const double* v = block.value.data() + row * entries_;
    double s = 0.0;
    for (std::size_t a = 0; a < entries_; ++a) s += v[a] * gamma[ix[a]];
    return s;
  }

  // x_iβ of every row when γ is zero outside the intercepts' slots (the
  // value row_dot() gives for finite rows), else nothing.
  std::optional<double> constant_eta(const Vector& gamma) const;

  // Whether eta_rows() can give x_iβ without the sparse rows: every term an
  // intercept, a linear term, a factor or a smooth of one margin without `by`.
  bool direct_eta() const;
  // Each smooth term's curve from γ (SplineBasis::spline_cubics), in term order.
  std::vector<std::vector<double>> eta_cubics(const Vector& gamma) const;
  // x_iβ (γ = Gβ, `cubics` = eta_cubics(γ)) of rows [first, first + count)
  // into out: the rows times γ up to rounding, each smooth's curve evaluated
  // from its form per interval. Needs direct_eta(), and rows that fill()
  // accepted (factor codes among their levels).
  void eta_rows(ConstMatrixView data, std::size_t first, std::size_t count, const Vector& gamma,
                const std::vector<std::vector<double>>& cubics, double* out) const;

  // Adds Σ_i w_i x̃_iᵀx̃_i (upper triangle), Σ x̃_i w_i z_i and Σ x̃_i w_i r_i
  // over the block's first `count` rows; rows in order, so the sums are a
  // fixed function of the rows. Uses the block's `weighted` scratch.
  void accumulate(SparseBlock& block, std::size_t count, const double* w, const double* z, const double* r,
                  RawSums& sums) const;

  // G (R × p), block-diagonal by term: x_i = x̃_i·G.
  Matrix map() const;

  // XᵀWX = GᵀAG (both triangles, exactly symmetric), XᵀWz = Gᵀb_z, XᵀWr = Gᵀb_r
  // from the raw sums; the lower triangle of `sums.xtwx` is overwritten with the upper.
  void to_model(RawSums& sums, Matrix& xtwx, Vector& xtwz, Vector& xtwr) const;

 private:
  struct Term {
    const ModelTerm* term;
    std::size_t raw_offset, raw_width;      // its slots in the raw space
    std::size_t entry_offset, entry_count;  // its pairs in a row
    std::size_t column_offset, width;       // its model-matrix columns
    std::vector<std::size_t> margin_raw;    // Smooth: raw width of each margin
    Matrix map;                             // G_t, raw_width × width
  };

  Result<void> fill_term(const Term& t, ConstMatrixView data, std::size_t first, std::size_t count,
                         SparseBlock& block) const;
  void fill_smooth(const Term& t, ConstMatrixView data, std::size_t first, std::size_t count, SparseBlock& block) const;

  // A run: consecutive pairs of every row whose indices are consecutive too
  // (a margin's local form, the last margin's within a tensor product).
  struct Run {
    std::size_t entry, length;
  };

  // The tiles of one row's pairs of runs (u <= q), grouped by shape so that
  // each group is a loop of fixed-size tiles: entry offsets of the two runs.
  // The pairs of two runs of four are those of `four_runs`. Runs of other
  // lengths (a spline of another degree) go to `other`.
  struct TilePair {
    std::uint32_t u, q;
  };
  struct TilePlan {
    std::vector<TilePair> one_four, four_one, one_one;
    std::vector<std::uint32_t> four_runs, one_runs;  // entry offsets, for XᵀWz and XᵀWr
    std::vector<std::pair<Run, Run>> other;
    std::vector<Run> other_runs;
  };
  void plan_tiles();
  struct RowKernel;  // accumulate()'s loop, compiled per instruction set

  std::vector<Term> terms_;
  std::vector<Run> runs_;  // in the order of the row's pairs
  TilePlan plan_;
  std::size_t raw_width_ = 0, entries_ = 0, width_ = 0;
  std::size_t margin_entries_ = 0;  // the most pairs of a tensor product's margins together
};

// Σ over rows of each model-matrix column (as TermModel::column_sums), by
// sparse rows where the model has a sparse form: Σ x̃_i once, times G. The
// rows' partitions are summed by `threads` threads and added in order, so
// the sums are the same for every thread count.
Result<Vector> model_column_sums(const TermModel& model, ConstMatrixView data, std::size_t threads = 1);

}  // namespace vorna
