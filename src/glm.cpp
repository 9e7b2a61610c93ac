#include "glm.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>

namespace vorna {

namespace {

// log Γ(x) without the sign of Γ: std::lgamma stores that sign in the global
// `signgam`, a data race when rows are summed in several threads; the
// reentrant lgamma_r keeps it local.
double log_gamma_of(double x) {
#if defined(__GLIBC__) || defined(__APPLE__)
  int sign = 0;
  return ::lgamma_r(x, &sign);
#else
  return std::lgamma(x);
#endif
}

// log Γ at the integers 1 … kTabulatedGamma − 1, by the same function: counts
// (Poisson y + 1, binomial trials and successes + 1) mostly fall there, and a
// likelihood then costs a lookup per row instead of a call.
constexpr int kTabulatedGamma = 1024;

double log_gamma(double x) {
  if (x >= 1.0 && x < kTabulatedGamma) {
    const int i = static_cast<int>(x);
    if (static_cast<double>(i) == x) {
      static const std::array<double, kTabulatedGamma> table = [] {
        std::array<double, kTabulatedGamma> t{};
        for (int j = 1; j < kTabulatedGamma; ++j) t[j] = log_gamma_of(j);
        return t;
      }();
      return table[i];
    }
  }
  return log_gamma_of(x);
}

constexpr double kEps = std::numeric_limits<double>::epsilon();
// Largest |η| for which the probit mean stays strictly inside (ε, 1 − ε).
constexpr double kProbitBound = 8.125890664701906;
// exp() argument bound: e^700 is finite, so log-link means never overflow.
constexpr double kExpBound = 700.0;

constexpr std::array<std::string_view, 5> kDistributionNames = {"gaussian", "binomial", "poisson", "gamma",
                                                                "inverse_gaussian"};
constexpr std::array<std::string_view, 8> kLinkNames = {"identity", "log",     "logit",          "probit",
                                                        "cloglog",  "inverse", "inverse_square", "sqrt"};

double clamp_probability(double mu) { return std::clamp(mu, kEps, 1.0 - kEps); }
// log(a/b) for a, b > 0: from the quotient while it is a normal number (the
// more accurate form for a ≈ b), else as log a − log b, which stays finite
// where the quotient overflows or underflows (a mean of 1e-310 against y = 1).
double log_ratio(double a, double b) {
  const double q = a / b;
  return std::isnormal(q) ? std::log(q) : std::log(a) - std::log(b);
}
// x·log(x/m), with 0·log 0 = 0.
double xlogx_over(double x, double m) { return x == 0.0 ? 0.0 : x * log_ratio(x, m); }
// a·log(a/b) for a ≥ 0 and b > 0, given their difference d = a − b as the
// caller best computes it. Where a ≈ b the quotient lies next to 1, and its
// logarithm keeps only the absolute rounding ε of a term of the size of d;
// log1p(d/b) keeps the digits. Elsewhere d/b may round to −1 (a far below
// b), and the quotient's own logarithm is the sound form.
double xlog_quotient(double a, double b, double d) {
  if (a == 0.0) return 0.0;
  return a * (std::abs(d) <= 0.5 * b ? std::log1p(d / b) : log_ratio(a, b));
}
// −log(1 − μ) for 0 < μ < 1: 1 − μ is exact from μ = 1/2 on, and below it
// log1p(−μ) keeps the digits that 1 − μ rounds away.
double minus_log_complement(double mu) { return mu < 0.5 ? -std::log1p(-mu) : -std::log(1.0 - mu); }
// The two parts of a binomial unit deviance, y·log(y/μ) and
// (1 − y)·log((1 − y)/(1 − μ)), for 0 ≤ y ≤ 1 and 0 < μ < 1: rare events
// (y ≈ μ ≈ 1e-9) and nearly certain ones are the cases of a ≈ b. A response
// of 0 or 1 (every row of 0/1 data) needs no quotient: −log μ and
// −log(1 − μ) are exact from μ itself.
double successes_term(double y, double mu) {
  if (y == 1.0) return -std::log(mu);
  return xlog_quotient(y, mu, y - mu);
}
double failures_term(double y, double mu) {
  if (y == 0.0) return minus_log_complement(mu);
  return xlog_quotient(1.0 - y, 1.0 - mu, mu - y);
}

}  // namespace

std::optional<Distribution> distribution_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kDistributionNames.size(); ++i)
    if (kDistributionNames[i] == name) return static_cast<Distribution>(i);
  return std::nullopt;
}

std::optional<Link> link_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kLinkNames.size(); ++i)
    if (kLinkNames[i] == name) return static_cast<Link>(i);
  return std::nullopt;
}

std::string_view distribution_name(Distribution d) { return kDistributionNames[static_cast<std::size_t>(d)]; }
std::string_view link_name(Link l) { return kLinkNames[static_cast<std::size_t>(l)]; }

