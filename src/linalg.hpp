// Dense linear algebra: the square solvers used throughout the library, the
// weighted cross products, and thin wrappers over the LAPACK factorizations.
//
// This is the only layer that talks to BLAS/LAPACK. Inputs are views of any
// strides; a row-major buffer is handed to LAPACK as the column-major
// transpose (flipping uplo/trans) wherever that saves a copy. Sizes above
// INT_MAX never reach LAPACK: the factorizations report InvalidShape and the
// products fall back to plain loops.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

// Systems of this order and above go to LAPACK's LU; smaller ones are solved
// by in-memory elimination with an absolute pivot threshold.
inline constexpr std::size_t kLapackThreshold = 1000;

// The error value of the LAPACK bindings. `return_code` is LAPACK's INFO for
// the two LAPACK kinds (negative: invalid argument, positive: computational
// failure) and 0 for the shape kinds.
struct LapackError {
  enum class Kind {
    LapackInvalidValue,
    LapackComputationalFailure,
    InvalidShape,
    NotSquare,
    NotStandardShape,
    LapackInvalidStrides,
  };
  Kind kind = Kind::InvalidShape;
  int return_code = 0;

  // Textual form embedded in messages such as "QR decomposition failed: ...":
  // the kind, and for the two LAPACK kinds the INFO code, e.g.
  // "LapackComputationalFailure { return_code: 3 }".
  std::string to_string() const;
};

template <class T>
using LapackResult = Result<T, LapackError>;

// The library error for a failed LAPACK call, the same wherever it is raised:
// LinAlgError "{context}: {error}" for a computational failure (a singular or
// indefinite matrix, no convergence) or a shape LAPACK cannot take, where
// {error} is to_string() with INFO; an argument LAPACK rejects (INFO < 0)
// is a fault of this library, never of the data, and reads "internal error:
// LAPACK rejected argument {−INFO} ({context})".
GamError lapack_error(const std::string& context, const LapackError& error);
// The same failure where the caller's contract names another kind or form:
// `kind` "{context}: {error}", or `kind` "{context}" alone without `detail`.
// An argument LAPACK rejects stays the internal error above.
GamError lapack_error(GamErrorKind kind, const std::string& context, const LapackError& error, bool detail = true);

// ---- The general square routines -----------------------------------------

// Below order kLapackThreshold these use elimination with partial pivoting
// (the row of largest magnitude; ties keep the upper row) and an absolute
// pivot threshold; from it upward LAPACK's LU (dgetrf with dgetrs / dgetri).
// No routine scales, adds a ridge or prints.

// x with A·x = b (A: n × n, b: length n). Consumes A and b.
// DimensionMismatch "Matrix must be square and match RHS"; SingularMatrix when
// a pivot is below 1e-14 or LAPACK fails. n = 0 gives the empty vector.
Result<Vector> solve(Matrix a, Vector b);
// det(A). DimensionMismatch "Matrix must be square". A pivot below 1e-15 (or
// a zero pivot reported by dgetrf) gives 0.0 rather than an error; the LAPACK
// path forms sign·exp(Σ log|u_ii|). The 0 × 0 determinant is 1.0.
Result<double> determinant(ConstMatrixView a);
// log(det(A)) by the same factorization as determinant(): equal to
// log(determinant(A)) wherever the determinant is representable, and the sum
// of the logarithms of the pivots where their product would overflow or
// underflow. −∞ for a zero determinant, NaN for a negative one.
Result<double> log_determinant(ConstMatrixView a);
// A⁻¹ by Gauss–Jordan on [A | I] (pivot threshold 1e-14) or dgetrf + dgetri.
// DimensionMismatch "Matrix must be square"; SingularMatrix.
Result<Matrix> inverse(ConstMatrixView a);

// XᵀWX (p × p, full symmetric) and XᵀWy (length p) through √W·X; a negative
// weight gives NaN entries. Only the first n entries of w and y are read.
// Never fail.
Matrix weighted_gram(ConstMatrixView x, VectorView w);
Vector weighted_xty(ConstMatrixView x, VectorView w, VectorView y);

