#include "linalg.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <utility>

#include "lapack.hpp"

namespace vorna {

void configure_blas_threads() {
#ifndef VORNA_LAPACK_SYSTEM
  if (std::getenv("OPENBLAS_NUM_THREADS") == nullptr) scipy_openblas_set_num_threads(1);
#endif
}

namespace {

#define LAPACK(name) VORNA_LAPACK_NAME(name)

// Pivot magnitudes below these are treated as zero by the elimination paths.
constexpr double kSolvePivotMin = 1e-14;        // solve, inverse
constexpr double kDeterminantPivotMin = 1e-15;  // determinant

// Below this many multiply-adds a product runs as plain loops: the call and
// operand set-up of BLAS would cost more than the arithmetic.
constexpr std::size_t kBlasMinWork = 4096;

using Kind = LapackError::Kind;

// ---- Sizes and INFO ----------------------------------------------------------

// LAPACK and BLAS take 32-bit sizes; anything larger must be refused, not wrapped.
LapackResult<int> lapack_int(std::size_t n) {
  if (n > static_cast<std::size_t>(INT_MAX)) return LapackError{Kind::InvalidShape, 0};
  return static_cast<int>(n);
}

bool fits_int(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

LapackResult<void> check_info(int info) {
  if (info < 0) return LapackError{Kind::LapackInvalidValue, info};
  if (info > 0) return LapackError{Kind::LapackComputationalFailure, info};
  return {};
}

// The optimal lwork reported by a workspace query (work[0]), at least 1.
int workspace_size(double reported) {
  if (!(reported >= 1.0)) return 1;
  if (reported >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(reported);
}

// ---- Layout ------------------------------------------------------------------

// Row-major A (m × n) is column-major Aᵀ, so the row-major transpose is the
// column-major buffer of A.
Matrix column_major_copy(ConstMatrixView a) { return transpose(a); }

// A view as a column-major BLAS operand B with op(B) = the view's transpose:
// a row-major view is used in place as B = Vᵀ ('N'), a column-major one in
// place as B = V ('T'); any other layout goes through a row-major copy.
class TransposedOperand {
 public:
  explicit TransposedOperand(ConstMatrixView v) {
    const std::size_t r = v.rows(), c = v.cols();
    const auto rs = v.row_stride(), cs = v.col_stride();
    const auto wide_enough = [](std::ptrdiff_t stride, std::size_t extent) {
      return stride >= static_cast<std::ptrdiff_t>(std::max<std::size_t>(1, extent)) && stride <= INT_MAX;
    };
    if ((c <= 1 || cs == 1) && (r <= 1 || wide_enough(rs, c))) {
      data_ = v.data();
      trans_ = 'N';
      ld_ = r <= 1 ? std::max<std::size_t>(1, c) : static_cast<std::size_t>(rs);
    } else if ((r <= 1 || rs == 1) && (c <= 1 || wide_enough(cs, r))) {
      data_ = v.data();
      trans_ = 'T';
      ld_ = c <= 1 ? std::max<std::size_t>(1, r) : static_cast<std::size_t>(cs);
    } else {
      copy_ = Matrix(v);
      data_ = copy_.data();
      trans_ = 'N';
      ld_ = std::max<std::size_t>(1, c);
    }
  }
  const double* data() const { return data_; }
  int ld() const { return static_cast<int>(ld_); }
  const char* trans() const { return trans_ == 'N' ? "N" : "T"; }
  const char* flipped() const { return trans_ == 'N' ? "T" : "N"; }
  // Rows × columns of B itself (not of op(B)).
  int rows(ConstMatrixView v) const { return static_cast<int>(trans_ == 'N' ? v.cols() : v.rows()); }
  int cols(ConstMatrixView v) const { return static_cast<int>(trans_ == 'N' ? v.rows() : v.cols()); }

 private:
  Matrix copy_;
  const double* data_ = nullptr;
  std::size_t ld_ = 1;
  char trans_ = 'N';
};

bool use_blas(std::size_t work, std::initializer_list<std::size_t> dims) {
  if (work < kBlasMinWork) return false;
  return std::all_of(dims.begin(), dims.end(), fits_int);
}

// Copies the upper triangle of a row-major square matrix into its lower one.
void mirror_upper_to_lower(Matrix& c) {
  for (std::size_t i = 0; i < c.rows(); ++i)
    for (std::size_t j = 0; j < i; ++j) c(i, j) = c(j, i);
}

// Zeroes the strict lower (below_diagonal) or strict upper triangle.
void zero_triangle(Matrix& c, bool below_diagonal) {
  for (std::size_t i = 0; i < c.rows(); ++i)
    for (std::size_t j = 0; j < c.cols(); ++j)
      if (below_diagonal ? j < i : j > i) c(i, j) = 0.0;
}

// ---- Elimination -------------------------------------------------------------

// Row with the largest |a(r, j)| for r ≥ j; on ties the upper row stays.
std::size_t pivot_row(const double* a, std::size_t stride, std::size_t n, std::size_t j) {
  std::size_t p = j;
  double best = std::abs(a[j * stride + j]);
  for (std::size_t r = j + 1; r < n; ++r) {
    const double v = std::abs(a[r * stride + j]);
    if (v > best) {
      best = v;
      p = r;
    }
  }
  return p;
}

void swap_rows(double* a, std::size_t stride, std::size_t width, std::size_t r1, std::size_t r2) {
  std::swap_ranges(a + r1 * stride, a + r1 * stride + width, a + r2 * stride);
}

// Eliminates column j below the pivot a(j, j): row r −= f·row j over columns
// j+1 … n−1 with f = a(r, j)/a(j, j). Column j is not updated (never read
// again). `rhs`, if given, is updated alongside.
void eliminate_below(double* a, std::size_t n, std::size_t j, double* rhs) {
  const double* pivot = a + j * n;
  for (std::size_t r = j + 1; r < n; ++r) {
    double* row = a + r * n;
    const double f = row[j] / pivot[j];
    for (std::size_t c = j + 1; c < n; ++c) row[c] -= f * pivot[c];
    if (rhs) rhs[r] -= f * rhs[j];
  }
}

// x with A·x = b by Gaussian elimination with partial pivoting (n < 1000).
Result<Vector> solve_elimination(Matrix a, Vector b) {
  const std::size_t n = a.rows();
  double* m = a.data();
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t p = pivot_row(m, n, n, j);
    if (std::abs(m[p * n + j]) < kSolvePivotMin) return GamError::singular_matrix();
    if (p != j) {
      swap_rows(m, n, n, j, p);
      std::swap(b[j], b[p]);
    }
    eliminate_below(m, n, j, b.data());
  }
  Vector x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t c = i + 1; c < n; ++c) s -= m[i * n + c] * x[c];
    x[i] = s / m[i * n + i];
  }
  return x;
}

// LU of the row-major buffer, which LAPACK sees as Aᵀ; dgetrs with 'T' then
// solves A·x = b.
LapackResult<Vector> solve_lapack(Matrix a, Vector b) {
  VORNA_TRY(n, lapack_int(a.rows()));
  std::vector<int> ipiv(a.rows());
  int info = 0;
  LAPACK(dgetrf)(&n, &n, a.data(), &n, ipiv.data(), &info);
  VORNA_CHECK(check_info(info));
  const int nrhs = 1;
  LAPACK(dgetrs)("T", &n, &nrhs, a.data(), &n, ipiv.data(), b.data(), &n, &info, 1);
  VORNA_CHECK(check_info(info));
  return b;
}

// The diagonal of U and the sign of the row exchanges, from which both the
// determinant and its logarithm are read. `zero` marks a factorization that
// found det = 0 (a pivot below the threshold, or INFO > 0 from LAPACK).
struct DeterminantFactors {
  bool zero = false;
  double sign = 1.0;
  Vector diagonal;
};

DeterminantFactors eliminate_for_determinant(Matrix a) {
  const std::size_t n = a.rows();
  double* m = a.data();
  DeterminantFactors f;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t p = pivot_row(m, n, n, j);
    if (std::abs(m[p * n + j]) < kDeterminantPivotMin) {
      f.zero = true;
      return f;
    }
    if (p != j) {
      swap_rows(m, n, n, j, p);
      f.sign = -f.sign;
    }
    eliminate_below(m, n, j, nullptr);
  }
  f.diagonal.resize(n);
  for (std::size_t i = 0; i < n; ++i) f.diagonal[i] = m[i * n + i];
  return f;
}

