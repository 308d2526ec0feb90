import datetime as dt
import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from reference_backtest import MARKET_ARGS

from orvanta.backtest import _core, _vantor

KEYS = [
    "prev_close_arr",
    "can_buy_arr",
    "cant_sell_arr",
    "close_arr",
    "buy_price_arr",
    "sell_price_arr",
    "split_arr",
    "dividend_arr",
]
ARG_OF_KEY = {
    "prev_close_arr": "prev_close",
    "can_buy_arr": "can_buy_stock",
    "cant_sell_arr": "cant_sell_stock",
    "close_arr": "close_price",
    "buy_price_arr": "buy_price",
    "sell_price_arr": "sell_price",
    "split_arr": "split_factor",
    "dividend_arr": "dividend_factor",
}


def market_frames(dates, stocks, fortran=False, seed=0):
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(stocks))

    def frame(values):
        values = np.asfortranarray(values) if fortran else np.ascontiguousarray(values)
        return pd.DataFrame(values, index=dates, columns=stocks, copy=False)

    frames = {arg: frame(rng.uniform(1, 20, shape)) for arg in ARG_OF_KEY.values()}
    frames["can_buy_stock"] = frame(rng.random(shape) > 0.3)
    frames["cant_sell_stock"] = frame(rng.random(shape) < 0.3)
    return frames


def build(dates, stocks, frames):
    return _core._build_market_arrays(
        pd.Index(dates),
        pd.Index(stocks),
        *(frames[a] for a in MARKET_ARGS),
    )


DATES = [f"202401{d:02d}" for d in range(1, 11)]
STOCKS = [f"{k:06d}" for k in range(1, 7)]


class TestBuildMarketArrays:
    @pytest.mark.parametrize("fortran", [False, True], ids=["row-major", "column-major"])
    @pytest.mark.parametrize(
        "rows, cols",
        [(slice(None), slice(None)), (slice(1, None), slice(None)), (slice(2, 8, 2), slice(1, 5))],
        ids=["same", "later-days", "strided"],
    )
    def test_regular_subsets_come_back_as_views(self, fortran, rows, cols):
        frames = market_frames(DATES, STOCKS, fortran=fortran)
        dates, stocks = DATES[rows], STOCKS[cols]
        arrays = build(dates, stocks, frames)
        assert list(arrays) == KEYS
        for key, array in arrays.items():
            source = frames[ARG_OF_KEY[key]]
            assert array.shape == (len(dates), len(stocks))
            assert np.shares_memory(array, source.to_numpy()), key
            np.testing.assert_array_equal(array, source.loc[dates, stocks].to_numpy())

    @pytest.mark.parametrize("fortran", [False, True], ids=["row-major", "column-major"])
    def test_reindexes_by_label_with_documented_fills(self, fortran):
        frames = market_frames(DATES, STOCKS, fortran=fortran, seed=3)
        shuffled = {
            arg: f.iloc[::-1, [3, 0, 5, 1, 2]] for arg, f in frames.items()
        }  # reversed dates, one stock missing
        dates = DATES[2:7] + ["20240301"]  # a date no matrix has
        stocks = STOCKS + ["999999"]
        arrays = build(dates, stocks, shuffled)
        for key, array in arrays.items():
            source = shuffled[ARG_OF_KEY[key]]
            if key == "can_buy_arr":
                expected = source.reindex(index=dates, columns=stocks, fill_value=False)
            elif key == "cant_sell_arr":
                expected = source.reindex(index=dates, columns=stocks, fill_value=True)
            else:
                expected = source.reindex(index=dates, columns=stocks)
            assert array.dtype == (bool if "can" in key else np.float64)
            assert not np.shares_memory(array, source.to_numpy())
            np.testing.assert_array_equal(array, expected.to_numpy(dtype=array.dtype))

    def test_numeric_flags_count_nan_as_missing(self):
        frames = market_frames(DATES[:2], STOCKS[:3])
        numeric = pd.DataFrame(
            [[1.0, 0.0, np.nan], [np.nan, 2.0, 0.0]], index=DATES[:2], columns=STOCKS[:3]
        )
        frames["can_buy_stock"] = numeric
        frames["cant_sell_stock"] = numeric
        arrays = build(DATES[:2], STOCKS[:3], frames)
        np.testing.assert_array_equal(
            arrays["can_buy_arr"], [[True, False, False], [False, True, False]]
        )
        np.testing.assert_array_equal(
            arrays["cant_sell_arr"], [[True, False, True], [True, True, False]]
        )

    def test_other_price_dtypes_become_float64(self):
        frames = market_frames(DATES[:3], STOCKS[:2])
        frames["close_price"] = pd.DataFrame(
            [[1, 2], [3, 4], [5, 6]], index=DATES[:3], columns=STOCKS[:2]
        )
        arrays = build(DATES[:3], STOCKS[:2], frames)
        assert arrays["close_arr"].dtype == np.float64
        np.testing.assert_array_equal(arrays["close_arr"], [[1, 2], [3, 4], [5, 6]])

    def test_repeated_stock_codes_are_refused(self):
        frames = market_frames(DATES[:3], STOCKS[:2])
        frames["split_factor"] = frames["split_factor"].set_axis(["000001", "000001"], axis=1)
        with pytest.raises(ValueError, match="split_factor has repeated stock codes"):
            build(DATES[:3], STOCKS[:2], frames)


