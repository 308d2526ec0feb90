"""A recording stand-in for the SDK client, answering like the factor and index-bar services."""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import pandas as pd

from orvanta.exceptions import NetworkError

EMPTY_FACTOR_FRAME_COLUMNS = ["date", "ukey", "value", "factor"]
SUFFIX = {"0": ".SZ", "3": ".SZ", "6": ".SH"}


def narrow_frame(name: str, matrix: pd.DataFrame) -> pd.DataFrame:
    """A YYYYMMDD x six-digit matrix as the service's narrow answer (NaN cells omitted)."""
    rows = []
    for date, row in matrix.iterrows():
        iso = f"{date[:4]}-{date[4:6]}-{date[6:]}"
        for code, value in row.items():
            if not pd.isna(value):
                rows.append((iso, code + SUFFIX.get(code[0], ".BJ"), float(value), name))
    return pd.DataFrame(rows, columns=EMPTY_FACTOR_FRAME_COLUMNS)


class FakeSdk:
    """Records every query; ``factors`` maps factor name -> matrix the service holds.

    ``batch_error`` makes every multi-factor query fail with NetworkError; names in
    ``failing`` fail with NetworkError whenever they are queried alone; names in
    ``left_out_of_batch`` are missing from multi-factor answers.
    """

    def __init__(
        self,
        factors: dict[str, pd.DataFrame],
        bars: pd.DataFrame | None = None,
        *,
        batch_error: bool = False,
        failing: Iterable[str] = (),
        left_out_of_batch: Iterable[str] = (),
    ) -> None:
        self.factors = factors
        self.bars = bars
        self.batch_error = batch_error
        self.failing = set(failing)
        self.left_out_of_batch = set(left_out_of_batch)
        self.factor_calls: list[dict] = []
        self.bar_calls: list[dict] = []

    def get_factors(self, ukeys=None, factor=None, start_date=None, end_date=None):
        self.factor_calls.append(
            {"ukeys": ukeys, "factor": factor, "start_date": start_date, "end_date": end_date}
        )
        batch = not isinstance(factor, str)
        names = list(factor) if batch else [factor]
        if batch and self.batch_error:
            raise NetworkError("batch query failed")
        if not batch and factor in self.failing:
            raise NetworkError(f"query of {factor} failed")
        frames = [
            narrow_frame(name, self.factors[name])
            for name in names
            if name in self.factors and not (batch and name in self.left_out_of_batch)
        ]
        frames = [frame for frame in frames if len(frame)]
        if not frames:
            return pd.DataFrame(columns=EMPTY_FACTOR_FRAME_COLUMNS)
        return pd.concat(frames, ignore_index=True)

    def get_marketbar(self, ukeys, fields=None, start_date=None, end_date=None):
        self.bar_calls.append(
            {"ukeys": ukeys, "fields": fields, "start_date": start_date, "end_date": end_date}
        )
        if self.bars is None:
            return pd.DataFrame(columns=["date", "ukey", "close"])
        return self.bars.copy()

    def single_queries(self) -> list[str]:
        return [call["factor"] for call in self.factor_calls if isinstance(call["factor"], str)]

    def batch_queries(self) -> list[list[str]]:
        return [call["factor"] for call in self.factor_calls if not isinstance(call["factor"], str)]


DATES = ["20240102", "20240103", "20240104", "20240105", "20240108"]
CODES = ["000001", "000002", "600000"]
COMPONENT_NAMES = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]


def matrix(values, dates=DATES, codes=CODES) -> pd.DataFrame:
    return pd.DataFrame(np.asarray(values, dtype=float), index=dates, columns=codes)


def market_factors() -> dict[str, pd.DataFrame]:
    """A small market: 5 days x 3 stocks with the corner cases the derivations care about."""
    nan = np.nan
    close = matrix(
        [
            [10.0, 20.0, 5.0],
            [10.5, 20.2, 5.1],
            [10.4, nan, 5.2],
            [11.0, 20.8, 5.0],
            [11.2, 21.0, 5.3],
        ]
    )
    open_ = close * 0.99
    open_.iloc[2, 1] = 20.3
    buy = close * 1.001
    sell = close * 0.999
    limit_up = close * 1.1
    limit_down = close * 0.9
    # 000001 on day 2: the sell price sits at limit-down; the buy price stays below limit-up.
    sell.iloc[1, 0] = 9.45
    limit_down.iloc[1, 0] = 9.45
    # 000002 on day 4: buy price at limit-up.
    buy.iloc[3, 1] = 22.88
    limit_up.iloc[3, 1] = 22.88
    split = matrix(np.full((5, 3), nan))
    split.iloc[1, 0] = 15.0  # ten shares become fifteen
    split.iloc[2, 1] = 12.0  # on a day without a close for 000002
    dividend = matrix(np.full((5, 3), nan))
    dividend.iloc[3, 0] = 2.0  # 2 per ten shares
    suspended = matrix([[0, 0], [0, 1], [0, 0], [0, 1], [0, 0]], codes=["000001", "600000"])
    industry = matrix([[1, 2, 3]] * 5)
    factors = {
        "rq_industry_exposure_new": industry,
        "limit_down": limit_down,
        "limit_up": limit_up,
        "Close": close,
        "Open": open_,
        "tick_vwap_price_935_1005": buy,
        "tick_vwap_price_925_1000": sell,
        "split_coefficient_to": split,
        "rq_get_dividend": dividend,
        "rq_is_suspended": suspended,
    }
    for i, name in enumerate(COMPONENT_NAMES):
        member = np.zeros((5, 3))
        member[:, i % 3] = 1.0
        factors[name] = matrix(member)
    return factors


def index_bars() -> pd.DataFrame:
    """Daily bars of the three benchmark indices, with a `close` column only."""
    rows = []
    for k, code in enumerate(["000852.XSHG", "000300.XSHG", "000905.XSHG"]):
        for i, date in enumerate(DATES):
            rows.append((f"{date[:4]}-{date[4:6]}-{date[6:]}", code, 1000.0 * (k + 1) + 10 * i**2))
    return pd.DataFrame(rows, columns=["date", "ukey", "close"])
