"""run_strategy_backtest_core against a plain pandas composition of the same steps."""

import collections
import dataclasses
import math

import numpy as np
import pandas as pd
import pytest
from reference_backtest import EMPTY_STATS_KEYS, FRAME_COLUMNS, reference_benchmark_summary

from orvanta.backtest import _vantor


def make_market(seed, n_days=160, n_stocks=12):
    """Random market matrices on YYYYMMDD dates, plus weights that overhang them."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-11-02", periods=n_days).strftime("%Y%m%d")
    stocks = [f"{600000 + i:06d}" for i in range(n_stocks)]

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=stocks)

    close = frame(10 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, (n_days, n_stocks)), axis=0)))
    market = {
        "can_buy_stock": frame(rng.random((n_days, n_stocks)) > 0.1),
        "cant_sell_stock": frame(rng.random((n_days, n_stocks)) < 0.1),
        "split_factor": frame(np.where(rng.random((n_days, n_stocks)) < 0.01, 1.5, np.nan)),
        "dividend_factor": frame(np.where(rng.random((n_days, n_stocks)) < 0.01, 0.2, np.nan)),
        "close_price": close,
        "prev_close": close.shift(1).fillna(10.0),
        "buy_price": close * (1 + rng.normal(0, 0.003, close.shape)),
        "sell_price": close * (1 + rng.normal(0, 0.003, close.shape)),
    }
    # Weights: two extra stocks unknown to the close matrix, a stock that never has a
    # weight, three dates before the market starts and five trailing all-NaN rows.
    w_dates = list(pd.bdate_range("2020-10-28", periods=3).strftime("%Y%m%d")) + list(dates)
    w_stocks = stocks + ["999998", "999999"]
    weights = np.where(rng.random((len(w_dates), len(w_stocks))) < 0.5, 0.08, np.nan)
    weights[:, 3] = np.nan
    weights[-5:, :] = np.nan
    weights[20, :] = np.nan
    strategy = pd.DataFrame(weights, index=w_dates, columns=w_stocks)
    return strategy, market


def benchmark_series(seed, dates):
    rng = np.random.default_rng(seed)
    return pd.Series(rng.normal(0.0002, 0.011, len(dates)), index=dates)


def plain_pipeline(strategy_matrix, market, benchmark_dict, benchmark_names, rolling_window):
    """The steps written out with pandas around the module's own pieces."""
    close_price = market["close_price"]
    work = strategy_matrix.loc[strategy_matrix.index.intersection(close_price.index)]
    common = work.columns.intersection(close_price.columns)
    work = work.loc[:, common].dropna(axis=1, how="all")
    work = _vantor._smooth_strategy_weights(work, rolling_window)
    valid = work.dropna(how="all")
    empty_stats = _vantor.calc_strategy_stats(pd.DataFrame(columns=FRAME_COLUMNS), work)
    empty = ("empty", empty_stats)
    if valid.empty:
        return empty
    daily = _vantor.calc_strategy_vwap_daily_return(signal_matrix=work, **market)
    if daily.empty:
        return empty
    daily = daily[daily.index <= valid.index.max()]
    if daily.empty:
        return empty
    df = pd.DataFrame({"daily_return": daily})
    if benchmark_dict is not None and benchmark_names in benchmark_dict:
        bm = benchmark_dict[benchmark_names].astype(float).replace([np.inf, -np.inf], np.nan)
        bm = bm.fillna(0.0)
        bench = pd.DataFrame({"close": bm.cumsum().add(1.0), "index_daily_return": bm})
        bench = bench.loc[bench.index >= df.index.min()]
        bench = bench.loc[bench.index <= df.index.max()]
        tb = pd.concat([df, bench], axis=1, join="inner")
    else:
        tb = df.copy()
        tb["index_daily_return"] = 0.0
        tb["close"] = 1.0
    if tb.empty:
        return empty
    total = _vantor._build_total_backtesting_frame(tb)
    stats = _vantor.calc_strategy_stats(total, work)
    summary = pd.DataFrame()
    if benchmark_dict:
        summary = reference_benchmark_summary(total, benchmark_dict)
    return total, stats, summary


def assert_stats_equal(got, want):
    assert list(got) == list(want)
    for key in want:
        g, w = float(got[key]), float(want[key])
        assert (math.isnan(g) and math.isnan(w)) or g == pytest.approx(w, rel=1e-12), key


def run(strategy, market, **kwargs):
    return _vantor.run_strategy_backtest_core(strategy, *market.values(), **kwargs)


def dates_of(market):
    return market["close_price"].index


