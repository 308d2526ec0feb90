import threading
from typing import Final, SupportsFloat, SupportsInt

import pandas as pd

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