// det(Aᵀ) = det(A), so the row-major copy is factored as it lies. A zero
// pivot in U (INFO > 0) means det = 0; any other failure is an error.
Result<DeterminantFactors> lapack_for_determinant(Matrix a) {
  const auto n_result = lapack_int(a.rows());
  if (!n_result) return GamError::singular_matrix();
  const int n = n_result.value();
  std::vector<int> ipiv(a.rows());
  int info = 0;
  LAPACK(dgetrf)(&n, &n, a.data(), &n, ipiv.data(), &info);
  DeterminantFactors f;
  if (info > 0) {
    f.zero = true;
    return f;
  }
  if (info < 0)
    return lapack_error("LU factorization for a determinant", {LapackError::Kind::LapackInvalidValue, info});
  f.diagonal.resize(a.rows());
  for (std::size_t i = 0; i < a.rows(); ++i) {
    if (ipiv[i] != static_cast<int>(i) + 1) f.sign = -f.sign;
    f.diagonal[i] = a(i, i);
  }
  return f;
}

Result<DeterminantFactors> determinant_factors(ConstMatrixView a) {
  if (a.rows() != a.cols()) return GamError::dimension_mismatch("Matrix must be square");
  if (a.rows() >= kLapackThreshold) return lapack_for_determinant(Matrix(a));
  return eliminate_for_determinant(Matrix(a));
}

