#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

Column column_values(nb::handle series) {
    // A frame's column can be a strided view of a row-major block.
    nb::object values =
        nb::hasattr(series, "to_numpy") ? orvanta::f64_values(series) : nb::borrow(series);
    values = orvanta::as_f64_vector(values);
    Column out;
    out.size = nb::len(values);
    out.data = orvanta::f64_data(values);
    out.owner = std::move(values);
    return out;
}

}  // namespace vantor
