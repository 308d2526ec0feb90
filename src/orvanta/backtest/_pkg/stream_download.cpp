// Copies a download URL into a part file with a progress bar, resuming from the part
// file's size with an open-ended Range request.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>

#include "kernels/content_range.h"
#include "orvanta/args.h"
#include "orvanta/context.h"
#include "orvanta/pycall.h"
#include "orvanta/pyerrors.h"
#include "pkg.h"

using namespace nanobind::literals;

namespace orvanta::pkg {

namespace {

enum class Outcome { written, complete, restart };

std::int64_t part_size(nb::handle dest) {
    nb::object path = import_attr("os", "path");
    if (!nb::cast<bool>(path.attr("exists")(dest))) return 0;
    return to_int64(path.attr("getsize")(dest), "size");
}

std::optional<kernels::ContentRange> content_range(nb::handle response) {
    nb::object value = response.attr("headers").attr("get")("Content-Range");
    if (!nb::isinstance<nb::str>(value)) return std::nullopt;
    return kernels::parse_content_range(utf8(value));
}

// A 416 whose Content-Range names the full size as exactly what is on disk means the part
// file already holds the whole package (a finished transfer whose unpacking failed).
bool already_complete(nb::handle response, std::int64_t resume_pos) {
    auto range = content_range(response);
    return range && range->complete && *range->complete == static_cast<std::uint64_t>(resume_pos);
}

// Appending is only safe when the part starts exactly where the file ends.
bool starts_at(nb::handle response, std::int64_t resume_pos) {
    auto range = content_range(response);
    return range && range->first && *range->first == static_cast<std::uint64_t>(resume_pos);
}

void copy_body(nb::handle response, nb::handle dest, const char* mode, std::int64_t already,
               std::int64_t remaining) {
    nb::object total = nb::none();
    if (remaining != 0) total = nb::int_(already + remaining);
    nb::object file = nb::module_::import_("builtins").attr("open")(dest, mode);
    nb::object bar = global("tqdm")(
        "total"_a = total, "initial"_a = already, "unit"_a = "B", "unit_scale"_a = true,
        "unit_divisor"_a = 1024, "desc"_a = "下载基准数据",
        "bar_format"_a = "{desc} {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{rate_fmt}]",
        "mininterval"_a = 1.0);
    nb::object chunks = response.attr("iter_bytes")(global("_DOWNLOAD_CHUNK_SIZE"));
    with_context(file, [&](nb::handle out) {
        with_context(bar, [&](nb::handle progress) {
            nb::object write = out.attr("write");
            nb::object update = progress.attr("update");
            // One chunk at a time: each is on disk before the next is read.
            for (nb::handle chunk : chunks) {
                write(chunk);
                update(nb::len(chunk));
            }
        });
    });
}

Outcome receive(nb::handle response, nb::handle dest, std::int64_t resume_pos) {
    const int status = nb::cast<int>(response.attr("status_code"));
    if (status == 416 && resume_pos > 0 && already_complete(response, resume_pos))
        return Outcome::complete;
    response.attr("raise_for_status")();
    const bool resumed = status == 206;
    if (resumed && resume_pos > 0 && !starts_at(response, resume_pos)) return Outcome::restart;

    const bool append = resumed && resume_pos > 0;
    const std::int64_t already = resumed ? resume_pos : 0;
    nb::object length = response.attr("headers").attr("get")("Content-Length", 0);
    std::int64_t remaining = 0;
    if (PyObject_IsTrue(length.ptr()) == 1)
        remaining = to_int64(nb::module_::import_("builtins").attr("int")(length), "length");
    copy_body(response, dest, append ? "ab" : "wb", already, remaining);
    return Outcome::written;
}

Outcome transfer(nb::handle url, nb::handle dest, std::int64_t resume_pos) {
    nb::object httpx = global("httpx");
    try {
        nb::dict headers;
        if (resume_pos > 0) headers["Range"] = "bytes=" + std::to_string(resume_pos) + "-";
        nb::object request = httpx.attr("stream")("GET", url, "headers"_a = headers,
                                                  "timeout"_a = global("_DOWNLOAD_TIMEOUT"),
                                                  "follow_redirects"_a = true);
        Outcome outcome = Outcome::written;
        with_context(request,
                     [&](nb::handle response) { outcome = receive(response, dest, resume_pos); });
        return outcome;
    } catch (nb::python_error& e) {
        if (e.matches(httpx.attr("HTTPStatusError"))) {
            nb::object status = e.value().attr("response").attr("status_code");
            std::string message =
                "下载回测基准数据失败: HTTP " + std::string(utf8(nb::str(status)));
            raise_from(global("NetworkError")(message, "cause"_a = e.value()), e);
        }
        if (e.matches(httpx.attr("HTTPError")))
            raise_from(
                global("NetworkError")("下载回测基准数据失败: 网络错误", "cause"_a = e.value()), e);
        throw;
    }
}

}  // namespace

void stream_download(nb::handle url, nb::handle dest) {
    require_str(url, "url");
    std::int64_t resume_pos = part_size(dest);
    if (transfer(url, dest, resume_pos) == Outcome::restart) {
        // The server sent a part that does not continue the file: fetch it whole instead.
        transfer(url, dest, 0);
    }
}

}  // namespace orvanta::pkg
