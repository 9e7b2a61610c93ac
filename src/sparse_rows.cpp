#include "sparse_rows.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "linalg.hpp"
#include "row_pass.hpp"
#include "vector_clones.hpp"

namespace vorna {
namespace {

// Operation counts for pays_off(), in units of one multiply-add of the dense
// path's BLAS cross product, from pass timings at n = 10⁶ (three cr smooths
// k = 10; B-spline and tensor-product smooths alike): a multiply-add into a
// tile of XᵀWX_raw (index arithmetic included) costs about 2.5 of them,
// filling a pair of a row (interval search, a few products) about 10, and
// one dense basis value with its share of the interval search about 4. These
// were measured before the tiles were vectorized (see RowKernel), so they
// now lean towards the dense path: the sparse one is taken a little less
// often than it would pay.
constexpr double kTileCost = 2.5;
constexpr double kPairCost = 10.0;
constexpr double kDenseBasisCost = 4.0;

VectorView column_rows(ConstMatrixView data, std::size_t column, std::size_t first, std::size_t count) {
  return {data.data() + static_cast<std::ptrdiff_t>(first) * data.row_stride() +
              static_cast<std::ptrdiff_t>(column) * data.col_stride(),
          count, data.row_stride()};
}

bool all_finite(const Matrix& m) {
  return std::all_of(m.storage().begin(), m.storage().end(), [](double v) { return std::isfinite(v); });
}

Matrix kronecker(const Matrix& a, const Matrix& b) {
  Matrix out(a.rows() * b.rows(), a.cols() * b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j)
      for (std::size_t k = 0; k < b.rows(); ++k)
        for (std::size_t l = 0; l < b.cols(); ++l) out(i * b.rows() + k, j * b.cols() + l) = a(i, j) * b(k, l);
  return out;
}

Matrix identity(std::size_t n) {
  Matrix m(n, n);
  for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
  return m;
}

}  // namespace

std::optional<SparseDesign> SparseDesign::create(const TermModel& model) {
  SparseDesign design;
  for (std::size_t index = 0; index < model.terms().size(); ++index) {
    const ModelTerm& term = model.terms()[index];
    Term t{&term, design.raw_width_, 0, design.entries_, 1, model.offset(index), term.width(), {}, {}};
    switch (term.kind) {
      case ModelTerm::Kind::Intercept:
      case ModelTerm::Kind::Linear:
        t.raw_width = 1;
        t.map = identity(1);
        break;
      case ModelTerm::Kind::Factor:
        // Slot l for level l; level 0, the reference, maps to no column
        // unless every level has one.
        t.raw_width = term.levels;
        if (term.every_level) {
          t.map = identity(term.levels);
        } else {
          t.map = Matrix(term.levels, term.levels - 1);
          for (std::size_t l = 1; l < term.levels; ++l) t.map(l, l - 1) = 1.0;
        }
        break;
      case ModelTerm::Kind::Smooth: {
        Matrix map = identity(1);
        std::size_t margin_entries = 0;
        for (const auto& basis : term.margins) {
          const Matrix m = basis->local_map();
          if (m.rows() == 0) return std::nullopt;
          t.margin_raw.push_back(m.rows());
          t.entry_count *= basis->local_count();
          margin_entries += basis->local_count();
          // Each step multiplies the raw width; stop before it overflows anything.
          if (map.rows() * m.rows() > kMaxRawWidth) return std::nullopt;
          map = kronecker(map, m);
        }
        if (term.margins.size() > 1) design.margin_entries_ = std::max(design.margin_entries_, margin_entries);
        t.raw_width = map.rows();
        t.map = term.constraint.rows() > 0 ? matmul(map, term.constraint) : std::move(map);
        if (!all_finite(t.map)) return std::nullopt;
        break;
      }
    }
    // A smooth's pairs run in blocks of the last margin's count; others are single.
    const std::size_t run = term.kind == ModelTerm::Kind::Smooth ? term.margins.back()->local_count() : 1;
    for (std::size_t e = 0; e < t.entry_count; e += run) design.runs_.push_back({t.entry_offset + e, run});
    design.raw_width_ += t.raw_width;
    design.entries_ += t.entry_count;
    if (design.raw_width_ > kMaxRawWidth) return std::nullopt;
    design.terms_.push_back(std::move(t));
  }
  design.width_ = model.width();
  design.plan_tiles();
  return design;
}

void SparseDesign::plan_tiles() {
  const auto at = [](std::size_t entry) { return static_cast<std::uint32_t>(entry); };
  for (std::size_t u = 0; u < runs_.size(); ++u) {
    const Run& ru = runs_[u];
    if (ru.length == 4)
      plan_.four_runs.push_back(at(ru.entry));
    else if (ru.length == 1)
      plan_.one_runs.push_back(at(ru.entry));
    else
      plan_.other_runs.push_back(ru);
    for (std::size_t q = u; q < runs_.size(); ++q) {
      const Run& rq = runs_[q];
      const TilePair pair{at(ru.entry), at(rq.entry)};
      if (ru.length == 4 && rq.length == 4) continue;  // every pair of `four_runs`, which add_four_tiles() walks
      if (ru.length == 1 && rq.length == 4)
        plan_.one_four.push_back(pair);
      else if (ru.length == 4 && rq.length == 1)
        plan_.four_one.push_back(pair);
      else if (ru.length == 1 && rq.length == 1)
        plan_.one_one.push_back(pair);
      else
        plan_.other.push_back({ru, rq});
    }
  }
}

bool SparseDesign::pays_off(std::size_t rows) const {
  // Per row, densely: the cross product, the bases (K values per margin, the
  // Kronecker product, B·Z) and the three products with β, z and r.
  const auto p = static_cast<double>(width_);
  double dense = 0.5 * p * (p + 1.0) + 3.0 * p;
  for (const Term& t : terms_) {
    if (t.term->kind != ModelTerm::Kind::Smooth) continue;
    const auto k = static_cast<double>(t.term->raw_width());
    for (const auto& basis : t.term->margins) dense += kDenseBasisCost * static_cast<double>(basis->num_basis());
    if (t.term->margins.size() > 1) dense += k;
    if (t.term->constraint.rows() > 0) dense += k * static_cast<double>(t.width);
  }
  // Sparsely: the tiles of run pairs (diagonal tiles whole) and the pairs themselves.
  double tiles = 0.0;
  for (std::size_t u = 0; u < runs_.size(); ++u)
    for (std::size_t q = u; q < runs_.size(); ++q) tiles += static_cast<double>(runs_[u].length * runs_[q].length);
  const double sparse = kTileCost * tiles + kPairCost * static_cast<double>(entries_);
  // Once per range: GᵀAG by term blocks (see to_model) and γ = Gβ.
  double once = static_cast<double>(raw_width_) * static_cast<double>(raw_width_);
  for (std::size_t b = 0; b < terms_.size(); ++b) {
    const Term& t = terms_[b];
    const auto rt = static_cast<double>(t.raw_width), qt = static_cast<double>(t.width);
    once += static_cast<double>(t.raw_offset + t.raw_width) * rt * qt + 3.0 * rt * qt;
    for (std::size_t a = 0; a <= b; ++a) once += static_cast<double>(terms_[a].raw_width * terms_[a].width) * qt;
  }
  return sparse<dense&& static_cast<double>(rows) * (dense - sparse)> once;
}

SparseBlock SparseDesign::make_block(std::size_t rows) const {
  SparseBlock block;
  block.index.assign(rows * entries_, 0);
  block.value.assign(rows * entries_, 0.0);
  block.weighted.assign(entries_, 0.0);
  block.margin_index.assign(rows * margin_entries_, 0);
  block.margin_value.assign(rows * margin_entries_, 0.0);
  return block;
}

RawSums SparseDesign::make_sums() const {
  return {Matrix(raw_width_, raw_width_), Vector(raw_width_, 0.0), Vector(raw_width_, 0.0)};
}

Result<void> SparseDesign::fill(ConstMatrixView data, std::size_t first, std::size_t count, SparseBlock& block) const {
  for (const Term& t : terms_) VORNA_CHECK(fill_term(t, data, first, count, block));
  return {};
}

std::optional<double> SparseDesign::constant_eta(const Vector& gamma) const {
  double eta = 0.0;
  for (const Term& t : terms_) {
    const double* g = gamma.data() + t.raw_offset;
    if (t.term->kind == ModelTerm::Kind::Intercept) {
      eta += g[0];
    } else if (std::any_of(g, g + t.raw_width, [](double v) { return v != 0.0; })) {
      return std::nullopt;
    }
  }
  return eta;
}

bool SparseDesign::direct_eta() const {
  return std::all_of(terms_.begin(), terms_.end(), [](const Term& t) {
    return t.term->kind != ModelTerm::Kind::Smooth || (t.term->margins.size() == 1 && !t.term->by);
  });
}

std::vector<std::vector<double>> SparseDesign::eta_cubics(const Vector& gamma) const {
  std::vector<std::vector<double>> cubics(terms_.size());
  for (std::size_t i = 0; i < terms_.size(); ++i)
    if (terms_[i].term->kind == ModelTerm::Kind::Smooth)
      cubics[i] = terms_[i].term->margins[0]->spline_cubics(gamma.data() + terms_[i].raw_offset);
  return cubics;
}

void SparseDesign::eta_rows(ConstMatrixView data, std::size_t first, std::size_t count, const Vector& gamma,
                            const std::vector<std::vector<double>>& cubics, double* out) const {
  std::fill(out, out + count, 0.0);
  for (std::size_t i = 0; i < terms_.size(); ++i) {
    const Term& t = terms_[i];
    const ModelTerm& term = *t.term;
    const double* g = gamma.data() + t.raw_offset;
    switch (term.kind) {
      case ModelTerm::Kind::Intercept:
        for (std::size_t r = 0; r < count; ++r) out[r] += g[0];
        break;
      case ModelTerm::Kind::Linear: {
        const VectorView x = column_rows(data, term.columns[0], first, count);
        for (std::size_t r = 0; r < count; ++r) out[r] += x[r] * g[0];
        break;
      }
      case ModelTerm::Kind::Factor: {
        const VectorView x = column_rows(data, term.columns[0], first, count);
        // fill() accepted these codes; one changed since (the data are the
        // caller's) reads nothing outside the levels and gives NaN.
        const auto levels = static_cast<double>(term.levels);
        for (std::size_t r = 0; r < count; ++r) {
          const double code = x[r];
          const bool known = code >= 0.0 && code < levels && code == std::floor(code);
          out[r] += known ? g[static_cast<std::size_t>(code)] : std::numeric_limits<double>::quiet_NaN();
        }
        break;
      }
      case ModelTerm::Kind::Smooth:
        term.margins[0]->add_spline(column_rows(data, term.columns[0], first, count), g, cubics[i], out);
        break;
    }
  }
}

Result<void> SparseDesign::fill_term(const Term& t, ConstMatrixView data, std::size_t first, std::size_t count,
                                     SparseBlock& block) const {
  const ModelTerm& term = *t.term;
  std::uint32_t* index = block.index.data() + t.entry_offset;
  double* value = block.value.data() + t.entry_offset;
  const auto slot = static_cast<std::uint32_t>(t.raw_offset);
  switch (term.kind) {
    case ModelTerm::Kind::Intercept:
      for (std::size_t r = 0; r < count; ++r) index[r * entries_] = slot, value[r * entries_] = 1.0;
      return {};
    case ModelTerm::Kind::Linear: {
      const VectorView x = column_rows(data, term.columns[0], first, count);
      for (std::size_t r = 0; r < count; ++r) index[r * entries_] = slot, value[r * entries_] = x[r];
      return {};
    }
    case ModelTerm::Kind::Factor: {
      const VectorView x = column_rows(data, term.columns[0], first, count);
      for (std::size_t r = 0; r < count; ++r) {
        // The test and message of TermModel::fill_term, so both paths fail alike.
        VORNA_TRY(level, factor_level(x[r], term.levels, first + r));
        index[r * entries_] = slot + static_cast<std::uint32_t>(level);
        value[r * entries_] = 1.0;
      }
      return {};
    }
    case ModelTerm::Kind::Smooth: fill_smooth(t, data, first, count, block); return {};
  }
  return {};
}

void SparseDesign::fill_smooth(const Term& t, ConstMatrixView data, std::size_t first, std::size_t count,
                               SparseBlock& block) const {
  const ModelTerm& term = *t.term;
  std::uint32_t* index = block.index.data() + t.entry_offset;
  double* value = block.value.data() + t.entry_offset;
  const std::size_t margins = term.margins.size();
  if (margins == 1) {
    term.margins[0]->evaluate_local(column_rows(data, term.columns[0], first, count), index, value, entries_);
  } else {
    // The margins side by side in the scratch, then per row their Kronecker
    // product, built in place in the row from the last entry backwards
    // (entry a·c + b of the next product never lies below entry a of the
    // current one, and entry a is read before it is overwritten).
    std::size_t offset = 0;
    for (std::size_t m = 0; m < margins; ++m) {
      term.margins[m]->evaluate_local(column_rows(data, term.columns[m], first, count),
                                      block.margin_index.data() + offset, block.margin_value.data() + offset,
                                      margin_entries_);
      offset += term.margins[m]->local_count();
    }
    for (std::size_t r = 0; r < count; ++r) {
      std::uint32_t* ix = index + r * entries_;
      double* v = value + r * entries_;
      const std::uint32_t* mix = block.margin_index.data() + r * margin_entries_;
      const double* mv = block.margin_value.data() + r * margin_entries_;
      ix[0] = 0, v[0] = 1.0;
      std::size_t current = 1;
      for (std::size_t m = 0; m < margins; ++m) {
        const std::size_t c = term.margins[m]->local_count();
        const auto raw = static_cast<std::uint32_t>(t.margin_raw[m]);
        for (std::size_t a = current; a-- > 0;) {
          const std::uint32_t base = ix[a] * raw;
          const double scale = v[a];
          for (std::size_t b = c; b-- > 0;) {
            ix[a * c + b] = base + mix[b];
            v[a * c + b] = scale * mv[b];
          }
        }
        mix += c;
        mv += c;
        current *= c;
      }
    }
  }
  const auto slot = static_cast<std::uint32_t>(t.raw_offset);
  std::optional<VectorView> by;
  if (term.by) by = column_rows(data, *term.by, first, count);
  for (std::size_t r = 0; r < count; ++r) {
    std::uint32_t* ix = index + r * entries_;
    double* v = value + r * entries_;
    for (std::size_t e = 0; e < t.entry_count; ++e) ix[e] += slot;
    if (by)
      for (std::size_t e = 0; e < t.entry_count; ++e) v[e] = (*by)[r] * v[e];
  }
}

std::optional<std::size_t> SparseDesign::first_non_finite(const SparseBlock& block, std::size_t count) const {
  for (std::size_t r = 0; r < count; ++r) {
    const double* v = block.value.data() + r * entries_;
    // v·0 is 0 for finite v and NaN otherwise: one test per row, no branch per entry.
    double probe = 0.0;
    for (std::size_t e = 0; e < entries_; ++e) probe += v[e] * 0.0;
    if (probe != 0.0) return r;
  }
  return std::nullopt;
}

Vector SparseDesign::raw_coefficients(const Vector& beta) const {
  Vector gamma(raw_width_, 0.0);
  for (const Term& t : terms_)
    for (std::size_t i = 0; i < t.raw_width; ++i) {
      const double* g = t.map.row_ptr(i);
      double s = 0.0;
      for (std::size_t j = 0; j < t.width; ++j) s += g[j] * beta[t.column_offset + j];
      gamma[t.raw_offset + i] = s;
    }
  return gamma;
}

namespace {

// tile[a][b] += u_a·v_b for a < Rows, b < Cols (tile row stride `stride`),
// with fixed trip counts that the compiler unrolls. The factors are copied
// first: the compiler cannot know that the tile does not overlap them, and
// would otherwise reload them after every store.
template <std::size_t Rows, std::size_t Cols>
inline void add_tile(double* tile, std::size_t stride, const double* u, const double* v) {
  double uu[Rows], vv[Cols];
  for (std::size_t a = 0; a < Rows; ++a) uu[a] = u[a];
  for (std::size_t b = 0; b < Cols; ++b) vv[b] = v[b];
  for (std::size_t a = 0; a < Rows; ++a) {
    double* row = tile + a * stride;
    for (std::size_t b = 0; b < Cols; ++b) row[b] += uu[a] * vv[b];
  }
}

// Rows of four as one vector each: the compiler does not vectorize the rows
// of a tile by itself, as it cannot rule out that they overlap for some stride.
// Lane for lane the same products and sums as the loop above.
using Double4 = double __attribute__((vector_size(32)));

template <std::size_t Rows>
inline void add_tile_4(double* tile, std::size_t stride, const double* u, const double* v) {
  Double4 vv;
  std::memcpy(&vv, v, sizeof vv);
  for (std::size_t a = 0; a < Rows; ++a) {
    Double4 row;
    std::memcpy(&row, tile + a * stride, sizeof row);
    row += u[a] * vv;
    std::memcpy(tile + a * stride, &row, sizeof row);
  }
}

// The 4 × 4 tiles of every pair of runs of four (u <= q, in run order) of
// one row: row u's four weighted values are broadcast once and kept while
// the tiles along its rows are updated, rather than reloaded per tile (the
// compiler cannot tell that the tiles' stores leave them alone). The same
// products and sums as add_tile_4<4> per pair.
inline void add_four_tiles(double* a, std::size_t width, const std::uint32_t* ix, const double* wv, const double* v,
                           const std::vector<std::uint32_t>& runs) {
  const std::size_t count = runs.size();
  for (std::size_t u = 0; u < count; ++u) {
    const std::uint32_t eu = runs[u];
    Double4 b[4];
    for (std::size_t r = 0; r < 4; ++r) b[r] = Double4{} + wv[eu + r];
    double* rows = a + static_cast<std::size_t>(ix[eu]) * width;
    for (std::size_t q = u; q < count; ++q) {
      const std::uint32_t eq = runs[q];
      Double4 vq;
      std::memcpy(&vq, v + eq, sizeof vq);
      double* tile = rows + ix[eq];
      for (std::size_t r = 0; r < 4; ++r) {
        Double4 row;
        std::memcpy(&row, tile + r * width, sizeof row);
        row += b[r] * vq;
        std::memcpy(tile + r * width, &row, sizeof row);
      }
    }
  }
}

}  // namespace

// The row loop below is where a pass spends most of its time: compiled per
// instruction set, with the same sums from each.
struct SparseDesign::RowKernel {
  VORNA_VECTOR_CLONES
  static void run(const SparseDesign& d, SparseBlock& block, std::size_t count, const double* w, const double* z,
                  const double* r, RawSums& sums) {
    const std::size_t n = d.entries_, width = d.raw_width_;
    const TilePlan& plan = d.plan_;
    double* a = sums.xtwx.data();
    double* bz = sums.xtwz.data();
    double* br = sums.xtwr.data();
    double* wv = block.weighted.data();
    for (std::size_t i = 0; i < count; ++i) {
      // A zero weight adds only zeros, which leave every sum as it is.
      if (w[i] == 0.0) continue;
      const std::uint32_t* ix = block.index.data() + i * n;
      const double* v = block.value.data() + i * n;
      const double wz = w[i] * z[i], wr = w[i] * r[i];
      for (std::size_t e = 0; e < n; ++e) wv[e] = w[i] * v[e];
      // The pairs of a run have consecutive indices: XᵀWz and XᵀWr by runs too.
      for (const std::uint32_t e : plan.four_runs) {
        add_tile_4<1>(bz + ix[e], 0, &wz, v + e);
        add_tile_4<1>(br + ix[e], 0, &wr, v + e);
      }
      for (const std::uint32_t e : plan.one_runs) {
        bz[ix[e]] += v[e] * wz;
        br[ix[e]] += v[e] * wr;
      }
      for (const Run& run : plan.other_runs)
        for (std::size_t k = 0; k < run.length; ++k) {
          bz[ix[run.entry] + k] += v[run.entry + k] * wz;
          br[ix[run.entry] + k] += v[run.entry + k] * wr;
        }
      // Indices increase along a row, so the tile of runs (u, q), u <= q, lies
      // on or above the diagonal; a tile on it also writes below, which
      // to_model() overwrites. Tiles of distinct run pairs never overlap, so
      // the order of the groups does not change any sum.
      const auto tile = [&](TilePair t) { return a + static_cast<std::size_t>(ix[t.u]) * width + ix[t.q]; };
      add_four_tiles(a, width, ix, wv, v, plan.four_runs);
      for (const TilePair t : plan.one_four) add_tile_4<1>(tile(t), width, wv + t.u, v + t.q);
      for (const TilePair t : plan.four_one) add_tile<4, 1>(tile(t), width, wv + t.u, v + t.q);
      for (const TilePair t : plan.one_one) add_tile<1, 1>(tile(t), width, wv + t.u, v + t.q);
      for (const auto& [ru, rq] : plan.other) {
        double* band = a + static_cast<std::size_t>(ix[ru.entry]) * width + ix[rq.entry];
        for (std::size_t x = 0; x < ru.length; ++x)
          for (std::size_t y = 0; y < rq.length; ++y) band[x * width + y] += wv[ru.entry + x] * v[rq.entry + y];
      }
    }
  }
};

void SparseDesign::accumulate(SparseBlock& block, std::size_t count, const double* w, const double* z, const double* r,
                              RawSums& sums) const {
  RowKernel::run(*this, block, count, w, z, r, sums);
}

Matrix SparseDesign::map() const {
  Matrix g(raw_width_, width_);
  for (const Term& t : terms_)
    for (std::size_t i = 0; i < t.raw_width; ++i)
      std::copy_n(t.map.row_ptr(i), t.width, g.row_ptr(t.raw_offset + i) + t.column_offset);
  return g;
}

void SparseDesign::to_model(RawSums& sums, Matrix& xtwx, Vector& xtwz, Vector& xtwr) const {
  const std::size_t width = raw_width_;
  Matrix& a = sums.xtwx;
  for (std::size_t i = 0; i < width; ++i)
    for (std::size_t j = i + 1; j < width; ++j) a(j, i) = a(i, j);
  xtwx = Matrix(width_, width_);
  xtwz.assign(width_, 0.0);
  xtwr.assign(width_, 0.0);
  const auto ld = static_cast<std::ptrdiff_t>(width);
  // Block (s, t), s <= t, of XᵀWX is G_sᵀ·A_st·G_t: C = A[raw rows of terms
  // 0 … t, raw columns of t]·G_t once per t, then G_sᵀ·C_s for each s.
  for (std::size_t bt = 0; bt < terms_.size(); ++bt) {
    const Term& t = terms_[bt];
    if (t.width == 0) continue;
    const ConstMatrixView columns(a.data() + t.raw_offset, t.raw_offset + t.raw_width, t.raw_width, ld, 1);
    const Matrix c = matmul(columns, t.map);
    for (std::size_t bs = 0; bs <= bt; ++bs) {
      const Term& s = terms_[bs];
      if (s.width == 0) continue;
      const ConstMatrixView cs(c.row_ptr(s.raw_offset), s.raw_width, t.width, static_cast<std::ptrdiff_t>(t.width), 1);
      const Matrix block = matmul_tn(s.map, cs);
      for (std::size_t i = 0; i < s.width; ++i)
        std::copy_n(block.row_ptr(i), t.width, xtwx.row_ptr(s.column_offset + i) + t.column_offset);
    }
    const VectorView bz(sums.xtwz.data() + t.raw_offset, t.raw_width), br(sums.xtwr.data() + t.raw_offset, t.raw_width);
    const Vector gz = matvec_t(t.map, bz), gr = matvec_t(t.map, br);
    std::copy(gz.begin(), gz.end(), xtwz.begin() + static_cast<std::ptrdiff_t>(t.column_offset));
    std::copy(gr.begin(), gr.end(), xtwr.begin() + static_cast<std::ptrdiff_t>(t.column_offset));
  }
  // The diagonal blocks are symmetric only up to rounding; the upper triangle is the answer.
  for (std::size_t i = 0; i < width_; ++i)
    for (std::size_t j = i + 1; j < width_; ++j) xtwx(j, i) = xtwx(i, j);
}

Result<Vector> model_column_sums(const TermModel& model, ConstMatrixView data, std::size_t threads) {
  const std::optional<SparseDesign> design = SparseDesign::create(model);
  if (!design) return model.column_sums(data);
  const std::size_t n = data.rows(), entries = design->entries();
  std::vector<Vector> raw(kRowPartitions);
  std::vector<std::optional<GamError>> errors(kRowPartitions);
  RowStop stop;
  for_row_partitions(n, threads, [&](std::size_t part, std::size_t first, std::size_t last) {
    try {
      raw[part].assign(design->raw_width(), 0.0);
      if (first >= last) return;
      SparseBlock block = design->make_block(std::min(kRowBlock, last - first));
      for (std::size_t start = first; start < last; start += kRowBlock) {
        if (stop.requested()) return;
        const std::size_t count = std::min(kRowBlock, last - start);
        auto filled = design->fill(data, start, count, block);
        if (!filled) {
          errors[part] = std::move(filled).error();
          return;
        }
        for (std::size_t k = 0; k < count * entries; ++k) raw[part][block.index[k]] += block.value[k];
      }
    } catch (const std::exception& e) {
      errors[part] = GamError::invalid_parameter(std::string("column sums failed: ") + e.what());
    }
  });
  if (stop.requested()) return interrupted_error();
  Vector total(design->raw_width(), 0.0);
  for (std::size_t part = 0; part < kRowPartitions; ++part) {
    if (errors[part]) return std::move(*errors[part]);
    for (std::size_t i = 0; i < total.size(); ++i) total[i] += raw[part][i];
  }
  const Matrix g = design->map();
  Vector sums(g.cols(), 0.0);
  for (std::size_t i = 0; i < g.rows(); ++i)
    for (std::size_t j = 0; j < g.cols(); ++j) sums[j] += total[i] * g(i, j);
  return sums;
}

}  // namespace vorna
