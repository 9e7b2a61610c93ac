// A request to stop a long computation (Ctrl-C), as the core sees it.
//
// The core knows nothing about where such a request comes from: the binding
// installs a check (which asks the interpreter whether a signal arrived), and
// long loops ask `interrupted()` between iterations and row blocks. A loop
// that sees true returns `interrupted_error()` at once; results are stored
// only after a computation completes, so a model is left as it was.
#pragma once

#include "error.hpp"

namespace vorna {

using InterruptCheck = bool (*)();

// Installs the check (nullptr: none). Not thread-safe; called once at import.
void set_interrupt_check(InterruptCheck check);

// Whether a stop was requested; false when no check is installed.
bool interrupted();

// GamErrorKind::Interrupted.
GamError interrupted_error();

}  // namespace vorna

// Returns interrupted_error() from the enclosing function when a stop was requested.
#define VORNA_CHECK_INTERRUPT()                                      \
  do {                                                               \
    if (::vorna::interrupted()) return ::vorna::interrupted_error(); \
  } while (0)