// XᵀWX and XᵀWy of one data set, formed once by a caller that fits it many times.
struct CrossProducts {
  Matrix xtwx;
  Vector xtwy;
};

// XᵀWX and XᵀWy together, in one pass over X.
CrossProducts weighted_cross_products(ConstMatrixView x, VectorView w, VectorView y);

// ---- Dense products (BLAS for large operands) -------------------------------
// Operands of any layout; row- or column-major ones go to BLAS without a copy.
// Small products run as plain ordered loops. Shapes must conform (asserted).

Matrix matmul(ConstMatrixView a, ConstMatrixView b);     // A·B
Matrix matmul_tn(ConstMatrixView a, ConstMatrixView b);  // Aᵀ·B
Matrix gram(ConstMatrixView a);                          // AᵀA, full symmetric
Vector matvec(ConstMatrixView a, VectorView x);          // A·x
Vector matvec_t(ConstMatrixView a, VectorView x);        // Aᵀ·x
Matrix transpose(ConstMatrixView a);

// ---- Small vector helpers: plain loops in index order -------------------------

double dot(const double* a, const double* b, std::size_t n);  // Σ a_i·b_i
double dot(const Vector& a, const Vector& b);                 // over a.size() entries
double norm2(const Vector& v);                                // √(v·v)
double max_abs(const Vector& v);   // largest |v_i| as a running maximum from 0 that ignores NaN
Vector exp_of(const Vector& rho);  // e^ρ_j entry by entry (λ from ln λ)

// ---- LAPACK factorizations ---------------------------------------------------

struct LuFactors {
  Matrix lu;              // LAPACK's packed L\U, stored so that lu(i, j) is entry (i, j) of the factor
  std::vector<int> ipiv;  // 1-based pivot indices as LAPACK returns them
};

// dgetrf on a copy of A (square).
LapackResult<LuFactors> lu_factor(ConstMatrixView a);
// dgetrs with the factors; B has n rows and any number of columns.
LapackResult<Matrix> lu_solve(const LuFactors& f, ConstMatrixView b);
// dgetri from the factors.
LapackResult<Matrix> lu_inverse(const LuFactors& f);

// dpotrf. Upper: R with RᵀR = A, reading the upper triangle of A. Lower: L
// with LLᵀ = A, reading the lower triangle. The other triangle of the result
// is zero. A not positive definite: LapackComputationalFailure (INFO = the
// order of the failing leading minor).
LapackResult<Matrix> cholesky_upper(ConstMatrixView a);
LapackResult<Matrix> cholesky_lower(ConstMatrixView a);

// dtrtrs: solves op(T)·X = B for a triangular T (only its `upper` or lower
// triangle is read); op is the transpose when `transpose` is set.
LapackResult<Matrix> triangular_solve(ConstMatrixView t, bool upper, bool transpose, ConstMatrixView b);

// The triangular factor of a thin QR of A (m × n): min(m, n) × n, zero below
// the diagonal, RᵀR = AᵀA, with LAPACK's signs (the diagonal may be negative).
// Computed as the LQ factorization (dgelqf) of Aᵀ, whose reflectors are
// those of dgeqrf on A, for tall and wide matrices alike; Q is not formed.
LapackResult<Matrix> qr_r(ConstMatrixView a);
// The same, factoring its argument in place instead of a copy.
LapackResult<Matrix> qr_r_consuming(Matrix a);

// dsyev with JOBZ='V' on the upper triangle of S: eigenvalues ascending,
// eigenvectors as the columns of `vectors`. No convergence:
// LapackComputationalFailure.
struct SymmetricEigen {
  Vector values;
  Matrix vectors;
};
LapackResult<SymmetricEigen> symmetric_eigen(ConstMatrixView s);

// Keeps OpenBLAS on the calling thread unless OPENBLAS_NUM_THREADS is set.
void configure_blas_threads();

}  // namespace vorna