def case_benchmarks(name, dates):
    primary = benchmark_series(1, dates)
    other = benchmark_series(2, dates)
    if name == "none":
        return None, "000852"
    if name == "full":
        return {"000852": primary, "000300": other}, "000852"
    if name == "primary-missing":
        return {"000300": other, "000905": benchmark_series(3, dates[40:90])}, "000852"
    if name == "partial":
        # Starts before the strategy's first return and ends well before its last.
        return {"000852": primary.iloc[:100], "000300": other.iloc[50:70]}, "000852"
    if name == "inf-nan":
        dirty = primary.copy()
        dirty.iloc[[10, 30]] = np.inf
        dirty.iloc[15] = -np.inf
        dirty.iloc[[40, 41]] = np.nan
        other_dirty = other.copy()
        other_dirty.iloc[25] = np.nan
        # An entry with no overlapping date is skipped in the summary.
        far = pd.Series([0.01], index=["19990104"])
        return {"000852": dirty, "000300": other_dirty, "old": far}, "000852"
    if name == "empty-dict":
        return {}, "000852"
    raise AssertionError(name)


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize(
    "bench",
    [
        "none",
        "full",
        "primary-missing",
        "partial",
        # The summary keeps infinite benchmark days, and numpy says so (inf - inf).
        pytest.param(
            "inf-nan",
            marks=pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning"),
        ),
        "empty-dict",
    ],
)
def test_pipeline_matches_plain_composition(seed, bench):
    strategy, market = make_market(seed)
    benchmark_dict, primary = case_benchmarks(bench, dates_of(market))
    window = 3 if seed == 1 else 0
    got = run(
        strategy,
        market,
        benchmark_dict=benchmark_dict,
        benchmark_names=primary,
        rolling_window=window,
        strategy_name="s1",
    )
    total, stats, summary = plain_pipeline(strategy, market, benchmark_dict, primary, window)
    assert isinstance(got, _vantor._StrategyCoreResult)
    assert got.strategy_name == "s1" and got.plot_paths == {}
    pd.testing.assert_series_equal(got.daily_return, total["daily_return"])
    pd.testing.assert_series_equal(got.cumulative_return, total["long"])
    assert got.daily_return.name == "daily_return" and got.cumulative_return.name == "long"
    assert_stats_equal(got.stats, stats)
    pd.testing.assert_frame_equal(got.benchmark_summary, summary)
    if window == 0 and bench != "partial":
        # Trailing empty rows do not extend the run: it ends on the last weighted date.
        assert got.daily_return.index.max() == strategy.dropna(how="all").index.max()
    if bench in ("none", "primary-missing"):
        np.testing.assert_allclose(
            _vantor._build_total_backtesting_frame(
                pd.DataFrame(
                    {"daily_return": got.daily_return, "index_daily_return": 0.0, "close": 1.0}
                )
            )["extra_daily_return"],
            got.daily_return,
        )
    if bench == "partial":
        assert len(got.daily_return) < 100 and got.daily_return.index.min() > "20201102"
    if bench in ("none", "empty-dict"):
        assert got.benchmark_summary.empty and len(got.benchmark_summary.columns) == 0
    else:
        assert list(got.benchmark_summary.columns) == [
            "benchmark_name",
            "benchmark_annual_return",
            "excess_annual_return",
            "excess_sharpe",
            "excess_max_dd",
        ]


def test_primary_infinities_count_as_zero_return():
    strategy, market = make_market(4)
    dates = dates_of(market)
    clean = benchmark_series(5, dates)
    dirty = clean.copy()
    dirty.iloc[[30, 31]] = [np.inf, np.nan]
    zeroed = clean.copy()
    zeroed.iloc[[30, 31]] = 0.0
    got = run(strategy, market, benchmark_dict={"000852": dirty})
    want = run(strategy, market, benchmark_dict={"000852": zeroed})
    assert_stats_equal(got.stats, want.stats)
    # In the summary the infinity is kept (and dominates), the NaN dropped.
    assert got.benchmark_summary.loc[0, "benchmark_annual_return"] == np.inf


def empty_cases():
    strategy, market = make_market(6)
    far_dates = pd.DataFrame(0.1, index=["20300102", "20300103"], columns=strategy.columns)
    all_nan = strategy * np.nan
    # One weighted date followed by empty rows: its trading day is cut, nothing remains.
    single = strategy.copy()
    single.iloc[:, :] = np.nan
    single.iloc[50, 0] = 0.3
    return market, {"no-common-dates": far_dates, "all-nan": all_nan, "single-weighted": single}


@pytest.mark.parametrize("case", ["no-common-dates", "all-nan", "single-weighted"])
@pytest.mark.parametrize("with_benchmark", [False, True], ids=["flat", "benchmark"])
def test_empty_results(tmp_path, case, with_benchmark):
    market, cases = empty_cases()
    bm = {"000852": benchmark_series(7, dates_of(market))} if with_benchmark else None
    got = run(
        cases[case],
        market,
        benchmark_dict=bm,
        plot_save_path=tmp_path / "r.png",
        strategy_name="e",
    )
    assert got.strategy_name == "e"
    assert got.daily_return.empty and got.daily_return.dtype == float
    assert got.daily_return is got.cumulative_return
    assert list(got.stats) == EMPTY_STATS_KEYS
    assert all(math.isnan(v) for v in got.stats.values())
    assert got.benchmark_summary.empty and got.plot_paths == {}
    assert list(tmp_path.iterdir()) == []


