// Spline bases of one input and the smooth record that owns them.
//
//   CubicRegressionBasis  ("cr")  cardinal natural cubic splines on k knots
//   BSplineBasis          ("bs")  k cubic B-splines on a clamped vector of k − 2 knots
//
// Both are immutable after construction; evaluate() is a pure function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

class SplineBasis {
 public:
  virtual ~SplineBasis() = default;

  // The n × k basis matrix at the n inputs x (any stride); n = 0 gives
  // 0 × k. Never fails: non-finite inputs give non-finite or zero entries.
  Matrix evaluate(VectorView x) const {
    Matrix phi(x.size(), num_basis());
    evaluate_into(x, phi.data(), num_basis());
    return phi;
  }
  // The same values written straight into a larger row-major matrix: row r
  // of the basis goes to out + r·row_stride. The k entries of each row must
  // be zero on entry (entries that are exactly 0 may be left untouched).
  virtual void evaluate_into(VectorView x, double* out, std::size_t row_stride) const = 0;
  virtual std::size_t num_basis() const = 0;

  // The local form of the basis, which the row passes use: the row at x is
  //   φ(x) = Σ_s v_s(x)·M[i_0(x) + s, ·]   (s = 0 … local_count() − 1)
  // for a fixed raw × k map M: local_count() consecutive raw functions (a
  // value may be 0). local_map() is empty when the basis has no such form
  // (knots out of order, too few or not finite); evaluate_local() may then
  // not be called. For a finite x the sum equals evaluate() up to rounding;
  // for a non-finite x some v_s is non-finite exactly when evaluate() gives
  // a non-finite entry.
  virtual Matrix local_map() const = 0;
  virtual std::size_t local_count() const = 0;
  // The pairs of input r go to index + r·stride and value + r·stride.
  virtual void evaluate_local(VectorView x, std::uint32_t* index, double* value, std::size_t stride) const = 0;

  // The curve Σ_r γ_r·(raw function r) of the local form (γ: local_map().rows()
  // coefficients) in a form add_spline() evaluates fast (a cubic per
  // interval); empty where the basis has none.
  virtual std::vector<double> spline_cubics(const double* gamma) const {
    static_cast<void>(gamma);
    return {};
  }
  // out[r] += the curve at x_r: the local rows times γ up to rounding, from
  // `cubics` = spline_cubics(γ) where not empty (else from the local rows),
  // NaN from the cubics for a non-finite x_r. Needs a local form.
  virtual void add_spline(VectorView x, const double* gamma, const std::vector<double>& cubics, double* out) const;
};

// The interval of a sorted knot vector holding an input, found from a table
// of equally wide buckets over [first, last] and then corrected by comparing
// with the knots: O(1) for knots of roughly even density, never a different
// answer from a binary search. The table holds no reference to the knots, so
// that the basis owning both can be moved.
class IntervalTable {
 public:
  IntervalTable() = default;
  // `knots` sorted, finite, with last > first.
  explicit IntervalTable(const Vector& knots);
  // The number of the same `knots` below v (strict = true) or at most v
  // (strict = false), i.e. std::lower_bound or std::upper_bound as an index.
  std::size_t count_below(const Vector& knots, double v, bool strict) const;
  // The same for `count` inputs into out[0 … count − 1], none for a NaN.
  void count_below(const Vector& knots, const double* at, std::size_t count, bool strict, std::uint64_t* out) const;

 private:
  double first_ = 0.0;
  double scale_ = 0.0;                // buckets per unit of x
  std::vector<std::uint32_t> start_;  // knots at most the lower edge of each bucket
  Vector distinct_;                   // the knots' distinct values, in order,
  std::vector<std::uint64_t> times_;  // and how often each occurs
};

// Basis function i is the natural cubic spline with value 1 at knot i and 0
// at the other knots, so the coefficients of a curve are its knot values.
// Outside [x_0, x_{k−1}] each function continues as a straight line: by
// default along its first or last chord (not the spline's end tangent); with
// CrEnds::Tangent along the tangent at the end knot, which continues the
// natural spline (f″ = 0 there) without a kink.
//
// Knots that are not strictly increasing (a cr smooth over x_min >= x_max)
// are evaluated by the same rule, literally: the interval is the first
// [x_I, x_{I+1}] holding the input (else I = 0), and zero spacings give
// non-finite values. Nothing reads outside the knot vector.
enum class CrEnds { Chord, Tangent };

class CubicRegressionBasis final : public SplineBasis {
 public:
  // InvalidParameter for fewer than 2 knots or more than kMaxBasisDimension.
  static Result<CubicRegressionBasis> create(Vector knots, CrEnds ends = CrEnds::Chord);

  void evaluate_into(VectorView x, double* out, std::size_t row_stride) const override;
  std::size_t num_basis() const override { return knots_.size(); }
  const Vector& knots() const { return knots_; }

