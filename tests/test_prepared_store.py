"""The binary prepared-data store: payload round trip, date slicing, damage, components."""

from __future__ import annotations

import mmap
import os
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from _fake_sdk import COMPONENT_NAMES, FakeSdk, index_bars, market_factors

from orvanta import singleton
from orvanta.backtest import _prepare as prep
from orvanta.backtest import _store
from orvanta.backtest._store import PreparedDataStoreError, component_dataset_key


@pytest.fixture(scope="module")
def payload():
    singleton.set_instance(FakeSdk(market_factors(), index_bars()))
    try:
        return prep.GroupPreparedDataBuilder("20240101", "20241231").build()
    finally:
        singleton.set_instance(None)


@pytest.fixture
def store(tmp_path, payload):
    s = prep.BinaryPreparedDataStore(tmp_path / "env")
    s.write_payload(payload)
    return s


def assert_same_matrix(loaded: pd.DataFrame, built: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(loaded, built, check_index_type=True, check_column_type=True)


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "read"])
def test_payload_round_trip(store, payload, mmap):
    loaded = store.load(mmap=mmap)
    assert list(loaded) == ["version", "meta", "data"]
    assert loaded["version"] == payload["version"]
    assert loaded["meta"] == payload["meta"]
    expected_keys = [k for k in payload["data"] if k != "benchmark_dict"]
    assert list(loaded["data"]) == expected_keys
    for key in expected_keys:
        assert_same_matrix(loaded["data"][key], payload["data"][key])
    assert loaded["data"]["can_buy_stock"].dtypes.eq(bool).all()

    bench = store.load(keys=["benchmark_dict"], mmap=mmap)["data"]["benchmark_dict"]
    assert list(bench) == list(payload["data"]["benchmark_dict"])
    for name, series in payload["data"]["benchmark_dict"].items():
        pd.testing.assert_series_equal(bench[name], series)


def _mapped(array: np.ndarray) -> bool:
    while array is not None:
        if isinstance(array, np.memmap | mmap.mmap):
            return True
        array = getattr(array, "base", None)
    return False


def test_mmap_views_are_read_only(store):
    close = store.load(keys=["close_price"], mmap=True)["data"]["close_price"]
    values = close.to_numpy()
    assert _mapped(values) and not values.flags.writeable
    with pytest.raises(ValueError):
        values[0, 0] = 1.0
    in_memory = store.load(keys=["close_price"], mmap=False)["data"]["close_price"]
    assert not _mapped(in_memory.to_numpy())


@pytest.mark.parametrize(
    "start, end, dates",
    [
        ("20240103", "20240105", ["20240103", "20240104", "20240105"]),
        ("2024-01-06", None, ["20240108"]),
        (None, 20240102, ["20240102"]),
        ("20240109", None, []),
        ("20240105", "20240103", []),
    ],
    ids=["inside", "open-end", "open-start", "after-last", "reversed"],
)
def test_load_by_date_range(store, payload, start, end, dates):
    data = store.load(start_date=start, end_date=end, keys=["close_price", "can_buy_stock"])
    for key in ("close_price", "can_buy_stock"):
        got = data["data"][key]
        built = payload["data"][key]
        assert list(got.index) == dates
        assert_same_matrix(got, built.loc[dates])


def test_load_reads_only_recorded_datasets_in_dtype_order(tmp_path, payload):
    partial = {
        "version": 1,
        "meta": {},
        "data": {
            "sell_price": payload["data"]["sell_price"],
            "extra": payload["data"]["open_price"],
            "close_price": payload["data"]["close_price"],
        },
    }
    store = prep.BinaryPreparedDataStore(tmp_path / "s", [])
    store.write_payload(partial)
    assert list(store.load()["data"]) == ["close_price", "sell_price"]
    assert list(store.load(keys=["extra"])["data"]) == ["extra"]
    with pytest.raises(KeyError, match="open_price"):
        store.load(keys=["open_price"])


def test_rewriting_drops_old_datasets_and_files(store, payload):
    smaller = {
        "version": 1,
        "meta": {"a": 1},
        "data": {"close_price": payload["data"]["close_price"]},
    }
    store.write_payload(smaller)
    assert list(store.load_metadata()["datasets"]) == ["close_price"]
    files = sorted(p.name for p in (store.store_dir / "datasets").iterdir())
    assert len(files) == 1
    store.verify()


def test_store_without_or_with_damaged_metadata(tmp_path, store):
    empty = prep.BinaryPreparedDataStore(tmp_path / "nothing")
    with pytest.raises(PreparedDataStoreError, match="nothing/metadata.pkl"):
        empty.load()
    store.metadata_path.write_bytes(store.metadata_path.read_bytes()[:20])
    with pytest.raises(PreparedDataStoreError, match="metadata.pkl"):
        store.load()


