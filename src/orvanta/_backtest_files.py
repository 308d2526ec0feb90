"""A backtest from files: a weight matrix (CSV or Parquet) against a prepared-data store."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pandas as pd

from orvanta.dates import normalize_date
from orvanta.exceptions import QuantError

# Argument of the backtest core -> dataset key in a prepared-data store.
MARKET_DATASETS = {
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
    "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend",
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
}
BENCHMARK_DATASET = "benchmark_dict"
MAIN_CHART = "strategy_backtest.png"

_CODE = re.compile(r"^(\d{6})(\.[A-Za-z]+)?$")
_DATE_COLUMNS = ("date", "DataDate", "trade_date", "datetime")


class InputError(QuantError):
    """An input file or directory that cannot be used, explained in one line."""


def _yyyymmdd(label: Any) -> str:
    if isinstance(label, pd.Timestamp):
        return label.strftime("%Y%m%d")
    text = str(label).strip()
    if re.fullmatch(r"\d{8}\.0", text):  # integer dates read back as floats
        text = text[:-2]
    return normalize_date(text[:10] if len(text) > 10 and text[10] in " T" else text).replace(
        "-", ""
    )


def _stock_code(label: Any) -> str:
    text = str(label).strip()
    match = _CODE.match(text)
    return match.group(1) if match else text


def read_weights(path: str | Path) -> pd.DataFrame:
    """Read a date x stock weight matrix; dates become YYYYMMDD, codes their six digits.

    CSV: the first column holds the dates, the header the stock codes. Parquet: the index
    holds the dates, or a column named date, DataDate, trade_date or datetime.
    """
    path = Path(path)
    if not path.is_file():
        raise InputError(f"weights file not found: {path}")
    try:
        if path.suffix.lower() in (".parquet", ".pq"):
            frame = pd.read_parquet(path)
            if isinstance(frame.index, pd.RangeIndex):
                date_column = next((c for c in _DATE_COLUMNS if c in frame.columns), None)
                if date_column is not None:
                    frame = frame.set_index(date_column)
        else:
            frame = pd.read_csv(path, index_col=0)
    except Exception as exc:  # pandas and pyarrow raise many kinds of parse errors
        reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise InputError(f"cannot read weights file {path}: {reason}") from exc
    if frame.empty:
        raise InputError(f"weights file {path} holds no weights")
    try:
        dates = [_yyyymmdd(label) for label in frame.index]
    except (TypeError, ValueError) as exc:
        raise InputError(f"weights file {path}: the first column must hold dates ({exc})") from exc
    try:
        values = frame.apply(pd.to_numeric, errors="raise").astype("float64")
    except (TypeError, ValueError) as exc:
        raise InputError(f"weights file {path} holds a weight that is not a number") from exc
    values.index = pd.Index(dates)
    values.columns = pd.Index([_stock_code(c) for c in values.columns])
    if values.index.has_duplicates:
        raise InputError(f"weights file {path} repeats a date")
    if values.columns.has_duplicates:
        raise InputError(f"weights file {path} repeats a stock code")
    return values.sort_index()


@dataclass
class StoreMarket:
    """The matrices a backtest takes, loaded from a store, and its benchmark series if any."""

    matrices: dict[str, pd.DataFrame]
    benchmarks: dict[str, pd.Series] | None


def load_store_market(
    store_dir: str | Path, start_date: str | None = None, end_date: str | None = None
) -> StoreMarket:
    """Load the eight market matrices (and the benchmark dict when stored) between two dates."""
    from orvanta.backtest._prepare import BinaryPreparedDataStore

    store_dir = Path(store_dir).expanduser()
    if not (store_dir / "metadata.pkl").is_file():
        raise InputError(f"no prepared-data store at {store_dir} (metadata.pkl not found)")
    store = BinaryPreparedDataStore(store_dir)
    recorded = store.load_metadata().get("datasets", {})
    missing = [key for key in MARKET_DATASETS.values() if key not in recorded]
    if missing:
        raise InputError(f"the store at {store_dir} lacks the datasets {', '.join(missing)}")
    keys = list(MARKET_DATASETS.values())
    loaded = store.load(start_date=start_date, end_date=end_date, keys=keys)["data"]
    matrices = {arg: loaded[key] for arg, key in MARKET_DATASETS.items()}
    benchmarks = None
    if BENCHMARK_DATASET in recorded:
        benchmarks = store.load(keys=[BENCHMARK_DATASET])["data"][BENCHMARK_DATASET]
    return StoreMarket(matrices, benchmarks)


def check_overlap(weights: pd.DataFrame, market: StoreMarket, weights_name: str) -> None:
    """Refuse weights that share no stock code or no date with the store."""
    close = market.matrices["close_price"]
    codes = weights.columns.intersection(close.columns)
    if codes.empty:
        sample = ", ".join(map(str, weights.columns[:3]))
        raise InputError(
            f"none of the {weights.shape[1]} stock codes in {weights_name} ({sample}...) "
            "match a stock in the store"
        )
    if weights.index.intersection(close.index).empty:
        span = f"{close.index.min()}..{close.index.max()}" if len(close.index) else "no dates"
        raise InputError(
            f"the dates of {weights_name} ({weights.index.min()}..{weights.index.max()}) "
            f"do not overlap the store ({span})"
        )


def run_backtest(
    weights: pd.DataFrame,
    market: StoreMarket,
    out_dir: str | Path,
    *,
    benchmark: str = "000852",
    strategy_name: str = "strategy",
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    rolling_window: int = 0,
) -> Any:
    """Run the backtest core with both charts written into ``out_dir``; return its result."""
    from orvanta.backtest._vantor import run_strategy_backtest_core

    out = Path(out_dir).expanduser()
    out.mkdir(parents=True, exist_ok=True)
    return run_strategy_backtest_core(
        weights,
        **market.matrices,
        benchmark_dict=dict(market.benchmarks) if market.benchmarks is not None else None,
        benchmark_names=benchmark,
        rolling_window=rolling_window,
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        plot_save_path=str(out / MAIN_CHART),
        strategy_name=strategy_name,
    )