  // Local form: the raw space holds the knot values β and the second
  // derivatives δ = Fβ at the knots (δ_0 = δ_{k−1} = 0 for a natural spline),
  // interleaved (β_0, δ_0, β_1, δ_1, …), so M (2k × k) has rows e_j and F_j.
  // On [x_j, x_{j+1}], with h = x_{j+1} − x_j, u = x − x_j, w = x_{j+1} − x,
  //   f(x) = (w/h)·β_j + w(w² − h²)/(6h)·δ_j + (u/h)·β_{j+1} + u(u² − h²)/(6h)·δ_{j+1},
  // four consecutive raw functions from 2j; beyond the ends the straight
  // continuation (for chords the δ values 0). Needs strictly increasing
  // finite knots.
  Matrix local_map() const override;
  std::size_t local_count() const override { return 4; }
  void evaluate_local(VectorView x, std::uint32_t* index, double* value, std::size_t stride) const override;

  // The curve on interval j as a cubic in u = x − x_j, from the four raw
  // functions of the interval (see above); beyond the ends the lines.
  std::vector<double> spline_cubics(const double* gamma) const override;
  void add_spline(VectorView x, const double* gamma, const std::vector<double>& cubics, double* out) const override;

  // The k column sums Σ_r φ(x_r) of the basis over inputs given in ascending
  // order, with no row evaluated: the rows of one interval form one run, on
  // which each local function is a cubic in u = x − x_j, so its sum follows
  // from Σu⁰ … Σu³ (likewise the lines beyond the ends). Equal to the sums
  // of evaluate() up to rounding. Empty without a local form (see
  // local_map()); `sorted` must be finite and ascending (the caller's check).
  Vector column_sums_sorted(VectorView sorted) const;

 private:
  CubicRegressionBasis(Vector knots, CrEnds ends);

  // The local values of the line beyond the first (high = false) or the
  // last knot at distance s from it, h the end interval's width.
  void end_values(bool high, double s, double h, double* value) const;

  std::size_t locate_interval(double v) const;
  void evaluate_row(double v, double* row) const;

  Vector knots_;
  CrEnds ends_ = CrEnds::Chord;
  bool strictly_increasing_ = false;
  // (k − 1) × 3k: row I holds b, c, d of interval I for basis functions 0 … k−1.
  Matrix coefficients_;
  // For the local form (strictly increasing finite knots only): F, and per
  // interval 1/h, h² and 1/(6h).
  Matrix second_derivatives_;
  Vector inverse_h_, h_squared_, inverse_6h_;
  IntervalTable table_;
};

// The natural cubic spline through (x_j, y_j), j = 0 … n−1 (n >= 2): on
// interval j its value at x_j + u is y_j + u·b_j + u·(u·c_j) + u·(u·(u·d_j)).
// b and d have n − 1 entries, c has n (c_0 = c_{n−1} = 0).
struct NaturalSplineCoefficients {
  Vector b, c, d;
};
NaturalSplineCoefficients natural_spline_coefficients(const Vector& x, const Vector& y);

// Writes the values below `pivot`, then the others (NaN among them), to
// out[0 … n); returns how many are below. Sorting the two parts separately
// then sorts the whole, so that two threads can share one column's sort for
// quantile knots. The order within each part is unspecified.
std::size_t split_below(VectorView values, double pivot, double* out);

// k = m + 2 cubic B-splines on the clamped knot vector t (m + 6 entries: the
// first and last of the m knots repeated four times). Inside [lo, hi] (the
// first and last knot) they sum to 1; inputs within 1e-10 of an end are
// moved 2e-10 inside it, and inputs beyond continue along the tangent taken
// 2e-10 inside the end.
class BSplineBasis final : public SplineBasis {
 public:
  // InvalidParameter for no knots or more than kMaxBasisDimension − 2.
  static Result<BSplineBasis> create(Vector knots);

  // Only the (at most) four B-splines that can be non-zero at an input are
  // computed; every other entry is exactly 0.
  void evaluate_into(VectorView x, double* out, std::size_t row_stride) const override;
  // The same matrix by the full recursion for every entry (O(n·k)).
  // evaluate() uses it for knots that are not finite and sorted and for
  // non-finite inputs, whose entries are not confined to four columns.
  Matrix evaluate_full_rule(VectorView x) const;

  std::size_t num_basis() const override { return knots_.size() + 2; }
  const Vector& knots() const { return knots_; }
  const Vector& extended_knots() const { return t_; }

