import os
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final, SupportsFloat, SupportsInt

import pandas as pd
from matplotlib.axes import Axes

_MATPLOTLIB_PLOT_LOCK: Final[threading.RLock]
TRADING_DAYS_PER_YEAR: Final[int]
ROLLING_STABILITY_DAYS: Final[int]
MIN_ROLLING_STABILITY_DAYS: Final[int]

def _smooth_strategy_weights(
    strategy_matrix: pd.DataFrame, rolling_window: SupportsInt
) -> pd.DataFrame: ...
def calc_strategy_vwap_daily_return(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: SupportsFloat = 1e8,
    fee: SupportsFloat = 0.0001,
    rule_fee: SupportsFloat = 0.0005,
    lot_size: SupportsInt = 200,
) -> pd.Series: ...
def _build_total_backtesting_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame: ...
def calc_strategy_stats(
    total_frame: pd.DataFrame, signal_df: pd.DataFrame | None
) -> dict[str, float]: ...
def _period_return_drawdown_calmar(
    daily_return: pd.Series | None,
) -> tuple[float, float, float]: ...
def _calc_yearly_performance_metrics(daily: pd.DataFrame) -> pd.DataFrame: ...
def _format_pct(value: object, digits: SupportsInt = 2) -> str: ...
def _format_pct_points(value: object, digits: SupportsInt = 2) -> str: ...
def _format_num(value: object, digits: SupportsInt = 2) -> str: ...
def _format_annual_excess(annual_excess: pd.Series | Mapping[object, object] | None) -> str: ...
def _build_weekly_net_value_frame(total: pd.DataFrame) -> pd.DataFrame: ...
def _draw_yearly_metrics_table(ax: Axes, yearly_metrics: pd.DataFrame) -> None: ...
def plot_strategy_performance(
    total: pd.DataFrame,
    stats: dict[str, Any],
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_backtest.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
    rolling_window: SupportsInt = 0,
) -> dict[str, str]: ...
def _plot_strategy_performance_unlocked(
    total: pd.DataFrame,
    stats: dict[str, Any],
    strategy_name: str,
    plot_title: str | None,
    save_path: str | os.PathLike[str],
    image_kind: str,
    benchmark_name: str,
    rolling_window: SupportsInt,
) -> None: ...
def plot_weekly_net_value(
    total: pd.DataFrame,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_weekly_net_value.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> dict[str, str]: ...
def _plot_weekly_net_value_unlocked(
    total: pd.DataFrame,
    strategy_name: str,
    plot_title: str | None,
    save_path: str | os.PathLike[str],
    image_kind: str,
    benchmark_name: str,
) -> None: ...

@dataclass
class _StrategyCoreResult:
    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, Any]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str]

def run_strategy_backtest_core(
    strategy_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series] | None = None,
    benchmark_names: str = "000852",
    rolling_window: SupportsInt = 0,
    total_money: SupportsFloat = 1e8,
    fee: SupportsFloat = 0.0001,
    rule_fee: SupportsFloat = 0.0005,
    plot_image_kind: str | None = "large",
    plot_save_path: str | os.PathLike[str] | None = None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
) -> _StrategyCoreResult: ...
