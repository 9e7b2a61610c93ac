#include "terms.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "interrupt.hpp"
#include "linalg.hpp"
#include "penalty.hpp"

namespace vorna {

std::size_t ModelTerm::raw_width() const {
  std::size_t k = 1;
  for (const auto& m : margins) k *= m->num_basis();
  return k;
}

std::size_t ModelTerm::width() const {
  switch (kind) {
    case Kind::Intercept:
    case Kind::Linear: return 1;
    case Kind::Factor: return every_level ? levels : levels - 1;
    case Kind::Smooth: return constraint.rows() > 0 ? constraint.cols() : raw_width();
  }
  return 0;
}

Result<TermModel> TermModel::create(std::vector<ModelTerm> terms, std::size_t data_columns) {
  TermModel model;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const ModelTerm& term = terms[t];
    const std::string which = "term " + std::to_string(t);
    for (std::size_t c : term.columns)
      if (c >= data_columns)
        return GamError::invalid_parameter(which + " reads data column " + std::to_string(c) + " of " +
                                           std::to_string(data_columns));
    if (term.by && *term.by >= data_columns)
      return GamError::invalid_parameter(which + " has a `by` column outside the data");
    switch (term.kind) {
      case ModelTerm::Kind::Intercept: break;
      case ModelTerm::Kind::Linear:
        if (term.columns.size() != 1) return GamError::invalid_parameter(which + " must read one column");
        break;
      case ModelTerm::Kind::Factor:
        if (term.columns.size() != 1 || term.levels < 1)
          return GamError::invalid_parameter(which + " must read one column and have at least one level");
        break;
      case ModelTerm::Kind::Smooth: {
        if (term.margins.empty() || term.margins.size() != term.columns.size())
          return GamError::invalid_parameter(which + " needs one basis per column");
        // The product of the margins' sizes, checked before it could wrap.
        std::size_t raw = 1;
        for (const auto& m : term.margins) {
          if (m->num_basis() == 0 || raw > kMaxModelWidth / m->num_basis())
            return GamError::invalid_parameter(which + " has more than " + std::to_string(kMaxModelWidth) +
                                               " basis functions");
          raw *= m->num_basis();
        }
        if (term.constraint.rows() > 0 && term.constraint.rows() != term.raw_width())
          return GamError::invalid_parameter(which + ": the constraint has " + std::to_string(term.constraint.rows()) +
                                             " rows for a basis of " + std::to_string(term.raw_width()));
        break;
      }
    }
    if (term.width() > kMaxModelWidth - model.width_)
      return GamError::invalid_parameter("the model has more than " + std::to_string(kMaxModelWidth) +
                                         " columns, more than any fit can hold");
    model.offsets_.push_back(model.width_);
    model.width_ += term.width();
  }
  model.terms_ = std::move(terms);
  return model;
}

namespace {

VectorView rows_of(ConstMatrixView data, std::size_t column, std::size_t first, std::size_t count) {
  return {data.data() + static_cast<std::ptrdiff_t>(first) * data.row_stride() +
              static_cast<std::ptrdiff_t>(column) * data.col_stride(),
          count, data.row_stride()};
}

// Row-wise Kronecker product: out row r = left row r ⊗ right row r.
void row_kronecker(const Matrix& left, const Matrix& right, Matrix& out) {
  const std::size_t a = left.cols(), b = right.cols();
  out = Matrix(left.rows(), a * b);
  for (std::size_t r = 0; r < left.rows(); ++r) {
    const double* l = left.row_ptr(r);
    const double* q = right.row_ptr(r);
    double* o = out.row_ptr(r);
    for (std::size_t i = 0; i < a; ++i)
      for (std::size_t j = 0; j < b; ++j) o[i * b + j] = l[i] * q[j];
  }
}

}  // namespace

