// Exponential-family distributions with any of the usual links, for the
// modelling layer: prior weights, the link, its inverse and derivative, the
// variance function, deviance residuals and log-likelihoods.
//
// Conventions follow McCullagh & Nelder, Generalized Linear Models (2nd ed.,
// 1989), ch. 2: a(φ) = φ/w for prior weight w, V(μ) the variance function,
// deviance d(y, μ) = 2w·[ℓ(y; y) − ℓ(μ; y)]. Binomial responses are
// proportions with the number of trials as the prior weight.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

enum class Distribution : std::uint8_t { Gaussian, Binomial, Poisson, Gamma, InverseGaussian };
enum class Link : std::uint8_t { Identity, Log, Logit, Probit, Cloglog, Inverse, InverseSquare, Sqrt };

std::optional<Distribution> distribution_from_name(std::string_view name);
std::optional<Link> link_from_name(std::string_view name);
std::string_view distribution_name(Distribution d);
std::string_view link_name(Link l);

// The canonical link of each distribution.
Link canonical_link(Distribution d);
// Whether the link maps the distribution's mean space sensibly (e.g. no logit
// for a Poisson count): the pairs a user may ask for.
bool link_admitted(Distribution d, Link l);

// Binomial and Poisson have φ = 1.
bool scale_is_known(Distribution d);

struct Glm {
  Distribution distribution = Distribution::Gaussian;
  Link link = Link::Identity;

  double link_fn(double mu) const;   // η = g(μ)
  double inverse(double eta) const;  // μ = g⁻¹(η), kept inside the mean space
  double mu_eta(double eta) const;   // dμ/dη, never exactly 0
  double variance(double mu) const;  // V(μ)
  // Unit deviance times the prior weight (never below 0).
  double deviance(double y, double mu, double w) const;
  // The deviance that rounding alone can make of a fit to a response of
  // weighted mean `mean` and weight sum `weight_sum`: below it a deviance, or
  // a change of one, says nothing (a constant response is fitted exactly).
  // Per unit weight: (1e-13·m)² for the Gaussian and 1e-26/m for the inverse
  // Gaussian, whose unit deviances are squares of differences that round to
  // about ε of y; where they take logarithms, 1e-14 of the size of their
  // terms, which round to about ε of it: m for counts, min(m, 1 − m) for
  // proportions, 1 for the Gamma; 1e-10 for counts of 0 and proportions of
  // one class, whose fit is reached only in the limit.
  double negligible_deviance(double mean, double weight_sum) const;
  // Whether μ (η) lies where the distribution and link are defined.
  bool valid_mu(double mu) const;
  bool valid_eta(double eta) const;
  // A starting mean from the response (inside the mean space).
  double start_mu(double y, double w) const;
  // The log-likelihood of one row with a positive prior weight.
  double row_log_likelihood(double y, double mu, double w, double phi) const;
};

// InvalidParameter naming the first response outside the distribution's
// support (binomial 0 ≤ y ≤ 1, Poisson y ≥ 0, Gamma and inverse Gaussian y > 0),
// rows numbered from `first_row`.
Result<void> check_response(Distribution d, VectorView y, std::size_t first_row = 0);

}  // namespace vorna
