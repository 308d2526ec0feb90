"""Period and per-year metrics, number formatters and the weekly frame of the strategy core."""

import math

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

from orvanta.backtest import _core, _vantor

NAN = float("nan")


def plain_period(values):
    """The period figures written out with pandas, as the description reads."""
    s = pd.Series(values, dtype=float)
    if len(s) == 0:
        return (NAN, NAN, NAN)
    with np.errstate(invalid="ignore"):  # inf - inf in the reference itself
        cum = s.cumsum()
        max_dd = abs((cum - cum.cummax().clip(lower=0.0)).min())
        mean = s.mean()
        calmar = mean * 252 / max_dd if not math.isnan(max_dd) and max_dd > 1e-12 else NAN
        return (s.sum(), max_dd, calmar)


@pytest.mark.parametrize(
    "returns, expected",
    [
        ([0.01, -0.02, 0.005], (-0.005, 0.02, -21.0)),
        ([-0.01], (-0.01, 0.01, -252.0)),
        ([0.01, 0.02, 0.0], (0.03, 0.0, NAN)),
        ([-1e-12, 0.0], (-1e-12, 1e-12, NAN)),
        ([], (NAN, NAN, NAN)),
        (None, (NAN, NAN, NAN)),
    ],
    ids=["worked", "single-loss", "only-gains", "tiny-dd", "empty", "none"],
)
def test_period_return_drawdown_calmar(returns, expected):
    series = None if returns is None else pd.Series(returns, dtype=float)
    got = _vantor._period_return_drawdown_calmar(series)
    assert isinstance(got, tuple) and len(got) == 3
    assert_allclose(got, expected, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_period_figures_match_pandas_with_gaps(seed):
    rng = np.random.default_rng(seed)
    values = rng.normal(0.0005, 0.02, 300)
    values[rng.random(300) < 0.1] = np.nan
    if seed == 2:
        values[[50, 120]] = [-np.inf, np.inf]
    got = _vantor._period_return_drawdown_calmar(daily_return=pd.Series(values))
    assert_allclose(got, plain_period(values), rtol=1e-10)


def plain_yearly(daily):
    rows = []
    for year, part in daily.groupby(daily.index.year):
        strat = part["daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
        excess = part["extra_daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
        if strat.empty and excess.empty:
            continue
        s = plain_period(strat.to_numpy())
        e = plain_period(excess.to_numpy())
        rows.append(
            {
                "year": int(year),
                "strategy_return": s[0],
                "strategy_sharpe": _core.safe_sharpe(strat),
                "strategy_max_dd": s[1],
                "strategy_calmar": s[2],
                "excess_return": e[0],
                "excess_sharpe": _core.safe_sharpe(excess),
                "excess_max_dd": e[1],
                "excess_calmar": e[2],
            }
        )
    return pd.DataFrame(rows).set_index("year").sort_index() if rows else pd.DataFrame()


def test_yearly_metrics_against_groupby():
    rng = np.random.default_rng(7)
    idx = pd.bdate_range("2019-03-01", "2022-06-30")
    daily = pd.DataFrame(
        {
            "daily_return": rng.normal(0.0004, 0.015, len(idx)),
            "extra_daily_return": rng.normal(0.0001, 0.008, len(idx)),
            "other": 1.0,
        },
        index=idx,
    )
    daily.iloc[rng.random(len(idx)) < 0.05, 0] = np.nan
    daily.iloc[10, 1] = np.inf
    daily.iloc[400, 0] = -np.inf
    # A year made only of NaN and infinities is left out.
    extra = pd.DataFrame(
        {"daily_return": [np.nan, np.inf], "extra_daily_return": [-np.inf, np.nan], "other": 0.0},
        index=pd.to_datetime(["2024-01-02", "2024-01-03"]),
    )
    frame = pd.concat([daily, extra])
    got = _vantor._calc_yearly_performance_metrics(frame)
    want = plain_yearly(frame)
    assert list(got.index) == [2019, 2020, 2021, 2022]
    assert got.index.name == "year"
    assert list(got.columns) == [
        "strategy_return",
        "strategy_sharpe",
        "strategy_max_dd",
        "strategy_calmar",
        "excess_return",
        "excess_sharpe",
        "excess_max_dd",
        "excess_calmar",
    ]
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-10)


def test_yearly_metrics_split_at_new_year_and_empty():
    idx = pd.to_datetime(["2021-12-30", "2021-12-31", "2022-01-03", "2022-01-04"])
    daily = pd.DataFrame(
        {"daily_return": [0.01, -0.02, 0.03, 0.01], "extra_daily_return": [0.0, 0.01, -0.01, 0.0]},
        index=idx,
    )
    got = _vantor._calc_yearly_performance_metrics(daily)
    assert list(got.index) == [2021, 2022]
    assert got.loc[2021, "strategy_return"] == pytest.approx(-0.01)
    assert got.loc[2022, "strategy_return"] == pytest.approx(0.04)
    assert got.loc[2021, "strategy_max_dd"] == pytest.approx(0.02)
    assert math.isnan(got.loc[2022, "strategy_calmar"])
    # Only one side with data: the other side's period figures are NaN.
    one_side = daily.assign(extra_daily_return=np.nan)
    got = _vantor._calc_yearly_performance_metrics(one_side)
    assert got["excess_return"].isna().all() and got["excess_calmar"].isna().all()

    empty = daily.iloc[:0]
    result = _vantor._calc_yearly_performance_metrics(empty)
    assert result.empty and len(result.columns) == 0


@pytest.mark.parametrize(
    "func, value, digits, expected",
    [
        ("_format_pct", 0.05, 2, "5.00%"),
        ("_format_pct", -0.1234, 2, "-12.34%"),
        ("_format_pct", np.float64(0.125), 1, "12.5%"),
        ("_format_pct_points", 5.0, 2, "5.00%"),
        ("_format_pct_points", 12.345, 1, "12.3%"),
        ("_format_num", 1.234, 2, "1.23"),
        ("_format_num", 1.234, 1, "1.2"),
        ("_format_num", 2, 0, "2"),
        ("_format_num", 2.5, 0, "2"),
        ("_format_num", 0.125, 2.9, "0.12"),
        ("_format_num", np.inf, 2, "inf"),
        ("_format_num", None, 2, "--"),
        ("_format_pct", np.nan, 2, "--"),
        ("_format_pct_points", pd.NA, 2, "--"),
        ("_format_num", pd.NaT, 2, "--"),
    ],
)
def test_number_formatters(func, value, digits, expected):
    assert getattr(_vantor, func)(value, digits) == expected
    if not pd.isna(value):
        # Same as the format mini-language on float(value).
        fmt = "." + str(int(digits)) + ("%" if func == "_format_pct" else "f")
        tail = "%" if func == "_format_pct_points" else ""
        assert (
            getattr(_vantor, func)(value=value, digits=digits) == format(float(value), fmt) + tail
        )


def test_formatter_errors():
    with pytest.raises(ValueError):
        _vantor._format_num("word")
    with pytest.raises(TypeError, match="digits must be int, not str"):
        _vantor._format_pct(0.1, "2")
    assert _vantor._format_pct(0.05) == "5.00%"


@pytest.mark.parametrize(
    "annual_excess, expected",
    [
        (pd.Series([0.05, np.nan, -0.031], index=[2021, 2022, 2023]), "2021: 5.00% | 2023: -3.10%"),
        ({2020: 0.1, 2019: -0.002}, "2020: 10.00% | 2019: -0.20%"),
        (None, "--"),
        (pd.Series([], dtype=float), "--"),
        (pd.Series([np.nan, np.nan], index=[2021, 2022]), "--"),
    ],
    ids=["series", "dict-order", "none", "empty", "all-nan"],
)
def test_format_annual_excess(annual_excess, expected):
    assert _vantor._format_annual_excess(annual_excess) == expected


def test_weekly_frame_fridays_and_gaps():
    # Mon 2024-01-01 .. Wed 2024-01-24, with the week of Jan 15 all NaN and a NaN Friday.
    idx = pd.bdate_range("2024-01-01", "2024-01-24")
    n = len(idx)
    total = pd.DataFrame(
        {
            "daily_return": 0.0,
            "long": 1 + np.arange(n) / 100,
            "close_net_value": 1 - np.arange(n) / 200,
            "extra_return": np.arange(n) / 300,
        },
        index=idx.strftime("%Y%m%d"),
    )
    total.loc["20240112", "long"] = np.nan
    total.loc["20240111", "close_net_value"] = np.inf
    total.loc["20240115":"20240119", ["long", "close_net_value", "extra_return"]] = np.nan
    got = _vantor._build_weekly_net_value_frame(total)
    assert list(got.columns) == ["long", "close_net_value", "extra_return", "extra_net_value"]
    assert list(got.index.strftime("%Y-%m-%d")) == ["2024-01-05", "2024-01-12", "2024-01-26"]
    assert all(got.index.day_of_week == 4)
    # Thursday's long stands in for the NaN Friday; the other columns keep Friday's values.
    assert got.loc["2024-01-12", "long"] == pytest.approx(1 + 8 / 100)
    assert got.loc["2024-01-12", "close_net_value"] == pytest.approx(1 - 9 / 200)
    # A last Wednesday is labelled with the following Friday.
    assert got.loc["2024-01-26", "long"] == pytest.approx(1 + (n - 1) / 100)
    assert_allclose(got["extra_net_value"], got["extra_return"] + 1)

    empty = _vantor._build_weekly_net_value_frame(total.iloc[:0])
    assert empty.empty and len(empty.columns) == 0