  // Local form: M = I (k × k) and the four B-splines of the active interval
  // (four consecutive indices, shifted inwards at the ends with zero values);
  // beyond the ends by the arithmetic of evaluate_into(), inside from the
  // interval's B-splines as cubics (pieces_; where those are not finite, by an
  // arrangement of the recursion with fewer divisions), equal to evaluate_into()
  // up to rounding. Needs sorted finite knots, spaced 0 or more than kKnotGuard
  // apart, with last > first and k >= 4.
  Matrix local_map() const override;
  std::size_t local_count() const override { return 4; }
  void evaluate_local(VectorView x, std::uint32_t* index, double* value, std::size_t stride) const override;
  bool has_local_map() const { return local_form_; }

  // The spline Σ_i β_i N_i(x) (β: num_basis() coefficients, M = I) on each
  // interval of the knot vector as a cubic in x − t_a; empty where the basis
  // has no cubics of its B-splines (see pieces_).
  std::vector<double> spline_cubics(const double* beta) const override;
  void add_spline(VectorView x, const double* beta, const std::vector<double>& cubics, double* out) const override;

 private:
  explicit BSplineBasis(Vector knots);

  // Where the recursion is evaluated for input v, and whether v lies beyond
  // the knot range (then the value is extrapolated from `at`).
  struct EvalPoint {
    double at;
    bool extrapolate;
  };
  EvalPoint place(double v) const;
  // N′_i(a) from N_{i,2}(a) and N_{i+1,2}(a).
  double slope(std::size_t i, double quadratic_i, double quadratic_next) const;
  void evaluate_row_local(double v, double* row) const;
  void evaluate_row_full(double v, double* row) const;
  void evaluate_into_local(VectorView x, double* out, std::size_t row_stride) const;
  // The local rows: with `exact`, the values of evaluate_into() to the last
  // bit (its guarded recursion, for evaluate_into_local()); else those of
  // evaluate_local() (the cubics of each interval).
  void evaluate_slots(VectorView x, std::uint32_t* index, double* value, std::size_t stride, bool exact) const;
  template <class F>
  void for_placed_chunks(VectorView x, F&& f) const;
  // The active interval a of a point and the first of its four slots.
  struct Slots {
    std::size_t active;
    std::size_t start;
  };
  std::optional<Slots> slots(double at) const;
  // The same from `above`, the number of knots of t_ at most `at`: inline, as it runs for every row.
  [[gnu::always_inline]] inline std::optional<Slots> slots(double at, std::size_t above) const;
  // The four slots' values and slopes at a point (zero where no B-spline is).
  struct Tangent {
    std::size_t start = 0;
    std::array<double, 4> value{};
    std::array<double, 4> slope{};
  };
  Tangent tangent_at(double at) const;
  bool has_local_form() const;

  Vector knots_;
  Vector t_;
  bool sorted_and_finite_ = false;
  // The points 2e-10 inside each end where boundary inputs are evaluated, and
  // the bounds 1e-10 inside each end below/above which an input counts as
  // being at the boundary.
  double lo_inside_ = 0.0;
  double hi_inside_ = 0.0;
  double lo_near_ = 0.0;
  double hi_near_ = 0.0;
  IntervalTable table_;      // over t_, when sorted and finite
  bool local_form_ = false;  // see local_map()
  bool narrow_ = false;      // knots spanning less than 1e290 (see evaluate_slots())
  // The tangents continued beyond each end, in the local form.
  Tangent lo_tangent_;
  Tangent hi_tangent_;
  // For evaluate_local(): on each interval a of non-zero length, the four
  // B-splines N_{a−3,3} … N_{a,3} as cubics in u = x − t_a, the coefficients
  // of u^p at pieces_[16a + 4p … 16a + 4p + 3] (empty without a local form,
  // or where some coefficient is not finite).
  std::vector<double> pieces_;
  void make_pieces();
};

// One smooth of a model.
struct SmoothTerm {
  std::string name;
  std::shared_ptr<const SplineBasis> basis;  // immutable, so fits may keep it
  Matrix penalty;                            // raw k × k penalty, never rescaled in place
  double lambda = 1.0;
};

// k knots evenly spaced over [x_min, x_max] with the "cr" penalty. k < 4 is
// refused by the penalty builder; x_min >= x_max is accepted (see
// CubicRegressionBasis).
Result<SmoothTerm> cubic_regression_smooth(std::string name, std::size_t k, double x_min, double x_max);

// k − 2 knots evenly spaced over [x_min, x_max] with the "cubic" penalty.
// InvalidParameter for k < 2; k = 2 or 3 fail in the penalty builder ("Need
// at least 2 knots for penalty matrix").
Result<SmoothTerm> bspline_smooth_from_range(std::string name, std::size_t k, double x_min, double x_max);

// k − 2 knots at the quantiles 1/(k−1) … (k−2)/(k−1) of the column, kept
// strictly inside the data range. InvalidParameter for k < 2, an empty
// column or a NaN in it.
Result<SmoothTerm> bspline_smooth_from_data(std::string name, std::size_t k, VectorView column);

}  // namespace vorna
