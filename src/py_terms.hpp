// Term lists from Python: the tuples the vorna package hands its engine,
// parsed into a TermModel (for the engine and the private test module).
#pragma once

#include <cstddef>
#include <memory>

#include "basis.hpp"
#include "pyutil.hpp"
#include "terms.hpp"

namespace vorna::py {

// ("intercept",), ("linear", col), ("factor", col, levels) or
// ("smooth", cols, margins, constraint or None, by or None), margins being
// (kind, knots) with kind "cr" or "bs". Null with a Python exception set
// for a malformed list or one TermModel::create refuses.
std::unique_ptr<TermModel> parse_model(PyObject* terms, std::size_t data_columns);

// One margin (kind, knots); false with a Python exception set when malformed.
bool parse_margin(PyObject* item, std::shared_ptr<const SplineBasis>& out);

}  // namespace vorna::py
