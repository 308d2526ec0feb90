"""Helpers shared by the strategy backtest and the factor-group backtest.

``_build_market_arrays`` aligns the market matrices onto the traded days and stocks (native
code; see its docstring for the value of a missing flag), ``safe_sharpe`` is the one
annualised Sharpe ratio every report uses, and ``_with_datetime_index`` gives a table keyed
by trading-date labels a DatetimeIndex for calendar resampling.
"""

from __future__ import annotations

import datetime as _dt
import math

import numpy as np
import pandas as pd

from orvanta.backtest._market_arrays import _build_market_arrays

__all__ = ["_build_market_arrays", "_with_datetime_index", "safe_sharpe"]

# A spread this small next to the mean is rounding noise of a constant series, not risk.
_RELATIVE_SPREAD_FLOOR = 1e-12


def safe_sharpe(returns: object, periods: float = 252) -> float:
    """Annualised Sharpe ratio: mean / sample standard deviation * sqrt(periods).

    Non-finite values are ignored. NaN (never an exception, never a huge number) when fewer
    than two finite values remain or when they do not spread.
    """
    periods = float(periods)
    if not math.isfinite(periods) or periods <= 0:
        raise ValueError(f"periods must be a positive finite number, not {periods!r}")
    if isinstance(returns, (pd.Series, pd.DataFrame, pd.Index)):
        values = returns.to_numpy(dtype="float64", na_value=np.nan).ravel()
    else:
        values = np.asarray(returns, dtype="float64").ravel()
    values = values[np.isfinite(values)]
    if values.size < 2:
        return float("nan")
    mean = float(values.mean())
    if float(values.max()) == float(values.min()):
        return float("nan")
    std = float(values.std(ddof=1))
    if not math.isfinite(std) or std <= _RELATIVE_SPREAD_FLOOR * abs(mean):
        return float("nan")
    sharpe = mean / std * math.sqrt(periods)
    return sharpe if math.isfinite(sharpe) else float("nan")


def _date_labels_to_datetime(index: pd.Index) -> pd.DatetimeIndex:
    if isinstance(index, pd.DatetimeIndex):
        return index
    if len(index) == 0:
        return pd.DatetimeIndex([], name=index.name)
    if pd.api.types.is_integer_dtype(index.dtype):
        return pd.DatetimeIndex(
            pd.to_datetime(index.astype("int64").astype(str), format="%Y%m%d"), name=index.name
        )
    labels = [
        str(int(x)) if isinstance(x, (int, np.integer)) and not isinstance(x, bool) else x
        for x in index
    ]
    if all(isinstance(x, str) and len(x) == 8 and x.isdigit() for x in labels):
        return pd.DatetimeIndex(pd.to_datetime(labels, format="%Y%m%d"), name=index.name)
    bad = next((x for x in labels if not isinstance(x, (str, _dt.date, np.datetime64))), None)
    if bad is not None:
        raise TypeError(
            f"date labels must be YYYYMMDD strings or integers, or dates, not {type(bad).__name__}"
        )
    return pd.DatetimeIndex(pd.to_datetime(labels), name=index.name)


def _with_datetime_index(frame: pd.DataFrame) -> pd.DataFrame:
    """A copy of ``frame`` indexed by a DatetimeIndex.

    Labels may be ``YYYYMMDD`` strings or integers, ISO date strings, or dates/datetimes;
    an empty frame stays empty.
    """
    out = frame.copy()
    out.index = _date_labels_to_datetime(frame.index)
    return out
