import numpy as np
import pandas as pd

from orvanta.backtest import _vantor

DATES = ["20240102", "20240103", "20240104"]


def one_stock(values, dtype=float):
    return pd.DataFrame({"000001": values}, index=DATES).astype(dtype)


def test_one_stock_buy_then_sell():
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.5, 0.0, np.nan]),
        one_stock([True] * 3, bool),
        one_stock([False] * 3, bool),
        one_stock([np.nan] * 3),
        one_stock([np.nan] * 3),
        one_stock([10.0, 10.2, 10.4]),
        one_stock([9.9, 10.0, 10.2]),
        one_stock([10.0, 10.1, 10.2]),
        one_stock([10.0, 10.2, 10.3]),
        total_money=1e6,
    )
    assert list(result.index) == DATES[1:]
    np.testing.assert_allclose(result.to_numpy(), [4949.5 / 1e6, 4691 / 1e6], rtol=1e-12)
