"""Speed and memory of calc_strategy_vwap_daily_return on a realistic universe.

2,500 days x 5,000 stocks of aligned float64 matrices, about 500 holdings a day, with
suspensions, price limits, splits and dividends. Every figure is a ratio against a baseline
measured in the same run:

(a) time of the call / time of one numpy sum over each of its nine input matrices
    (the floor: any implementation has to read them)                      target <= 2
(b) plain numpy implementation time / time of the call (same series first) target >= 10
(c) column-major inputs: time / row-major time, and both read without a copy
(d) extra peak memory during the call / size of one input matrix          target <= 1
(e) two backtests one after the other / the same two in two threads      target >= 1.4

Needs about 1.5 GB of memory. Run: .venv/bin/python benchmarks/bench_daily_return.py
"""

from __future__ import annotations

import functools
import gc
import os
import sys
import threading
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from reference_backtest import MARKET_ARGS, daily_cash  # noqa: E402

from orvanta.backtest import _core, _vantor  # noqa: E402

N_DAYS = 2500
N_STOCKS = 5000
HOLDINGS = 500


def make_weights(seed: int) -> np.ndarray:
    """About HOLDINGS equal weights a day; 5 % of the book changes each day."""
    rng = np.random.default_rng(seed)
    weights = np.full((N_DAYS, N_STOCKS), np.nan)
    held = rng.choice(N_STOCKS, HOLDINGS, replace=False)
    for day in range(N_DAYS):
        swap = rng.random(HOLDINGS) < 0.05
        held[swap] = rng.integers(0, N_STOCKS, int(swap.sum()))
        weights[day, held] = 1.0 / HOLDINGS
    return weights


def make_market(seed: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    shape = (N_DAYS, N_STOCKS)
    level = rng.uniform(3.0, 80.0, N_STOCKS)
    prev = level * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0))
    close = prev * (1 + rng.normal(0, 0.02, shape))
    suspended = rng.random(shape) < 0.02
    prev[suspended] = np.nan
    close[suspended] = np.nan
    buy = close * (1 + rng.normal(0, 0.003, shape))
    sell = close * (1 + rng.normal(0, 0.003, shape))
    split = np.where(rng.random(shape) < 0.0005, 2.0, np.nan)
    dividend = np.where(rng.random(shape) < 0.005, rng.uniform(0.05, 0.5, shape), np.nan)
    can_buy = (rng.random(shape) > 0.05) & ~suspended
    cant_sell = (rng.random(shape) < 0.03) | suspended
    return {
        "can_buy_stock": can_buy,
        "cant_sell_stock": cant_sell,
        "split_factor": split,
        "dividend_factor": dividend,
        "close_price": close,
        "prev_close": prev,
        "buy_price": buy,
        "sell_price": sell,
    }


def frames(arrays: dict[str, np.ndarray], fortran: bool) -> dict[str, pd.DataFrame]:
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2015-01-05", periods=N_DAYS)]
    stocks = [f"{k:06d}" for k in range(N_STOCKS)]
    out = {}
    for name, values in arrays.items():
        values = np.asfortranarray(values) if fortran else np.ascontiguousarray(values)
        out[name] = pd.DataFrame(values, index=dates, columns=stocks, copy=False)
    return out


def numpy_daily_return(signal_matrix, *market, total_money=1e8, fee=0.0001, rule_fee=0.0005):
    """The computation written plainly with numpy, one vectorised day at a time."""
    lot_size = 200
    signal = signal_matrix.shift(1).dropna(how="all")
    m = _core._build_market_arrays(signal.index, signal.columns, *market)
    signal_arr = signal.to_numpy(dtype=float, copy=False)
    cash = daily_cash(signal_arr, m, total_money, fee, rule_fee, lot_size)
    return pd.Series(cash / total_money, index=signal.index)


