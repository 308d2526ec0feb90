#include "kernels/form_encoding.h"

#include <algorithm>

namespace orvanta::kernels {

namespace {
bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '.' || c == '-' || c == '~';
}
}  // namespace

void form_encode_append(std::string& out, std::string_view raw) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : raw) {
        if (is_unreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
}

std::string form_encode_sorted(std::vector<std::pair<std::string, std::string>> pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out;
    for (const auto& [key, value] : pairs) {
        if (!out.empty()) out.push_back('&');
        form_encode_append(out, key);
        out.push_back('=');
        form_encode_append(out, value);
    }
    return out;
}

std::string to_hex(const unsigned char* data, size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kHex[data[i] >> 4]);
        out.push_back(kHex[data[i] & 0x0F]);
    }
    return out;
}

}  // namespace orvanta::kernels
