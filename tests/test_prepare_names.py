"""Name lists, dtype maps and date helpers of the prepared-data module."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from orvanta.backtest import _prepare as prep
from orvanta.backtest import _store

B = prep.GroupPreparedDataBuilder


@pytest.mark.parametrize(
    "raw, expected",
    [
        (None, []),
        ("", []),
        (" ，; \n ", []),
        ([], []),
        ("a, b；c", ["a", "b", "c"]),
        ("a，b;c\nd", ["a", "b", "c", "d"]),
        (["a", " b "], ["a", "b"]),
        (["a,b"], ["a,b"]),
        (("x", 1, None), ["x", "1", "None"]),
        ("\u3000a\t,a", ["a", "a"]),
        ((n for n in ["g", " "]), ["g"]),
    ],
    ids=[
        "none",
        "empty-str",
        "separators",
        "empty-list",
        "doc-str",
        "all-separators",
        "doc-list",
        "list-not-split",
        "tuple-mixed",
        "unicode-space-dups",
        "generator",
    ],
)
def test_parse_name_list(raw, expected):
    assert prep.parse_name_list(raw) == expected


def test_parse_name_list_non_iterable():
    with pytest.raises(TypeError):
        prep.parse_name_list(5)


def test_constants():
    assert prep.BUILD_INPUT_NAMES == prep.REQUIRED_FACTOR_NAMES + prep.OPTIONAL_FACTOR_NAMES
    assert prep.BUILD_INPUT_NAMES is not prep.REQUIRED_FACTOR_NAMES
    assert list(prep.BENCHMARK_INDEX_CODES.items()) == [
        ("000852", "000852.XSHG"),
        ("000300", "000300.XSHG"),
        ("000905", "000905.XSHG"),
    ]
    assert (prep.TAIL_RELOAD_ROWS, prep.PREPARED_DATA_VERSION) == (2, 1)
    names = prep.get_component_factor_names()
    assert names == prep.COMPONENT_FACTOR_NAMES and names is not prep.COMPONENT_FACTOR_NAMES
    names.clear()
    assert len(prep.get_component_factor_names()) == 5


@pytest.mark.parametrize(
    "names, components",
    [
        (None, prep.COMPONENT_FACTOR_NAMES),
        ([], []),
        ("p ; q", ["p", "q"]),
        ([" p "], ["p"]),
    ],
    ids=["default", "empty-list", "string", "stripped"],
)
def test_build_matrix_dtype(names, components):
    dtype = prep.build_matrix_dtype(names)
    base = list(prep.BASE_MATRIX_DTYPE.items())
    extra = [(_store.component_dataset_key(name), "float64") for name in components]
    assert list(dtype.items()) == base + extra
    assert len(prep.BASE_MATRIX_DTYPE) == 12


def test_component_keys_are_distinct_from_base_keys():
    keys = {_store.component_dataset_key(n) for n in prep.COMPONENT_FACTOR_NAMES}
    assert len(keys) == 5 and not keys & set(prep.BASE_MATRIX_DTYPE)


def test_series_to_yyyymmdd():
    got = prep.series_to_yyyymmdd(pd.Series(["2024-01-02", "garbage"], index=[7, 9]))
    assert list(got.index) == [7, 9]
    assert got[7] == "20240102" and pd.isna(got[9])
    from_list = prep.series_to_yyyymmdd(["2024-03-01"])
    assert isinstance(from_list, pd.Series) and from_list.tolist() == ["20240301"]


@pytest.mark.parametrize(
    "values", [[20240102, 20240103], pd.Index([20240102, 20240103]), np.array([20240102, 20240103])]
)
def test_series_to_yyyymmdd_reads_integers_as_yyyymmdd(values):
    assert prep.series_to_yyyymmdd(values).tolist() == ["20240102", "20240103"]


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (20240101, "20240101"),
        ("2024010", "20240100"),
        ("202401a", "202401a"),
        ("20240101", "20240101"),
    ],
)
def test_normalize_ddb_backtest_date(value, expected):
    assert B._normalize_ddb_backtest_date(value) == expected


def test_ov_factor_date():
    assert B._ov_factor_date("20240101") == "2024-01-01"
    assert B._ov_factor_date("2024-02-29") == "2024-02-29"
    assert B._ov_factor_date(None) is None
    with pytest.raises(TypeError):
        B._ov_factor_date(20240101)
    with pytest.raises(ValueError):
        B._ov_factor_date("20240230")


def test_builder_keeps_normalised_dates():
    b = B("2024-01-02", "20241231")
    assert vars(b) == {
        "default_start": "20240102",
        "end_date": "20241231",
        "_ddb_start": "20240102",
        "_ddb_end": "20241231",
    }
