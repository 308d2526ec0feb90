// Request signing: HMAC-SHA256 over a canonical text that the data service rebuilds to
// check each request. Every rule here is shared with the server; changing one side alone
// makes requests fail with 401.
#include <nanobind/nanobind.h>
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "kernels/form_encoding.h"
#include "orvanta/args.h"
#include "orvanta/pycall.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using orvanta::None;

// Raw bytes of a form-encoded key or value: bytes as they are, anything else as str(x).
std::string form_component(nb::handle obj) {
    if (PyBytes_Check(obj.ptr())) return std::string(orvanta::bytes_view(obj));
    return std::string(orvanta::utf8(nb::str(obj)));
}

std::string encode_params(nb::dict params) {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(params.size());
    for (auto [key, value] : params) pairs.emplace_back(form_component(key), form_component(value));
    return orvanta::kernels::form_encode_sorted(std::move(pairs));
}

// The service hashes an empty body as "", not as SHA-256 of nothing; GETs rely on it.
std::string body_hash_of(nb::handle body) {
    if (body.is_none() || PyBytes_GET_SIZE(body.ptr()) == 0) return "";
    nb::object digest = orvanta::import_attr("hashlib", "sha256")(body);
    return nb::cast<std::string>(digest.attr("hexdigest")());
}

std::string fresh_nonce() {
    unsigned char raw[32];
    size_t filled = 0;
    while (filled < sizeof raw) {
        ssize_t got = getrandom(raw + filled, sizeof raw - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<size_t>(got);
    }
    return orvanta::kernels::to_hex(raw, sizeof raw);
}

std::string unix_seconds() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
    nb::object mac = orvanta::import_attr("hmac", "new")(orvanta::to_bytes(key),
                                                        orvanta::to_bytes(message), "sha256");
    return nb::cast<std::string>(mac.attr("hexdigest")());
}

nb::str body_hash(nb::handle body) {
    orvanta::require_bytes(body, "body", None::allowed);
    return orvanta::to_str(body_hash_of(body));
}

nb::dict sign_request(nb::handle sign_secret, nb::handle method, nb::handle path,
                      nb::handle body, nb::handle params) {
    orvanta::require_str(sign_secret, "sign_secret");
    orvanta::require_str(method, "method");
    orvanta::require_str(path, "path");
    orvanta::require_bytes(body, "body", None::allowed);
    orvanta::require_dict(params, "params", None::allowed);

    nb::object url = orvanta::import_attr("urllib.parse", "urlparse")(path);
    std::string canonical_path(orvanta::utf8(url.attr("path")));
    if (canonical_path.empty()) canonical_path = "/";
    std::string query(orvanta::utf8(url.attr("query")));
    if (!params.is_none() && nb::len(params) > 0) query = encode_params(nb::borrow<nb::dict>(params));

    std::string timestamp = unix_seconds();
    std::string nonce = fresh_nonce();
    std::string canonical = std::string(orvanta::utf8(method.attr("upper")())) + "\n" +
                            canonical_path + "\n" + query + "\n" + timestamp + "\n" + nonce +
                            "\n" + body_hash_of(body);
    std::string signature = hmac_sha256_hex(orvanta::utf8(sign_secret), canonical);

    nb::dict headers;
    headers["X-Timestamp"] = orvanta::to_str(timestamp);
    headers["X-Nonce"] = orvanta::to_str(nonce);
    headers["X-Signature"] = orvanta::to_str(signature);
    return headers;
}

}  // namespace

NB_MODULE(_signer, m) {
    m.doc() = "HMAC-SHA256 request signatures for the data service.";
    m.def("_body_hash", &body_hash, "body"_a.none(),
          "Hex SHA-256 of a request body; \"\" for None or an empty body.");
    m.def("sign_request", &sign_request, "sign_secret"_a.none(), "method"_a.none(),
          "path"_a.none(), "body"_a.none() = nb::none(), nb::kw_only(),
          "params"_a.none() = nb::none(),
          "Return the X-Timestamp, X-Nonce and X-Signature headers of one request.\n\n"
          "``params``, when given and not empty, replaces the URL's own query and is\n"
          "form-encoded with its keys sorted.");
}
