// Declarations of every BLAS and LAPACK routine the project calls.
//
// Only linalg.cpp includes this header. The scipy-openblas32 build exports its
// symbols with a "scipy_" prefix (LP64, 32-bit integers); a system LAPACK
// exports the same routines unprefixed. gfortran passes the length of every
// CHARACTER argument as a hidden trailing size_t; we always pass 1.
#pragma once

#include <cstddef>

#ifdef VORNA_LAPACK_SYSTEM
#define VORNA_LAPACK_NAME(name) name##_
#else
#define VORNA_LAPACK_NAME(name) scipy_##name##_
#endif

extern "C" {

// BLAS level 3 / 2
void VORNA_LAPACK_NAME(dgemm)(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                              const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
                              const double* beta, double* c, const int* ldc, std::size_t, std::size_t);
void VORNA_LAPACK_NAME(dsyrk)(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
                              const double* a, const int* lda, const double* beta, double* c, const int* ldc,
                              std::size_t, std::size_t);
void VORNA_LAPACK_NAME(dgemv)(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
                              const int* lda, const double* x, const int* incx, const double* beta, double* y,
                              const int* incy, std::size_t);

// LU
void VORNA_LAPACK_NAME(dgetrf)(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void VORNA_LAPACK_NAME(dgetrs)(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
                               const int* ipiv, double* b, const int* ldb, int* info, std::size_t);
void VORNA_LAPACK_NAME(dgetri)(const int* n, double* a, const int* lda, const int* ipiv, double* work, const int* lwork,
                               int* info);

// Cholesky and triangular
void VORNA_LAPACK_NAME(dpotrf)(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
void VORNA_LAPACK_NAME(dtrtrs)(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs,
                               const double* a, const int* lda, double* b, const int* ldb, int* info, std::size_t,
                               std::size_t, std::size_t);

// LQ (the QR factor of Aᵀ without forming Q)
void VORNA_LAPACK_NAME(dgelqf)(const int* m, const int* n, double* a, const int* lda, double* tau, double* work,
                               const int* lwork, int* info);

// Symmetric eigen-decomposition
void VORNA_LAPACK_NAME(dsyev)(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
                              double* work, const int* lwork, int* info, std::size_t, std::size_t);

#ifndef VORNA_LAPACK_SYSTEM
void scipy_openblas_set_num_threads(int num_threads);
#endif

}  // extern "C"