def test_metadata_with_code_is_refused(store):
    class Evil:
        def __reduce__(self):
            return (os.system, ("echo owned",))

    store.metadata_path.write_bytes(pickle.dumps({"datasets": {}, "meta": Evil()}))
    with pytest.raises(PreparedDataStoreError, match="metadata.pkl"):
        store.load_metadata()


@pytest.mark.parametrize("change", ["truncate", "extend"])
def test_matrix_file_size_must_match_metadata(store, change):
    entry = store.load_metadata()["datasets"]["close_price"]
    path = store.store_dir / entry["file"]
    raw = path.read_bytes()
    path.write_bytes(raw[:-8] if change == "truncate" else raw + b"\0" * 8)
    with pytest.raises(PreparedDataStoreError, match=entry["file"]):
        store.load(keys=["close_price"])
    with pytest.raises(PreparedDataStoreError):
        store.verify()


def test_manifest_lists_every_file(store):
    import json

    manifest = json.loads((store.store_dir / "manifest.json").read_text())
    metadata = store.load_metadata()
    assert {e["file"] for e in metadata["datasets"].values()} == set(manifest["files"])
    for entry in metadata["datasets"].values():
        assert (
            manifest["files"][entry["file"]]["size"]
            == (store.store_dir / entry["file"]).stat().st_size
        )
    store.verify()


@pytest.fixture
def partial_store(tmp_path, payload):
    """A store holding the base matrices and only the first three component masks."""
    kept = COMPONENT_NAMES[:3]
    data = {
        k: v
        for k, v in payload["data"].items()
        if not k.startswith("component_") or k in {component_dataset_key(n) for n in kept}
    }
    meta = dict(
        payload["meta"],
        component_names=list(kept),
        component_dataset_keys={n: component_dataset_key(n) for n in kept},
    )
    store = prep.BinaryPreparedDataStore(tmp_path / "partial")
    store.write_payload({"version": 1, "meta": meta, "data": data})
    return store


def component_dict(payload):
    return {n: payload["data"][component_dataset_key(n)] for n in COMPONENT_NAMES}


def test_add_component_matrices_writes_only_new_ones(partial_store, payload):
    store = partial_store
    before = store.load_metadata()
    masks = component_dict(payload)
    names = [COMPONENT_NAMES[0], f"  {COMPONENT_NAMES[3]} ", COMPONENT_NAMES[4]]
    assert store.add_component_matrices(masks, names) == COMPONENT_NAMES[3:]

    after = store.load_metadata()
    assert {k: after["datasets"][k] for k in before["datasets"]} == before["datasets"]
    meta = after["meta"]
    assert meta["component_names"] == COMPONENT_NAMES
    assert list(meta["component_dataset_keys"]) == COMPONENT_NAMES
    assert meta["updated_at"] == meta["component_supplemented_at"]
    loaded = store.load()["data"]
    for name in COMPONENT_NAMES:
        assert_same_matrix(loaded[component_dataset_key(name)], masks[name])
    store.verify()

    raw = store.metadata_path.read_bytes()
    assert store.add_component_matrices(masks, COMPONENT_NAMES) == []
    assert store.add_component_matrices({}, COMPONENT_NAMES[:2]) == []
    assert store.metadata_path.read_bytes() == raw


def test_add_component_matrices_error_leaves_metadata(partial_store, payload):
    store = partial_store
    raw = store.metadata_path.read_bytes()
    masks = component_dict(payload)
    masks[COMPONENT_NAMES[4]] = pd.DataFrame()
    with pytest.raises(ValueError) as info:
        store.add_component_matrices(masks, COMPONENT_NAMES[3:])
    assert str(info.value) == f"缺失成分股矩阵为空，无法补充: {COMPONENT_NAMES[4]}"
    assert store.metadata_path.read_bytes() == raw
    with pytest.raises(TypeError, match="component_names must be list"):
        store.add_component_matrices(masks, tuple(COMPONENT_NAMES))
    with pytest.raises(TypeError, match="component_matrices must be dict"):
        store.add_component_matrices(list(masks), COMPONENT_NAMES)


def test_failed_metadata_rewrite_keeps_old_metadata(partial_store, payload, monkeypatch):
    store = partial_store
    raw = store.metadata_path.read_bytes()

    def full_disk(obj, handle, protocol=None):
        handle.write(pickle.dumps(obj, protocol=protocol)[:10])
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_store.pickle, "dump", full_disk)
    with pytest.raises(OSError):
        store.add_component_matrices(component_dict(payload), COMPONENT_NAMES)
    monkeypatch.undo()
    assert store.metadata_path.read_bytes() == raw
    leftovers = [p.name for p in store.store_dir.iterdir() if p.name.endswith(".tmp")]
    assert leftovers == []
    assert len(store.load()["data"]) == 12 + 3