Result<std::size_t> factor_level(double code, std::size_t levels, std::size_t row) {
  if (!(code >= 0.0 && code < static_cast<double>(levels)) || code != std::floor(code))
    return GamError::invalid_parameter("row " + std::to_string(row) + " holds a factor level code outside the " +
                                       std::to_string(levels) + " levels seen when the model was set up");
  return static_cast<std::size_t>(code);
}

Result<void> TermModel::fill_term(const ModelTerm& term, ConstMatrixView data, std::size_t first, std::size_t count,
                                  double* out, std::size_t stride, Matrix& raw, Matrix& work) const {
  switch (term.kind) {
    case ModelTerm::Kind::Intercept:
      for (std::size_t r = 0; r < count; ++r) out[r * stride] = 1.0;
      return {};
    case ModelTerm::Kind::Linear: {
      const VectorView x = rows_of(data, term.columns[0], first, count);
      for (std::size_t r = 0; r < count; ++r) out[r * stride] = x[r];
      return {};
    }
    case ModelTerm::Kind::Factor: {
      const VectorView x = rows_of(data, term.columns[0], first, count);
      const std::size_t width = term.width(), reference = term.every_level ? 0 : 1;
      for (std::size_t r = 0; r < count; ++r) {
        VORNA_TRY(level, factor_level(x[r], term.levels, first + r));
        double* o = out + r * stride;
        std::fill(o, o + width, 0.0);
        if (level >= reference) o[level - reference] = 1.0;
      }
      return {};
    }
    case ModelTerm::Kind::Smooth: break;
  }
  // The marginal bases, then their row-wise product.
  for (std::size_t m = 0; m < term.margins.size(); ++m) {
    const SplineBasis& basis = *term.margins[m];
    Matrix& target = m == 0 ? raw : work;
    target = Matrix(count, basis.num_basis());
    basis.evaluate_into(rows_of(data, term.columns[m], first, count), target.data(), basis.num_basis());
    if (m > 0) {
      Matrix product;
      row_kronecker(raw, work, product);
      raw = std::move(product);
    }
  }
  const Matrix* block = &raw;
  if (term.constraint.rows() > 0) {
    work = matmul(raw, term.constraint);
    block = &work;
  }
  const std::size_t width = block->cols();
  std::optional<VectorView> by;
  if (term.by) by = rows_of(data, *term.by, first, count);
  for (std::size_t r = 0; r < count; ++r) {
    const double factor = by ? (*by)[r] : 1.0;
    const double* src = block->row_ptr(r);
    double* o = out + r * stride;
    for (std::size_t j = 0; j < width; ++j) o[j] = factor * src[j];
  }
  return {};
}

Result<void> TermModel::fill_rows(ConstMatrixView data, std::size_t first, std::size_t count, double* out) const {
  Matrix raw, work;
  for (std::size_t t = 0; t < terms_.size(); ++t)
    VORNA_CHECK(fill_term(terms_[t], data, first, count, out + offsets_[t], width_, raw, work));
  return {};
}

Result<Matrix> TermModel::model_matrix(ConstMatrixView data) const {
  Matrix x(data.rows(), width_);
  for (std::size_t first = 0; first < data.rows(); first += kRowBlock) {
    VORNA_CHECK_INTERRUPT();
    const std::size_t count = std::min(kRowBlock, data.rows() - first);
    VORNA_CHECK(fill_rows(data, first, count, x.row_ptr(first)));
  }
  return x;
}

Result<Vector> TermModel::column_sums(ConstMatrixView data) const {
  Vector sums(width_, 0.0);
  Matrix block(kRowBlock, width_);
  for (std::size_t first = 0; first < data.rows(); first += kRowBlock) {
    VORNA_CHECK_INTERRUPT();
    const std::size_t count = std::min(kRowBlock, data.rows() - first);
    VORNA_CHECK(fill_rows(data, first, count, block.data()));
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t j = 0; j < width_; ++j) sums[j] += block(r, j);
  }
  return sums;
}

