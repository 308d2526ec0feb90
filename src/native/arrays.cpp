#include "orvanta/arrays.h"

#include "orvanta/pycall.h"

namespace orvanta {

using namespace nb::literals;

ArrayInfo array_info(nb::handle array) {
    nb::dict iface = nb::borrow<nb::dict>(array.attr("__array_interface__"));
    ArrayInfo info;
    nb::tuple data = nb::borrow<nb::tuple>(iface["data"]);
    info.data = reinterpret_cast<char*>(nb::cast<std::uintptr_t>(data[0]));
    info.typestr = nb::cast<std::string>(iface["typestr"]);
    for (nb::handle n : nb::borrow<nb::tuple>(iface["shape"]))
        info.shape.push_back(nb::cast<std::int64_t>(n));
    nb::object strides = iface.contains("strides") ? nb::borrow(iface["strides"]) : nb::none();
    if (strides.is_none()) {
        // C-contiguous: the interface leaves the strides out.
        std::int64_t step = nb::cast<std::int64_t>(array.attr("itemsize"));
        info.strides.assign(info.shape.size(), 0);
        for (size_t k = info.shape.size(); k-- > 0;) {
            info.strides[k] = step;
            step *= info.shape[k];
        }
    } else {
        for (nb::handle s : nb::borrow<nb::tuple>(strides))
            info.strides.push_back(nb::cast<std::int64_t>(s));
    }
    return info;
}

namespace {

template <class View>
View matrix_of(nb::handle array, const char* typestr, const char* what) {
    ArrayInfo info = array_info(array);
    if (info.shape.size() != 2 || info.typestr != typestr) {
        std::string msg = std::string(what) + " must be a 2-D " +
                          (typestr[1] == 'f' ? "float64" : "bool") + " array, not " +
                          std::to_string(info.shape.size()) + "-D " + info.typestr;
        throw nb::type_error(msg.c_str());
    }
    View view;
    view.data = info.data;
    view.rows = info.shape[0];
    view.cols = info.shape[1];
    view.row_stride = info.strides[0];
    view.col_stride = info.strides[1];
    return view;
}

}  // namespace

kernels::MatrixView<double> f64_matrix(nb::handle array, const char* what) {
    return matrix_of<kernels::MatrixView<double>>(array, "<f8", what);
}

kernels::MatrixView<kernels::Flag> flag_matrix(nb::handle array, const char* what) {
    return matrix_of<kernels::MatrixView<kernels::Flag>>(array, "|b1", what);
}

kernels::MutableMatrixView<double> mutable_f64_matrix(nb::handle array) {
    return matrix_of<kernels::MutableMatrixView<double>>(array, "<f8", "result");
}

kernels::MutableMatrixView<kernels::Flag> mutable_flag_matrix(nb::handle array) {
    return matrix_of<kernels::MutableMatrixView<kernels::Flag>>(array, "|b1", "result");
}

double* f64_data(nb::handle array) { return reinterpret_cast<double*>(array_info(array).data); }

std::int64_t* i64_data(nb::handle array) {
    return reinterpret_cast<std::int64_t*>(array_info(array).data);
}

nb::object empty_array(std::int64_t rows, std::int64_t cols, const char* dtype, bool fortran) {
    return import_attr("numpy", "empty")(nb::make_tuple(rows, cols), dtype,
                                         fortran ? "F" : "C");
}

nb::object empty_vector(std::int64_t n, const char* dtype) {
    return import_attr("numpy", "empty")(n, dtype);
}

nb::object as_i64_vector(nb::handle values) {
    return import_attr("numpy", "ascontiguousarray")(values, "int64");
}

nb::object as_f64_vector(nb::handle values) {
    return import_attr("numpy", "ascontiguousarray")(values, "float64");
}

nb::object f64_values(nb::handle frame) {
    nb::object values = frame.attr("to_numpy")("copy"_a = false);
    if (nb::cast<std::string>(values.attr("dtype").attr("str")) == "<f8") return values;
    nb::object nan = import_attr("numpy", "nan");
    return frame.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = nan);
}

}  // namespace orvanta
