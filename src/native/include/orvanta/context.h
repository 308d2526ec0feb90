// `with manager as value: body(value)` from C++, with the exit protocol Python uses: the
// manager's __exit__ sees the exception that left the body, C++ ones included (as the Python
// error nanobind would raise for them), and may suppress it. Resources a manager guards (an
// HTTP response, a lock) are thus released on every exit.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace orvanta {

namespace nb = nanobind;

// The exception being handled, as a Python error. Call only inside a catch block.
nb::python_error current_as_python_error();

// Calls `exit` with the error; true when it suppresses the error. An error raised by
// `exit` itself propagates with the body's error as its context.
bool exit_suppresses(nb::handle exit, const nb::python_error& error);

// Returns true when the body ran to its end, false when the manager suppressed its error.
template <class Body>
bool with_context(nb::handle manager, Body&& body) {
    nb::object exit = manager.attr("__exit__");
    nb::object value = manager.attr("__enter__")();
    try {
        std::forward<Body>(body)(value);
    } catch (...) {
        nb::python_error error = current_as_python_error();
        if (exit_suppresses(exit, error)) return false;
        throw error;
    }
    exit(nb::none(), nb::none(), nb::none());
    return true;
}

}  // namespace orvanta