def best_time(fn, repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def extra_peak_bytes(fn) -> int:
    """Peak resident memory above the level before the call (Linux peak-RSS reset)."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = rss_kib("VmRSS")
    result = fn()
    peak = rss_kib("VmHWM")
    del result
    return (peak - before) * 1024


def run_order(name: str, signal: pd.DataFrame, market: dict[str, pd.DataFrame]) -> dict:
    call = lambda: _vantor.calc_strategy_vwap_daily_return(signal, **market)  # noqa: E731
    arrays = _core._build_market_arrays(
        signal.index[1:], signal.columns, *(market[a] for a in MARKET_ARGS)
    )
    views = all(
        np.shares_memory(arrays[k], market[a].to_numpy())
        for k, a in zip(
            [
                "can_buy_arr",
                "cant_sell_arr",
                "split_arr",
                "dividend_arr",
                "close_arr",
                "prev_close_arr",
                "buy_price_arr",
                "sell_price_arr",
            ],
            MARKET_ARGS,
            strict=True,
        )
    )
    del arrays
    call()  # warm up
    t_call = best_time(call)
    inputs = [signal.to_numpy()] + [market[a].to_numpy() for a in MARKET_ARGS]
    t_floor = sum(best_time(lambda x=x: np.sum(x), repeat=5) for x in inputs)
    extra = extra_peak_bytes(call)
    matrix_bytes = signal.to_numpy().nbytes
    print(f"[{name}] inputs read without a copy: {views}")
    print(
        f"[{name}] (a) call {t_call * 1e3:8.1f} ms / nine numpy sums {t_floor * 1e3:8.1f} ms"
        f" = {t_call / t_floor:5.2f}  (target <= 2)"
    )
    print(
        f"[{name}] (d) extra peak memory {extra / 2**20:7.1f} MiB / one input matrix"
        f" {matrix_bytes / 2**20:7.1f} MiB = {extra / matrix_bytes:5.3f}  (target <= 1)"
    )
    return {"call": t_call, "floor": t_floor, "extra": extra, "views": views}


def concurrency(signal_a: pd.DataFrame, signal_b: pd.DataFrame, market: dict) -> None:
    def run(s):
        return _vantor.calc_strategy_vwap_daily_return(s, **market)

    def sequential():
        run(signal_a)
        run(signal_b)

    def threaded():
        threads = [threading.Thread(target=run, args=(s,)) for s in (signal_a, signal_b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # Control: numpy sums release the GIL too, so their ratio shows what the machine allows
    # right now (other processes share the cores).
    arrays = [signal_a.to_numpy(), signal_b.to_numpy()]

    def sums_sequential():
        for x in arrays:
            x.sum()

    def sums_threaded():
        threads = [threading.Thread(target=np.sum, args=(x,)) for x in arrays]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # Interleaved, best of several.
    t_seq = t_par = c_seq = c_par = float("inf")
    cores_used = 0.0
    for _ in range(7):
        t_seq = min(t_seq, best_time(sequential, repeat=1))
        cpu_start, wall_start = time.process_time(), time.perf_counter()
        threaded()
        wall = time.perf_counter() - wall_start
        if wall < t_par:
            t_par, cores_used = wall, (time.process_time() - cpu_start) / wall
        c_seq = min(c_seq, best_time(sums_sequential, repeat=1))
        c_par = min(c_par, best_time(sums_threaded, repeat=1))
    print(
        f"[row-major] (e) two in sequence {t_seq * 1e3:8.1f} ms / two in threads"
        f" {t_par * 1e3:8.1f} ms = {t_seq / t_par:5.2f}x  (target >= 1.4;"
        f" control, two numpy sums: {c_seq / c_par:5.2f}x; load {os.getloadavg()[0]:.1f}"
        f" on {os.cpu_count()} cpus)"
    )
    print(
        f"[row-major] (e) CPU seconds per wall second while the two threads ran: {cores_used:4.2f}"
        " (above 1 only when both run at once outside the GIL)"
    )


def main() -> None:
    print(f"{N_DAYS} days x {N_STOCKS} stocks, about {HOLDINGS} holdings a day")
    weights = make_weights(1)
    market_arrays = make_market(2)

    signal = frames({"w": weights}, fortran=False)["w"]
    market = frames(market_arrays, fortran=False)
    daily = signal.notna().sum(axis=1).mean()
    print(f"mean weights a day: {daily:.0f}")

    row = run_order("row-major", signal, market)

    result = _vantor.calc_strategy_vwap_daily_return(signal, **market)
    start = time.perf_counter()
    plain = numpy_daily_return(signal, *(market[a] for a in MARKET_ARGS))
    t_plain = time.perf_counter() - start
    pd.testing.assert_index_equal(result.index, plain.index)
    np.testing.assert_allclose(result.to_numpy(), plain.to_numpy(), rtol=1e-9, atol=1e-14)
    print(f"same series as the plain numpy implementation over {len(result)} days: yes")
    print(
        f"[row-major] (b) plain numpy {t_plain * 1e3:8.1f} ms / call {row['call'] * 1e3:8.1f} ms"
        f" = {t_plain / row['call']:5.1f}x  (target >= 10)"
    )
    del plain
    plain_extra = extra_peak_bytes(
        functools.partial(numpy_daily_return, signal, *(market[a] for a in MARKET_ARGS))
    )
    print(
        f"[row-major] (d') for scale, the plain numpy implementation's extra peak memory"
        f" {plain_extra / 2**20:7.1f} MiB = {plain_extra / signal.to_numpy().nbytes:5.2f}"
        " input matrices"
    )

    # (e) a second strategy on the same market, run alongside the first.
    concurrency(signal, frames({"w": make_weights(3)}, fortran=False)["w"], market)
    row_result = result
    del market, signal
    gc.collect()

    signal_f = frames({"w": weights}, fortran=True)["w"]
    market_f = frames(market_arrays, fortran=True)
    del weights, market_arrays
    gc.collect()
    assert signal_f.to_numpy().flags.f_contiguous
    col = run_order("column-major", signal_f, market_f)
    same = _vantor.calc_strategy_vwap_daily_return(signal_f, **market_f)
    pd.testing.assert_series_equal(same, row_result, check_exact=True)
    print(
        f"(c) column-major call {col['call'] * 1e3:8.1f} ms / row-major call"
        f" {row['call'] * 1e3:8.1f} ms = {col['call'] / row['call']:5.2f}; no copy in either"
        f" order: {row['views'] and col['views']}; identical series: yes"
    )


if __name__ == "__main__":
    main()
