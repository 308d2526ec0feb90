"""Sandbox speed: market generation, and a whole-market factor query through the real client.

Baselines measured in the same run: generation against the time numpy needs to draw the
market's random numbers alone; the query against encoding the same rows as one Arrow IPC
stream in memory and decoding it to pandas (what any Arrow service and client must do).
"""

from __future__ import annotations

import time

import numpy as np
import pyarrow as pa

import orvanta
from orvanta.sandbox import MarketConfig, SandboxServer, generate_market
from orvanta.singleton import set_instance


def best_of(runs: int, fn) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    config = MarketConfig(seed=1, n_stocks=1000, n_days=1000)
    shape = (config.n_days, config.n_stocks)

    def draws() -> None:
        rng = np.random.default_rng(1)
        for _ in range(7):
            rng.standard_normal(shape)
        rng.standard_t(4, size=shape)

    gen = best_of(2, lambda: generate_market(config))
    base = best_of(2, draws)
    print(f"generate 1000 stocks x 1000 days: {gen:.2f} s; random draws alone {base:.2f} s; "
          f"ratio {gen / base:.1f}")  # fmt: skip

    market = generate_market(config)
    with SandboxServer(market=market) as sandbox:
        client = orvanta.init(sandbox.url, sandbox.access_key, sandbox.secret_key)
        try:
            start_date = str(market.dates[0])
            frame = client.get_factors(factor="Close", start_date=start_date)
            query = best_of(3, lambda: client.get_factors(factor="Close", start_date=start_date))
        finally:
            client.close()
            set_instance(None)
    table = pa.Table.from_pandas(frame, preserve_index=False)

    def in_memory() -> None:
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table, max_chunksize=65536)
        pa.ipc.open_stream(sink.getvalue()).read_all().to_pandas()

    memory = best_of(3, in_memory)
    print(f"whole-market factor query ({len(frame):,} rows) over loopback HTTP: {query:.3f} s; "
          f"in-memory IPC encode+decode {memory:.3f} s; ratio {query / memory:.1f}")  # fmt: skip


if __name__ == "__main__":
    main()
