"""Factor answers into date x stock matrices, and the readers built on them."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from _fake_sdk import FakeSdk, market_factors

from orvanta import singleton
from orvanta.backtest import _prepare as prep


def reference_matrices(df: pd.DataFrame, names: list[str]) -> dict[str, pd.DataFrame]:
    """The narrow-answer pivot written plainly with pandas."""
    out = {name: pd.DataFrame() for name in names}
    work = df.rename(columns={"date": "DataDate", "value": "x", "factor": "factorname"})
    work = work.assign(
        ukey=work["ukey"].astype(str).str[:6],
        DataDate=pd.to_datetime(work["DataDate"], errors="coerce").dt.strftime("%Y%m%d"),
        x=pd.to_numeric(work["x"], errors="coerce"),
    )
    for name, part in work.groupby("factorname", sort=False):
        if name not in out:
            continue
        part = part[["DataDate", "ukey", "x"]].dropna()
        part = part.drop_duplicates(["ukey", "DataDate"], keep="last")
        matrix = part.pivot(index="DataDate", columns="ukey", values="x")
        out[name] = matrix.sort_index().sort_index(axis=1).astype("float64")
    return out


def random_narrow(seed: int, rows: int = 4000) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2024-01-01", periods=40).strftime("%Y-%m-%d").to_numpy(dtype=object)
    codes = np.array([f"{i:06d}.{'SZ' if i % 2 else 'SH'}" for i in range(60)], dtype=object)
    frame = pd.DataFrame(
        {
            "date": rng.choice(days, rows),
            "ukey": rng.choice(codes, rows),
            "value": rng.normal(size=rows),
            "factor": rng.choice(np.array(["alpha", "beta", "gamma"], dtype=object), rows),
        }
    )
    values = frame["value"].astype(object)
    values[rng.random(rows) < 0.05] = np.nan
    values[rng.random(rows) < 0.02] = "n/a"
    frame["value"] = values
    frame.loc[rng.random(rows) < 0.02, "date"] = None
    frame.loc[rng.random(rows) < 0.02, "ukey"] = None
    frame.loc[rng.random(rows) < 0.01, "date"] = "not a date"
    return frame


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_narrow_answer_matches_pandas(seed):
    frame = random_narrow(seed)
    before = frame.copy()
    got = _builder()._ov_factors_to_matrices(frame, ["beta", "alpha"])
    expected = reference_matrices(frame, ["beta", "alpha"])
    assert list(got) == ["beta", "alpha"]
    for name in expected:
        pd.testing.assert_frame_equal(got[name], expected[name])
    pd.testing.assert_frame_equal(frame, before)


def _builder():
    return prep.GroupPreparedDataBuilder("20240101", "20241231")


@pytest.mark.parametrize(
    "frame, names, expected",
    [
        (None, ["a", "b"], {"a": 0, "b": 0}),
        (pd.DataFrame(columns=["date", "ukey", "value", "factor"]), ["a"], {"a": 0}),
        (pd.DataFrame({"date": ["2024-01-02"], "ukey": ["1"], "value": [1.0]}), ["a"], {"a": 1}),
        (
            pd.DataFrame({"date": ["2024-01-02"], "ukey": ["1"], "value": [1.0]}),
            ["a", "b"],
            {"a": 0, "b": 0},
        ),
        (
            pd.DataFrame({"date": ["2024-01-02"], "ukey": ["1"], "value": [1.0], "factor": ["z"]}),
            ["a"],
            {"a": 0},
        ),
    ],
    ids=[
        "none",
        "empty",
        "narrow-no-factor-one-name",
        "narrow-no-factor-two-names",
        "unrequested-factor",
    ],
)
def test_answers_without_usable_rows(frame, names, expected):
    got = _builder()._ov_factors_to_matrices(frame, names)
    assert {name: len(m) for name, m in got.items()} == expected


def test_wide_answer_and_last_duplicate_wins():
    frame = pd.DataFrame(
        {
            "DataDate": ["20240103", "20240102", "20240102", "20240102"],
            "ukey": ["000001.SZ", "000001.SZ", "600000.SH", "000001.SZ"],
            "Close": [11.0, 10.0, np.inf, 10.5],
            "Open": ["9.9", "x", 3.0, 9.0],
        }
    )
    got = _builder()._ov_factors_to_matrices(frame, ["Close", "Open", "Missing"])
    close = got["Close"]
    assert close.index.name == "DataDate" and close.columns.name == "ukey"
    assert list(close.index) == ["20240102", "20240103"]
    assert list(close.columns) == ["000001", "600000"]
    np.testing.assert_array_equal(close.to_numpy(), [[10.5, np.nan], [11.0, np.nan]])
    np.testing.assert_array_equal(got["Open"].to_numpy(), [[9.0, 3.0], [9.9, np.nan]])
    assert got["Missing"].empty


def test_missing_stock_or_date_column():
    with pytest.raises(KeyError, match="因子查询返回结果缺少 ukey/date 列"):
        _builder()._ov_factors_to_matrices(pd.DataFrame({"date": [1], "value": [1]}), ["a"])
    with pytest.raises(TypeError, match="names must be list"):
        _builder()._ov_factors_to_matrices(None, ("a",))


@pytest.fixture
def sdk():
    fake = FakeSdk(market_factors())
    singleton.set_instance(fake)
    yield fake
    singleton.set_instance(None)


def test_readers_and_placeholders(sdk):
    b = _builder()
    close = b._read_normal_factor_matrix("Close")
    assert sdk.single_queries() == ["Close"]
    assert b._read_normal_factor_matrix("nothing").empty

    assert b._read_normal_factor_batch([]) == {}
    assert b._read_normal_factor_batch([" ", ""]) == {}
    assert len(sdk.factor_calls) == 2

    reference = close * 0 + 1
    placeholder = b._read_or_empty("rq_get_dividend", reference, batch={})
    assert placeholder.isna().all().all()
    assert placeholder.index.equals(close.index) and placeholder.columns.equals(close.columns)
    assert len(sdk.factor_calls) == 2  # a batch is never re-queried by _read_or_empty
    assert b._read_or_empty("nothing", reference).shape == close.shape
    assert len(sdk.factor_calls) == 3

    batch = {"Close": close.iloc[::-1]}
    assert b._batch_or_read(batch, "Close").index.is_monotonic_increasing
    assert len(sdk.factor_calls) == 3
    b._batch_or_read({}, "Open")
    assert sdk.single_queries()[-1] == "Open"
    with pytest.raises(TypeError, match="batch must be dict"):
        b._batch_or_read(None, "Open")
    with pytest.raises(TypeError, match="name must be str"):
        b._read_normal_factor_matrix(["Open"])
