// The exact Hessian of the REML criterion with respect to the log smoothing
// parameters ρ_j = log λ_j.
//
// It differentiates reml_gradient_multi_qr (reml.hpp) term by term, the
// dependence of the scale φ = RSS/(n − r) on ρ included, so that a Newton
// step built from the two is consistent. Notation as in reml.hpp, plus
//   A⁻¹ = R⁻¹R⁻ᵀ       the explicit inverse of the unridged RᵀR
//   D = RSS + P         the penalized residual sum
//   ∂β_j = −A⁻¹λ_jS_jβ
#pragma once

#include <span>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

// H (m × m), H_ij = ∂²V/∂ρ_i∂ρ_j, exactly symmetric (the lower triangle is a
// copy of the upper). The penalties are always decomposed into roots here;
// their [PENALTY_SQRT_DEBUG] and the coefficients' [PHI_DEBUG] lines follow
// VORNA_GRAD_DEBUG, while the stacked factor prints nothing. VORNA_HESS_DEBUG
// switches the [HESS_CORRECTED] breakdown.
//
// Errors: those of penalty_sqrt and of the coefficient solve, unchanged;
// DimensionMismatch for inconsistent sizes (as the gradient reports them);
// LinAlgError "QR decomposition failed" (without the LAPACK error); SingularMatrix when R cannot be
// inverted. A degenerate φ (RSS = 0, n = r) is not an error: infinities and
// NaN are returned.
Result<Matrix> reml_hessian_multi_qr(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties);

}  // namespace vorna
