// Argument checks shared by every extension module.
//
// A parameter declared with a built-in type accepts exactly that type: subclasses and None
// are refused unless None is allowed. The TypeError text names the argument, the expected
// type and the given type, e.g. "path must be str, not bytes".
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>

namespace orvanta {

namespace nb = nanobind;

enum class None { refused, allowed };

// The type's qualified name as Python prints it ("int", "pathlib.PosixPath").
std::string type_text(nb::handle obj);

[[noreturn]] void raise_type_error(const char* arg, const char* expected, nb::handle given);

// TypeError unless type(obj) is exactly `type` (or obj is None and None is allowed).
void require_exact(nb::handle obj, PyTypeObject* type, const char* arg,
                   None none = None::refused);

inline void require_str(nb::handle obj, const char* arg, None none = None::refused) {
    require_exact(obj, &PyUnicode_Type, arg, none);
}
inline void require_bytes(nb::handle obj, const char* arg, None none = None::refused) {
    require_exact(obj, &PyBytes_Type, arg, none);
}
inline void require_dict(nb::handle obj, const char* arg, None none = None::refused) {
    require_exact(obj, &PyDict_Type, arg, none);
}
inline void require_list(nb::handle obj, const char* arg, None none = None::refused) {
    require_exact(obj, &PyList_Type, arg, none);
}

// An `int` parameter: any number (bool, float, numpy scalar, Decimal, ...) is converted with
// int(), so 200.7 becomes 200; anything else raises "<arg> must be int, not <type>".
nb::int_ to_int(nb::handle obj, const char* arg);
std::int64_t to_int64(nb::handle obj, const char* arg);

// The float protocol (float(obj)); an object that cannot be converted raises that
// conversion's own TypeError or ValueError.
double to_float(nb::handle obj);

// UTF-8 view of an exact-or-subclass str; valid while `obj` lives.
std::string_view utf8(nb::handle obj);

}  // namespace orvanta