Link canonical_link(Distribution d) {
  switch (d) {
    case Distribution::Gaussian: return Link::Identity;
    case Distribution::Binomial: return Link::Logit;
    case Distribution::Poisson: return Link::Log;
    case Distribution::Gamma: return Link::Inverse;
    case Distribution::InverseGaussian: return Link::InverseSquare;
  }
  return Link::Identity;
}

bool link_admitted(Distribution d, Link l) {
  switch (d) {
    case Distribution::Gaussian: return l == Link::Identity || l == Link::Log || l == Link::Inverse;
    case Distribution::Binomial: return l == Link::Logit || l == Link::Probit || l == Link::Cloglog;
    case Distribution::Poisson: return l == Link::Log || l == Link::Identity || l == Link::Sqrt;
    case Distribution::Gamma: return l == Link::Inverse || l == Link::Log || l == Link::Identity;
    case Distribution::InverseGaussian:
      return l == Link::InverseSquare || l == Link::Inverse || l == Link::Log || l == Link::Identity;
  }
  return false;
}

bool scale_is_known(Distribution d) { return d == Distribution::Binomial || d == Distribution::Poisson; }

double Glm::link_fn(double mu) const {
  switch (link) {
    case Link::Identity: return mu;
    case Link::Log: return std::log(mu);
    case Link::Logit: return std::log(mu / (1.0 - mu));
    case Link::Probit: {
      // Φ⁻¹ by Newton from a logistic guess; μ is kept inside (ε, 1 − ε).
      const double p = clamp_probability(mu);
      double x = std::log(p / (1.0 - p)) / 1.702;
      for (int i = 0; i < 50; ++i) {
        const double f = 0.5 * std::erfc(-x / std::numbers::sqrt2) - p;
        const double d = std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi);
        const double step = f / d;
        x -= step;
        if (std::abs(step) < 1e-15 * (1.0 + std::abs(x))) break;
      }
      return x;
    }
    case Link::Cloglog: return std::log(-std::log1p(-mu));
    case Link::Inverse: return 1.0 / mu;
    case Link::InverseSquare: return 1.0 / (mu * mu);
    case Link::Sqrt: return std::sqrt(mu);
  }
  return mu;
}

double Glm::inverse(double eta) const {
  switch (link) {
    case Link::Identity: return eta;
    case Link::Log: return std::exp(std::min(eta, kExpBound));
    case Link::Logit: return clamp_probability(1.0 / (1.0 + std::exp(-eta)));
    case Link::Probit: {
      const double x = std::clamp(eta, -kProbitBound, kProbitBound);
      return 0.5 * std::erfc(-x / std::numbers::sqrt2);
    }
    case Link::Cloglog: return clamp_probability(-std::expm1(-std::exp(std::min(eta, kExpBound))));
    case Link::Inverse: return 1.0 / eta;
    case Link::InverseSquare: return 1.0 / std::sqrt(eta);
    case Link::Sqrt: return eta * eta;
  }
  return eta;
}

double Glm::mu_eta(double eta) const {
  // dμ/dη is kept away from 0 so that working weights and responses stay
  // finite. For counts and proportions ε is far below any mean that matters;
  // where the family has a scale, μ has the units of y, and a floor of ε
  // would make the fit depend on them (y in units of 1e-20): there only the
  // smallest normal number.
  const double tiny = scale_is_known(distribution) ? kEps : std::numeric_limits<double>::min();
  const auto floor_small = [tiny](double v) { return std::abs(v) < tiny ? std::copysign(tiny, v) : v; };
  switch (link) {
    case Link::Identity: return 1.0;
    case Link::Log: return std::max(std::exp(std::min(eta, kExpBound)), tiny);
    case Link::Logit: {
      const double e = std::exp(-std::abs(eta));
      return std::max(e / ((1.0 + e) * (1.0 + e)), kEps);
    }
    case Link::Probit: return std::max(std::exp(-0.5 * eta * eta) / std::sqrt(2.0 * std::numbers::pi), kEps);
    case Link::Cloglog: {
      const double e = std::min(eta, kExpBound);
      return std::max(std::exp(e - std::exp(e)), kEps);
    }
    case Link::Inverse: return floor_small(-1.0 / (eta * eta));
    case Link::InverseSquare: return floor_small(-0.5 / (eta * std::sqrt(eta)));
    case Link::Sqrt: return floor_small(2.0 * eta);
  }
  return 1.0;
}

double Glm::variance(double mu) const {
  switch (distribution) {
    case Distribution::Gaussian: return 1.0;
    case Distribution::Binomial: return std::max(mu * (1.0 - mu), kEps);
    case Distribution::Poisson: return std::max(mu, kEps);
    case Distribution::Gamma: return std::max(mu * mu, std::numeric_limits<double>::min());
    case Distribution::InverseGaussian: return std::max(mu * mu * mu, std::numeric_limits<double>::min());
  }
  return 1.0;
}

