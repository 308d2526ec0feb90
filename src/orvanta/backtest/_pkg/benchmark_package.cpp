// Installs the benchmark data package: asks the data service for its address, downloads it
// into temp/benchmark.part beside the store directory, unpacks it and removes the part file.
#include <nanobind/nanobind.h>

#include <string>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "orvanta/pyerrors.h"
#include "pkg.h"

using namespace nanobind::literals;

namespace orvanta::pkg {

namespace {

// The stripped text of an answer field; `fallback` when the field is missing or null.
nb::object text_field(nb::handle meta, const char* key, const char* fallback) {
    nb::object value = meta.attr("get")(key);
    if (value.is_none()) return nb::str(fallback);
    if (!nb::isinstance<nb::str>(value)) return value;
    return value.attr("strip")();
}

[[noreturn]] void raise_quant(const std::string& message) {
    raise_object(global("QuantError")(message));
}

void remove_part(nb::handle part_file) { part_file.attr("unlink")("missing_ok"_a = true); }

}  // namespace

nb::object download_benchmark_package(nb::handle http, nb::handle store_dir) {
    nb::object meta = http.attr("get")(global("_BENCHMARK_DATA_PATH"));
    if (!truthy(meta)) meta = nb::dict();

    // A null or non-text address is as unusable as a missing one.
    nb::object download_url = text_field(meta, "download_url", "");
    if (!nb::isinstance<nb::str>(download_url) || nb::len(download_url) == 0)
        raise_quant("服务端未返回有效的回测基准数据下载地址");

    nb::object zip_type = global("_CONTENT_TYPE_ZIP");
    nb::object content_type = text_field(meta, "content_type", "");
    if (nb::isinstance<nb::str>(content_type) && nb::len(content_type) == 0)
        content_type = zip_type;
    if (!nb::isinstance<nb::str>(content_type) || !content_type.equal(zip_type))
        raise_quant("不支持的回测基准数据包格式: " + std::string(utf8(nb::str(content_type))));

    nb::object store = import_attr("pathlib", "Path")(store_dir).attr("expanduser")();
    store.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    nb::object temp_dir = store.attr("parent").attr("joinpath")(global("_TEMP_DIR_NAME"));
    temp_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    nb::object part_file = temp_dir.attr("joinpath")(global("_PART_FILE_NAME"));

    nb::object logger = global("logger");
    logger.attr("info")("开始下载回测基准数据包");
    stream_download(download_url, part_file);
    try {
        extract_zip(part_file, store);
    } catch (nb::python_error& e) {
        // The transfer finished, so the part file is a whole archive that cannot be used:
        // kept, it would be resumed past its end on every later call and never replaced.
        if (e.matches(global("QuantError"))) remove_part(part_file);
        throw;
    }
    remove_part(part_file);
    logger.attr("info")("回测基准数据包下载完成");
    return store;
}

}  // namespace orvanta::pkg
