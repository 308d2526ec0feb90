import numpy as np
import pandas as pd

def _build_market_arrays(
    pnl_index: pd.Index,
    columns: pd.Index,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]: ...
