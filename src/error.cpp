#include "error.hpp"

namespace vorna {

std::string GamError::display() const {
  switch (kind) {
    case GamErrorKind::DimensionMismatch: return "Matrix dimension mismatch: " + message;
    case GamErrorKind::OptimizationFailed: return "Optimization failed: " + message;
    case GamErrorKind::SingularMatrix: return "Singular matrix encountered";
    case GamErrorKind::InvalidParameter: return "Invalid parameter: " + message;
    case GamErrorKind::LinAlgError: return "Linear algebra error: " + message;
    case GamErrorKind::NotImplemented: return "Not implemented: " + message;
    case GamErrorKind::Interrupted: return "Interrupted";
  }
  return message;
}

}  // namespace vorna