// The elimination path multiplies the pivots; the LAPACK path goes through
// logarithms: det = (−1)^(exchanges) · Π sign(u_ii) · exp(Σ log|u_ii|).
double determinant_of(const DeterminantFactors& f, bool lapack_path) {
  if (f.zero) return 0.0;
  if (!lapack_path) {
    double product = 1.0;
    for (double u : f.diagonal) product *= u;
    return f.sign * product;
  }
  double sign = f.sign;
  double log_abs = 0.0;
  for (double u : f.diagonal) {
    sign *= u / std::abs(u);
    log_abs += std::log(std::abs(u));
  }
  return sign * std::exp(log_abs);
}

// Gauss–Jordan on [A | I] (n < 1000).
Result<Matrix> inverse_elimination(ConstMatrixView a) {
  const std::size_t n = a.rows();
  const std::size_t w = 2 * n;
  Matrix aug(n, w);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) aug(i, j) = a(i, j);
    aug(i, n + i) = 1.0;
  }
  double* m = aug.data();
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t p = pivot_row(m, w, n, j);
    if (std::abs(m[p * w + j]) < kSolvePivotMin) return GamError::singular_matrix();
    if (p != j) swap_rows(m, w, w, j, p);
    double* pivot = m + j * w;
    const double scale = 1.0 / pivot[j];
    for (std::size_t c = 0; c < w; ++c) pivot[c] *= scale;
    for (std::size_t r = 0; r < n; ++r) {
      if (r == j) continue;
      double* row = m + r * w;
      const double f = row[j];
      for (std::size_t c = 0; c < w; ++c) row[c] -= f * pivot[c];
    }
  }
  Matrix inv(n, n);
  for (std::size_t i = 0; i < n; ++i) std::copy(m + i * w + n, m + i * w + w, inv.row_ptr(i));
  return inv;
}

// The row-major copy is Aᵀ to LAPACK; its inverse (Aᵀ)⁻¹ read back row-major is A⁻¹.
LapackResult<Matrix> inverse_lapack(Matrix a) {
  VORNA_TRY(n, lapack_int(a.rows()));
  std::vector<int> ipiv(a.rows());
  int info = 0;
  LAPACK(dgetrf)(&n, &n, a.data(), &n, ipiv.data(), &info);
  VORNA_CHECK(check_info(info));
  double query = 0.0;
  int lwork = -1;
  LAPACK(dgetri)(&n, a.data(), &n, ipiv.data(), &query, &lwork, &info);
  VORNA_CHECK(check_info(info));
  lwork = workspace_size(query);
  Vector work(static_cast<std::size_t>(lwork));
  LAPACK(dgetri)(&n, a.data(), &n, ipiv.data(), work.data(), &lwork, &info);
  VORNA_CHECK(check_info(info));
  return a;
}

}  // namespace

