#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace vorna::fmt {
namespace {

// Text for the values that have no digits; nullptr for finite values.
const char* non_finite(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  return nullptr;
}

// The shortest decimal digits that read back to |x| (x finite, non-zero),
// as a digit string D and the power of ten of its first digit: |x| = 0.D × 10^(exponent + 1).
struct ShortestDigits {
  std::string digits;
  int exponent = 0;
};

ShortestDigits shortest_digits(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = text.find('e');
  ShortestDigits out;
  for (char c : text.substr(0, e))
    if (c != '.') out.digits.push_back(c);
  out.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  return out;
}

// Positional notation of shortest digits; `min_fraction` forces at least one
// fractional digit (debug form).
std::string positional(double x, bool min_fraction) {
  const ShortestDigits sd = shortest_digits(x);
  const int len = static_cast<int>(sd.digits.size());
  const int int_digits = sd.exponent + 1;  // digits before the point
  std::string out = std::signbit(x) ? "-" : "";
  if (int_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-int_digits), '0');
    out += sd.digits;
  } else if (int_digits >= len) {
    out += sd.digits;
    out.append(static_cast<std::size_t>(int_digits - len), '0');
    if (min_fraction) out += ".0";
  } else {
    out += sd.digits.substr(0, static_cast<std::size_t>(int_digits));
    out += '.';
    out += sd.digits.substr(static_cast<std::size_t>(int_digits));
  }
  return out;
}

// Rewrites the exponent of "d.ddde-05" style text as "e-5".
std::string compact_exponent(std::string_view text) {
  const std::size_t e = text.find('e');
  std::string out(text.substr(0, e));
  out += 'e';
  out += std::to_string(std::atoi(std::string(text.substr(e + 1)).c_str()));
  return out;
}

}  // namespace

std::string plain(double x) {
  if (const char* s = non_finite(x)) return s;
  if (x == 0.0) return std::signbit(x) ? "-0" : "0";
  return positional(x, false);
}

std::string fixed(double x, int decimals) {
  if (const char* s = non_finite(x)) return s;
  // A double has at most 309 integer digits; the fraction is capped by `decimals`.
  std::string buf(static_cast<std::size_t>(330 + decimals), '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed, decimals);
  buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
  return buf;
}

std::string fixed(double x, int width, int decimals) {
  std::string text = fixed(x, decimals);
  if (static_cast<int>(text.size()) < width) text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

std::string sci(double x, int decimals) {
  if (const char* s = non_finite(x)) return s;
  char buf[64 + 400];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, decimals);
  return compact_exponent(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

std::string debug(double x) {
  if (const char* s = non_finite(x)) return s;
  if (x == 0.0) return std::signbit(x) ? "-0.0" : "0.0";
  const double mag = std::fabs(x);
  if (mag < 1e-4 || mag >= 1e16) {
    const ShortestDigits sd = shortest_digits(x);
    std::string out = std::signbit(x) ? "-" : "";
    out += sd.digits[0];
    if (sd.digits.size() > 1) {
      out += '.';
      out += sd.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(sd.exponent);
    return out;
  }
  return positional(x, true);
}

std::string debug_list(VectorView v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug(v[i]);
  }
  out += ']';
  return out;
}

std::string array_debug(VectorView v) {
  return debug_list(v) + ", shape=[" + std::to_string(v.size()) + "], strides=[1], layout=CFcf (0xf), const ndim=1";
}

}  // namespace vorna::fmt
