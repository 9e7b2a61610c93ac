#include "basis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "penalty.hpp"
#include "vector_clones.hpp"

namespace vorna {
namespace {

// Inputs this close to an end of the B-spline knot range count as on it ...
constexpr double kBoundaryTolerance = 1e-10;
// ... and are evaluated this far inside it, so the degenerate closed last
// interval of the clamped knot vector is never needed.
constexpr double kBoundaryShift = 2e-10;

// Buckets per knot in an IntervalTable: with knots of even density a bucket
// then holds at most one knot, and the correction takes at most one step.
constexpr std::size_t kBucketsPerKnot = 2;

}  // namespace

// ---- Interval lookup -----------------------------------------------------------------

namespace {
// Up to this many knots count_below() counts rather than looks up.
constexpr std::size_t kCountedKnots = 32;

// below[r] = the number of the `k` knots below at[r] (strict) or at most
// at[r] (none for a NaN), for `count` inputs: knot by knot across the
// inputs, which the compiler runs several inputs per instruction.
// Knot i counts times[i] times (the distinct knots of a vector with repeats).
VORNA_VECTOR_CLONES
void count_knots_below(const double* knots, const std::uint64_t* times, std::size_t k, const double* at,
                       std::size_t count, bool strict, std::uint64_t* below) {
  for (std::size_t r = 0; r < count; ++r) below[r] = 0;
  for (std::size_t i = 0; i < k; ++i) {
    const double knot = knots[i];
    const std::uint64_t m = times[i];
    if (strict) {
      for (std::size_t r = 0; r < count; ++r) below[r] += knot < at[r] ? m : 0;
    } else {
      for (std::size_t r = 0; r < count; ++r) below[r] += knot <= at[r] ? m : 0;
    }
  }
}
}  // namespace

IntervalTable::IntervalTable(const Vector& knots) : first_(knots.front()) {
  // Counted knots go by their distinct values (a clamped vector repeats each end four times).
  for (double knot : knots) {
    if (distinct_.empty() || knot != distinct_.back()) {
      distinct_.push_back(knot);
      times_.push_back(0);
    }
    ++times_.back();
  }
  const std::size_t buckets = kBucketsPerKnot * knots.size();
  const double span = knots.back() - first_;
  scale_ = static_cast<double>(buckets) / span;
  // A span too narrow (or wide) for the division: one bucket, the search all correction.
  if (!std::isfinite(scale_)) scale_ = 0.0;
  start_.resize(scale_ > 0.0 ? buckets : 1);
  for (std::size_t b = 0; b < start_.size(); ++b) {
    const double edge = first_ + static_cast<double>(b) * (span / static_cast<double>(buckets));
    start_[b] = static_cast<std::uint32_t>(std::upper_bound(knots.begin(), knots.end(), edge) - knots.begin());
  }
}

std::size_t IntervalTable::count_below(const Vector& t, double v, bool strict) const {
  // A smooth's few knots are counted outright: no branch for inputs in
  // random order to mispredict, and the compares run side by side.
  if (t.size() <= kCountedKnots) {
    std::size_t p = 0;
    if (strict) {
      for (double knot : t) p += knot < v ? 1 : 0;
    } else {
      for (double knot : t) p += knot <= v ? 1 : 0;
    }
    return p;
  }
  std::size_t bucket = 0;
  if (v > first_) {
    const double position = (v - first_) * scale_;
    bucket = position < static_cast<double>(start_.size()) ? static_cast<std::size_t>(position) : start_.size() - 1;
  }
  // The bucket's count is only a guess (its edge was rounded); these two
  // loops make it exact for the sorted knots.
  std::size_t p = start_[bucket];
  if (strict) {
    while (p > 0 && t[p - 1] >= v) --p;
    while (p < t.size() && t[p] < v) ++p;
  } else {
    while (p > 0 && t[p - 1] > v) --p;
    while (p < t.size() && t[p] <= v) ++p;
  }
  return p;
}

void IntervalTable::count_below(const Vector& t, const double* at, std::size_t count, bool strict,
                                std::uint64_t* out) const {
  if (t.size() <= kCountedKnots) {
    if (distinct_.empty()) {  // no table (knots out of order): each knot once
      const std::vector<std::uint64_t> once(t.size(), 1);
      return count_knots_below(t.data(), once.data(), t.size(), at, count, strict, out);
    }
    return count_knots_below(distinct_.data(), times_.data(), distinct_.size(), at, count, strict, out);
  }
  for (std::size_t r = 0; r < count; ++r) out[r] = std::isnan(at[r]) ? 0 : count_below(t, at[r], strict);
}

std::size_t split_below(VectorView values, double pivot, double* out) {
  // The lower part fills from the front, the upper from the back: every
  // value is written once, with no branch on it to mispredict.
  std::size_t low = 0, high = values.size();
  for (std::size_t r = 0; r < values.size(); ++r) {
    const double v = values[r];
    const std::size_t above = v < pivot ? 0 : 1;
    // Arithmetic rather than a select, which compilers may turn into a branch.
    out[low + above * (high - 1 - low)] = v;
    low += 1 - above;
    high -= above;
  }
  return low;
}

// ---- Cubic regression splines --------------------------------------------------------

NaturalSplineCoefficients natural_spline_coefficients(const Vector& x, const Vector& y) {
  const std::size_t n = x.size();
  Vector h(n - 1);
  for (std::size_t j = 0; j + 1 < n; ++j) h[j] = x[j + 1] - x[j];

  // Tridiagonal system for the second-derivative coefficients c, natural
  // ends (c_0 = c_{n−1} = 0): forward sweep, then back substitution.
  Vector alpha(n, 0.0), mu(n, 0.0), z(n, 0.0);
  for (std::size_t j = 1; j + 1 < n; ++j)
    alpha[j] = 3.0 / h[j] * (y[j + 1] - y[j]) - 3.0 / h[j - 1] * (y[j] - y[j - 1]);
  for (std::size_t j = 0; j + 2 < n; ++j) {
    const double l = 2.0 * (h[j] + h[j + 1]) - h[j] * mu[j];
    mu[j + 1] = h[j + 1] / l;
    z[j + 1] = (alpha[j + 1] - h[j] * z[j]) / l;
  }
  NaturalSplineCoefficients out{Vector(n - 1), Vector(n, 0.0), Vector(n - 1)};
  Vector& c = out.c;
  for (std::size_t j = n - 1; j-- > 0;) c[j] = z[j] - mu[j] * c[j + 1];
  for (std::size_t j = 0; j + 1 < n; ++j) {
    out.b[j] = (y[j + 1] - y[j]) / h[j] - h[j] * (c[j + 1] + 2.0 * c[j]) / 3.0;
    out.d[j] = (c[j + 1] - c[j]) / (3.0 * h[j]);
  }
  return out;
}

Result<CubicRegressionBasis> CubicRegressionBasis::create(Vector knots, CrEnds ends) {
  if (knots.size() < 2) {
    return GamError::invalid_parameter("A cubic regression spline basis needs at least 2 knots, got " +
                                       std::to_string(knots.size()));
  }
  VORNA_CHECK(check_basis_dimension(knots.size()));
  return CubicRegressionBasis(std::move(knots), ends);
}

// The coefficients depend only on the knots and the basis function, so they
// are tabulated once here instead of once per input.
CubicRegressionBasis::CubicRegressionBasis(Vector knots, CrEnds ends)
    : knots_(std::move(knots)), ends_(ends), coefficients_(knots_.size() - 1, 3 * knots_.size()) {
  const std::size_t k = knots_.size();
  strictly_increasing_ = true;
  for (std::size_t j = 0; j + 1 < k; ++j)
    if (!(knots_[j] < knots_[j + 1])) strictly_increasing_ = false;

  const bool finite = std::all_of(knots_.begin(), knots_.end(), [](double v) { return std::isfinite(v); });
  if (strictly_increasing_ && finite) second_derivatives_ = Matrix(k, k);
  Vector unit(k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    unit[i] = 1.0;
    const NaturalSplineCoefficients spline = natural_spline_coefficients(knots_, unit);
    unit[i] = 0.0;
    for (std::size_t j = 0; j + 1 < k; ++j) {
      double* entry = coefficients_.row_ptr(j) + 3 * i;
      entry[0] = spline.b[j];
      entry[1] = spline.c[j];
      entry[2] = spline.d[j];
    }
    // The value on each interval is y_j + u·b_j + u²·c_j + u³·d_j, so f″(x_j) = 2c_j.
    if (second_derivatives_.rows() > 0)
      for (std::size_t j = 0; j < k; ++j) second_derivatives_(j, i) = 2.0 * spline.c[j];
  }
  if (second_derivatives_.rows() == 0) return;
  inverse_h_.resize(k - 1);
  h_squared_.resize(k - 1);
  inverse_6h_.resize(k - 1);
  for (std::size_t j = 0; j + 1 < k; ++j) {
    const double h = knots_[j + 1] - knots_[j];
    inverse_h_[j] = 1.0 / h;
    h_squared_[j] = h * h;
    inverse_6h_[j] = 1.0 / (6.0 * h);
  }
  table_ = IntervalTable(knots_);
}

Matrix CubicRegressionBasis::local_map() const {
  const std::size_t k = knots_.size();
  if (second_derivatives_.rows() == 0) return {};
  Matrix map(2 * k, k);
  for (std::size_t j = 0; j < k; ++j) {
    map(2 * j, j) = 1.0;
    for (std::size_t i = 0; i < k; ++i) map(2 * j + 1, i) = second_derivatives_(j, i);
  }
  // Knots so close that 1/h or h² overflow or vanish: no local form.
  const auto finite = [](const Vector& v) {
    return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
  };
  if (!finite(map.storage()) || !finite(inverse_h_) || !finite(inverse_6h_) || !finite(h_squared_)) return {};
  return map;
}

namespace {

// f(c, count, at, below) for the inputs in chunks of 64 from c: their values
// and the knots strictly below each, as locate_interval() counts them (none
// below a NaN).
template <class F>
void for_counted_chunks(VectorView x, const IntervalTable& table, const Vector& knots, F&& f) {
  constexpr std::size_t kChunk = 64;
  std::array<double, kChunk> at;
  std::array<std::uint64_t, kChunk> below;
  for (std::size_t c = 0; c < x.size(); c += kChunk) {
    const std::size_t count = std::min(kChunk, x.size() - c);
    for (std::size_t r = 0; r < count; ++r) at[r] = x[c + r];
    table.count_below(knots, at.data(), count, true, below.data());
    f(c, count, at.data(), below.data());
  }
}

}  // namespace

// Beyond the ends, on (β_j, δ_j, β_{j+1}, δ_{j+1}) of the end interval: the
// chord (1 − t, 0, t, 0) or (−t, 0, 1 + t, 0) with t = s/h, as evaluate_row()
// computes it; the tangent adds the δ terms of the end slope, f′(x_0) =
// (β_1 − β_0)/h − h(δ_0/3 + δ_1/6) and f′(x_{k−1}) = (β_{k−1} − β_{k−2})/h +
// h(δ_{k−2}/6 + δ_{k−1}/3).
void CubicRegressionBasis::end_values(bool high, double s, double h, double* value) const {
  const double t = s / h;
  const bool tangent = ends_ == CrEnds::Tangent;
  if (high) {
    value[0] = -t, value[1] = tangent ? s * h / 6.0 : 0.0, value[2] = 1.0 + t, value[3] = tangent ? s * h / 3.0 : 0.0;
  } else {
    value[0] = 1.0 - t, value[1] = tangent ? -s * h / 3.0 : 0.0, value[2] = t, value[3] = tangent ? -s * h / 6.0 : 0.0;
  }
}

void CubicRegressionBasis::evaluate_local(VectorView x, std::uint32_t* index, double* value, std::size_t stride) const {
  const std::size_t k = knots_.size();
  const double first = knots_[0];
  const double last = knots_[k - 1];
  for_counted_chunks(x, table_, knots_,
                     [&](std::size_t c, std::size_t count, const double* at, const std::uint64_t* below) {
                       for (std::size_t r = 0; r < count; ++r) {
                         const double v = at[r];
                         std::uint32_t* ix = index + (c + r) * stride;
                         double* val = value + (c + r) * stride;
                         std::size_t j = 0;
                         if (v < first) {
                           end_values(false, v - first, knots_[1] - first, val);
                         } else if (v > last) {
                           j = k - 2;
                           end_values(true, v - last, last - knots_[k - 2], val);
                         } else {
                           // As locate_interval(): a NaN lands in interval 0 and makes every value NaN.
                           j = below[r] == 0 ? 0 : std::min<std::size_t>(below[r] - 1, k - 2);
                           const double u = v - knots_[j], w = knots_[j + 1] - v;
                           const double h2 = h_squared_[j];
                           val[0] = w * inverse_h_[j];
                           val[1] = w * (w * w - h2) * inverse_6h_[j];
                           val[2] = u * inverse_h_[j];
                           val[3] = u * (u * u - h2) * inverse_6h_[j];
                         }
                         for (std::size_t s = 0; s < 4; ++s) ix[s] = static_cast<std::uint32_t>(2 * j + s);
                       }
                     });
}

namespace {

// A cr curve's chords beyond the first and the last knot.
struct CrChords {
  double low_value, low_slope, high_value, high_slope;
};

// out[r] += the cr curve at at[r], below[r] knots strictly below it: the
// cubic of interval j = below − 1 (clamped to 0 … k − 2), the chords beyond
// the ends, NaN for a non-finite input. Selects, no branches.
VORNA_VECTOR_CLONES
void add_cr_spline_rows(const double* cubics, const double* knots, std::size_t k, const CrChords& chords,
                        const double* at, const std::uint64_t* below, std::size_t count, double* out) {
  const double first = knots[0], last = knots[k - 1];
  const std::uint64_t top = k - 2;
  for (std::size_t r = 0; r < count; ++r) {
    const double v = at[r];
    std::uint64_t j = below[r] > 0 ? below[r] - 1 : 0;
    j = j > top ? top : j;
    const double* cj = cubics + 4 * j;
    const double u = v - knots[j];
    const double inside = ((cj[3] * u + cj[2]) * u + cj[1]) * u + cj[0];
    const double low = chords.low_value + (v - first) * chords.low_slope;
    const double high = chords.high_value + (v - last) * chords.high_slope;
    const double value = v < first ? low : (v > last ? high : inside);
    out[r] += std::abs(v) <= std::numeric_limits<double>::max() ? value : std::numeric_limits<double>::quiet_NaN();
  }
}

}  // namespace

void SplineBasis::add_spline(VectorView x, const double* gamma, const std::vector<double>& cubics, double* out) const {
  static_cast<void>(cubics);
  constexpr std::size_t kChunk = 64;
  const std::size_t c = local_count();
  std::vector<std::uint32_t> index(kChunk * c);
  Vector value(kChunk * c);
  for (std::size_t first = 0; first < x.size(); first += kChunk) {
    const std::size_t count = std::min(kChunk, x.size() - first);
    evaluate_local(VectorView(x.data() + static_cast<std::ptrdiff_t>(first) * x.stride(), count, x.stride()),
                   index.data(), value.data(), c);
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t s = 0; s < c; ++s) out[first + r] += value[r * c + s] * gamma[index[r * c + s]];
  }
}