// ---- LapackError -------------------------------------------------------------

GamError lapack_error(const std::string& context, const LapackError& error) {
  if (error.kind == LapackError::Kind::LapackInvalidValue)
    return GamError::linalg_error("internal error: LAPACK rejected argument " + std::to_string(-error.return_code) +
                                  " (" + context + ")");
  return GamError::linalg_error(context + ": " + error.to_string());
}

GamError lapack_error(GamErrorKind kind, const std::string& context, const LapackError& error, bool detail) {
  if (error.kind == LapackError::Kind::LapackInvalidValue) return lapack_error(context, error);
  return {kind, detail ? context + ": " + error.to_string() : context};
}

std::string LapackError::to_string() const {
  switch (kind) {
    case Kind::LapackInvalidValue: return "LapackInvalidValue { return_code: " + std::to_string(return_code) + " }";
    case Kind::LapackComputationalFailure:
      return "LapackComputationalFailure { return_code: " + std::to_string(return_code) + " }";
    case Kind::InvalidShape: return "InvalidShape";
    case Kind::NotSquare: return "NotSquare";
    case Kind::NotStandardShape: return "NotStandardShape";
    case Kind::LapackInvalidStrides: return "LapackInvalidStrides";
  }
  return "LapackError";
}

// ---- The general square routines ---------------------------------------------

Result<Vector> solve(Matrix a, Vector b) {
  if (!a.is_square() || b.size() != a.rows())
    return GamError::dimension_mismatch("Matrix must be square and match RHS");
  if (a.rows() == 0) return Vector{};
  if (a.rows() >= kLapackThreshold) {
    auto x = solve_lapack(std::move(a), std::move(b));
    if (!x) return GamError::singular_matrix();
    return std::move(x).value();
  }
  return solve_elimination(std::move(a), std::move(b));
}

Result<double> determinant(ConstMatrixView a) {
  VORNA_TRY(factors, determinant_factors(a));
  return determinant_of(factors, a.rows() >= kLapackThreshold);
}

Result<double> log_determinant(ConstMatrixView a) {
  VORNA_TRY(factors, determinant_factors(a));
  if (factors.zero) return -std::numeric_limits<double>::infinity();
  double sign = factors.sign;
  double log_abs = 0.0;
  for (double u : factors.diagonal) {
    if (u < 0) sign = -sign;
    log_abs += std::log(std::abs(u));
  }
  const double from_logs = sign > 0 ? log_abs : std::numeric_limits<double>::quiet_NaN();
  // log(det) itself wherever the determinant is an ordinary double and agrees
  // with the sum of logarithms; where the product of the pivots overflows,
  // underflows or passes through the subnormal range on its way, the sum.
  const double det = determinant_of(factors, a.rows() >= kLapackThreshold);
  if (std::isnormal(det) && std::fabs(std::log(std::fabs(det)) - log_abs) <= 1e-10 * std::fmax(1.0, std::fabs(log_abs)))
    return std::log(det);
  return from_logs;
}

Result<Matrix> inverse(ConstMatrixView a) {
  if (a.rows() != a.cols()) return GamError::dimension_mismatch("Matrix must be square");
  if (a.rows() >= kLapackThreshold) {
    auto inv = inverse_lapack(Matrix(a));
    if (!inv) return GamError::singular_matrix();
    return std::move(inv).value();
  }
  return inverse_elimination(a);
}