double Glm::deviance(double y, double mu, double w) const {
  // Where μ ≈ y the terms with logarithms cancel to their rounding, which can
  // come out below 0; a unit deviance is never negative.
  switch (distribution) {
    case Distribution::Gaussian: return w * (y - mu) * (y - mu);
    case Distribution::Binomial: return 2.0 * w * std::max(0.0, successes_term(y, mu) + failures_term(y, mu));
    case Distribution::Poisson: return 2.0 * w * std::max(0.0, xlogx_over(y, mu) - (y - mu));
    case Distribution::Gamma: return 2.0 * w * std::max(0.0, -log_ratio(y, mu) + (y - mu) / mu);
    case Distribution::InverseGaussian: return w * (y - mu) * (y - mu) / (mu * mu * y);
  }
  return 0.0;
}

double Glm::negligible_deviance(double mean, double weight_sum) const {
  constexpr double kSquares = 1e-13;     // relative rounding of a difference, squared below
  constexpr double kLogarithms = 1e-14;  // about 45 ε, relative to the size of a unit deviance's terms
  constexpr double kAtBound = 1e-10;
  switch (distribution) {
    case Distribution::Gaussian: return weight_sum * (kSquares * mean) * (kSquares * mean);
    case Distribution::InverseGaussian: return mean > 0.0 ? weight_sum * kSquares * kSquares / mean : 0.0;
    // A response all at a bound of the mean (no counts, one class) is fitted
    // only as η runs off, to deviances of about 1e-15 per row where PiRLS stops.
    case Distribution::Poisson: return weight_sum * (mean > 0.0 ? kLogarithms * mean : kAtBound);
    case Distribution::Binomial: {
      const double least = std::min(mean, 1.0 - mean);
      return weight_sum * (least > 0.0 ? kLogarithms * std::min(least, 0.5) : kAtBound);
    }
    case Distribution::Gamma: return weight_sum * kLogarithms;
  }
  return 0.0;
}

bool Glm::valid_mu(double mu) const {
  if (!std::isfinite(mu)) return false;
  switch (distribution) {
    case Distribution::Gaussian: return true;
    case Distribution::Binomial: return mu > 0.0 && mu < 1.0;
    default: return mu > 0.0;
  }
}

bool Glm::valid_eta(double eta) const {
  if (!std::isfinite(eta)) return false;
  switch (link) {
    case Link::Inverse: return distribution == Distribution::Gaussian ? eta != 0.0 : eta > 0.0;
    case Link::InverseSquare:
    case Link::Sqrt: return eta > 0.0;
    default: return true;
  }
}

double Glm::start_mu(double y, double w) const {
  switch (distribution) {
    case Distribution::Binomial: return (w * y + 0.5) / (w + 1.0);
    case Distribution::Poisson: return y + 0.1;
    default: return y;
  }
}

double Glm::row_log_likelihood(double yi, double mi, double wi, double phi) const {
  constexpr double kLog2Pi = 1.8378770664093453;
  switch (distribution) {
    case Distribution::Gaussian: return -0.5 * (wi * (yi - mi) * (yi - mi) / phi + kLog2Pi + std::log(phi / wi));
    case Distribution::Binomial: {
      const double succ = wi * yi, fail = wi * (1.0 - yi);
      double sum = log_gamma(wi + 1.0) - log_gamma(succ + 1.0) - log_gamma(fail + 1.0);
      if (succ > 0.0) sum += succ * std::log(mi);
      if (fail > 0.0) sum += fail * std::log1p(-mi);
      return sum;
    }
    case Distribution::Poisson: return wi * ((yi > 0.0 ? yi * std::log(mi) : 0.0) - mi - log_gamma(yi + 1.0));
    case Distribution::Gamma: {
      const double shape = wi / phi;
      return shape * std::log(shape * yi / mi) - shape * yi / mi - std::log(yi) - log_gamma(shape);
    }
    case Distribution::InverseGaussian:
      return -0.5 * (kLog2Pi + std::log(phi * yi * yi * yi / wi) + wi * (yi - mi) * (yi - mi) / (phi * mi * mi * yi));
  }
  return 0.0;
}

Result<void> check_response(Distribution d, VectorView y, std::size_t first_row) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double v = y[i];
    bool ok = std::isfinite(v);
    const char* rule = "finite values";
    switch (d) {
      case Distribution::Gaussian: break;
      case Distribution::Binomial:
        ok = ok && v >= 0.0 && v <= 1.0;
        rule = "0 <= y <= 1 (proportions; pass trial counts as weights)";
        break;
      case Distribution::Poisson:
        ok = ok && v >= 0.0;
        rule = "y >= 0";
        break;
      case Distribution::Gamma:
      case Distribution::InverseGaussian:
        ok = ok && v > 0.0;
        rule = "y > 0";
        break;
    }
    if (!ok) {
      char value[64];
      std::snprintf(value, sizeof value, "%.17g", v);
      return GamError::invalid_parameter("the " + std::string(distribution_name(d)) + " family needs " + rule +
                                         ", but y[" + std::to_string(first_row + i) + "] = " + value);
    }
  }
  return {};
}

}  // namespace vorna
