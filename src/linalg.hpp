// Dense linear algebra: the square solvers used throughout the library, the
// weighted cross products, and thin wrappers over the LAPACK factorizations.
//
// This is the only layer that talks to BLAS/LAPACK. Inputs are row-major
// views; the wrappers make the column-major working copies LAPACK needs.
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

  // Textual form embedded in messages such as "QR decomposition failed: ...".
  std::string to_string() const;
};

template <class T>
using LapackResult = Result<T, LapackError>;

// ---- The general square routines -----------------------------------------

// x with A·x = b. Consumes A and b.
Result<Vector> solve(Matrix a, Vector b);
// det(A); a pivot below 1e-15 gives 0.0 rather than an error.
Result<double> determinant(ConstMatrixView a);
// A⁻¹.
Result<Matrix> inverse(ConstMatrixView a);

// XᵀWX (p × p) and XᵀWy (length p) through √W·X. Only the first n entries of
// w and y are read.
Matrix weighted_gram(ConstMatrixView x, VectorView w);
Vector weighted_xty(ConstMatrixView x, VectorView w, VectorView y);

// ---- Dense products (BLAS for large operands) -------------------------------

Matrix matmul(ConstMatrixView a, ConstMatrixView b);     // A·B
Matrix matmul_tn(ConstMatrixView a, ConstMatrixView b);  // Aᵀ·B
Matrix gram(ConstMatrixView a);                          // AᵀA, full symmetric
Vector matvec(ConstMatrixView a, VectorView x);          // A·x
Vector matvec_t(ConstMatrixView a, VectorView x);        // Aᵀ·x
Matrix transpose(ConstMatrixView a);

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

// dpotrf. Upper: R with RᵀR = A. Lower: L with LLᵀ = A. The other triangle is zero.
LapackResult<Matrix> cholesky_upper(ConstMatrixView a);
LapackResult<Matrix> cholesky_lower(ConstMatrixView a);

// dtrtrs: solves op(T)·X = B for a triangular T (only its `upper` or lower
// triangle is read); op is the transpose when `transpose` is set.
LapackResult<Matrix> triangular_solve(ConstMatrixView t, bool upper, bool transpose,
                                      ConstMatrixView b);

// The triangular factor of a thin QR of A (m × n): min(m, n) × n, zero below
// the diagonal. Wide matrices go through the LQ factorization of Aᵀ.
LapackResult<Matrix> qr_r(ConstMatrixView a);

// dsyev with JOBZ='V', UPLO='U': eigenvalues ascending, eigenvectors as the
// columns of `vectors`.
struct SymmetricEigen {
  Vector values;
  Matrix vectors;
};
LapackResult<SymmetricEigen> symmetric_eigen(ConstMatrixView s);

// Keeps OpenBLAS on the calling thread unless OPENBLAS_NUM_THREADS is set.
void configure_blas_threads();

}  // namespace vorna
