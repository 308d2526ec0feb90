#include "orvanta/context.h"

#include <exception>
#include <new>

#include "orvanta/pycall.h"

namespace orvanta {

namespace {

PyObject* python_class_of(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        default:
            return PyExc_TypeError;
    }
}

}  // namespace

nb::python_error current_as_python_error() {
    try {
        throw;
    } catch (const nb::python_error& error) {
        return error;
    } catch (const nb::builtin_exception& error) {
        PyErr_SetString(python_class_of(error.type()), error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nb::python_error();
}

bool exit_suppresses(nb::handle exit, const nb::python_error& error) {
    // An error raised by a C function called straight from C++ has no traceback yet.
    nb::object traceback = error.traceback();
    if (!traceback.is_valid()) traceback = nb::none();
    try {
        return truthy(exit(error.type(), error.value(), traceback));
    } catch (nb::python_error& raised) {
        if (raised.value().ptr() != error.value().ptr()) {
            PyException_SetContext(raised.value().ptr(), error.value().inc_ref().ptr());
        }
        throw;
    }
}

}  // namespace orvanta
