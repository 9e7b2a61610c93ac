// The private test extension `_vorna_core_testing`: internals that the public
// module does not expose, made callable from the test suite. Each area adds
// its functions to the method table.
#pragma once

#include <vector>

#include "pyutil.hpp"

namespace vorna::testing {

void add_core_methods(std::vector<PyMethodDef>& table);       // formatting, diagnostics
void add_basis_methods(std::vector<PyMethodDef>& table);      // bases, penalties
void add_fitting_methods(std::vector<PyMethodDef>& table);    // linear algebra, families, PiRLS
void add_criteria_methods(std::vector<PyMethodDef>& table);   // penalty roots, REML, GCV
void add_optimizer_methods(std::vector<PyMethodDef>& table);  // smoothing-parameter optimizers
void add_newton_methods(std::vector<PyMethodDef>& table);     // exact Hessian, Newton-PIRLS
void add_row_methods(std::vector<PyMethodDef>& table);        // row passes, sparse rows

}  // namespace vorna::testing
