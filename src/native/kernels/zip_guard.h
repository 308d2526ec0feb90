// Checks that archive entries land inside the directory they are unpacked into. Plain POSIX
// path work (lstat/readlink), no Python, so it can run with the GIL released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::kernels {

// `path` made absolute (against the working directory) with every symbolic link and ".."
// resolved the way a non-strict realpath does: components that do not exist are kept as
// they are, a ".." is applied to the path resolved so far, a link loop stops resolution.
std::string resolve_path(std::string_view path);

// True when `target` equals `root` or lies below it, compared component by component (so
// "/data/store2" is not inside "/data/store"). Both must be normalised absolute paths.
bool path_within(std::string_view root, std::string_view target);

// Index of the first entry name whose resolved target (`store_dir` joined with the name; an
// absolute name stands alone) is not within the resolved `store_dir`; names.size() if none.
std::size_t first_escaping_entry(std::string_view store_dir, const std::vector<std::string>& names);

}  // namespace orvanta::kernels