std::vector<double> CubicRegressionBasis::spline_cubics(const double* gamma) const {
  if (inverse_h_.empty() || local_map().rows() == 0) return {};
  const std::size_t k = knots_.size();
  std::vector<double> cubics(4 * (k - 1));
  // With w = h − u: w/h = 1 − u/h, w(w² − h²)/(6h) = −hu/3 + u²/2 − u³/(6h),
  // u(u² − h²)/(6h) = −hu/6 + u³/(6h).
  for (std::size_t j = 0; j + 1 < k; ++j) {
    const double b0 = gamma[2 * j], d0 = gamma[2 * j + 1], b1 = gamma[2 * j + 2], d1 = gamma[2 * j + 3];
    const double h = knots_[j + 1] - knots_[j];
    double* c = cubics.data() + 4 * j;
    c[0] = b0;
    c[1] = (b1 - b0) * inverse_h_[j] - h * (d0 / 3.0 + d1 / 6.0);
    c[2] = 0.5 * d0;
    c[3] = (d1 - d0) * inverse_6h_[j];
  }
  return cubics;
}

void CubicRegressionBasis::add_spline(VectorView x, const double* gamma, const std::vector<double>& cubics,
                                      double* out) const {
  if (cubics.empty()) return SplineBasis::add_spline(x, gamma, cubics, out);
  const std::size_t k = knots_.size();
  // The lines beyond the ends: the slopes of end_values().
  double low[4], high[4];
  end_values(false, 1.0, knots_[1] - knots_[0], low);
  end_values(true, 1.0, knots_[k - 1] - knots_[k - 2], high);
  const double low_slope = (low[0] - 1.0) * gamma[0] + low[1] * gamma[1] + low[2] * gamma[2] + low[3] * gamma[3];
  const double* g = gamma + 2 * (k - 2);
  const double high_slope = high[0] * g[0] + high[1] * g[1] + (high[2] - 1.0) * g[2] + high[3] * g[3];
  const CrChords chords{gamma[0], low_slope, gamma[2 * (k - 1)], high_slope};
  for_counted_chunks(x, table_, knots_,
                     [&](std::size_t c, std::size_t count, const double* at, const std::uint64_t* below) {
                       add_cr_spline_rows(cubics.data(), knots_.data(), k, chords, at, below, count, out + c);
                     });
}