def test_result_record_type():
    cls = _vantor._StrategyCoreResult
    assert dataclasses.is_dataclass(cls)
    assert [f.name for f in dataclasses.fields(cls)] == [
        "strategy_name",
        "daily_return",
        "cumulative_return",
        "stats",
        "benchmark_summary",
        "plot_paths",
    ]
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(cls))
    assert (
        cls.__doc__.startswith("策略回测内部结果对象。") and "StrategyBacktestResult" in cls.__doc__
    )
    assert cls.__module__ == "orvanta.backtest._vantor"
    a = cls("s", None, None, {}, None, {})
    assert a == cls("s", None, None, {}, None, {})
    a.strategy_name = "t"  # mutable
    assert a != cls("s", None, None, {}, None, {})


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"benchmark_dict": collections.OrderedDict()}, "benchmark_dict must be dict or None"),
        ({"benchmark_dict": []}, "benchmark_dict must be dict or None, not list"),
        ({"benchmark_names": None}, "benchmark_names must be str, not NoneType"),
        ({"strategy_name": None}, "strategy_name must be str"),
        ({"plot_image_kind": 1}, "plot_image_kind must be str or None, not int"),
        ({"plot_title": b"t"}, "plot_title must be str or None, not bytes"),
        ({"rolling_window": "3"}, "rolling_window must be int, not str"),
        ({"total_money": "1e8"}, "must be real number, not str"),
    ],
)
def test_argument_types_checked_before_work(kwargs, message):
    # The matrices are not even frames: the type error must come first.
    with pytest.raises(TypeError, match=message):
        _vantor.run_strategy_backtest_core(*([None] * 9), **kwargs)


def test_numbers_are_converted():
    strategy, market = make_market(8)
    got = run(strategy, market, rolling_window=np.int64(0), total_money=np.float32(1e7), fee=0)
    want = _vantor.calc_strategy_vwap_daily_return(
        strategy.loc[strategy.index.intersection(dates_of(market))]
        .loc[:, market["close_price"].columns]
        .dropna(axis=1, how="all"),
        **market,
        total_money=1e7,
        fee=0.0,
    )
    pd.testing.assert_series_equal(
        got.daily_return, want.loc[got.daily_return.index], check_names=False
    )


def test_chart_calls_and_paths(tmp_path, monkeypatch):
    calls = []

    def record(kind):
        def fake(**kwargs):
            calls.append((kind, kwargs))
            return {kind: str(kwargs["save_path"])}

        return fake

    monkeypatch.setattr(_vantor, "plot_strategy_performance", record("main"))
    monkeypatch.setattr(_vantor, "plot_weekly_net_value", record("weekly_net_value"))
    strategy, market = make_market(9)
    got = run(
        strategy,
        market,
        plot_save_path=str(tmp_path / "out" / "run.png"),
        rolling_window=2.9,
        plot_image_kind="long",
        benchmark_names="000905",
        plot_title="T",
    )
    assert got.plot_paths == {
        "main": str(tmp_path / "out" / "run.png"),
        "weekly_net_value": str(tmp_path / "out" / "run_weekly_net_value.png"),
    }
    (k1, main), (k2, weekly) = calls
    assert (k1, k2) == ("main", "weekly_net_value")
    assert list(main) == [
        "total",
        "stats",
        "strategy_name",
        "plot_title",
        "save_path",
        "image_kind",
        "benchmark_name",
        "rolling_window",
    ]
    assert main["rolling_window"] == 2 and main["image_kind"] == "long"
    assert main["benchmark_name"] == "000905" and main["plot_title"] == "T"
    assert main["stats"] is got.stats
    pd.testing.assert_series_equal(main["total"]["daily_return"], got.daily_return)
    assert list(weekly) == [
        "total",
        "strategy_name",
        "plot_title",
        "save_path",
        "image_kind",
        "benchmark_name",
    ]
    calls.clear()
    got = run(strategy, market, plot_save_path=tmp_path / "chart")
    assert got.plot_paths["weekly_net_value"] == str(tmp_path / "chart_weekly_net_value")
    assert calls[0][1]["image_kind"] == "large"
    calls.clear()
    assert (
        run(strategy, market, plot_save_path=tmp_path / "x.png", plot_image_kind=None).plot_paths
        == {}
    )
    assert run(strategy, market).plot_paths == {}
    assert calls == []


def test_pipeline_writes_both_png_files(tmp_path):
    strategy, market = make_market(10, n_days=60, n_stocks=6)
    out = tmp_path / "out"
    out.mkdir()
    got = run(
        strategy,
        market,
        benchmark_dict={"000852": benchmark_series(1, dates_of(market))},
        plot_save_path=out / "run.png",
        plot_image_kind="long",
    )
    assert sorted(p.name for p in out.iterdir()) == ["run.png", "run_weekly_net_value.png"]
    for path in got.plot_paths.values():
        assert open(path, "rb").read(8) == b"\x89PNG\r\n\x1a\n"
    # A missing directory: the file error reaches the caller, and a later run still draws.
    with pytest.raises(FileNotFoundError):
        run(strategy, market, plot_save_path=tmp_path / "missing" / "run.png", plot_image_kind="l")
    got = run(strategy, market, plot_save_path=out / "again.png", plot_image_kind="l")
    assert (out / "again_weekly_net_value.png").exists()
