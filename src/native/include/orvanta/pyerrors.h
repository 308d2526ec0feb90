// Raising Python exceptions built from Python objects (the package's own exception classes).
#pragma once

#include <nanobind/nanobind.h>

namespace orvanta {

namespace nb = nanobind;

// Raises the exception instance `exc` as it stands.
[[noreturn]] void raise_object(nb::handle exc);

// Raises `exc` chained from the caught error, as `raise exc from cause` does.
[[noreturn]] void raise_from(nb::handle exc, const nb::python_error& cause);

}  // namespace orvanta