namespace {

// Σu … Σu³ of u = x[r·stride] − origin over `count` inputs, in eight lanes
// (added in a fixed order at the end) so that the sums need not wait on each
// other. A stride of 1 has its own loop, which the compiler vectorizes; both
// loops do the same operations in the same order. Inlined, so that it is
// compiled for each instruction set of power_sums.
template <std::ptrdiff_t kStride>
[[gnu::always_inline]] inline std::array<double, 3> power_sums_by(const double* x, std::ptrdiff_t stride,
                                                                  std::size_t count, double origin) {
  constexpr std::size_t kLanes = 8;
  const std::ptrdiff_t step = kStride == 0 ? stride : kStride;
  std::array<double, kLanes> s1{}, s2{}, s3{};
  std::size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double u = x[static_cast<std::ptrdiff_t>(r + l) * step] - origin, u2 = u * u;
      s1[l] += u;
      s2[l] += u2;
      s3[l] += u2 * u;
    }
  }
  for (std::size_t l = 0; r < count; ++r, ++l) {
    const double u = x[static_cast<std::ptrdiff_t>(r) * step] - origin, u2 = u * u;
    s1[l] += u;
    s2[l] += u2;
    s3[l] += u2 * u;
  }
  std::array<double, 3> sums{};
  for (std::size_t l = 0; l < kLanes; ++l) {
    sums[0] += s1[l];
    sums[1] += s2[l];
    sums[2] += s3[l];
  }
  return sums;
}

// Σu⁰ … Σu³ of u = x_r − origin over the inputs [first, last).
VORNA_VECTOR_CLONES
std::array<double, 4> power_sums(VectorView x, std::size_t first, std::size_t last, double origin) {
  const double* start = x.data() + static_cast<std::ptrdiff_t>(first) * x.stride();
  const std::size_t count = last - first;
  const std::array<double, 3> s =
      x.stride() == 1 ? power_sums_by<1>(start, 1, count, origin) : power_sums_by<0>(start, x.stride(), count, origin);
  return {static_cast<double>(count), s[0], s[1], s[2]};
}

}  // namespace

