// `with manager as value: body(value)` from C++, with the exit protocol Python uses: the
// manager's __exit__ sees the exception that left the body and may suppress it.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace orvanta {

namespace nb = nanobind;

// Returns true when the body ran to its end, false when the manager suppressed its error.
template <class Body>
bool with_context(nb::handle manager, Body&& body) {
    nb::object exit = manager.attr("__exit__");
    nb::object value = manager.attr("__enter__")();
    try {
        std::forward<Body>(body)(value);
    } catch (nb::python_error& e) {
        // An error raised by a C function called straight from C++ has no traceback yet.
        nb::object traceback = e.traceback();
        if (!traceback.is_valid()) traceback = nb::none();
        nb::object suppress = exit(e.type(), e.value(), traceback);
        int truth = PyObject_IsTrue(suppress.ptr());
        if (truth < 0) throw nb::python_error();
        if (truth) return false;
        throw;
    } catch (...) {
        // A C++ error has no Python value yet: release the resource and let it travel on.
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return true;
}

}  // namespace orvanta
