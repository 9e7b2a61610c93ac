#include "linalg.hpp"

#include <cstdlib>

#include "lapack.hpp"

namespace vorna {

void configure_blas_threads() {
#ifndef VORNA_LAPACK_SYSTEM
  if (std::getenv("OPENBLAS_NUM_THREADS") == nullptr) scipy_openblas_set_num_threads(1);
#endif
}

}  // namespace vorna
