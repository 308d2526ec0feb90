// Raising Python exceptions built from Python objects (the package's own exception classes).
#pragma once

#include <nanobind/nanobind.h>

#include <system_error>

namespace orvanta {

namespace nb = nanobind;

// Raises the OSError subclass that Python raises for the error's errno (FileNotFoundError,
// PermissionError, ...), naming `filename`.
[[noreturn]] void raise_os_error(const std::system_error& error, nb::handle filename);

// Raises the exception instance `exc` as it stands.
[[noreturn]] void raise_object(nb::handle exc);

// Raises `exc` chained from the caught error, as `raise exc from cause` does.
[[noreturn]] void raise_from(nb::handle exc, const nb::python_error& cause);

}  // namespace orvanta
