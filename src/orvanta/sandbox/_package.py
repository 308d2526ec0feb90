"""The benchmark data package: the market's backtest matrices as a zipped store directory.

The service derives the package from its own data with the rules the backtest data builder
uses, so a store unpacked from the package and one filled from a local build hold the same
datasets under the same keys.
"""

from __future__ import annotations

import hashlib
import zipfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from orvanta.backtest._store import BinaryPreparedDataStoreBase, component_dataset_key
from orvanta.sandbox._market import (
    COMPONENT_FACTOR_PREFIX,
    COMPONENT_INDEX_CODES,
    SyntheticMarket,
)

BENCHMARK_CODES = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}
BOOL_DATASETS = ("can_buy_stock", "cant_sell_stock")


@dataclass(frozen=True)
class Package:
    path: Path
    size: int
    sha256: str


def _dates(market: SyntheticMarket) -> pd.Index:
    return pd.Index(np.datetime_as_string(market.dates, unit="D")).str.replace("-", "")


def factor_frame(market: SyntheticMarket, name: str) -> pd.DataFrame:
    """One factor of the market as a date x code matrix (YYYYMMDD dates, six-digit codes)."""
    return pd.DataFrame(market.factors[name], index=_dates(market), columns=pd.Index(market.codes))


def backtest_datasets(market: SyntheticMarket) -> dict[str, pd.DataFrame]:
    """The twelve backtest matrices and the five component masks, by dataset key."""

    close = factor_frame(market, "Close")
    open_ = factor_frame(market, "Open")
    valid = close * 0 + 1
    buy = factor_frame(market, "tick_vwap_price_935_1005")
    sell = factor_frame(market, "tick_vwap_price_925_1000")
    suspended = factor_frame(market, "rq_is_suspended") == 1
    forward = (open_.shift(-2) / open_.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    data = {
        "industry_matrix": factor_frame(market, "rq_industry_exposure_new"),
        "close_price": close,
        "open_price": open_,
        "close_price_valid": valid,
        "prev_close": close.shift(1),
        "buy_price": buy,
        "sell_price": sell,
        "rq_get_split": factor_frame(market, "split_coefficient_to") / 10 * valid,
        "rq_get_dividend": factor_frame(market, "rq_get_dividend") / 10 * 0.9 + (valid - 1),
        "can_buy_stock": ~((buy == factor_frame(market, "limit_up")) | suspended),
        "cant_sell_stock": (sell == factor_frame(market, "limit_down")) | suspended,
        "forward_return_rank_cache": forward.rank(axis=1, method="average"),
    }
    for code in COMPONENT_INDEX_CODES:
        name = COMPONENT_FACTOR_PREFIX + code
        member = factor_frame(market, name)
        mask = member.where(member != 0).notna().astype(float)
        data[component_dataset_key(name)] = mask.where(mask > 0)
    return data


def benchmark_returns(market: SyntheticMarket) -> dict[str, pd.Series]:
    """Daily returns of the three benchmark indices, close over previous close."""
    index = _dates(market)
    out = {}
    for short, code in BENCHMARK_CODES.items():
        bars = market.index_bars[code]
        values = bars["close"] / bars["prev_close"] - 1.0
        out[short] = pd.Series(values, index=index, name="index_daily_return")
    return out


def build_package(market: SyntheticMarket, work_dir: Path) -> Package:
    """Write the store directory under ``work_dir`` and zip it with ``metadata.pkl`` at the root."""

    store_dir = work_dir / "benchmark_store"
    data: dict[str, object] = dict(backtest_datasets(market))
    data["benchmark_dict"] = benchmark_returns(market)
    dates = _dates(market)
    payload = {
        "version": 1,
        "meta": {
            "start_date": dates[0],
            "end_date": dates[-1],
            "source": "orvanta sandbox",
            "seed": market.config.seed,
        },
        "data": data,
    }
    dtypes = {key: "bool" for key in BOOL_DATASETS}
    BinaryPreparedDataStoreBase(store_dir, dtypes, 1, "float64").write_payload(payload)
    archive = work_dir / "benchmark.zip"
    digest = hashlib.sha256()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as zf:
        for path in sorted(p for p in store_dir.rglob("*") if p.is_file()):
            zf.write(path, path.relative_to(store_dir).as_posix())
    with archive.open("rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            digest.update(block)
    return Package(archive, archive.stat().st_size, digest.hexdigest())