namespace {

// Unit weights scale nothing (√1 = 1 exactly), so the weighted products are
// the plain ones and no scaled copy of X is needed at all.
bool all_unit(VectorView w, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (w[i] != 1.0) return false;
  return true;
}

// Rows of √W·X go through a buffer of this many rows at a time, so that the
// weighted products read X once and never hold an n × p copy of it.
constexpr std::size_t kWeightedBlockRows = 2048;

// C (upper triangle) += BᵀB for a row-major block B.
void add_block_gram(const Matrix& block, std::size_t rows, Matrix& c) {
  const std::size_t p = block.cols();
  if (!use_blas(rows * p * (p + 1) / 2, {rows, p})) {
    for (std::size_t i = 0; i < rows; ++i) {
      const double* bi = block.row_ptr(i);
      for (std::size_t j = 0; j < p; ++j) {
        double* row = c.row_ptr(j);
        for (std::size_t l = j; l < p; ++l) row[l] += bi[j] * bi[l];
      }
    }
    return;
  }
  // The row-major block is the column-major p × rows matrix Bᵀ; its lower
  // triangle (column-major) is the row-major upper one.
  const int pi = static_cast<int>(p), ki = static_cast<int>(rows), lda = pi;
  const double one = 1.0;
  LAPACK(dsyrk)("L", "N", &pi, &ki, &one, block.data(), &lda, &one, c.data(), &pi, 1, 1);
}

// b += Bᵀv for the first `rows` rows of a row-major block.
void add_block_xtv(const Matrix& block, std::size_t rows, const double* v, Vector& b) {
  const std::size_t p = block.cols();
  for (std::size_t i = 0; i < rows; ++i) {
    const double* bi = block.row_ptr(i);
    for (std::size_t j = 0; j < p; ++j) b[j] += bi[j] * v[i];
  }
}

// XᵀWX (when `gram_out`) and XᵀWy (when `y` is given) from blocks of √W·X:
// row i of a block is √w_i·x_i and its right-hand side √w_i·y_i.
void weighted_products(ConstMatrixView x, VectorView w, const VectorView* y, Matrix* gram_out, Vector* xty_out) {
  const std::size_t n = x.rows(), p = x.cols();
  const std::size_t block_rows = std::min(n, kWeightedBlockRows);
  Matrix block(block_rows, p);
  Vector v(block_rows);
  for (std::size_t start = 0; start < n; start += block_rows) {
    const std::size_t rows = std::min(block_rows, n - start);
    for (std::size_t i = 0; i < rows; ++i) {
      const double s = std::sqrt(w[start + i]);  // a negative weight gives NaN, not an error
      double* dst = block.row_ptr(i);
      for (std::size_t j = 0; j < p; ++j) dst[j] = x(start + i, j) * s;
      if (y != nullptr) v[i] = (*y)[start + i] * s;
    }
    if (gram_out != nullptr) add_block_gram(block, rows, *gram_out);
    if (xty_out != nullptr) add_block_xtv(block, rows, v.data(), *xty_out);
  }
  if (gram_out != nullptr) mirror_upper_to_lower(*gram_out);
}

}  // namespace

Matrix weighted_gram(ConstMatrixView x, VectorView w) {
  if (all_unit(w, x.rows())) return gram(x);
  Matrix c(x.cols(), x.cols());
  weighted_products(x, w, nullptr, &c, nullptr);
  return c;
}

// (√W X)ᵀ(√W y), with the entries of √W y formed as y_i·√w_i.
Vector weighted_xty(ConstMatrixView x, VectorView w, VectorView y) {
  if (all_unit(w, x.rows())) return matvec_t(x, y);
  Vector b(x.cols(), 0.0);
  weighted_products(x, w, &y, nullptr, &b);
  return b;
}

CrossProducts weighted_cross_products(ConstMatrixView x, VectorView w, VectorView y) {
  CrossProducts out{Matrix(x.cols(), x.cols()), Vector(x.cols(), 0.0)};
  weighted_products(x, w, &y, &out.xtwx, &out.xtwy);
  return out;
}

// ---- Dense products ------------------------------------------------------------

Matrix matmul(ConstMatrixView a, ConstMatrixView b) {
  const std::size_t m = a.rows(), k = a.cols(), n = b.cols();
  assert(b.rows() == k);
  Matrix c(m, n);
  if (m == 0 || n == 0 || k == 0) return c;
  if (!use_blas(m * n * k, {m, n, k})) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (std::size_t l = 0; l < k; ++l) s += a(i, l) * b(l, j);
        c(i, j) = s;
      }
    return c;
  }
  // Column-major: Cᵀ (n × m) = Bᵀ·Aᵀ.
  const TransposedOperand ta(a), tb(b);
  const int mi = static_cast<int>(n), ni = static_cast<int>(m), ki = static_cast<int>(k);
  const int lda = ta.ld(), ldb = tb.ld();
  const double one = 1.0, zero = 0.0;
  LAPACK(dgemm)
  (tb.trans(), ta.trans(), &mi, &ni, &ki, &one, tb.data(), &ldb, ta.data(), &lda, &zero, c.data(), &mi, 1, 1);
  return c;
}

