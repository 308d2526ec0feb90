"""The main job: a whole research loop against the local sandbox data service.

1. start the sandbox (a synthetic A-share market) and ``orvanta.init`` the SDK client on it;
2. show the traffic quota;
3. download the benchmark data package into a store (with its progress bar);
4. build the same period's backtest data with ``GroupPreparedDataBuilder`` and write it into
   a second store, then check that both stores agree;
5. load the matrices and form the target weights of a simple strategy (below);
6. run ``run_strategy_backtest_core`` against the benchmark dictionary, print the statistics
   and the benchmark summary, and write both charts.

The strategy, "momentum top N": every ``rebalance`` trading days, among the members of the
benchmark index (the "000852" component mask) that trade that day, rank the stocks by their
total return (split- and dividend-adjusted) over the last ``lookback`` days and hold the
``top`` best with equal weights (1/top each, fully invested) until the next rebalance.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import pandas as pd

import orvanta
from orvanta._backtest_files import load_store_market, run_backtest
from orvanta._report import format_benchmark_summary, format_stats
from orvanta.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from orvanta.backtest._store import component_dataset_key
from orvanta.sandbox import MarketConfig, SandboxServer
from orvanta.singleton import set_instance

COMPONENT_FACTOR = "rq_index_components_new_000852.XSHG"
BENCHMARK = "000852"


@dataclass
class DemoResult:
    out_dir: Path
    weights: pd.DataFrame
    result: Any  # the backtest core's result record
    stores: dict[str, Path] = field(default_factory=dict)
    agreement: dict[str, bool] = field(default_factory=dict)
    seconds: float = 0.0


def momentum_weights(
    close: pd.DataFrame,
    prev_close: pd.DataFrame,
    split: pd.DataFrame,
    dividend: pd.DataFrame,
    members: pd.DataFrame,
    *,
    lookback: int = 20,
    top: int = 10,
    rebalance: int = 5,
) -> pd.DataFrame:
    """Target weights of the momentum top-N strategy described in the module docstring."""
    ratio = split.reindex(index=close.index, columns=close.columns).fillna(1.0)
    cash = dividend.reindex(index=close.index, columns=close.columns).fillna(0.0)
    daily = (ratio * close + cash) / prev_close.reindex_like(close) - 1.0
    score = daily.rolling(lookback, min_periods=lookback).sum()
    member = members.reindex(index=close.index, columns=close.columns) == 1.0
    eligible = score.where(member & close.notna())
    picks = pd.DataFrame(np.nan, index=close.index, columns=close.columns)
    for row in range(lookback, len(close.index), rebalance):
        best = eligible.iloc[row].dropna().nlargest(top).index
        picks.iloc[row] = 0.0
        picks.loc[picks.index[row], best] = 1.0 / top
    # Hold each selection until the next rebalance; 0 marks "not held" while filling.
    held = picks.ffill(limit=rebalance - 1)
    return held.where(held > 0)


def _compare(first: dict[str, pd.DataFrame], second: dict[str, pd.DataFrame]) -> dict[str, bool]:
    """Per matrix: equal values (NaN equal to NaN) on the dates and codes both hold."""
    same = {}
    for key, a in first.items():
        b = second[key]
        rows = a.index.intersection(b.index)
        cols = a.columns.intersection(b.columns)
        x = a.loc[rows, cols].to_numpy(dtype=float)
        y = b.loc[rows, cols].to_numpy(dtype=float)
        same[key] = bool(len(rows) and len(cols)) and np.allclose(x, y, equal_nan=True)
    return same


def run_demo(
    out_dir: str | Path = "orvanta_demo",
    config: MarketConfig | None = None,
    *,
    top: int = 10,
    lookback: int = 20,
    rebalance: int = 5,
    out: TextIO = sys.stdout,
) -> DemoResult:
    """Run the main job; every step is reported on ``out``; files go under ``out_dir``."""
    started = time.perf_counter()
    config = config or MarketConfig()
    out_dir = Path(out_dir).expanduser().resolve()
    data_root = out_dir / "backtest_data"
    package_store = data_root / "benchmark_package"
    built_store = data_root / "local_build"
    chart_dir = out_dir / "charts"

    def say(text: str) -> None:
        print(text, file=out, flush=True)

    say(
        f"[1/7] starting the sandbox data service: {config.n_stocks} stocks, "
        f"{config.n_days} trading days from {config.start_date}, seed {config.seed}"
    )
    with SandboxServer(config) as sandbox:
        client = orvanta.init(sandbox.url, sandbox.access_key, sandbox.secret_key)
        try:
            say(f"      serving on {sandbox.url}; SDK client initialised")
            quota = client.get_quota()
            mib = {k: v / 2**20 for k, v in quota.items() if isinstance(v, int)}
            say(
                f"[2/7] quota ({quota.get('license_type', '?')} plan): "
                f"{mib.get('available_bytes', 0):.1f} MiB available = daily "
                f"{mib.get('daily_quota_bytes', 0):.1f} MiB - used "
                f"{mib.get('daily_used_bytes', 0):.1f} MiB + extension packs "
                f"{mib.get('extra_quota_bytes', 0):.1f} MiB"
            )
            say(f"[3/7] downloading the benchmark data package into {package_store}")
            client.download_benchmark_package(package_store)

            first, last = (str(d).replace("-", "") for d in sandbox.market.dates[[0, -1]])
            say(f"[4/7] building backtest data {first}..{last} with GroupPreparedDataBuilder")
            payload = GroupPreparedDataBuilder(first, last).build()
            BinaryPreparedDataStore(built_store).write_payload(payload)
            say(f"      written to {built_store}")
            used = client.get_quota().get("daily_used_bytes", 0)
            say(f"      traffic so far: {used / 2**20:.2f} MiB")
        finally:
            client.close()
            set_instance(None)

    say("[5/7] loading the matrices and forming the strategy's target weights")
    market = load_store_market(built_store)
    packaged = load_store_market(package_store)
    agreement = _compare(market.matrices, packaged.matrices)
    differ = [key for key, same in agreement.items() if not same]
    note = f" (differ: {', '.join(differ)})" if differ else ""
    say(
        f"      package and local build agree on {len(agreement) - len(differ)} of "
        f"{len(agreement)} backtest matrices{note}"
    )
    mask_key = component_dataset_key(COMPONENT_FACTOR)
    members = BinaryPreparedDataStore(built_store).load(keys=[mask_key])["data"][mask_key]
    m = market.matrices
    weights = momentum_weights(
        m["close_price"],
        m["prev_close"],
        m["split_factor"],
        m["dividend_factor"],
        members,
        lookback=lookback,
        top=top,
        rebalance=rebalance,
    )
    weights_file = out_dir / "weights.csv"
    weights.dropna(how="all", axis=1).to_csv(weights_file)
    say(
        f"      momentum top {top} of the {BENCHMARK} members, {lookback}-day lookback, "
        f"rebalanced every {rebalance} days; weights saved to {weights_file}"
    )

    say(f"[6/7] backtesting against benchmark {BENCHMARK}")
    strategy = f"momentum_top{top}_{BENCHMARK}"
    result = run_backtest(weights, market, chart_dir, benchmark=BENCHMARK, strategy_name=strategy)
    say("")
    say(format_stats(result.stats))
    say("")
    say(format_benchmark_summary(result.benchmark_summary))
    say("")
    say("[7/7] charts written:")
    for path in result.plot_paths.values():
        say(f"      {path}")
    seconds = time.perf_counter() - started
    say(f"done in {seconds:.1f} s. Try it on your own weights:")
    script = Path(sys.executable).with_name("orvanta")
    command = str(script) if script.exists() else "orvanta"
    mine = out_dir / "mine"
    say(f"  {command} backtest --weights {weights_file} --store {built_store} --out {mine}")
    return DemoResult(
        out_dir=out_dir,
        weights=weights,
        result=result,
        stores={"package": package_store, "built": built_store},
        agreement=agreement,
        seconds=seconds,
    )
