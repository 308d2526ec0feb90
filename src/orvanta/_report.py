"""Plain-text tables of a backtest's statistics and benchmark summary for the terminal."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import pandas as pd

# (statistics key, label, kind): "pp" values are percent points already, "pct" are ratios.
_STAT_ROWS = (
    ("annual_return", "Annual return", "pp"),
    ("long_sharp", "Sharpe ratio", "num"),
    ("max_dd", "Max drawdown", "pct"),
    ("benchmark_annual_return", "Benchmark annual return", "pp"),
    ("benchmark_sharp", "Benchmark Sharpe ratio", "num"),
    ("extra_annual_return", "Excess annual return", "pp"),
    ("extra_sharp", "Excess Sharpe ratio", "num"),
    ("extra_max_dd", "Excess max drawdown", "pct"),
    ("return_corr", "Correlation with benchmark", "num"),
    ("win_rate", "Winning days", "pct"),
    ("excess_win_rate", "Days beating the benchmark", "pct"),
    ("holding_count", "Average holdings", "count"),
    ("turnover", "Average daily turnover", "pct"),
)

_SUMMARY_COLUMNS = (
    ("benchmark_name", "Benchmark", "text"),
    ("benchmark_annual_return", "Index ann. return", "pct"),
    ("excess_annual_return", "Excess ann. return", "pct"),
    ("excess_sharpe", "Excess Sharpe", "num"),
    ("excess_max_dd", "Excess max DD", "pct"),
)


def _missing(value: Any) -> bool:
    try:
        return value is None or math.isnan(float(value))
    except (TypeError, ValueError):
        return False


def format_value(value: Any, kind: str) -> str:
    """One statistic as text; a missing or undefined value shows as "--"."""
    if kind == "text":
        return str(value)
    if _missing(value):
        return "--"
    number = float(value)
    if kind == "pp":
        return f"{number:.2f}%"
    if kind == "pct":
        return f"{number * 100:.2f}%"
    if kind == "count":
        return f"{number:.1f}"
    return f"{number:.3f}"


def _table(header: list[str], rows: list[list[str]], right: list[bool]) -> str:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]

    def line(cells: list[str]) -> str:
        return "  ".join(
            c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right, strict=True)
        ).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(header), rule, *(line(r) for r in rows)])


def format_stats(stats: Mapping[str, Any]) -> str:
    """The thirteen statistics as a two-column table, in their usual order."""
    rows = [[label, format_value(stats.get(key), kind)] for key, label, kind in _STAT_ROWS]
    return _table(["Statistic", "Value"], rows, [False, True])


def format_benchmark_summary(summary: pd.DataFrame) -> str:
    """One row per benchmark: index return and the strategy's excess over it."""
    if summary is None or summary.empty:
        return "(no benchmark overlaps the backtest period)"
    rows = [
        [format_value(record.get(key), kind) for key, _label, kind in _SUMMARY_COLUMNS]
        for record in summary.to_dict("records")
    ]
    header = [label for _key, label, _kind in _SUMMARY_COLUMNS]
    return _table(header, rows, [False, True, True, True, True])