Result<TermPrediction> predict_terms(const TermModel& model, ConstMatrixView data, const Vector& beta, const Matrix& v,
                                     bool with_se, bool per_term) {
  const std::size_t n = data.rows(), p = model.width(), nt = model.terms().size();
  if (beta.size() != p || (with_se && (v.rows() != p || v.cols() != p)))
    return GamError::dimension_mismatch("coefficients and covariance must match the " + std::to_string(p) +
                                        " model-matrix columns");
  TermPrediction out;
  out.eta.assign(n, 0.0);
  if (with_se) out.se.assign(n, 0.0);
  if (per_term) {
    out.terms = Matrix(n, nt);
    if (with_se) out.term_se = Matrix(n, nt);
  }
  // √(x V xᵀ): rounding can leave a tiny negative variance (0); far beyond
  // the data the form overflows (±inf, or NaN from inf − inf): too large. A
  // V without a scale (NaN) has no standard errors at all.
  const bool v_finite = std::all_of(v.storage().begin(), v.storage().end(), [](double e) { return std::isfinite(e); });
  const auto root = [v_finite](double variance) {
    if (std::isnan(variance))
      return v_finite ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(std::max(0.0, variance));
  };
  Matrix block(kRowBlock, p);
  for (std::size_t first = 0; first < n; first += kRowBlock) {
    VORNA_CHECK_INTERRUPT();
    const std::size_t count = std::min(kRowBlock, n - first);
    VORNA_CHECK(model.fill_rows(data, first, count, block.data()));
    const ConstMatrixView xb(block.data(), count, p, static_cast<std::ptrdiff_t>(p), 1);
    const Vector eta = matvec(xb, beta);
    std::copy(eta.begin(), eta.end(), out.eta.begin() + static_cast<std::ptrdiff_t>(first));
    if (with_se) {
      const Matrix xv = matmul(xb, v);
      for (std::size_t r = 0; r < count; ++r) out.se[first + r] = root(dot(xv.row_ptr(r), block.row_ptr(r), p));
    }
    if (!per_term) continue;
    for (std::size_t t = 0; t < nt; ++t) {
      const std::size_t lo = model.offset(t), width = model.terms()[t].width();
      for (std::size_t r = 0; r < count; ++r)
        out.terms(first + r, t) = dot(block.row_ptr(r) + lo, beta.data() + lo, width);
      if (!with_se || width == 0) continue;
      const ConstMatrixView xt(block.data() + lo, count, width, static_cast<std::ptrdiff_t>(p), 1);
      const ConstMatrixView vt(v.data() + lo * p + lo, width, width, static_cast<std::ptrdiff_t>(p), 1);
      const Matrix xv = matmul(xt, vt);
      for (std::size_t r = 0; r < count; ++r)
        out.term_se(first + r, t) = root(dot(xv.row_ptr(r), block.row_ptr(r) + lo, width));
    }
  }
  return out;
}

Matrix bspline_curvature_penalty(const BSplineBasis& basis) {
  const Vector& knots = basis.knots();
  const Vector& t = basis.extended_knots();
  const std::size_t k = basis.num_basis();
  Matrix s(k, k);
  // Two-point Gauss–Legendre nodes ±1/√3 with unit weights on [−1, 1].
  const double node = 1.0 / std::sqrt(3.0);
  for (std::size_t a = 0; a + 1 < knots.size(); ++a) {
    const double lo = knots[a], hi = knots[a + 1];
    if (!(hi > lo)) continue;
    const double half = 0.5 * (hi - lo), mid = 0.5 * (hi + lo);
    for (double u : {-node, node}) {
      const double x = mid + half * u;
      // On [t_{a+3}, t_{a+4}] only B-splines a … a+3 are non-zero.
      double d2[4];
      for (std::size_t i = 0; i < 4; ++i) d2[i] = bspline_second_derivative(t, a + i, x);
      for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) s(a + i, a + j) += half * d2[i] * d2[j];
    }
  }
  return s;
}

}  // namespace vorna