Vector CubicRegressionBasis::column_sums_sorted(VectorView sorted) const {
  const Matrix map = local_map();
  if (map.rows() == 0) return {};
  const std::size_t k = knots_.size(), n = sorted.size();
  // The first row at or above (strict: above) v, by bisection of the ascending inputs.
  const auto rows_below = [&](double v, bool strict) {
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (strict ? sorted[mid] <= v : sorted[mid] < v) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  Vector raw(2 * k, 0.0);
  // Below the first knot, the line of end_values(): linear in s = x − x_0, so
  // its sums are Σs times the values at s = 1, less the constant β_0 part.
  const std::size_t below = rows_below(knots_[0], false);
  const std::array<double, 4> low = power_sums(sorted, 0, below, knots_[0]);
  double line[4];
  end_values(false, 1.0, knots_[1] - knots_[0], line);
  raw[0] += low[0] + low[1] * (line[0] - 1.0);
  for (std::size_t e = 1; e < 4; ++e) raw[e] += low[1] * line[e];
  // Interval j holds (x_j, x_{j+1}], and interval 0 its left end too (as evaluate_local places rows).
  std::size_t from = below;
  for (std::size_t j = 0; j + 1 < k; ++j) {
    const std::size_t to = rows_below(knots_[j + 1], true);
    const std::array<double, 4> u = power_sums(sorted, from, to, knots_[j]);
    from = to;
    const double h = knots_[j + 1] - knots_[j], h2 = h_squared_[j];
    // w = h − u: Σw and Σw³ from the sums of powers of u.
    const double w1 = h * u[0] - u[1];
    const double w3 = h * (h * (h * u[0] - 3.0 * u[1]) + 3.0 * u[2]) - u[3];
    raw[2 * j] += w1 * inverse_h_[j];
    raw[2 * j + 1] += (w3 - h2 * w1) * inverse_6h_[j];
    raw[2 * j + 2] += u[1] * inverse_h_[j];
    raw[2 * j + 3] += (u[3] - h2 * u[1]) * inverse_6h_[j];
  }
  // Above the last knot likewise, on the raw functions of interval k − 2.
  const std::array<double, 4> high = power_sums(sorted, from, n, knots_[k - 1]);
  end_values(true, 1.0, knots_[k - 1] - knots_[k - 2], line);
  double* end = raw.data() + 2 * (k - 2);
  end[2] += high[0] + high[1] * (line[2] - 1.0);
  for (const std::size_t e : {0, 1, 3}) end[e] += high[1] * line[e];
  Vector sums(k, 0.0);
  for (std::size_t r = 0; r < 2 * k; ++r)
    for (std::size_t c = 0; c < k; ++c) sums[c] += raw[r] * map(r, c);
  return sums;
}

// The first interval [x_I, x_{I+1}] that holds v, or 0 if none does; at an
// interior knot that is the interval on its left.
namespace {
// Up to this many knots the interval is found by counting (see locate_interval).
constexpr std::size_t kLinearSearchKnots = 32;
}  // namespace

std::size_t CubicRegressionBasis::locate_interval(double v) const {
  if (strictly_increasing_) {
    // First knot >= v, i.e. the number of knots below v (0 for NaN, which no
    // comparison admits). Counting without branches is faster than a binary
    // search for the few knots of a smooth, whose branches inputs in random
    // order would mispredict.
    std::size_t p = 0;
    if (knots_.size() <= kLinearSearchKnots) {
      for (double knot : knots_) p += knot < v ? 1 : 0;
    } else {
      p = static_cast<std::size_t>(std::lower_bound(knots_.begin(), knots_.end(), v) - knots_.begin());
    }
    return p == 0 ? 0 : std::min(p - 1, knots_.size() - 2);
  }
  for (std::size_t i = 0; i + 1 < knots_.size(); ++i)
    if (knots_[i] <= v && v <= knots_[i + 1]) return i;
  return 0;
}

void CubicRegressionBasis::evaluate_row(double v, double* row) const {
  const std::size_t k = knots_.size();
  const double first = knots_[0];
  const double last = knots_[k - 1];
  const bool tangent = ends_ == CrEnds::Tangent;
  if (v < first) {
    // Along the first chord: y_0 + (v − x_0)·(y_1 − y_0)/(x_1 − x_0); or
    // along the tangent, whose slope is b of interval 0.
    const double h = knots_[1] - first;
    for (std::size_t i = 0; i < k; ++i) {
      const double y0 = i == 0 ? 1.0 : 0.0;
      const double y1 = i == 1 ? 1.0 : 0.0;
      row[i] = tangent ? y0 + (v - first) * coefficients_(0, 3 * i) : y0 + (v - first) * (y1 - y0) / h;
    }
    return;
  }
  if (v > last) {
    // Along the last chord:
    // y_{k−1} + (v − x_{k−1})·(y_{k−1} − y_{k−2})/(x_{k−1} − x_{k−2}); or
    // along the tangent, whose slope is b + 2ch + 3dh² of interval k − 2.
    const double h = last - knots_[k - 2];
    const double* coef = coefficients_.row_ptr(k - 2);
    for (std::size_t i = 0; i < k; ++i) {
      const double y_last = i == k - 1 ? 1.0 : 0.0;
      const double y_before = i == k - 2 ? 1.0 : 0.0;
      const double b = coef[3 * i], c = coef[3 * i + 1], d = coef[3 * i + 2];
      row[i] = tangent ? y_last + (v - last) * (b + h * (2.0 * c + 3.0 * d * h))
                       : y_last + (v - last) * (y_last - y_before) / h;
    }
    return;
  }
  const std::size_t interval = locate_interval(v);
  const double u = v - knots_[interval];
  const double* coef = coefficients_.row_ptr(interval);
  for (std::size_t i = 0; i < k; ++i) {
    const double y = i == interval ? 1.0 : 0.0;
    const double b = coef[3 * i], c = coef[3 * i + 1], d = coef[3 * i + 2];
    row[i] = y + u * b + u * (u * c) + u * (u * (u * d));
  }
}

void CubicRegressionBasis::evaluate_into(VectorView x, double* out, std::size_t row_stride) const {
  for (std::size_t r = 0; r < x.size(); ++r) evaluate_row(x[r], out + r * row_stride);
}

// ---- Cubic B-splines -----------------------------------------------------------------

namespace {

// N_{j,3}(x) and N_{j,2}(x) for the B-splines around the active interval a.
struct LocalBSplines {
  std::size_t active;
  std::array<double, 5> quadratic;  // N_{j,2}(x), j = a − 3 … a + 1 at index j − a + 3
  std::array<double, 4> cubic;      // N_{j,3}(x), j = a − 3 … a     at index j − a + 3
};

// The triangular form of the Cox–de Boor recursion: with only N_{a,0}(x) = 1,
// N_{j,d}(x) can be non-zero only for a − d <= j <= a, so each degree takes
// at most four steps, each the very step the full recursion takes (the
// entries left at 0 are the ones the full recursion computes as zeros).
// Requires a non-decreasing t, x not NaN and N_{a,0}(x) = 1.
LocalBSplines local_bsplines(std::span<const double> t, std::size_t a, double x) {
  LocalBSplines out{a, {}, {}};
  std::array<double, 5> level{};  // N_{j,d}(x) at index j − a + 3
  level[3] = 1.0;
  for (std::size_t d = 1; d <= 3; ++d) {
    std::array<double, 5> next{};
    for (std::size_t slot = 3 - d; slot <= 3; ++slot) {
      if (a + slot < 3) continue;  // j < 0
      next[slot] = cox_de_boor_step(t, a + slot - 3, d, x, level[slot], level[slot + 1]);
    }
    level = next;
    if (d == 2) out.quadratic = level;
  }
  std::copy_n(level.begin(), 4, out.cubic.begin());
  return out;
}

std::optional<LocalBSplines> local_bsplines(std::span<const double> t, double x) {
  const auto active = active_interval(t, x);
  if (!active) return std::nullopt;
  return local_bsplines(t, *active, x);
}

// N_{a−3,3}(x) … N_{a,3}(x) into b[r][0 … 3] for four inputs x[r] with
// t_a <= x[r] < t_{a+1}, t[r] pointing at that t_a (t_{a−3} … t_{a+4} are
// read): the guarded recursion of local_bsplines() step for step, so the
// values are the same to the last bit. Each input has a lane of GCC's vector
// types, and IEEE arithmetic is exact-rounded lane by lane. A term the guard
// leaves out is computed as 0/1·N instead, which adds exactly nothing while
// every N is finite (the caller makes sure: knots spanning less than 1e290,
// x inside them); the loop then has no branches and divides four lanes per
// instruction. Compiled for AVX2 and for the baseline, which give identical
// results (no contraction, no reassociation).
typedef double Lanes __attribute__((vector_size(32)));
typedef long long LaneMask __attribute__((vector_size(32)));

VORNA_VECTOR_CLONES
void guarded_cubic_bsplines_x4(const double* const* t, const double* x, double* const* b) {
  constexpr int kLanes = 4;
  const Lanes zero = {0.0, 0.0, 0.0, 0.0};
  const Lanes one = {1.0, 1.0, 1.0, 1.0};
  const Lanes guard = {kKnotGuard, kKnotGuard, kKnotGuard, kKnotGuard};
  const Lanes at = {x[0], x[1], x[2], x[3]};
  Lanes knot[8];  // knot[j][lane] = t_{a−3+j} of the lane's interval a
  for (int j = 0; j < 8; ++j) knot[j] = Lanes{t[0][j - 3], t[1][j - 3], t[2][j - 3], t[3][j - 3]};
  Lanes level[5] = {zero, zero, zero, one, zero};
#pragma GCC unroll 3
  for (int d = 1; d <= 3; ++d) {
    Lanes next[4];
#pragma GCC unroll 4
    for (int s = 0; s < 4; ++s) {
      if (s < 3 - d) {  // the recursion leaves these slots at 0
        next[s] = zero;
        continue;
      }
      const Lanes den_left = knot[s + d] - knot[s];
      const Lanes den_right = knot[s + d + 1] - knot[s + 1];
      // |den| > guard, false for NaN as std::abs(den) > guard is.
      const LaneMask left = (den_left > guard) | (den_left < -guard);
      const LaneMask right = (den_right > guard) | (den_right < -guard);
      const Lanes term_left = (left ? at - knot[s] : zero) / (left ? den_left : one) * level[s];
      const Lanes term_right = (right ? knot[s + d + 1] - at : zero) / (right ? den_right : one) * level[s + 1];
      next[s] = (zero + term_left) + term_right;
    }
    for (int s = 0; s < 4; ++s) level[s] = next[s];
  }
  for (int r = 0; r < kLanes; ++r)
    for (int s = 0; s < 4; ++s) b[r][s] = level[s][r];
}

// N_{a−3,3}(x) … N_{a,3}(x) into b[r][0 … 3] for four inputs x[r] with
// t_a <= x[r] < t_{a+1}, t[r] pointing at that t_a (t_{a−2} … t_{a+3} are
// read), one lane each. The same values as local_bsplines() up to rounding,
// in de Boor's arrangement of the recursion ("BSPLVB", de Boor, A Practical
// Guide to Splines, 2001, p. 111): six divisions, each by a knot difference
// spanning [t_a, t_{a+1}] and so never zero, where the guarded recursion
// takes twenty with a guard for each.
VORNA_VECTOR_CLONES
void cubic_bsplines_x4(const double* const* t, const double* x, double* const* b) {
  const Lanes at = {x[0], x[1], x[2], x[3]};
  Lanes left[4], right[4], level[4];
  level[0] = Lanes{1.0, 1.0, 1.0, 1.0};
#pragma GCC unroll 3
  for (int j = 1; j <= 3; ++j) {
    left[j] = at - Lanes{t[0][1 - j], t[1][1 - j], t[2][1 - j], t[3][1 - j]};
    right[j] = Lanes{t[0][j], t[1][j], t[2][j], t[3][j]} - at;
    Lanes saved = {0.0, 0.0, 0.0, 0.0};
#pragma GCC unroll 3
    for (int r = 0; r < j; ++r) {
      const Lanes term = level[r] / (right[r + 1] + left[j - r]);
      level[r] = saved + right[r + 1] * term;
      saved = left[j - r] * term;
    }
    level[j] = saved;
  }
  for (int r = 0; r < 4; ++r)
    for (int s = 0; s < 4; ++s) b[r][s] = level[s][r];
}

// The four B-splines at at[rows[i]] from the cubics of its interval
// active[i] (see BSplineBasis::make_pieces), by Horner's rule, one lane per
// B-spline, into value + rows[i]·stride.
VORNA_VECTOR_CLONES
void evaluate_pieces(const double* pieces, const double* t, const std::uint32_t* rows, const std::uint32_t* active,
                     std::size_t count, const double* at, double* value, std::size_t stride) {
  for (std::size_t i = 0; i < count; ++i) {
    const double* piece = pieces + 16 * static_cast<std::size_t>(active[i]);
    const double u = at[rows[i]] - t[active[i]];
    Lanes c0, c1, c2, c3;
    std::memcpy(&c0, piece, sizeof c0);
    std::memcpy(&c1, piece + 4, sizeof c1);
    std::memcpy(&c2, piece + 8, sizeof c2);
    std::memcpy(&c3, piece + 12, sizeof c3);
    const Lanes v = ((c3 * u + c2) * u + c1) * u + c0;
    std::memcpy(value + rows[i] * stride, &v, sizeof v);
  }
}

// A spline's straight continuation beyond one end, and where each starts.
struct SplineLine {
  double value, slope;
};
struct SplineEnds {
  SplineLine low, high;
  double low_at;  // the point a row beyond the low end is placed at
};

// out[r] += the spline at the row whose input is raw[r], placed at at[r]
// with above[r] knots of t at most at[r] (beyond[r]: past an end): inside the
// knots from the cubic of its interval, beyond them along the end's tangent,
// NaN for a non-finite input, as the local rows give. A finite input inside
// the knots is placed at least 2e-10 inside them, so its interval a =
// above − 1 is one with cubics (3 <= a <= size − 5); the clamp only keeps
// the other rows' unused reads inside the table. No branches: several rows
// run per instruction.
VORNA_VECTOR_CLONES
void add_spline_rows(const double* cubics, const double* t, std::size_t size, const SplineEnds& ends, const double* raw,
                     const double* at, const std::uint64_t* above, const std::uint64_t* beyond, std::size_t count,
                     double* out) {
  const std::uint64_t first = 3, last = size - 5;
  for (std::size_t r = 0; r < count; ++r) {
    std::uint64_t a = above[r] > 0 ? above[r] - 1 : 0;
    a = a < first ? first : (a > last ? last : a);
    const double* c = cubics + 4 * a;
    const double u = at[r] - t[a];
    const double inside = ((c[3] * u + c[2]) * u + c[1]) * u + c[0];
    const bool low = at[r] == ends.low_at;
    const double past =
        (low ? ends.low.value : ends.high.value) + (raw[r] - at[r]) * (low ? ends.low.slope : ends.high.slope);
    const double value = beyond[r] != 0 ? past : inside;
    out[r] += std::abs(raw[r]) <= std::numeric_limits<double>::max() ? value : std::numeric_limits<double>::quiet_NaN();
  }
}

// Rows waiting for a recursion, four at a time: the guarded one (`exact`)
// or de Boor's arrangement.
class RowBatch {
 public:
  explicit RowBatch(bool exact) : exact_(exact) {}
  // `t` points at t_a of the input's interval; the values go to out[0 … 3].
  void add(const double* t, double x, double* out) {
    t_[count_] = t, x_[count_] = x, out_[count_] = out;
    if (++count_ == 4) flush();
  }
  // The rows left over, padded with copies of the first.
  void finish() {
    if (count_ == 0) return;
    std::array<double, 4> spare;
    for (std::size_t r = count_; r < 4; ++r) t_[r] = t_[0], x_[r] = x_[0], out_[r] = spare.data();
    flush();
  }

 private:
  void flush() {
    if (exact_) {
      guarded_cubic_bsplines_x4(t_.data(), x_.data(), out_.data());
    } else {
      cubic_bsplines_x4(t_.data(), x_.data(), out_.data());
    }
    count_ = 0;
  }
  std::array<const double*, 4> t_{};
  std::array<double, 4> x_{};
  std::array<double*, 4> out_{};
  std::size_t count_ = 0;
  bool exact_;
};

// What BSplineBasis::place() compares an input with and where it puts it.
struct Placement {
  double lo, hi;            // the end knots less and plus the boundary tolerance
  double lo_near, hi_near;  // inside these an input stays where it is
  double lo_inside, hi_inside;
};

// place() for `count` inputs, which `at` holds on entry: at[r] becomes the
// point it evaluates at and out[r] 1 where it extrapolates. Selects rather
// than branches, run several inputs per instruction. With knots spanning
// more than the boundary shift (as for a local form) the tests below decide
// exactly as place() does for finite inputs; a NaN stays NaN, and no
// non-finite input is beyond.
VORNA_VECTOR_CLONES
void place_rows(double* at, std::size_t count, const Placement& p, std::uint64_t* out) {
  for (std::size_t r = 0; r < count; ++r) {
    const double v = at[r];
    // ±∞ stay with the inside rows, whose rule for non-finite inputs they follow.
    out[r] = ((v < p.lo) | (v > p.hi)) & (std::abs(v) <= std::numeric_limits<double>::max());
    double moved = v > p.hi_near ? p.hi_inside : v;
    moved = v < p.lo_near ? p.lo_inside : moved;
    at[r] = moved;
  }
}

}  // namespace

Result<BSplineBasis> BSplineBasis::create(Vector knots) {
  if (knots.empty()) return GamError::invalid_parameter("A B-spline basis needs at least 1 knot, got 0");
  VORNA_CHECK(check_basis_dimension(knots.size() + 2));
  return BSplineBasis(std::move(knots));
}

BSplineBasis::BSplineBasis(Vector knots) : knots_(std::move(knots)) {
  const double lo = knots_.front();
  const double hi = knots_.back();
  t_.reserve(knots_.size() + 6);
  t_.insert(t_.end(), 3, lo);
  t_.insert(t_.end(), knots_.begin(), knots_.end());
  t_.insert(t_.end(), 3, hi);
  sorted_and_finite_ = std::is_sorted(t_.begin(), t_.end()) &&
                       std::all_of(t_.begin(), t_.end(), [](double v) { return std::isfinite(v); });
  // From |x| = 2^20 on, neighbouring doubles lie more than 1e-10 apart and
  // hi − 2e-10 can round back to hi itself, where only the empty closed last
  // interval is active and every function (and slope) would evaluate to 0.
  // The shifted point and bound at that end are therefore at least one
  // representable step inside it; for ordinary magnitudes nothing changes.
  const auto inside = [](double end, double offset, double towards) {
    const double moved = end + offset;
    return moved != end || !std::isfinite(end) ? moved : std::nextafter(end, towards);
  };
  // The left end needs no such care: its first interval [lo, κ₁) holds lo.
  lo_inside_ = lo + kBoundaryShift;
  lo_near_ = lo + kBoundaryTolerance;
  hi_inside_ = inside(hi, -kBoundaryShift, lo);
  hi_near_ = inside(hi, -kBoundaryTolerance, lo);
  if (sorted_and_finite_ && hi > lo) table_ = IntervalTable(t_);
  local_form_ = has_local_form();
  narrow_ = hi - lo < 1e290;
  if (local_form_) {
    lo_tangent_ = tangent_at(lo_inside_);
    hi_tangent_ = tangent_at(hi_inside_);
    make_pieces();
  }
}

namespace {

// A polynomial in u of degree at most 3, coefficient of u^p at [p].
using Cubic = std::array<double, 4>;

// p·(c0 + c1·u), p of degree at most 2.
Cubic times_linear(const Cubic& p, double c0, double c1) {
  Cubic out{};
  for (std::size_t i = 0; i < 3; ++i) {
    out[i] += c0 * p[i];
    out[i + 1] += c1 * p[i];
  }
  return out;
}

}  // namespace

// De Boor's arrangement of the recursion (cubic_bsplines_x4) with polynomials
// in u = x − t_a for values: left_j = x − t_{a+1−j} = (t_a − t_{a+1−j}) + u,
// right_j = t_{a+j} − x = (t_{a+j} − t_a) − u, and each division by a knot
// difference that does not depend on x.
void BSplineBasis::make_pieces() {
  const std::size_t n = t_.size();
  pieces_.assign(16 * n, 0.0);
  for (std::size_t a = 3; a + 5 <= n; ++a) {
    if (!(t_[a] < t_[a + 1])) continue;  // never the active interval
    std::array<Cubic, 4> level{};
    level[0] = Cubic{1.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 1; j <= 3; ++j) {
      Cubic saved{};
      for (std::size_t r = 0; r < j; ++r) {
        // right_{r+1} + left_{j−r} = t_{a+r+1} − t_{a+1−j+r}.
        const double width = t_[a + r + 1] - t_[a + 1 + r - j];
        Cubic term = level[r];
        for (double& c : term) c /= width;
        const Cubic from_right = times_linear(term, t_[a + r + 1] - t_[a], -1.0);
        for (std::size_t p = 0; p < 4; ++p) level[r][p] = saved[p] + from_right[p];
        saved = times_linear(term, t_[a] - t_[a + 1 + r - j], 1.0);
      }
      level[j] = saved;
    }
    for (std::size_t p = 0; p < 4; ++p)
      for (std::size_t m = 0; m < 4; ++m) pieces_[16 * a + 4 * p + m] = level[m][p];
  }
  if (!std::all_of(pieces_.begin(), pieces_.end(), [](double c) { return std::isfinite(c); })) pieces_.clear();
}

BSplineBasis::EvalPoint BSplineBasis::place(double v) const {
  const double lo = knots_.front();
  const double hi = knots_.back();
  if (v < lo - kBoundaryTolerance) return {lo_inside_, true};
  if (v > hi + kBoundaryTolerance) return {hi_inside_, true};
  if (v < lo_near_) return {lo_inside_, false};
  if (v > hi_near_) return {hi_inside_, false};
  return {v, false};  // also NaN, which no comparison admits
}

// N′_i(a) = 3/(t_{i+3} − t_i)·N_{i,2}(a) − 3/(t_{i+4} − t_{i+1})·N_{i+1,2}(a),
// a term left out where its knots are missing or coincide.
double BSplineBasis::slope(std::size_t i, double quadratic_i, double quadratic_next) const {
  const std::size_t n = t_.size();
  double left = 0.0, right = 0.0;
  if (i + 3 < n && std::abs(t_[i + 3] - t_[i]) > kKnotGuard) left = 3.0 / (t_[i + 3] - t_[i]) * quadratic_i;
  if (i + 4 < n && std::abs(t_[i + 4] - t_[i + 1]) > kKnotGuard) right = 3.0 / (t_[i + 4] - t_[i + 1]) * quadratic_next;
  return left - right;
}

// Row of zeros except the at most four B-splines live at the evaluation point.
void BSplineBasis::evaluate_row_local(double v, double* row) const {
  const EvalPoint p = place(v);
  const auto local = local_bsplines(t_, p.at);
  if (!local) return;
  const std::size_t k = num_basis();
  for (std::size_t slot = 0; slot < 4; ++slot) {
    if (local->active + slot < 3) continue;
    const std::size_t i = local->active + slot - 3;
    if (i >= k) break;
    const double value = local->cubic[slot];
    row[i] = p.extrapolate ? value + (v - p.at) * slope(i, local->quadratic[slot], local->quadratic[slot + 1]) : value;
  }
}

void BSplineBasis::evaluate_row_full(double v, double* row) const {
  const EvalPoint p = place(v);
  for (std::size_t i = 0; i < num_basis(); ++i) {
    const double value = bspline_value(t_, i, 3, p.at);
    if (!p.extrapolate) {
      row[i] = value;
      continue;
    }
    const double tangent = slope(i, bspline_value(t_, i, 2, p.at), bspline_value(t_, i + 1, 2, p.at));
    row[i] = value + (v - p.at) * tangent;
  }
}

void BSplineBasis::evaluate_into(VectorView x, double* out, std::size_t row_stride) const {
  if (local_form_) {
    evaluate_into_local(x, out, row_stride);
    return;
  }
  for (std::size_t r = 0; r < x.size(); ++r) {
    const double v = x[r];
    // An infinite input times a zero slope is NaN in every column, and an
    // unsorted knot vector can make several intervals active: both need
    // the full rule.
    if (sorted_and_finite_ && std::isfinite(v)) {
      evaluate_row_local(v, out + r * row_stride);
    } else {
      evaluate_row_full(v, out + r * row_stride);
    }
  }
}

// The local form's four values per row, a block of rows at a time, placed in
// their columns; non-finite inputs take the full rule, as above.
void BSplineBasis::evaluate_into_local(VectorView x, double* out, std::size_t row_stride) const {
  constexpr std::size_t kRows = 256;
  std::array<std::uint32_t, 4 * kRows> index;
  std::array<double, 4 * kRows> value;
  for (std::size_t start = 0; start < x.size(); start += kRows) {
    const std::size_t rows = std::min(kRows, x.size() - start);
    const VectorView block(x.data() + static_cast<std::ptrdiff_t>(start) * x.stride(), rows, x.stride());
    evaluate_slots(block, index.data(), value.data(), 4, true);
    for (std::size_t r = 0; r < rows; ++r) {
      double* row = out + (start + r) * row_stride;
      if (!std::isfinite(x[start + r])) {
        evaluate_row_full(x[start + r], row);
        continue;
      }
      for (std::size_t s = 0; s < 4; ++s) row[index[4 * r + s]] = value[4 * r + s];
    }
  }
}

Matrix BSplineBasis::local_map() const {
  if (!local_form_) return {};
  const std::size_t k = num_basis();
  Matrix identity(k, k);
  for (std::size_t i = 0; i < k; ++i) identity(i, i) = 1.0;
  return identity;
}

// The guard of cox_de_boor_step drops knot differences up to kKnotGuard,
// which the rearranged recursion of evaluate_local() does not: knots that
// close keep to the dense path. (Differences of exactly 0 agree in both.)
bool BSplineBasis::has_local_form() const {
  if (!sorted_and_finite_ || !(knots_.back() > knots_.front()) || num_basis() < 4) return false;
  for (std::size_t i = 0; i + 1 < knots_.size(); ++i) {
    const double gap = knots_[i + 1] - knots_[i];
    if (gap != 0.0 && gap <= kKnotGuard) return false;
  }
  return knots_.back() - knots_.front() > 2.0 * kBoundaryShift;
}

// The active interval and the first of the four slots for a point inside
// the knot range (`at` as place() gives it), by the table.
std::optional<BSplineBasis::Slots> BSplineBasis::slots(double at) const {
  return slots(at, table_.count_below(t_, at, false));
}

// The same from the number of knots of t_ at most `at`.
std::optional<BSplineBasis::Slots> BSplineBasis::slots(double at, std::size_t above) const {
  const std::size_t k = num_basis();
  const std::size_t n = t_.size();
  // active_interval(t_, at).
  std::optional<std::size_t> active;
  if (above > 0 && above < n) active = above - 1;
  if (above == n && at == t_[n - 1]) active = n - 2;
  if (!active) return std::nullopt;
  // B-splines a − 3 … a, within 0 … k − 1; the four slots shift inwards at the ends.
  return Slots{*active, std::min(std::max<std::size_t>(*active, 3) - 3, k - 4)};
}

// Value and tangent of the four slots at `at` (a point place() moves an
// input beyond an end to), by the guarded recursion.
BSplineBasis::Tangent BSplineBasis::tangent_at(double at) const {
  Tangent out;
  const auto where = slots(at);
  if (!where) return out;
  out.start = where->start;
  const std::size_t k = num_basis();
  const LocalBSplines local = local_bsplines(t_, where->active, at);
  for (std::size_t slot = 0; slot < 4; ++slot) {
    if (local.active + slot < 3) continue;
    const std::size_t i = local.active + slot - 3;
    if (i >= k) break;
    out.value[i - out.start] = local.cubic[slot];
    out.slope[i - out.start] = slope(i, local.quadratic[slot], local.quadratic[slot + 1]);
  }
  return out;
}

void BSplineBasis::evaluate_local(VectorView x, std::uint32_t* index, double* value, std::size_t stride) const {
  evaluate_slots(x, index, value, stride, false);
}

std::vector<double> BSplineBasis::spline_cubics(const double* beta) const {
  if (pieces_.empty()) return {};
  const std::size_t n = t_.size();
  std::vector<double> cubics(4 * n, 0.0);
  for (std::size_t a = 3; a + 5 <= n; ++a)
    for (std::size_t p = 0; p < 4; ++p)
      for (std::size_t m = 0; m < 4; ++m) cubics[4 * a + p] += pieces_[16 * a + 4 * p + m] * beta[a - 3 + m];
  return cubics;
}

// f(c, count, at, above, beyond) for the inputs in chunks of 64 from c: each
// placed as place() does (at), the knots of t_ at most that point (above),
// and whether it lies beyond an end (beyond).
template <class F>
void BSplineBasis::for_placed_chunks(VectorView x, F&& f) const {
  constexpr std::size_t kChunk = 64;
  const Placement placement{knots_.front() - kBoundaryTolerance,
                            knots_.back() + kBoundaryTolerance,
                            lo_near_,
                            hi_near_,
                            lo_inside_,
                            hi_inside_};
  std::array<double, kChunk> at;
  std::array<std::uint64_t, kChunk> above, beyond;
  for (std::size_t c = 0; c < x.size(); c += kChunk) {
    const std::size_t count = std::min(kChunk, x.size() - c);
    for (std::size_t r = 0; r < count; ++r) at[r] = x[c + r];
    place_rows(at.data(), count, placement, beyond.data());
    table_.count_below(t_, at.data(), count, false, above.data());
    f(c, count, at.data(), above.data(), beyond.data());
  }
}

void BSplineBasis::add_spline(VectorView x, const double* beta, const std::vector<double>& cubics, double* out) const {
  if (cubics.empty()) return SplineBasis::add_spline(x, beta, cubics, out);
  // Beyond an end the spline continues along its tangent there.
  const auto along = [&](const Tangent& end) {
    SplineLine line{0.0, 0.0};
    for (std::size_t s = 0; s < 4; ++s) {
      line.value += end.value[s] * beta[end.start + s];
      line.slope += end.slope[s] * beta[end.start + s];
    }
    return line;
  };
  const SplineEnds ends{along(lo_tangent_), along(hi_tangent_), lo_inside_};
  for_placed_chunks(x, [&](std::size_t c, std::size_t count, const double* at, const std::uint64_t* above,
                           const std::uint64_t* beyond) {
    std::array<double, 64> raw;
    for (std::size_t r = 0; r < count; ++r) raw[r] = x[c + r];
    add_spline_rows(cubics.data(), t_.data(), t_.size(), ends, raw.data(), at, above, beyond, count, out + c);
  });
}

void BSplineBasis::evaluate_slots(VectorView x, std::uint32_t* index, double* value, std::size_t stride,
                                  bool exact) const {
  constexpr std::size_t kChunk = 64;
  const std::size_t n = t_.size();
  RowBatch batch(exact);
  // A chunk's rows inside the knots and beyond them, listed apart without
  // branches: about 1/(k − 1) of the rows lie beyond each end knot, in no
  // order a branch could predict.
  std::array<std::uint32_t, kChunk> inside, beyond;
  // The inside rows whose values come from the cubics of their interval.
  const bool by_pieces = !exact && !pieces_.empty();
  std::array<std::uint32_t, kChunk> piece_rows, piece_active;
  for_placed_chunks(
      x, [&](std::size_t c, std::size_t count, const double* at, const std::uint64_t* above, const std::uint64_t* out) {
        std::size_t n_inside = 0, n_beyond = 0, n_pieces = 0;
        for (std::size_t r = 0; r < count; ++r) {
          inside[n_inside] = static_cast<std::uint32_t>(r);
          beyond[n_beyond] = static_cast<std::uint32_t>(r);
          n_inside += 1 - out[r];
          n_beyond += out[r];
        }
        for (std::size_t i = 0; i < n_inside; ++i) {
          const std::size_t r = inside[i];
          std::uint32_t* ix = index + (c + r) * stride;
          double* val = value + (c + r) * stride;
          std::size_t start = 0;
          std::fill(val, val + 4, 0.0);
          if (!std::isfinite(x[c + r])) {
            // The full rule gives a non-finite entry in every column (NaN, ∞·slope
            // or ∞·0); which values these are does not matter, only that they are not finite.
            std::fill(val, val + 4, std::numeric_limits<double>::quiet_NaN());
          } else if (const auto where = slots(at[r], above[r])) {
            start = where->start;
            const bool interior = where->active >= 3 && where->active + 5 <= n;  // then start = a − 3
            if (interior && by_pieces) {
              piece_rows[n_pieces] = static_cast<std::uint32_t>(r);
              piece_active[n_pieces++] = static_cast<std::uint32_t>(where->active);
            } else if (interior && (!exact || narrow_)) {
              batch.add(t_.data() + where->active, at[r], val);
            } else {
              const Tangent tangent = tangent_at(at[r]);
              std::copy(tangent.value.begin(), tangent.value.end(), val);
            }
          }
          for (std::size_t s = 0; s < 4; ++s) ix[s] = static_cast<std::uint32_t>(start + s);
        }
        evaluate_pieces(pieces_.data(), t_.data(), piece_rows.data(), piece_active.data(), n_pieces, at,
                        value + c * stride, stride);
        // Beyond an end every row continues the same tangent, taken once (±∞
        // give non-finite values, as they should).
        for (std::size_t i = 0; i < n_beyond; ++i) {
          const std::size_t r = beyond[i];
          const double v = x[c + r];
          const Tangent& end = at[r] == lo_inside_ ? lo_tangent_ : hi_tangent_;
          std::uint32_t* ix = index + (c + r) * stride;
          double* val = value + (c + r) * stride;
          for (std::size_t s = 0; s < 4; ++s) {
            val[s] = end.value[s] + (v - at[r]) * end.slope[s];
            ix[s] = static_cast<std::uint32_t>(end.start + s);
          }
        }
      });
  batch.finish();
}

Matrix BSplineBasis::evaluate_full_rule(VectorView x) const {
  Matrix phi(x.size(), num_basis());
  for (std::size_t r = 0; r < x.size(); ++r) evaluate_row_full(x[r], phi.row_ptr(r));
  return phi;
}

// ---- Smooth constructors -------------------------------------------------------------

namespace {

Result<void> check_bspline_dimension(std::size_t k) {
  // k − 2 knots: below 2 there is no knot vector at all.
  if (k < 2) {
    return GamError::invalid_parameter("A B-spline smooth requires k >= 2 basis functions, got " + std::to_string(k));
  }
  return check_basis_dimension(k);
}

template <class Basis>
Result<SmoothTerm> make_smooth(std::string name, const char* penalty_type, std::size_t k, Vector knots) {
  VORNA_TRY(penalty, compute_penalty_matrix(penalty_type, k, knots));
  VORNA_TRY(basis, Basis::create(std::move(knots)));
  return SmoothTerm{std::move(name), std::make_shared<Basis>(std::move(basis)), std::move(penalty), 1.0};
}

// The positions of the sorted column that knot placement reads: the minimum,
// the maximum and the two order statistics around each quantile.
std::vector<std::size_t> quantile_positions(std::size_t n, std::size_t k) {
  std::vector<std::size_t> positions{0, n - 1};
  for (std::size_t b = 1; b + 2 <= k; ++b) {
    const double pos = static_cast<double>(b) / static_cast<double>(k - 1) * static_cast<double>(n - 1);
    const auto idx = static_cast<std::size_t>(std::floor(pos));
    positions.push_back(std::min(idx, n - 1));
    if (idx + 1 < n) positions.push_back(idx + 1);
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return positions;
}

// Rearranges [first, last) so that the element at each offset in
// `positions` (sorted, unique, relative to first) is the one a full sort
// would put there: a multi-way selection, O(n log q) for q positions instead
// of the O(n log n) of sorting the whole column.
void select_order_statistics(double* first, double* last, std::span<const std::size_t> positions, std::size_t base) {
  if (positions.empty() || first == last) return;
  const std::size_t mid = positions.size() / 2;
  const auto pivot = first + static_cast<std::ptrdiff_t>(positions[mid] - base);
  std::nth_element(first, pivot, last);
  select_order_statistics(first, pivot, positions.first(mid), base);
  select_order_statistics(pivot + 1, last, positions.subspan(mid + 1), positions[mid] + 1);
}

// The values a full sort of `v` would put at `ranks` (sorted, unique, each
// below v.size()) into out[0 … q), reordering v. The values are counted into
// buckets of equal width between the minimum and the maximum (the bucket of
// a value never decreases with the value); only the buckets holding a wanted
// rank are gathered and searched further, so a column costs about three
// reads. A bucket with more than half the values (a heavy tail squeezes the
// others together), or a range too wide to divide, goes to the multi-way
// selection instead.
// `range`: the minimum and maximum of v, where the caller has them.
void select_by_buckets(std::span<double> v, std::span<const std::size_t> ranks, double* out,
                       std::optional<std::pair<double, double>> range = std::nullopt) {
  constexpr std::size_t kBuckets = 4096;
  constexpr std::size_t kSortBelow = 2048;
  const std::size_t n = v.size();
  if (ranks.empty()) return;
  if (n <= kSortBelow) {
    std::sort(v.begin(), v.end());
    for (std::size_t i = 0; i < ranks.size(); ++i) out[i] = v[ranks[i]];
    return;
  }
  if (!range) {
    const auto [lo_it, hi_it] = std::minmax_element(v.begin(), v.end());
    range = std::pair{*lo_it, *hi_it};
  }
  const auto [lo, hi] = *range;
  if (lo == hi) {
    std::fill(out, out + ranks.size(), lo);
    return;
  }
  const double scale = static_cast<double>(kBuckets) / (hi - lo);
  const auto fallback = [&] {
    select_order_statistics(v.data(), v.data() + v.size(), ranks, 0);
    for (std::size_t i = 0; i < ranks.size(); ++i) out[i] = v[ranks[i]];
  };
  if (!std::isfinite(scale) || !(scale > 0.0)) return fallback();
  const auto bucket_of = [&](double x) { return std::min(kBuckets - 1, static_cast<std::size_t>((x - lo) * scale)); };
  std::vector<std::size_t> first(kBuckets + 1, 0);  // counts, then each bucket's first rank
  for (double x : v) ++first[bucket_of(x) + 1];
  for (std::size_t b = 0; b < kBuckets; ++b) first[b + 1] += first[b];
  // The buckets that hold wanted ranks, in order (ranks are sorted).
  std::vector<std::size_t> wanted;
  std::vector<std::size_t> bucket_of_rank(ranks.size());
  for (std::size_t i = 0; i < ranks.size(); ++i) {
    const std::size_t b =
        static_cast<std::size_t>(std::upper_bound(first.begin(), first.end(), ranks[i]) - first.begin()) - 1;
    bucket_of_rank[i] = b;
    if (wanted.empty() || wanted.back() != b) wanted.push_back(b);
    if (first[b + 1] - first[b] > n / 2) return fallback();
  }
  std::vector<std::uint32_t> slot(kBuckets, std::numeric_limits<std::uint32_t>::max());
  std::vector<Vector> gathered(wanted.size());
  for (std::size_t j = 0; j < wanted.size(); ++j) {
    slot[wanted[j]] = static_cast<std::uint32_t>(j);
    gathered[j].reserve(first[wanted[j] + 1] - first[wanted[j]]);
  }
  for (double x : v) {
    const std::uint32_t j = slot[bucket_of(x)];
    if (j != std::numeric_limits<std::uint32_t>::max()) gathered[j].push_back(x);
  }
  std::size_t i = 0;
  for (std::size_t j = 0; j < wanted.size(); ++j) {
    std::vector<std::size_t> local;
    const std::size_t begin = i;
    for (; i < ranks.size() && bucket_of_rank[i] == wanted[j]; ++i) local.push_back(ranks[i] - first[wanted[j]]);
    select_by_buckets(gathered[j], local, out + begin);
  }
}

void place_order_statistics(Vector& v, std::span<const std::size_t> positions,
                            std::optional<std::pair<double, double>> range = std::nullopt) {
  Vector values(positions.size());
  select_by_buckets(v, positions, values.data(), range);
  for (std::size_t i = 0; i < positions.size(); ++i) v[positions[i]] = values[i];
}

// The quantiles at probabilities b/(k−1), b = 1 … k−2, of the sorted values,
// by linear interpolation between order statistics.
Vector quantile_knots(const Vector& sorted, std::size_t k) {
  const std::size_t n = sorted.size();
  Vector knots(k - 2);
  for (std::size_t b = 1; b <= k - 2; ++b) {
    const double pos = static_cast<double>(b) / static_cast<double>(k - 1) * static_cast<double>(n - 1);
    const auto idx = static_cast<std::size_t>(std::floor(pos));
    if (idx < n - 1) {
      const double f = pos - static_cast<double>(idx);
      knots[b - 1] = (1.0 - f) * sorted[idx] + f * sorted[idx + 1];
    } else {
      knots[b - 1] = sorted[n - 1];
    }
  }
  return knots;
}

}  // namespace

Result<SmoothTerm> cubic_regression_smooth(std::string name, std::size_t k, double x_min, double x_max) {
  VORNA_CHECK(check_basis_dimension(k));
  const double step = k >= 2 ? (x_max - x_min) / static_cast<double>(k - 1) : 0.0;
  Vector knots(k);
  for (std::size_t j = 0; j < k; ++j) knots[j] = x_min + static_cast<double>(j) * step;
  return make_smooth<CubicRegressionBasis>(std::move(name), "cr", k, std::move(knots));
}

Result<SmoothTerm> bspline_smooth_from_range(std::string name, std::size_t k, double x_min, double x_max) {
  VORNA_CHECK(check_bspline_dimension(k));
  const std::size_t m = k - 2;
  const double spacing = m >= 2 ? (x_max - x_min) / static_cast<double>(k - 3) : 0.0;
  Vector knots(m);
  for (std::size_t j = 0; j < m; ++j) knots[j] = x_min + static_cast<double>(j) * spacing;
  return make_smooth<BSplineBasis>(std::move(name), "cubic", k, std::move(knots));
}

namespace {

struct ColumnScan {
  double lo, hi;  // meaningful without a NaN
  bool nan;
};

// Copies a non-empty column to `out`, with its range and whether it holds a
// NaN, in one read: four running extremes side by side, by comparisons
// (not fmin/fmax calls), so that no compare waits on the one before.
ColumnScan copy_and_scan(VectorView column, double* out) {
  constexpr std::size_t kLanes = 4;
  std::array<double, kLanes> lo, hi;
  lo.fill(column[0]);
  hi.fill(column[0]);
  bool nan = false;
  const std::size_t n = column.size();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double v = column[i + l];
      out[i + l] = v;
      nan |= v != v;
      lo[l] = v < lo[l] ? v : lo[l];
      hi[l] = v > hi[l] ? v : hi[l];
    }
  for (; i < n; ++i) {
    const double v = column[i];
    out[i] = v;
    nan |= v != v;
    lo[0] = v < lo[0] ? v : lo[0];
    hi[0] = v > hi[0] ? v : hi[0];
  }
  ColumnScan scan{lo[0], hi[0], nan};
  for (std::size_t l = 1; l < kLanes; ++l) {
    scan.lo = lo[l] < scan.lo ? lo[l] : scan.lo;
    scan.hi = hi[l] > scan.hi ? hi[l] : scan.hi;
  }
  return scan;
}

}  // namespace

Result<SmoothTerm> bspline_smooth_from_data(std::string name, std::size_t k, VectorView column) {
  VORNA_CHECK(check_bspline_dimension(k));
  if (column.empty()) return GamError::invalid_parameter("Cannot place B-spline knots: the data column is empty");
  Vector sorted(column.size());
  const ColumnScan scan = copy_and_scan(column, sorted.data());
  // NaN has no place in the sort order (and would break the sort itself).
  if (scan.nan) return GamError::invalid_parameter("Cannot place B-spline knots: the data column contains NaN");
  place_order_statistics(sorted, quantile_positions(sorted.size(), k), std::pair{scan.lo, scan.hi});

  Vector knots = quantile_knots(sorted, k);
  // Keep the knots inside the data range (they coincide only for a constant column).
  const double lowest = sorted.front();
  const double highest = sorted.back();
  const double eps = (highest - lowest) * 1e-6;
  for (double& t : knots) {
    if (t <= lowest) t = lowest + eps;
    if (t >= highest) t = highest - eps;
  }
  // Where a mass of data sits at an end, the quantiles next to it can lie
  // closer to it than eps: the moved knots would pass them, and B-splines on
  // unsorted knots are no basis at all. The same knots in order are.
  std::sort(knots.begin(), knots.end());
  return make_smooth<BSplineBasis>(std::move(name), "cubic", k, std::move(knots));
}

}  // namespace vorna