Matrix matmul_tn(ConstMatrixView a, ConstMatrixView b) {
  const std::size_t n = a.rows(), p = a.cols(), q = b.cols();
  assert(b.rows() == n);
  Matrix c(p, q);
  if (p == 0 || q == 0 || n == 0) return c;
  if (!use_blas(n * p * q, {n, p, q})) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j) {
        const double aij = a(i, j);
        double* row = c.row_ptr(j);
        for (std::size_t l = 0; l < q; ++l) row[l] += aij * b(i, l);
      }
    return c;
  }
  // Column-major: Cᵀ (q × p) = Bᵀ·A, where op_a(buffer) = Aᵀ, so A needs the flipped op.
  const TransposedOperand ta(a), tb(b);
  const int mi = static_cast<int>(q), ni = static_cast<int>(p), ki = static_cast<int>(n);
  const int lda = ta.ld(), ldb = tb.ld();
  const double one = 1.0, zero = 0.0;
  LAPACK(dgemm)
  (tb.trans(), ta.flipped(), &mi, &ni, &ki, &one, tb.data(), &ldb, ta.data(), &lda, &zero, c.data(), &mi, 1, 1);
  return c;
}

Matrix gram(ConstMatrixView a) {
  const std::size_t n = a.rows(), p = a.cols();
  Matrix c(p, p);
  if (n == 0 || p == 0) return c;
  if (!use_blas(n * p * (p + 1) / 2, {n, p})) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j) {
        const double aij = a(i, j);
        double* row = c.row_ptr(j);
        for (std::size_t l = j; l < p; ++l) row[l] += aij * a(i, l);
      }
    mirror_upper_to_lower(c);
    return c;
  }
  // dsyrk: C = op(B)·op(B)ᵀ = Aᵀ·A. Its column-major lower triangle is the
  // row-major upper one.
  const TransposedOperand ta(a);
  const int pi = static_cast<int>(p), ki = static_cast<int>(n), lda = ta.ld();
  const double one = 1.0, zero = 0.0;
  LAPACK(dsyrk)("L", ta.trans(), &pi, &ki, &one, ta.data(), &lda, &zero, c.data(), &pi, 1, 1);
  mirror_upper_to_lower(c);
  return c;
}

namespace {

// y = op(B)·x for a view as a BLAS operand, where `transpose_view` selects
// Vᵀ·x instead of V·x.
Vector gemv_view(ConstMatrixView a, VectorView x, bool transpose_view) {
  const std::size_t out_len = transpose_view ? a.cols() : a.rows();
  const std::size_t in_len = transpose_view ? a.rows() : a.cols();
  Vector y(out_len, 0.0);
  if (out_len == 0 || in_len == 0) return y;
  if (!use_blas(out_len * in_len, {out_len, in_len})) {
    if (transpose_view) {
      for (std::size_t i = 0; i < a.rows(); ++i) {
        const double xi = x[i];
        for (std::size_t j = 0; j < a.cols(); ++j) y[j] += a(i, j) * xi;
      }
    } else {
      for (std::size_t i = 0; i < a.rows(); ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < a.cols(); ++j) s += a(i, j) * x[j];
        y[i] = s;
      }
    }
    return y;
  }
  const Vector xc = x.to_vector();
  const TransposedOperand ta(a);
  // op_a(buffer) = Aᵀ: Aᵀ·x uses op_a, A·x the flipped op.
  const char* trans = transpose_view ? ta.trans() : ta.flipped();
  const int m = ta.rows(a), n = ta.cols(a), lda = ta.ld(), inc = 1;
  const double one = 1.0, zero = 0.0;
  LAPACK(dgemv)(trans, &m, &n, &one, ta.data(), &lda, xc.data(), &inc, &zero, y.data(), &inc, 1);
  return y;
}

}  // namespace

