// The response families. The numeric order is the stored code and the order
// of the Python names.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorna {

enum class Family : std::uint8_t { Gaussian = 0, Binomial = 1, Poisson = 2, Gamma = 3 };

inline constexpr std::string_view family_name(Family f) {
  switch (f) {
    case Family::Gaussian: return "gaussian";
    case Family::Binomial: return "binomial";
    case Family::Poisson: return "poisson";
    case Family::Gamma: return "gamma";
  }
  return "gaussian";
}

// Case-sensitive; nullopt for anything but the four names.
inline constexpr std::optional<Family> family_from_name(std::string_view name) {
  for (Family f : {Family::Gaussian, Family::Binomial, Family::Poisson, Family::Gamma})
    if (family_name(f) == name) return f;
  return std::nullopt;
}

}  // namespace vorna
