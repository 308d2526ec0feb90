"""Unpacking a package into the store: the path check on real zip files, and the nesting
repair."""

from __future__ import annotations

import io
import os
import zipfile
import zlib

import pytest

from orvanta.backtest import _pkg
from orvanta.exceptions import QuantError

DAMAGED = "回测基准数据包损坏,无法解压"


def make_zip(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in entries:
            zf.writestr(name, data)
    return path


def snapshot(root):
    """Every file and directory below root with the bytes of the files."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            out[rel] = open(full, "rb").read() if os.path.isfile(full) else None
    return out


@pytest.fixture
def layout(tmp_path):
    """tmp/store (target), tmp/outside and tmp/store2 (a sibling sharing the store's name
    as a prefix), tmp/pkg.zip."""
    for name in ("store", "outside", "store2"):
        (tmp_path / name).mkdir()
    return tmp_path


def test_normal_package_extracts_under_the_store(layout):
    store = layout / "store"
    (store / "metadata.pkl").write_bytes(b"old")
    archive = make_zip(
        layout / "pkg.zip",
        [("metadata.pkl", b"meta"), ("matrices/close_price.bin", b"\x00" * 5000)],
    )
    _pkg._extract_zip(archive, store)
    assert snapshot(store) == {
        "metadata.pkl": b"meta",
        "matrices": None,
        "matrices/close_price.bin": b"\x00" * 5000,
    }


@pytest.mark.parametrize(
    "name",
    [
        "../evil.txt",
        "../../../../../../../../../../tmp/evil-deep.txt",
        "sub/deeper/../../../evil.txt",
        "a/../../evil.txt",
        "../store2/evil.txt",
        "../store",
        "..",
        "{outside}/evil.txt",
        "/evil-at-root.txt",
    ],
    ids=[
        "dotdot",
        "dotdot-deep",
        "dotdot-after-subdirs",
        "a-dotdot-dotdot",
        "sibling-prefix",
        "store-name-via-parent-is-inside",
        "parent-itself",
        "absolute",
        "absolute-root",
    ],
)
def test_entries_escaping_the_store_are_refused_before_anything_is_written(layout, name):
    name = name.format(outside=layout / "outside")
    store = layout / "store"
    archive = make_zip(layout / "pkg.zip", [("first-ok.txt", b"ok"), (name, b"x")])
    before = snapshot(layout)
    if name == "../store":  # resolves to the store itself: acceptable
        _pkg._extract_zip(archive, store)
        assert (store / "first-ok.txt").read_bytes() == b"ok"
        return
    with pytest.raises(QuantError) as info:
        _pkg._extract_zip(archive, store)
    assert str(info.value) == "回测基准数据包含非法路径条目: " + name
    assert info.value.__cause__ is None
    assert snapshot(layout) == before
    assert not os.path.exists("/evil-at-root.txt") and not os.path.exists("/tmp/evil-deep.txt")


@pytest.mark.parametrize("name", ["data/evil.txt", "nested/../data/evil.txt", "alias/../data/x"])
def test_entry_through_a_symlink_leading_outside_is_refused(layout, name):
    store = layout / "store"
    (store / "data").symlink_to(layout / "outside", target_is_directory=True)
    (store / "inner").mkdir()
    (store / "alias").symlink_to(store / "inner", target_is_directory=True)
    archive = make_zip(layout / "pkg.zip", [("alias/fine.txt", b"in"), (name, b"x")])
    with pytest.raises(QuantError, match=f"非法路径条目: {name}$"):
        _pkg._extract_zip(archive, store)
    assert os.listdir(layout / "outside") == []
    assert os.listdir(store / "inner") == []

    # A link that stays inside is fine.
    _pkg._extract_zip(make_zip(layout / "ok.zip", [("alias/fine.txt", b"in")]), store)
    assert (store / "inner" / "fine.txt").read_bytes() == b"in"


def test_link_loop_does_not_hang_and_stays_inside(layout):
    store = layout / "store"
    (store / "loop").symlink_to(store / "loop")
    archive = make_zip(layout / "pkg.zip", [("loop/../ok.txt", b"ok")])
    with pytest.raises(OSError):  # refused by the file system, not by the check
        _pkg._extract_zip(archive, store)
    assert os.listdir(layout / "outside") == []


@pytest.mark.parametrize("name", ["sub/../inside.txt", "./inside.txt", "sub/./x/../inside.txt"])
def test_dotdot_that_stays_inside_is_accepted(layout, name):
    store = layout / "store"
    outside_before = snapshot(layout / "outside")
    _pkg._extract_zip(make_zip(layout / "pkg.zip", [(name, b"in")]), store)
    written = {k: v for k, v in snapshot(store).items() if v is not None}
    assert list(written.values()) == [b"in"]
    assert snapshot(layout / "outside") == outside_before


def test_store_given_as_a_relative_path(layout, monkeypatch):
    monkeypatch.chdir(layout)
    make_zip(layout / "bad.zip", [("../store2/evil.txt", b"x")])
    with pytest.raises(QuantError, match="非法路径条目"):
        _pkg._extract_zip("bad.zip", "store")
    make_zip(layout / "good.zip", [("metadata.pkl", b"m")])
    _pkg._extract_zip("good.zip", "store")
    assert (layout / "store" / "metadata.pkl").read_bytes() == b"m"
    assert os.listdir(layout / "store2") == []


def _flip_member_data(data: bytes) -> bytes:
    """The archive with bytes in the middle of its first member's compressed data changed."""
    buf = bytearray(data)
    info = zipfile.ZipFile(io.BytesIO(data)).infolist()[0]
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    for i in range(start + 10, start + 40):
        buf[i] ^= 0x5A
    return bytes(buf)


@pytest.mark.parametrize("damage", ["text", "truncated", "member-data"])
def test_damaged_archive_raises_quant_error(layout, damage):
    store = layout / "store"
    good = make_zip(
        layout / "pkg.zip", [("metadata.pkl", os.urandom(2000) + b"z" * 20000), ("b", b"b")]
    )
    data = good.read_bytes()
    if damage == "text":
        good.write_text("this is not a zip archive\n")
    elif damage == "truncated":
        good.write_bytes(data[: len(data) // 2])
    else:
        good.write_bytes(_flip_member_data(data))
    with pytest.raises(QuantError) as info:
        _pkg._extract_zip(good, store)
    assert str(info.value) == DAMAGED
    assert isinstance(info.value.__cause__, zipfile.BadZipFile | zlib.error | EOFError)
    assert os.listdir(layout / "outside") == []


def test_missing_archive_propagates(layout):
    with pytest.raises(FileNotFoundError):
        _pkg._extract_zip(layout / "absent.zip", layout / "store")


def tree(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*"))


def test_flatten_lifts_the_single_nested_directory(tmp_path):
    nested = tmp_path / "enviroment_data"
    (nested / "matrices").mkdir(parents=True)
    (nested / "metadata.pkl").write_bytes(b"meta")
    (nested / "matrices" / "close.bin").write_bytes(b"c")
    (nested / ".manifest").write_bytes(b"hidden inside")
    (tmp_path / ".DS_Store").write_bytes(b"hidden at root")
    _pkg.flatten_single_subdir(tmp_path)
    assert tree(tmp_path) == [
        ".DS_Store",
        ".manifest",
        "matrices",
        "matrices/close.bin",
        "metadata.pkl",
    ]
    assert (tmp_path / "metadata.pkl").read_bytes() == b"meta"
    assert (tmp_path / ".DS_Store").read_bytes() == b"hidden at root"


@pytest.mark.parametrize(
    "files",
    [
        ["metadata.pkl", "enviroment_data/metadata.pkl"],
        ["a/metadata.pkl", "b/x"],
        ["only-a-file.pkl"],
        [],
    ],
    ids=["metadata-at-root", "two-entries", "single-file", "empty"],
)
def test_flatten_leaves_other_layouts_alone(tmp_path, files):
    for rel in files:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_bytes(rel.encode())
    before = snapshot(tmp_path)
    _pkg.flatten_single_subdir(tmp_path)
    assert snapshot(tmp_path) == before
