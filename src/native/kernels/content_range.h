// Parsing of the HTTP Content-Range header ("bytes 100-199/1000", "bytes */1000").
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvanta::kernels {

struct ContentRange {
    std::optional<std::uint64_t> first;     // first byte of the part; empty for "*"
    std::optional<std::uint64_t> complete;  // full size; empty for "*"
};

// The header's fields, or nothing when the value is not a well-formed byte range.
std::optional<ContentRange> parse_content_range(std::string_view value);

}  // namespace orvanta::kernels
