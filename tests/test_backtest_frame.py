import numpy as np
import pandas as pd
import pytest
from reference_backtest import reference_frame

from orvanta.backtest import _vantor

DERIVED = [
    "extra_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
]


def joined(seed, n=80, with_close=True):
    rng = np.random.default_rng(seed)
    index = [d.strftime("%Y%m%d") for d in pd.bdate_range("2022-03-01", periods=n)]
    frame = pd.DataFrame(
        {"daily_return": rng.normal(0, 0.01, n), "index_daily_return": rng.normal(0, 0.008, n)},
        index=index,
    )
    frame.iloc[rng.integers(0, n, 5), 0] = np.nan
    if with_close:
        frame["close"] = frame["index_daily_return"].fillna(0).cumsum() + 1
    return frame


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("with_close", [True, False], ids=["close", "no-close"])
def test_matches_plain_pandas(seed, with_close):
    data = joined(seed, with_close=with_close)
    before = data.copy()
    result = _vantor._build_total_backtesting_frame(data)
    expected = reference_frame(data)
    pd.testing.assert_frame_equal(result, expected, check_exact=False, rtol=1e-12)
    pd.testing.assert_frame_equal(data, before)  # the input is left alone


def test_column_order():
    result = _vantor._build_total_backtesting_frame(joined(0, n=5, with_close=False))
    assert list(result.columns) == [
        "daily_return",
        "index_daily_return",
        "extra_daily_return",
        "long",
        "close_net_value",
        "close",
        "max_drowdown",
        "extra_return",
        "extra_max_drowdown",
    ]


def test_worked_example_drawdown():
    data = pd.DataFrame(
        {"daily_return": [0.01, 0.02, -0.05], "index_daily_return": [0.0, 0.0, 0.0]},
        index=["20240102", "20240103", "20240104"],
    )
    result = _vantor._build_total_backtesting_frame(data)
    np.testing.assert_allclose(result["long"], [1.0, 1.03 / 1.01, 0.98 / 1.01])
    assert result["max_drowdown"].iloc[-1] == pytest.approx(-0.0495, abs=1e-4)
    assert result["max_drowdown"].iloc[-1] == pytest.approx(0.98 / 1.01 - 1.03 / 1.01)


def test_one_row_sits_at_base_values():
    data = pd.DataFrame(
        {"daily_return": [0.03], "index_daily_return": [0.01], "close": [3000.0]}, index=["d"]
    )
    row = _vantor._build_total_backtesting_frame(data).iloc[0]
    assert row["long"] == 1.0 and row["close_net_value"] == 1.0
    assert row["max_drowdown"] == 0.0 and row["extra_return"] == 0.0
    assert row["extra_max_drowdown"] == 0.0 and row["extra_daily_return"] == pytest.approx(0.02)


def test_zero_first_close_falls_back_to_summed_returns():
    data = pd.DataFrame(
        {"daily_return": [0.0, 0.0], "index_daily_return": [0.01, 0.02], "close": [0.0, 5.0]}
    )
    result = _vantor._build_total_backtesting_frame(data)
    np.testing.assert_allclose(result["close_net_value"], [1.01, 1.03])
    np.testing.assert_array_equal(result["close"], [0.0, 5.0])


def test_rows_with_nan_are_dropped_and_all_nan_gives_empty():
    data = pd.DataFrame(
        {"daily_return": [np.nan, 0.01], "index_daily_return": [0.0, np.nan]}, index=["a", "b"]
    )
    result = _vantor._build_total_backtesting_frame(data)
    assert result.empty and list(result.columns) == ["daily_return", "index_daily_return"]