def test_crash_during_metadata_rewrite_keeps_old_metadata(partial_store):
    store = partial_store
    raw = store.metadata_path.read_bytes()
    script = textwrap.dedent(
        f"""
        import os, pickle
        import pandas as pd
        from orvanta.backtest import _prepare, _store

        def crash(obj, handle, protocol=None):
            handle.write(pickle.dumps(obj, protocol=protocol)[:10])
            handle.flush()
            os._exit(3)

        _store.pickle.dump = crash
        store = _prepare.BinaryPreparedDataStore({str(store.store_dir)!r})
        mask = pd.DataFrame({{"000001": [1.0]}}, index=["20240102"])
        store.add_component_matrices({{"extra": mask}}, ["extra"])
        """
    )
    result = subprocess.run([sys.executable, "-c", script], timeout=60)
    assert result.returncode == 3
    assert store.metadata_path.read_bytes() == raw
    assert "component_extra" not in store.load_metadata()["datasets"]


def test_store_constructor(tmp_path):
    assert list(prep.BinaryPreparedDataStore(tmp_path, []).matrix_dtype) == list(
        prep.BASE_MATRIX_DTYPE
    )
    assert len(prep.BinaryPreparedDataStore(str(tmp_path)).matrix_dtype) == 17
    with pytest.raises(TypeError, match="component_names must be list or None"):
        prep.BinaryPreparedDataStore(tmp_path, ("a",))
    with pytest.raises(TypeError, match="keys must be list or None"):
        prep.BinaryPreparedDataStore(tmp_path).load(keys="close_price")
    assert isinstance(prep.BinaryPreparedDataStore(Path("~/x")).store_dir, Path)


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        ("20240105", "20240105"),
        ("2024-01-05", "20240105"),
        (20240105, "20240105"),
        (pd.Timestamp("2024-01-05 13:00"), "20240105"),
        ("2024/01/05", "20240105"),
    ],
)
def test_normalize_yyyymmdd(value, expected):
    assert _store.normalize_yyyymmdd(value) == expected


def test_clean_matrix():
    raw = pd.DataFrame({"b": [1, 2], "a": ["3", "x"]}, index=["20240103", "20240102"])
    raw.loc["20240103", "b"] = 10**6
    cleaned = _store.clean_matrix(raw.assign(c=[np.inf, -np.inf]))
    assert list(cleaned.index) == ["20240102", "20240103"]
    assert list(cleaned.columns) == ["a", "b", "c"]
    assert cleaned.dtypes.eq(np.float64).all()
    np.testing.assert_array_equal(cleaned.to_numpy(), [[np.nan, 2, np.nan], [3, 10**6, np.nan]])


@pytest.mark.parametrize(
    "frame",
    [
        pd.DataFrame(),
        pd.DataFrame(columns=pd.Index(["000001", "000002"]), dtype="float64"),
        pd.DataFrame(index=pd.Index(["20240102", "20240103"])),
        pd.DataFrame({"000001": [1.0, np.nan]}, index=["20240103", "20240102"]),
    ],
    ids=["empty", "no-rows", "no-columns", "unsorted-dates"],
)
def test_degenerate_matrices_round_trip(tmp_path, frame):
    store = _store.BinaryPreparedDataStoreBase(tmp_path)
    store.write_payload({"version": 1, "meta": {}, "data": {"m": frame}})
    loaded = store.load()["data"]["m"]
    assert loaded.shape == frame.shape
    expected = frame.sort_index().astype("float64")
    np.testing.assert_array_equal(loaded.to_numpy(), expected.to_numpy())
    assert list(loaded.index) == list(expected.index)
    assert list(loaded.columns) == list(expected.columns)


def test_duplicate_dates_are_refused(tmp_path):
    frame = pd.DataFrame({"000001": [1.0, 2.0]}, index=["20240102", "20240102"])
    with pytest.raises(ValueError, match="duplicate dates"):
        _store.BinaryPreparedDataStoreBase(tmp_path).write_payload({"data": {"m": frame}})


def test_load_with_keys_leaves_the_metadata_to_the_base(store, monkeypatch):
    calls = []
    base_load_metadata = _store.BinaryPreparedDataStoreBase.load_metadata

    def counting(self):
        calls.append(1)
        return base_load_metadata(self)

    monkeypatch.setattr(prep.BinaryPreparedDataStore, "load_metadata", counting)
    store.load(keys=["close_price"])
    assert len(calls) == 1  # the base's own read only
    store.load()
    assert len(calls) == 3
