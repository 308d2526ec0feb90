"""Plain pandas/numpy versions of the backtest computations, shared by tests and benchmarks.

Benchmarks import this module after putting ``tests/`` on ``sys.path``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from orvanta.backtest import _core

TRADING_DAYS = 252

# The market matrices in the order calc_strategy_vwap_daily_return takes them.
MARKET_ARGS = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)

# The columns of the total backtesting frame.
FRAME_COLUMNS = [
    "daily_return",
    "index_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
    "extra_daily_return",
]

# The statistics keys in the order of a result without any complete row.
EMPTY_STATS_KEYS = [
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
]


def daily_cash(signal_arr, market, total_money, fee, rule_fee, lot_size):
    """Cash earned each day by trading towards the target weights, one day at a time.

    ``market`` holds days x stocks arrays aligned with the signal, under the keys
    _build_market_arrays gives them ("prev_close_arr", "can_buy_arr", ...).
    """
    prev = market["prev_close_arr"]
    can_buy, cant_sell = market["can_buy_arr"], market["cant_sell_arr"]
    split, dividend = market["split_arr"], market["dividend_arr"]
    close, buy, sell = market["close_arr"], market["buy_price_arr"], market["sell_price_arr"]
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = total_money * signal_arr / (prev * lot_size)
    valid = np.isfinite(signal_arr) & np.isfinite(prev) & (prev > 0)
    target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)
    real_target = np.zeros(target.shape[1])
    cash = np.zeros(len(signal_arr))
    for i in range(len(signal_arr)):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy[i], diff, 0.0)
        sell_n = np.where((diff < 0) & ~cant_sell[i], -diff, 0.0)
        hold = real_target - sell_n
        real_target = hold + real_buy
        split_eff = np.where(np.isnan(split[i]), 1.0, split[i])
        dividend_eff = np.nan_to_num(dividend[i], nan=0.0)
        buy_coeff = np.nan_to_num(close[i] - buy[i] * (1 + fee), nan=0.0)
        hold_coeff = np.nan_to_num(split_eff * close[i] - prev[i], nan=0.0)
        sell_coeff = np.nan_to_num(split_eff * sell[i] * (1 - fee - rule_fee) - prev[i], nan=0.0)
        cash[i] = (
            real_buy @ buy_coeff
            + hold @ hold_coeff
            + hold @ dividend_eff
            + sell_n @ sell_coeff
            + sell_n @ dividend_eff
        )
    return cash


def reference_frame(joined):
    """The total backtesting frame built from daily and benchmark returns, written plainly."""
    total = joined.copy().dropna()
    if total.empty:
        return total
    total["extra_daily_return"] = total["daily_return"] - total["index_daily_return"]
    nav = total["daily_return"].cumsum() + 1
    total["long"] = nav / nav.iloc[0]
    if "close" in total.columns:
        first = total["close"].iloc[0]
        if pd.notna(first) and first != 0:
            total["close_net_value"] = total["close"] / first
        else:
            total["close_net_value"] = total["index_daily_return"].cumsum() + 1
    else:
        proxy = total["index_daily_return"].cumsum() + 1
        total["close_net_value"] = proxy / proxy.iloc[0]
        total["close"] = proxy
    total["max_drowdown"] = total["long"] - total["long"].expanding().max()
    cum = total["extra_daily_return"].cumsum()
    total["extra_return"] = cum - cum.iloc[0]
    level = total["extra_return"] + 1
    total["extra_max_drowdown"] = level - level.expanding().max()
    return total


def reference_benchmark_summary(total, benchmark_dict):
    """One row per benchmark sharing a date with the run: its annual return and the
    strategy's excess over it (annual return, Sharpe ratio, deepest drawdown)."""
    rows = []
    for name, series in benchmark_dict.items():
        aligned = series.reindex(total.index).dropna()
        idx = total.index.intersection(aligned.index)
        if idx.empty:
            continue
        excess = total.loc[idx, "daily_return"] - aligned.loc[idx]
        cum = excess.cumsum()
        rows.append(
            {
                "benchmark_name": name,
                "benchmark_annual_return": aligned.loc[idx].mean() * TRADING_DAYS,
                "excess_annual_return": excess.mean() * TRADING_DAYS,
                "excess_sharpe": _core.safe_sharpe(excess, periods=TRADING_DAYS),
                "excess_max_dd": (cum - cum.cummax()).min(),
            }
        )
    return pd.DataFrame(rows)


def reference_stats(total_frame, signal_df):
    """The thirteen strategy statistics of a total backtesting frame, written plainly."""
    total = total_frame.copy().dropna()

    def clean(name):
        return total[name].replace([np.inf, -np.inf], np.nan).dropna()

    daily, bench, extra = (
        clean("daily_return"),
        clean("index_daily_return"),
        clean("extra_daily_return"),
    )
    years = len(total) / TRADING_DAYS
    holding = turnover = np.nan
    if signal_df is not None and len(signal_df):
        values = signal_df.to_numpy(dtype=float)
        holding = float(np.isfinite(values).sum(axis=1).mean())
        if len(values) > 1:
            z = np.nan_to_num(values, nan=0.0)
            turnover = float(np.abs(z[1:] - z[:-1]).sum(axis=1).mean() / 2.0)
    return {
        "annual_return": (total["long"].iloc[-1] - 1) / years * 100,
        "long_sharp": _core.safe_sharpe(daily, periods=TRADING_DAYS),
        "max_dd": abs(total["max_drowdown"].min()),
        "benchmark_annual_return": (total["close_net_value"].iloc[-1] - 1) / years * 100,
        "benchmark_sharp": _core.safe_sharpe(bench, periods=TRADING_DAYS),
        "extra_annual_return": total["extra_return"].iloc[-1] / years * 100,
        "extra_sharp": _core.safe_sharpe(extra, periods=TRADING_DAYS),
        "extra_max_dd": abs(total["extra_max_drowdown"].min()),
        "return_corr": total["daily_return"].corr(total["index_daily_return"]),
        "win_rate": float((daily > 0).mean()) if len(daily) else np.nan,
        "excess_win_rate": float((extra > 0).mean()) if len(extra) else np.nan,
        "holding_count": holding,
        "turnover": turnover,
    }
