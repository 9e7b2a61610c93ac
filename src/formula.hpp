// The formula syntax of fit_formula: "s(0, k=10) + s(1, k=15)".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorna {

struct FormulaTerm {
  std::uint64_t column = 0;
  std::uint64_t k = 0;
};

// The terms in the order written, or the message describing the first
// malformed term. The parser changes nothing and knows nothing about the data.
std::variant<std::vector<FormulaTerm>, std::string> parse_formula(std::string_view formula);

}  // namespace vorna
