// The model behind the Python class GAM: its smooths, family and the stored
// results of the last successful fit.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "family.hpp"
#include "matrix.hpp"

namespace vorna {

class GamModel {
 public:
  explicit GamModel(Family family) : family_(family) {}

  Family family() const { return family_; }
  bool fitted() const { return fitted_; }

  // Stored results; absent until a fit succeeds.
  const std::optional<Vector>& lambdas() const { return lambdas_; }
  const std::optional<Vector>& fitted_values() const { return fitted_values_; }
  const std::optional<Vector>& coefficients() const { return coefficients_; }
  const std::optional<Matrix>& design_matrix() const { return design_matrix_; }

 private:
  Family family_;
  bool fitted_ = false;
  std::optional<double> deviance_;
  std::optional<Vector> lambdas_;
  std::optional<Vector> coefficients_;
  std::optional<Vector> fitted_values_;
  std::optional<Vector> linear_predictor_;
  std::optional<Vector> working_weights_;
  std::optional<Matrix> design_matrix_;
};

}  // namespace vorna
