import math

import numpy as np
import pandas as pd
import pytest
from reference_backtest import EMPTY_STATS_KEYS, FRAME_COLUMNS, reference_stats

from orvanta.backtest import _core, _vantor

KEYS = [
    "annual_return",
    "long_sharp",
    "max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
]


def backtest_table(seed, n=300, flat=False):
    rng = np.random.default_rng(seed)
    index = [d.strftime("%Y%m%d") for d in pd.bdate_range("2021-01-04", periods=n)]
    strategy = rng.normal(0.0005, 0.01, n)
    strategy[rng.integers(0, n, 10)] = 0.0
    bench = np.zeros(n) if flat else rng.normal(0.0002, 0.008, n)
    joined = pd.DataFrame({"daily_return": strategy, "index_daily_return": bench}, index=index)
    return _vantor._build_total_backtesting_frame(joined)


def weights(seed, rows=50, cols=30):
    rng = np.random.default_rng(seed)
    values = rng.uniform(-0.01, 0.05, (rows, cols))
    values[rng.random(values.shape) < 0.5] = np.nan
    values[rng.random(values.shape) < 0.05] = 0.0
    values[3] = np.nan
    return pd.DataFrame(values)


def assert_stats_equal(result, expected):
    assert list(result) == list(expected)
    for key in expected:
        assert result[key] == pytest.approx(expected[key], rel=1e-10, nan_ok=True), key


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("fortran", [False, True], ids=["row-major", "column-major"])
def test_matches_plain_pandas(seed, fortran):
    total = backtest_table(seed)
    signal = weights(seed)
    if fortran:
        signal = pd.DataFrame({c: signal[c].to_numpy() for c in signal.columns})
        assert signal.to_numpy().flags.f_contiguous
    result = _vantor.calc_strategy_stats(total, signal)
    assert list(result) == KEYS
    assert_stats_equal(result, reference_stats(total, signal))


def test_worked_examples():
    n = 126
    total = pd.DataFrame(
        {
            "daily_return": np.full(n, 0.1 / n),
            "index_daily_return": np.zeros(n),
            "extra_daily_return": np.full(n, 0.1 / n),
            "long": np.linspace(1.0, 1.10, n),
            "close_net_value": np.ones(n),
            "max_drowdown": np.r_[np.zeros(n - 1), -0.08],
            "extra_return": np.linspace(0.0, 0.1, n),
            "extra_max_drowdown": np.zeros(n),
        }
    )
    signal = pd.DataFrame([[0.5, 0.5, np.nan], [0.5, np.nan, 0.5]])
    stats = _vantor.calc_strategy_stats(total, signal)
    assert stats["annual_return"] == pytest.approx(20.0)
    assert stats["max_dd"] == pytest.approx(0.08)
    assert stats["turnover"] == pytest.approx(0.5)
    assert stats["holding_count"] == 2.0


@pytest.mark.parametrize(
    "table",
    [
        pd.DataFrame(columns=FRAME_COLUMNS),
        pd.DataFrame(
            {c: [np.nan, 1.0] if k % 2 else [1.0, np.nan] for k, c in enumerate(FRAME_COLUMNS)}
        ),
    ],
    ids=["empty", "every-row-has-nan"],
)
def test_no_complete_row_gives_thirteen_nans(table):
    stats = _vantor.calc_strategy_stats(table, weights(0))
    assert list(stats) == EMPTY_STATS_KEYS
    assert all(math.isnan(v) for v in stats.values())


def test_flat_benchmark():
    total = backtest_table(5, flat=True)
    stats = _vantor.calc_strategy_stats(total, None)
    assert stats["benchmark_annual_return"] == 0.0
    assert math.isnan(stats["return_corr"]) and math.isnan(stats["benchmark_sharp"])
    # long is rebased by 1 + the first return, extra_return by subtracting it.
    first = total["daily_return"].iloc[0]
    assert stats["extra_annual_return"] == pytest.approx(stats["annual_return"] * (1 + first))
    assert stats["extra_sharp"] == pytest.approx(stats["long_sharp"])
    assert stats["excess_win_rate"] == stats["win_rate"]


@pytest.mark.parametrize(
    "signal, holding_nan, turnover_nan",
    [
        (None, True, True),
        (pd.DataFrame(columns=["a", "b"], dtype=float), True, True),
        (pd.DataFrame([[0.5, np.nan, 0.0]]), False, True),
    ],
    ids=["none", "empty", "one-row"],
)
def test_holdings_and_turnover_need_rows(signal, holding_nan, turnover_nan):
    stats = _vantor.calc_strategy_stats(backtest_table(1, n=20), signal)
    assert math.isnan(stats["holding_count"]) == holding_nan
    assert math.isnan(stats["turnover"]) == turnover_nan
    if not holding_nan:
        assert stats["holding_count"] == 2.0  # a zero weight is a holding, NaN is not


def test_infinite_returns_skip_sharpe_and_win_rate_but_not_correlation():
    total = backtest_table(2, n=40)
    total.iloc[[5, 9], total.columns.get_loc("daily_return")] = [np.inf, -np.inf]
    stats = _vantor.calc_strategy_stats(total, None)
    finite = total["daily_return"].drop(total.index[[5, 9]])
    assert stats["long_sharp"] == pytest.approx(_core.safe_sharpe(finite, periods=252))
    assert stats["win_rate"] == pytest.approx((finite > 0).mean())
    with np.errstate(invalid="ignore"):
        expected_corr = total["daily_return"].corr(total["index_daily_return"])
    assert stats["return_corr"] == pytest.approx(expected_corr, nan_ok=True)


def test_zero_return_is_not_a_win():
    table = backtest_table(3, n=4)
    table["daily_return"] = [0.0, 0.01, 0.0, -0.01]
    assert _vantor.calc_strategy_stats(table, None)["win_rate"] == 0.25
