#include "orvanta/args.h"

#include <string>

namespace orvanta {

std::string type_text(nb::handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    nb::object module = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(type)),
                                    "__module__", nb::none());
    std::string name = nb::cast<std::string>(
        nb::getattr(nb::handle(reinterpret_cast<PyObject*>(type)), "__qualname__"));
    if (nb::isinstance<nb::str>(module)) {
        std::string mod = nb::cast<std::string>(module);
        if (mod != "builtins") return mod + "." + name;
    }
    return name;
}

void raise_type_error(const char* arg, const char* expected, nb::handle given) {
    std::string msg = std::string(arg) + " must be " + expected + ", not " + type_text(given);
    throw nb::type_error(msg.c_str());
}

void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, None none) {
    if (Py_TYPE(obj.ptr()) == type) return;
    if (none == None::allowed && obj.is_none()) return;
    std::string expected = type->tp_name;
    if (none == None::allowed) expected += " or None";
    raise_type_error(arg, expected.c_str(), obj);
}

nb::int_ to_int(nb::handle obj, const char* arg) {
    if (PyLong_CheckExact(obj.ptr())) return nb::borrow<nb::int_>(obj);
    // str and bytes implement neither __int__ nor __index__ through the number protocol,
    // so this admits exactly the numbers.
    if (!PyNumber_Check(obj.ptr())) raise_type_error(arg, "int", obj);
    PyObject* converted = PyNumber_Long(obj.ptr());
    if (!converted) throw nb::python_error();
    return nb::steal<nb::int_>(converted);
}

std::int64_t to_int64(nb::handle obj, const char* arg) {
    nb::int_ value = to_int(obj, arg);
    long long out = PyLong_AsLongLong(value.ptr());
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return static_cast<std::int64_t>(out);
}

double to_float(nb::handle obj) {
    double out = PyFloat_AsDouble(obj.ptr());
    if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return out;
}

std::string_view utf8(nb::handle obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

}  // namespace orvanta
