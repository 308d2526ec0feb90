// HTML form encoding of query strings, byte for byte as the data service decodes them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvanta::kernels {

// Percent-encodes raw bytes: ASCII letters, digits and "_.-~" stay, a space becomes "+",
// every other byte (the slash included) becomes "%XX" with uppercase hex digits.
void form_encode_append(std::string& out, std::string_view raw);

// "k1=v1&k2=v2" from raw (key, value) pairs, sorted by key bytes. For UTF-8 text the byte
// order is the code-point order; the sort is stable so equal keys keep their order.
std::string form_encode_sorted(std::vector<std::pair<std::string, std::string>> pairs);

// Lowercase hexadecimal text of raw bytes.
std::string to_hex(const unsigned char* data, size_t size);

}  // namespace orvanta::kernels
