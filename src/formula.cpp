#include "formula.hpp"

#include <optional>

namespace vorna {
namespace {

// Length in bytes of the Unicode white-space character starting at s[i], or 0.
std::size_t white_space_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t j) { return static_cast<unsigned char>(s[j]); };
  const unsigned char c = byte(i);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c == 0xC2 && i + 1 < s.size() && (byte(i + 1) == 0x85 || byte(i + 1) == 0xA0)) return 2;
  if (i + 2 >= s.size()) return 0;
  const unsigned code = ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
  if ((c & 0xF0u) != 0xE0u) return 0;
  const bool space = code == 0x1680 || (code >= 0x2000 && code <= 0x200A) || code == 0x2028 || code == 0x2029 ||
                     code == 0x202F || code == 0x205F || code == 0x3000;
  return space ? 3 : 0;
}

std::string_view trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t len = white_space_length(s, begin);
    if (len == 0) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // White space ends in an ASCII byte or in the last byte of a 2- or 3-byte sequence.
    bool found = false;
    for (std::size_t len = 1; len <= 3 && len <= end - begin; ++len) {
      if (white_space_length(s, end - len) == len) {
        end -= len;
        found = true;
        break;
      }
    }
    if (!found) break;
  }
  return s.substr(begin, end - begin);
}

std::vector<std::string_view> split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == separator) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// An optional single leading '+', then one or more ASCII digits, below 2^64.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string invalid_term(std::string_view term) {
  return "Invalid smooth term: '" + std::string(term) + "'. Expected format: s(col, k=value)";
}

std::variant<FormulaTerm, std::string> parse_term(std::string_view piece) {
  const std::string_view term = trim(piece);
  if (term.size() < 2 || !term.starts_with("s(") || !term.ends_with(")")) return invalid_term(term);
  const std::vector<std::string_view> args = split(term.substr(2, term.size() - 3), ',');
  if (args.size() != 2) return invalid_term(term);

  const std::string_view col_text = trim(args[0]);
  const std::optional<std::uint64_t> column = parse_unsigned(col_text);
  if (!column) return "Invalid column index: '" + std::string(col_text) + "'";

  const std::string_view k_text = trim(args[1]);
  if (!k_text.starts_with("k=") && !(k_text.size() >= 3 && k_text.starts_with("k ="))) {
    return "Invalid k specification: '" + std::string(k_text) + "'. Expected format: k=value";
  }
  std::string_view value_text = k_text.substr(k_text.find('=') + 1);
  value_text = trim(value_text.substr(0, value_text.find('=')));
  const std::optional<std::uint64_t> k = parse_unsigned(value_text);
  if (!k) return "Invalid k value: '" + std::string(value_text) + "'";
  return FormulaTerm{*column, *k};
}

}  // namespace

std::variant<std::vector<FormulaTerm>, std::string> parse_formula(std::string_view formula) {
  std::vector<FormulaTerm> terms;
  for (std::string_view piece : split(formula, '+')) {
    auto term = parse_term(piece);
    if (auto* message = std::get_if<std::string>(&term)) return std::move(*message);
    terms.push_back(std::get<FormulaTerm>(term));
  }
  return terms;
}

}  // namespace vorna