Vector matvec(ConstMatrixView a, VectorView x) { return gemv_view(a, x, false); }
Vector matvec_t(ConstMatrixView a, VectorView x) { return gemv_view(a, x, true); }

// The same data read with rows and columns (and their strides) exchanged.
Matrix transpose(ConstMatrixView a) {
  return Matrix(ConstMatrixView(a.data(), a.cols(), a.rows(), a.col_stride(), a.row_stride()));
}

// ---- LAPACK factorizations ---------------------------------------------------------

LapackResult<LuFactors> lu_factor(ConstMatrixView a) {
  if (a.rows() != a.cols()) return LapackError{Kind::NotSquare, 0};
  VORNA_TRY(n, lapack_int(a.rows()));
  LuFactors f{column_major_copy(a), std::vector<int>(a.rows())};
  if (n == 0) return f;
  int info = 0;
  LAPACK(dgetrf)(&n, &n, f.lu.data(), &n, f.ipiv.data(), &info);
  VORNA_CHECK(check_info(info));
  f.lu = transpose(f.lu);
  return f;
}

LapackResult<Matrix> lu_solve(const LuFactors& f, ConstMatrixView b) {
  if (!f.lu.is_square() || f.ipiv.size() != f.lu.rows()) return LapackError{Kind::NotSquare, 0};
  if (b.rows() != f.lu.rows()) return LapackError{Kind::InvalidShape, 0};
  VORNA_TRY(n, lapack_int(f.lu.rows()));
  VORNA_TRY(nrhs, lapack_int(b.cols()));
  if (n == 0 || nrhs == 0) return Matrix(b.rows(), b.cols());
  const Matrix lu = column_major_copy(f.lu);
  Matrix x = column_major_copy(b);
  int info = 0;
  LAPACK(dgetrs)("N", &n, &nrhs, lu.data(), &n, f.ipiv.data(), x.data(), &n, &info, 1);
  VORNA_CHECK(check_info(info));
  return transpose(x);
}

LapackResult<Matrix> lu_inverse(const LuFactors& f) {
  if (!f.lu.is_square() || f.ipiv.size() != f.lu.rows()) return LapackError{Kind::NotSquare, 0};
  VORNA_TRY(n, lapack_int(f.lu.rows()));
  if (n == 0) return Matrix();
  Matrix inv = column_major_copy(f.lu);
  int info = 0;
  double query = 0.0;
  int lwork = -1;
  LAPACK(dgetri)(&n, inv.data(), &n, f.ipiv.data(), &query, &lwork, &info);
  VORNA_CHECK(check_info(info));
  lwork = workspace_size(query);
  Vector work(static_cast<std::size_t>(lwork));
  LAPACK(dgetri)(&n, inv.data(), &n, f.ipiv.data(), work.data(), &lwork, &info);
  VORNA_CHECK(check_info(info));
  return transpose(inv);
}

namespace {

// dpotrf on the row-major copy of a symmetric A, which LAPACK reads as Aᵀ = A.
// Factoring its column-major lower triangle (the row-major upper one) as
// L·Lᵀ leaves Lᵀ in the row-major upper triangle, and vice versa.
LapackResult<Matrix> cholesky(ConstMatrixView a, bool upper) {
  if (a.rows() != a.cols()) return LapackError{Kind::NotSquare, 0};
  VORNA_TRY(n, lapack_int(a.rows()));
  Matrix c(a);
  if (n == 0) return c;
  int info = 0;
  LAPACK(dpotrf)(upper ? "L" : "U", &n, c.data(), &n, &info, 1);
  VORNA_CHECK(check_info(info));
  zero_triangle(c, upper);
  return c;
}

}  // namespace

LapackResult<Matrix> cholesky_upper(ConstMatrixView a) { return cholesky(a, true); }
LapackResult<Matrix> cholesky_lower(ConstMatrixView a) { return cholesky(a, false); }

