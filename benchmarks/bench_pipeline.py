"""Speed of run_strategy_backtest_core against the plain pandas composition of its steps.

2,500 days x 5,000 stocks (about 500 holdings a day, suspensions, price limits, splits and
dividends; the universe of bench_daily_return.py) with three benchmarks. Both versions run
in this process on the same data and are first checked to give the same returns and
statistics. Printed:

(a) plain pandas/numpy composition time / run_strategy_backtest_core time   target >= 10
(b) the time the two charts of that run take (wide and tall layouts), beside the run

Needs about 2 GB of memory. Run: .venv/bin/python benchmarks/bench_pipeline.py
"""

from __future__ import annotations

import math
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from bench_daily_return import (  # noqa: E402
    N_DAYS,
    best_time,
    frames,
    make_market,
    make_weights,
    numpy_daily_return,
)
from reference_backtest import (  # noqa: E402
    MARKET_ARGS,
    reference_benchmark_summary,
    reference_frame,
    reference_stats,
)

from orvanta.backtest import _vantor  # noqa: E402


def plain_smooth(weights: pd.DataFrame, window: int) -> pd.DataFrame:
    if window <= 1:
        return weights
    smoothed = weights.fillna(0.0).rolling(window).mean().dropna(how="all")
    return smoothed.where(smoothed != 0)


def plain_pipeline(strategy, market, benchmark_dict, primary="000852", window=0):
    close = market["close_price"]
    work = strategy.loc[strategy.index.intersection(close.index)]
    work = work.loc[:, work.columns.intersection(close.columns)].dropna(axis=1, how="all")
    work = plain_smooth(work, window)
    valid = work.dropna(how="all")
    daily = numpy_daily_return(work, *(market[a] for a in MARKET_ARGS))
    daily = daily[daily.index <= valid.index.max()]
    df = pd.DataFrame({"daily_return": daily})
    bm = benchmark_dict[primary].astype(float).replace([np.inf, -np.inf], np.nan).fillna(0.0)
    bench = pd.DataFrame({"close": bm.cumsum().add(1.0), "index_daily_return": bm})
    bench = bench.loc[bench.index >= df.index.min()]
    bench = bench.loc[bench.index <= df.index.max()]
    total = reference_frame(pd.concat([df, bench], axis=1, join="inner"))
    stats = reference_stats(total, work)
    return total, stats, reference_benchmark_summary(total, benchmark_dict)


def main() -> None:
    arrays = make_market(1)
    market = frames(arrays, fortran=False)
    del arrays
    weights = make_weights(2)
    weights[-20:, :] = np.nan  # trailing rows without weights
    strategy = frames({"w": weights}, fortran=False)["w"]
    del weights
    dates = strategy.index
    rng = np.random.default_rng(3)
    benchmarks = {
        name: pd.Series(rng.normal(mu, 0.012, N_DAYS), index=dates)
        for name, mu in (("000852", 0.0003), ("000300", 0.0002), ("000905", 0.0001))
    }

    def fast():
        return _vantor.run_strategy_backtest_core(
            strategy, *(market[a] for a in MARKET_ARGS), benchmark_dict=benchmarks
        )

    result = fast()
    start = time.perf_counter()
    total, stats, summary = plain_pipeline(strategy, market, benchmarks)
    t_plain = time.perf_counter() - start
    pd.testing.assert_series_equal(result.daily_return, total["daily_return"], rtol=1e-9)
    for key, value in stats.items():
        got = float(result.stats[key])
        assert (math.isnan(got) and math.isnan(value)) or math.isclose(
            got, value, rel_tol=1e-9, abs_tol=1e-12
        ), key
    pd.testing.assert_frame_equal(result.benchmark_summary, summary, rtol=1e-9)
    print(f"same returns, statistics and benchmark summary on {len(result.daily_return)} days")

    t_fast = best_time(fast, repeat=3)
    print(
        f"(a) plain pandas composition {t_plain * 1e3:8.1f} ms / run_strategy_backtest_core"
        f" {t_fast * 1e3:8.1f} ms = {t_plain / t_fast:5.1f}x  (target >= 10)"
    )

    with tempfile.TemporaryDirectory() as tmp:
        for kind in ("large", "long"):
            start = time.perf_counter()
            _vantor.run_strategy_backtest_core(
                strategy,
                *(market[a] for a in MARKET_ARGS),
                benchmark_dict=benchmarks,
                plot_image_kind=kind,
                plot_save_path=os.path.join(tmp, f"{kind}.png"),
            )
            t_with = time.perf_counter() - start
            print(
                f"(b) {kind:5s} charts: run with both charts {t_with * 1e3:8.1f} ms, charts alone"
                f" ~{(t_with - t_fast) * 1e3:8.1f} ms = {(t_with - t_fast) / t_fast:5.1f}x the run"
            )


if __name__ == "__main__":
    main()
