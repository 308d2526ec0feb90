// Copies a download URL into a part file with a progress bar, resuming from the part
// file's size with an open-ended Range request.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kernels/content_range.h"
#include "kernels/file_sink.h"
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

// What a 416 says about the part file, from the full size its Content-Range names: exactly
// what is on disk means the part file already holds the whole package (a finished transfer
// whose unpacking failed); less than what is on disk means the package was replaced by a
// smaller one and the part file can never be completed, so it is fetched afresh. Anything
// else stays a failed request.
std::optional<Outcome> after_refused_range(nb::handle response, std::int64_t resume_pos) {
    auto range = content_range(response);
    if (!range || !range->complete) return std::nullopt;
    const auto on_disk = static_cast<std::uint64_t>(resume_pos);
    if (*range->complete == on_disk) return Outcome::complete;
    if (*range->complete < on_disk) return Outcome::restart;
    return std::nullopt;
}

// Appending is only safe when the part starts exactly where the file ends.
bool starts_at(nb::handle response, std::int64_t resume_pos) {
    auto range = content_range(response);
    return range && range->first && *range->first == static_cast<std::uint64_t>(resume_pos);
}

// Gathers the decoded body into chunks of exactly `size` bytes (the last may be shorter);
// each full chunk is written and counted on the bar before more of the body is read.
// httpx's own iter_bytes(size) re-buffers every piece through BytesIO several times, which
// halves the throughput. Holding the pieces themselves until a chunk is complete is no
// better: malloc hands the freed heap back and faults it in again for every chunk. One
// buffer, filled in place and reused, costs a single copy.
class ChunkWriter {
   public:
    ChunkWriter(kernels::FileSink& sink, nb::handle bar, std::size_t size)
        : sink_(sink), update_(bar.attr("update")), buffer_(size) {}

    void add(std::string_view piece) {
        while (!piece.empty()) {
            std::size_t take = std::min(piece.size(), buffer_.size() - held_);
            std::copy_n(piece.data(), take, buffer_.data() + held_);
            held_ += take;
            piece.remove_prefix(take);
            if (held_ == buffer_.size()) flush();
        }
    }

    void flush() {
        if (held_ == 0) return;
        {
            // Only the private buffer is touched: the write needs no Python.
            nb::gil_scoped_release unlocked;
            sink_.write_all(buffer_.data(), held_);
        }
        std::size_t written = held_;
        held_ = 0;
        update_(written);
    }

   private:
    kernels::FileSink& sink_;
    nb::object update_;
    std::vector<char> buffer_;
    std::size_t held_ = 0;  // bytes received and not yet written
};

kernels::FileSink open_part_file(nb::handle dest, bool append) {
    std::string path(bytes_view(import_attr("os", "fsencode")(dest)));
    try {
        return kernels::FileSink(
            path, append ? kernels::FileSink::Mode::append : kernels::FileSink::Mode::truncate);
    } catch (const std::system_error& e) {
        raise_os_error(e, dest);
    }
}

void copy_body(nb::handle response, nb::handle dest, bool append, std::int64_t already,
               std::int64_t remaining) {
    nb::object total = nb::none();
    if (remaining != 0) total = nb::int_(already + remaining);
    const std::int64_t chunk_size = to_int64(global("_DOWNLOAD_CHUNK_SIZE"), "chunk size");
    if (chunk_size <= 0) throw nb::value_error("_DOWNLOAD_CHUNK_SIZE must be positive");
    kernels::FileSink sink = open_part_file(dest, append);
    nb::object bar = global("tqdm")(
        "total"_a = total, "initial"_a = already, "unit"_a = "B", "unit_scale"_a = true,
        "unit_divisor"_a = 1024, "desc"_a = "下载基准数据",
        "bar_format"_a = "{desc} {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{rate_fmt}]",
        "mininterval"_a = 1.0);
    nb::object pieces = response.attr("iter_bytes")();
    with_context(bar, [&](nb::handle progress) {
        try {
            ChunkWriter chunks(sink, progress, static_cast<std::size_t>(chunk_size));
            for (nb::handle piece : pieces) chunks.add(bytes_view(piece));
            chunks.flush();
            sink.close();
        } catch (const std::system_error& e) {
            raise_os_error(e, dest);
        }
    });
}

Outcome receive(nb::handle response, nb::handle dest, std::int64_t resume_pos) {
    const int status = nb::cast<int>(response.attr("status_code"));
    if (status == 416 && resume_pos > 0) {
        if (auto outcome = after_refused_range(response, resume_pos)) return *outcome;
    }
    response.attr("raise_for_status")();
    const bool resumed = status == 206;
    if (resumed && resume_pos > 0 && !starts_at(response, resume_pos)) return Outcome::restart;

    const bool append = resumed && resume_pos > 0;
    const std::int64_t already = resumed ? resume_pos : 0;
    nb::object length = response.attr("headers").attr("get")("Content-Length", 0);
    std::int64_t remaining = 0;
    if (truthy(length))
        remaining = to_int64(nb::module_::import_("builtins").attr("int")(length), "length");
    copy_body(response, dest, append, already, remaining);
    return Outcome::written;
}

// httpx builds a fresh SSL context (loading the CA bundle, tens of milliseconds) for every
// top-level request; the default context is built once per process instead.
nb::object ssl_context(nb::handle httpx) {
    nb::object module = nb::module_::import_("orvanta.backtest._pkg");
    nb::object context = module.attr("_SSL_CONTEXT");
    if (context.is_none()) {
        context = httpx.attr("create_ssl_context")();
        module.attr("_SSL_CONTEXT") = context;
    }
    return context;
}

Outcome transfer(nb::handle url, nb::handle dest, std::int64_t resume_pos) {
    nb::object httpx = global("httpx");
    try {
        nb::dict headers;
        if (resume_pos > 0) headers["Range"] = "bytes=" + std::to_string(resume_pos) + "-";
        nb::object request = httpx.attr("stream")(
            "GET", url, "headers"_a = headers, "timeout"_a = global("_DOWNLOAD_TIMEOUT"),
            "follow_redirects"_a = true, "verify"_a = ssl_context(httpx));
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
        // The part file cannot be continued (the server's part starts elsewhere, or the
        // package is now shorter than the file): fetch it whole instead.
        transfer(url, dest, 0);
    }
}

}  // namespace orvanta::pkg
