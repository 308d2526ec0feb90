#include "kernels/content_range.h"

#include <cctype>
#include <limits>

namespace orvanta::kernels {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::uint64_t> parse_uint(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool unit_is_bytes(std::string_view unit) {
    constexpr std::string_view bytes = "bytes";
    if (unit.size() != bytes.size()) return false;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(unit[i])) != bytes[i]) return false;
    return true;
}

}  // namespace

std::optional<ContentRange> parse_content_range(std::string_view value) {
    value = trim(value);
    std::size_t space = value.find(' ');
    if (space == std::string_view::npos || !unit_is_bytes(value.substr(0, space)))
        return std::nullopt;
    std::string_view fields = trim(value.substr(space + 1));
    std::size_t slash = fields.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view range = trim(fields.substr(0, slash));
    std::string_view size = trim(fields.substr(slash + 1));

    ContentRange out;
    if (size != "*") {
        out.complete = parse_uint(size);
        if (!out.complete) return std::nullopt;
    }
    if (range == "*") return out;
    std::size_t dash = range.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    out.first = parse_uint(range.substr(0, dash));
    std::optional<std::uint64_t> last = parse_uint(range.substr(dash + 1));
    if (!out.first || !last || *last < *out.first) return std::nullopt;
    return out;
}

}  // namespace orvanta::kernels
