// Number formatting for diagnostic lines and messages.
//
// Every diagnostic line of the library is built from these few forms, so the
// exact digits printed are decided here and nowhere else:
//   plain(x)        shortest round-trip digits, never an exponent: 1e-10 -> 0.0000000001, 3.0 -> 3
//   fixed(x, N)     exactly N digits after the point (round half to even on the exact binary value)
//   fixed(x, W, N)  the same, right-aligned in a field of W characters
//   sci(x, N)       N digits after the point, exponent without '+' or leading zeros: 2.50e-5
//   debug(x)        shortest digits with at least one fractional digit (3.0), exponent form
//                   (1e-5, 2.5e16) when |x| < 1e-4 or |x| >= 1e16; zero stays 0.0
//   debug_list(v)   "[" + debug items joined by ", " + "]"
//   array_debug(v)  debug_list(v) + ", shape=[n], strides=[1], layout=CFcf (0xf), const ndim=1"
// Infinities print as inf / -inf and NaN as NaN in every form.
#pragma once

#include <cstddef>
#include <string>

#include "matrix.hpp"

namespace vorna::fmt {

std::string plain(double x);
std::string fixed(double x, int decimals);
std::string fixed(double x, int width, int decimals);
std::string sci(double x, int decimals);
std::string debug(double x);
std::string debug_list(VectorView v);
std::string array_debug(VectorView v);

}  // namespace vorna::fmt