class TestSafeSharpe:
    @pytest.mark.parametrize(
        "returns",
        [[], [0.01], [0.002] * 50, [0.0] * 10, [np.nan, np.inf, 0.01], [0.1 / 3] * 40],
        ids=["empty", "one", "constant", "zeros", "one-finite", "constant-rounding"],
    )
    def test_undefined_gives_nan(self, returns):
        result = _core.safe_sharpe(pd.Series(returns, dtype=float))
        assert isinstance(result, float) and math.isnan(result)

    @pytest.mark.parametrize("periods", [252, 52, 12.0])
    def test_matches_formula_ignoring_non_finite(self, periods):
        values = np.random.default_rng(8).normal(0.001, 0.02, 300)
        series = pd.Series(np.concatenate([values, [np.nan, np.inf, -np.inf]]))
        expected = values.mean() / values.std(ddof=1) * math.sqrt(periods)
        assert _core.safe_sharpe(series, periods=periods) == pytest.approx(expected, rel=1e-12)

    def test_default_periods_is_252(self):
        series = pd.Series([0.01, -0.005, 0.02, 0.0])
        assert _core.safe_sharpe(series) == _core.safe_sharpe(series, periods=252)


class TestWithDatetimeIndex:
    @pytest.mark.parametrize(
        "labels",
        [
            ["20240105", "20240108"],
            [20240105, 20240108],
            np.array([20240105, 20240108], dtype=np.int64),
            [dt.date(2024, 1, 5), dt.date(2024, 1, 8)],
            [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-08")],
            ["2024-01-05", "2024-01-08"],
        ],
        ids=["yyyymmdd-str", "yyyymmdd-int", "int64-array", "date", "timestamp", "iso-str"],
    )
    def test_labels_become_datetimes(self, labels):
        frame = pd.DataFrame({"long": [1.0, 1.1]}, index=labels)
        result = _core._with_datetime_index(frame)
        assert isinstance(result.index, pd.DatetimeIndex)
        assert list(result.index) == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-08")]
        assert list(frame.index) == list(labels)  # the input keeps its labels

    def test_empty_frame_stays_empty(self):
        result = _core._with_datetime_index(pd.DataFrame(columns=["long"]))
        assert result.empty and list(result.columns) == ["long"]


def test_vantor_globals_in_load_order():
    names = [n for n in vars(_vantor) if not n.startswith("__")]
    constants = [
        "_MATPLOTLIB_PLOT_LOCK",
        "TRADING_DAYS_PER_YEAR",
        "ROLLING_STABILITY_DAYS",
        "MIN_ROLLING_STABILITY_DAYS",
    ]
    assert [n for n in names if n in constants] == constants
    assert names.index("safe_sharpe") < names.index("_MATPLOTLIB_PLOT_LOCK")
    assert (_vantor.TRADING_DAYS_PER_YEAR, _vantor.ROLLING_STABILITY_DAYS) == (252, 60)
    assert _vantor.MIN_ROLLING_STABILITY_DAYS == 5
    lock = _vantor._MATPLOTLIB_PLOT_LOCK
    with lock, lock:  # re-entrant
        pass
    assert _vantor.safe_sharpe is _core.safe_sharpe


def test_vantor_import_fails_when_core_lacks_a_name():
    code = (
        "import orvanta.backtest._core as core\n"
        "del core.safe_sharpe\n"
        "try:\n"
        "    import orvanta.backtest._vantor\n"
        "except ImportError as exc:\n"
        "    print('ImportError', exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("ImportError cannot import name 'safe_sharpe'")