LapackResult<Matrix> triangular_solve(ConstMatrixView t, bool upper, bool transpose_t, ConstMatrixView b) {
  if (t.rows() != t.cols()) return LapackError{Kind::NotSquare, 0};
  if (b.rows() != t.rows()) return LapackError{Kind::InvalidShape, 0};
  VORNA_TRY(n, lapack_int(t.rows()));
  VORNA_TRY(nrhs, lapack_int(b.cols()));
  if (n == 0 || nrhs == 0) return Matrix(b.rows(), b.cols());
  // The row-major copy of T is Tᵀ to LAPACK: its triangle flips, and so does op.
  const Matrix tt(t);
  Matrix x = column_major_copy(b);
  int info = 0;
  LAPACK(dtrtrs)
  (upper ? "L" : "U", transpose_t ? "N" : "T", "N", &n, &nrhs, tt.data(), &n, x.data(), &n, &info, 1, 1, 1);
  VORNA_CHECK(check_info(info));
  return transpose(x);
}

LapackResult<Matrix> qr_r(ConstMatrixView a) { return qr_r_consuming(Matrix(a)); }

// The row-major buffer of A (m × n) is Aᵀ to LAPACK. dgelqf factors Aᵀ = L·Q,
// so A = Qᵀ·Lᵀ and R = Lᵀ; the reflectors are those dgeqrf would build from
// the columns of A, so R matches the QR route (same signs). Read row-major,
// the column-major lower L is already Lᵀ: R is the first min(m, n) rows of the
// buffer with the part below the diagonal zeroed.
LapackResult<Matrix> qr_r_consuming(Matrix a) {
  const std::size_t m = a.rows(), n = a.cols();
  const std::size_t k = std::min(m, n);
  VORNA_TRY(rows, lapack_int(n));  // of Aᵀ
  VORNA_TRY(cols, lapack_int(m));
  if (k == 0) return Matrix(k, n);
  const int lda = rows;  // ≥ 1 here
  Vector tau(k);
  int info = 0;
  double query = 0.0;
  int lwork = -1;
  LAPACK(dgelqf)(&rows, &cols, a.data(), &lda, tau.data(), &query, &lwork, &info);
  VORNA_CHECK(check_info(info));
  lwork = workspace_size(query);
  Vector work(static_cast<std::size_t>(lwork));
  LAPACK(dgelqf)(&rows, &cols, a.data(), &lda, tau.data(), work.data(), &lwork, &info);
  VORNA_CHECK(check_info(info));
  Matrix r(k, n);
  std::copy_n(a.data(), k * n, r.data());
  zero_triangle(r, true);
  return r;
}

LapackResult<SymmetricEigen> symmetric_eigen(ConstMatrixView s) {
  if (s.rows() != s.cols()) return LapackError{Kind::NotSquare, 0};
  VORNA_TRY(n, lapack_int(s.rows()));
  SymmetricEigen out{Vector(s.rows()), Matrix(s)};
  if (n == 0) return out;
  // LAPACK's lower triangle of the row-major buffer is our upper one.
  Matrix& a = out.vectors;
  int info = 0;
  double query = 0.0;
  int lwork = -1;
  LAPACK(dsyev)("V", "L", &n, a.data(), &n, out.values.data(), &query, &lwork, &info, 1, 1);
  VORNA_CHECK(check_info(info));
  lwork = workspace_size(query);
  Vector work(static_cast<std::size_t>(lwork));
  LAPACK(dsyev)("V", "L", &n, a.data(), &n, out.values.data(), work.data(), &lwork, &info, 1, 1);
  VORNA_CHECK(check_info(info));
  // Column-major eigenvectors read row-major are rows; transpose to columns.
  out.vectors = transpose(a);
  return out;
}

// ---- Small vector helpers -------------------------------------------------------

double dot(const double* a, const double* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

double dot(const Vector& a, const Vector& b) { return dot(a.data(), b.data(), a.size()); }

double norm2(const Vector& v) { return std::sqrt(dot(v, v)); }

double max_abs(const Vector& v) {
  double largest = 0.0;
  for (double x : v) largest = std::fmax(largest, std::fabs(x));
  return largest;
}

Vector exp_of(const Vector& rho) {
  Vector out(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) out[j] = std::exp(rho[j]);
  return out;
}

}  // namespace vorna
