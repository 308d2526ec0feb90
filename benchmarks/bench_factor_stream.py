"""get_factors end to end over a loopback server, against decoding the same bytes in memory.

A factor answer of 5 million rows x 4 columns (date, ukey, value, factor) as an Arrow IPC
stream is served by the loopback test server in 64 KiB chunks. The server runs in its own
process, so the measuring process does only the client's work.

1. Time: ``get_instance().get_factors(...)`` end to end, against
   ``pyarrow.ipc.open_stream`` over the same bytes held in memory + ``to_pandas``
   (target: ratio <= 1.5).
   Where the time goes is printed too: the bare HTTP transfer (the chunks iterated and
   dropped), the decoding of the same 64 KiB chunks held in memory (no HTTP) and the full
   validation of every batch that the decoder does before converting it.
2. Memory: peak RSS growth of a fresh process during one ``get_factors`` call, against the
   deep memory size of the frame it returns (target: ratio < 2).

``--rows`` changes the size (default 5,000,000).
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pyarrow as pa

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

CHUNK = 64 * 1024
BATCH_ROWS = 65_536
KEY, SECRET = "AK-bench", "bench-secret"


def factor_answer(rows: int) -> pa.Table:
    """Rows ordered by date, then stock, then factor, as the service sends them."""
    n_factors, n_stocks = 4, 1000
    i = np.arange(rows)
    dates = pa.array([str(d) for d in np.arange("2019-01-01", "2030-01-01", dtype="M8[D]")])
    stocks = pa.array([f"{600000 + k:06d}.SH" for k in range(n_stocks)])
    factors = pa.array(["alpha1", "vwap", "turnover_20d", "momentum_60d"])
    rng = np.random.default_rng(0)
    return pa.table(
        {
            "date": dates.take(pa.array(i // (n_factors * n_stocks))),
            "ukey": stocks.take(pa.array(i // n_factors % n_stocks)),
            "value": rng.standard_normal(rows),
            "factor": factors.take(pa.array(i % n_factors)),
        }
    )


def write_stream(table: pa.Table, path: Path) -> None:
    with pa.OSFile(str(path), "wb") as sink, pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table, max_chunksize=BATCH_ROWS)


def serve(path: str) -> None:
    """Serve the stream at `path` to every POST until stdin closes."""
    from loopback import LoopbackServer, Response

    data = memoryview(Path(path).read_bytes())

    def handler(request):
        pieces = (data[i : i + CHUNK] for i in range(0, len(data), CHUNK))
        return Response(
            200, pieces, {"Content-Type": "application/vnd.apache.arrow.stream"}, chunked=True
        )

    with LoopbackServer(handler) as server:
        print(server.url, flush=True)
        sys.stdin.read()


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def connect(url: str) -> None:
    import orvanta

    orvanta.init(url, KEY, SECRET, timeout=60)


def get_factors():
    from orvanta import get_instance

    return get_instance().get_factors(factor=["alpha1", "vwap"], start_date=20190101)


def measure_memory(url: str) -> None:
    """In a fresh process: RSS growth during one call, and the size of the frame."""
    connect(url)  # imports and the HTTP client, before the baseline
    gc.collect()
    before = rss_bytes()
    df = get_factors()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    frame = int(df.memory_usage(deep=True).sum())
    print(json.dumps({"growth": peak - before, "frame": frame, "rows": len(df)}))


def bare_transfer() -> int:
    from orvanta import get_instance

    with get_instance().http.stream_post_iter("/api/v1/factors/stream", {}) as chunks:
        return sum(len(chunk) for chunk in chunks)


class ChunksInMemory:
    """Stands in for HttpClient: the same chunks, without the network."""

    def __init__(self, data: bytes) -> None:
        self.chunks = [data[i : i + CHUNK] for i in range(0, len(data), CHUNK)]

    @contextlib.contextmanager
    def stream_post_iter(self, path, body):
        yield iter(self.chunks)


def timed(fn, repeat: int = 3) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=5_000_000)
    parser.add_argument("--serve")
    parser.add_argument("--measure-memory")
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve)
    if args.measure_memory:
        return measure_memory(args.measure_memory)

    import pandas as pd

    from orvanta._download import stream_decode

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "answer.arrows"
        table = factor_answer(args.rows)
        write_stream(table, path)
        del table
        size = path.stat().st_size
        server = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(path)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            url = server.stdout.readline().strip()
            memory = json.loads(
                subprocess.run(
                    [sys.executable, __file__, "--measure-memory", url],
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
            )

            connect(url)
            t_sdk, df = timed(get_factors)
            t_transfer, _ = timed(bare_transfer)
            data = path.read_bytes()
            t_mem, expected = timed(lambda: pa.ipc.open_stream(data).read_all().to_pandas())
            pd.testing.assert_frame_equal(df, expected)
            del df, expected
            memory_http = ChunksInMemory(data)
            t_decode, _ = timed(
                lambda: pd.concat(stream_decode(memory_http, "/x", {})[0], ignore_index=True)
            )
            batches = list(pa.ipc.open_stream(data))
            t_validate, _ = timed(lambda: [b.validate(full=True) for b in batches])
        finally:
            server.stdin.close()
            server.wait(timeout=30)

    print(
        f"factor answer: {args.rows:,} rows x 4 columns, {size / 2**20:.0f} MiB of Arrow IPC "
        f"in {CHUNK // 1024} KiB chunks, batches of {BATCH_ROWS:,} rows"
    )
    print(
        f"get_factors end to end (loopback HTTP):  {t_sdk:.3f} s ({size / 2**20 / t_sdk:.0f} MiB/s)"
    )
    print(f"open_stream(bytes in memory) + to_pandas: {t_mem:.3f} s")
    print(f"time ratio: {t_sdk / t_mem:.2f}  (target <= 1.5)")
    print(f"  of which the bare HTTP transfer (chunks iterated, dropped): {t_transfer:.3f} s")
    print(
        f"  decoding the same 64 KiB chunks held in memory + concat:   {t_decode:.3f} s "
        f"(ratio {t_decode / t_mem:.2f})"
    )
    print(f"    of which validate(full=True) of every batch:              {t_validate:.3f} s")
    print(
        f"peak memory growth during get_factors: {memory['growth'] / 2**20:.0f} MiB, "
        f"final frame {memory['frame'] / 2**20:.0f} MiB"
    )
    print(f"memory ratio: {memory['growth'] / memory['frame']:.2f}  (target < 2)")


if __name__ == "__main__":
    main()
