// Lays a downloaded package out in the store directory: a zip unpacked only after every
// entry is known to land inside the store, and a repair for packages nested one level deep.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "kernels/zip_guard.h"
#include "orvanta/args.h"
#include "orvanta/context.h"
#include "orvanta/pycall.h"
#include "orvanta/pyerrors.h"
#include "pkg.h"

namespace orvanta::pkg {

namespace {

std::string fs_bytes(nb::handle path) {
    return std::string(bytes_view(import_attr("os", "fsencode")(path)));
}

// Errors that mean the archive itself is broken: its structure (BadZipFile), a compressed
// stream that does not decode (zlib.error) or one that ends early (EOFError).
bool is_damage(const nb::python_error& e) {
    return e.matches(import_attr("zipfile", "BadZipFile")) ||
           e.matches(import_attr("zlib", "error")) || e.matches(PyExc_EOFError);
}

[[noreturn]] void raise_damaged(const nb::python_error& e) {
    raise_from(global("QuantError")("回测基准数据包损坏,无法解压"), e);
}

void check_entries(nb::handle zf, nb::handle store_dir) {
    nb::list names = nb::list(zf.attr("namelist")());
    std::vector<std::string> raw;
    raw.reserve(names.size());
    for (nb::handle name : names) raw.push_back(fs_bytes(name));
    const std::string root = fs_bytes(store_dir);
    std::size_t bad;
    {
        // Only lstat/readlink/getcwd on private copies of the names.
        nb::gil_scoped_release unlocked;
        bad = kernels::first_escaping_entry(root, raw);
    }
    if (bad == raw.size()) return;
    std::string message = "回测基准数据包含非法路径条目: ";
    message += utf8(names[bad]);
    raise_object(global("QuantError")(message));
}

}  // namespace

void extract_zip(nb::handle archive, nb::handle store_dir) {
    nb::object zf;
    try {
        zf = import_attr("zipfile", "ZipFile")(archive);
    } catch (nb::python_error& e) {
        if (is_damage(e)) raise_damaged(e);
        throw;
    }
    with_context(zf, [&](nb::handle opened) {
        check_entries(opened, store_dir);
        try {
            opened.attr("extractall")(store_dir);
        } catch (nb::python_error& e) {
            if (is_damage(e)) raise_damaged(e);
            throw;
        }
    });
}

void flatten_single_subdir(nb::handle store_dir) {
    nb::object root = import_attr("pathlib", "Path")(store_dir);
    nb::list entries;
    for (nb::handle child : root.attr("iterdir")()) {
        if (!nb::cast<bool>(child.attr("name").attr("startswith")("."))) entries.append(child);
    }
    if (entries.size() != 1) return;
    nb::object nested = entries[0];
    if (!nb::cast<bool>(nested.attr("is_dir")())) return;
    if (nb::cast<bool>(root.attr("joinpath")("metadata.pkl").attr("exists")())) return;
    nb::object move = import_attr("shutil", "move");
    // The listing is taken whole first: moving while iterating would change it.
    nb::list children = nb::list(nested.attr("iterdir")());
    for (nb::handle child : children)
        move(nb::str(child), nb::str(root.attr("joinpath")(child.attr("name"))));
    nested.attr("rmdir")();
}

}  // namespace orvanta::pkg
