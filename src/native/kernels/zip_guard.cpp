#include "kernels/zip_guard.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <system_error>

namespace orvanta::kernels {

namespace {

std::string current_dir() {
    std::string buf(PATH_MAX, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) throw std::system_error(errno, std::generic_category(), "getcwd");
        buf.resize(buf.size() * 2);
    }
    buf.resize(buf.find('\0'));
    return buf;
}

std::string join(const std::string& base, std::string_view name) {
    if (base.empty() || base.back() == '/') return base + std::string(name);
    return base + "/" + std::string(name);
}

// The parent of an absolute normalised path ("/" stays "/").
std::string parent_of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == 0 || slash == std::string::npos) return "/";
    return path.substr(0, slash);
}

std::optional<std::string> read_link(const std::string& path) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t got = readlink(path.c_str(), buf.data(), buf.size());
        if (got < 0) return std::nullopt;
        if (static_cast<std::size_t>(got) < buf.size()) {
            buf.resize(static_cast<std::size_t>(got));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

// Link path -> its resolution; an empty optional marks a link being resolved (a loop when
// met again).
using Seen = std::map<std::string, std::optional<std::string>>;

struct Walk {
    std::string path;
    std::string_view unresolved;  // what is left when a loop stopped the walk
    bool ok = true;
};

// Walks `rest` component by component from the absolute `path`.
Walk join_real(std::string path, std::string_view rest, Seen& seen) {
    if (!rest.empty() && rest.front() == '/') path = "/";
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view name = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            path = parent_of(path);
            continue;
        }
        std::string next = join(path, name);
        struct stat st{};
        if (lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            path = std::move(next);
            continue;
        }
        auto known = seen.find(next);
        if (known != seen.end()) {
            if (known->second) {
                path = *known->second;
                continue;
            }
            return {std::move(next), rest, false};
        }
        std::optional<std::string> link = read_link(next);
        if (!link) {
            path = std::move(next);
            continue;
        }
        seen[next] = std::nullopt;
        Walk inner = join_real(path, *link, seen);
        if (!inner.ok) {
            // The inner walk's leftover belongs to the link text, which `seen` keeps alive
            // only as a local here: fold it into the path before it goes out of scope.
            std::string stopped =
                inner.unresolved.empty() ? inner.path : join(inner.path, inner.unresolved);
            return {std::move(stopped), rest, false};
        }
        path = inner.path;
        seen[next] = std::move(inner.path);
    }
    return {std::move(path), {}, true};
}

// Lexical normalisation of an absolute path: drops "", "." and applies "..".
std::string normalise(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view name = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(name);
    }
    std::string out;
    for (std::string_view part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view name = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (!name.empty()) parts.push_back(name);
    }
    return parts;
}

}  // namespace

std::string resolve_path(std::string_view path) {
    std::string start = "/";
    if (path.empty() || path.front() != '/') start = current_dir();
    Seen seen;
    Walk walk = join_real(start, path, seen);
    if (walk.ok) return normalise(walk.path);
    return normalise(join(walk.path, walk.unresolved));
}

bool path_within(std::string_view root, std::string_view target) {
    std::vector<std::string_view> outer = components(root);
    std::vector<std::string_view> inner = components(target);
    if (inner.size() < outer.size()) return false;
    for (std::size_t i = 0; i < outer.size(); ++i)
        if (outer[i] != inner[i]) return false;
    return true;
}

std::size_t first_escaping_entry(std::string_view store_dir,
                                 const std::vector<std::string>& names) {
    const std::string root = resolve_path(store_dir);
    const std::string base(store_dir);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        std::string target = (!name.empty() && name.front() == '/') ? name : join(base, name);
        if (!path_within(root, resolve_path(target))) return i;
    }
    return names.size();
}

}  // namespace orvanta::kernels
