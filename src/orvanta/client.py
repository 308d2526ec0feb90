"""The SDK client: one signed HTTP connection and the query services on top of it."""

from __future__ import annotations

import datetime as _dt
import os
from pathlib import Path
from typing import Any

import pandas as pd

from orvanta._calendar import CalendarService
from orvanta._factor import FactorService
from orvanta._http import HttpClient
from orvanta._marketbar import IndexDailyService
from orvanta._quota import Quota, QuotaService
from orvanta._stock import StockService
from orvanta.dates import DateLike


class OrvantaClient:
    """Entry point for users: every data-service query hangs off this object.

    Create it with :func:`orvanta.init`; reach it again anywhere with
    :func:`orvanta.get_instance`.
    """

    def __init__(self, http: HttpClient) -> None:
        self.http = http
        self.factors = FactorService(http)
        self.index_daily = IndexDailyService(http)
        self.calendar = CalendarService(http)
        self.stocks = StockService(http)
        self.quota = QuotaService(http)

    def close(self) -> None:
        self.http.close()

    def download_benchmark_package(self, store_dir: str | os.PathLike[str]) -> Path:
        """Download the backtest benchmark data package and unpack it into ``store_dir``.

        ``store_dir`` may start with ``~`` and need not exist; the transfer goes through
        ``temp/benchmark.part`` beside it and resumes an interrupted earlier attempt.
        Returns the store directory with ``~`` expanded.
        """
        from orvanta.backtest._pkg import download_benchmark_package

        return download_benchmark_package(self.http, store_dir)

    # Factor values and the factor list.

    def get_factors(
        self,
        ukeys: str | list[str] | None = None,
        factor: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame:
        """Factor values as a narrow table with the columns date, ukey, value, factor.

        ``ukeys``: one stock code or a list ("000001" or "000001.SZ"); None means the whole
        market. ``factor``: one factor name or a list, e.g. "alpha1" or ["alpha1", "vwap"].
        ``start_date`` (required by the service) and ``end_date`` (default: today): int
        YYYYMMDD, str, date, datetime or pandas Timestamp. The answer is decoded in memory
        while it arrives; persist it yourself if you need to (``df.to_parquet(...)``).
        """
        return self.factors.get_factors(ukeys, factor, start_date, end_date)

    def list_factors(self) -> list[dict[str, Any]]:
        """The factors the service knows: "factorname", "startDate" and "endDate" of each."""
        return self.factors.list_factors()

    # Index daily bars.

    def get_marketbar(
        self,
        ukeys: str | list[str],
        fields: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame:
        """Daily bars of indices ("000001.XSHG", ...): date, ukey, then the bar columns.

        ``fields``: the bar columns to return, e.g. "close" or ["open", "close"]; omitted or
        empty means all of them.
        """
        return self.index_daily.get_marketbar(ukeys, fields, start_date, end_date)

    # Trading calendar.

    def get_trading_dates(self, start_date: DateLike, end_date: DateLike) -> list[_dt.date]:
        """All trading days from ``start_date`` to ``end_date``, both included, ascending."""
        return self.calendar.get_trading_dates(start_date, end_date)

    def get_previous_trading_date(self, current_date: DateLike, n: int = 1) -> _dt.date:
        """The ``n``-th trading day before ``current_date`` (which never counts)."""
        return self.calendar.get_previous_trading_date(current_date, n)

    def get_next_trading_date(self, current_date: DateLike, n: int = 1) -> _dt.date:
        """The ``n``-th trading day after ``current_date`` (which never counts)."""
        return self.calendar.get_next_trading_date(current_date, n)

    def is_trading_date(self, current_date: DateLike) -> bool:
        """Whether ``current_date`` is a trading day."""
        return self.calendar.is_trading_date(current_date)

    # Instruments and quota.

    def list_stocks(self) -> pd.DataFrame:
        """All instruments, with the columns ukey, industry_name and symbol."""
        return self.stocks.list_stocks()

    def get_quota(self) -> Quota:
        """The current user's data-traffic quota."""
        return self.quota.get_quota()
