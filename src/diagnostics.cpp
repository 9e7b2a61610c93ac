#include "diagnostics.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorna::diag {
namespace {

// A variable holding bytes that are not UTF-8 does not count as set.
bool is_utf8(const unsigned char* s) {
  while (*s) {
    unsigned char c = *s;
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0) return false;
    unsigned code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    ++s;
    for (int i = 0; i < extra; ++i, ++s) {
      if ((*s >> 6) != 0x2) return false;
      code = (code << 6) | (*s & 0x3F);
    }
    static constexpr unsigned kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinForLength[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

bool enabled(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && is_utf8(reinterpret_cast<const unsigned char*>(value));
}

void line(std::string_view text) {
  std::string out(text);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vorna::diag
