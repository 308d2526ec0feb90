"""Arrow IPC answers of the two bulk queries, produced batch by batch."""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np
import pyarrow as pa

from orvanta.sandbox._market import SyntheticMarket

FACTOR_SCHEMA = pa.schema(
    [("date", pa.date32()), ("ukey", pa.string()), ("value", pa.float64()), ("factor", pa.string())]
)
BATCH_ROWS = 65536


class _ChunkSink:
    """File-like sink for the IPC writer that hands out what was written since the last call."""

    def __init__(self) -> None:
        self._parts: list[bytes] = []
        self._size = 0
        self.closed = False

    def write(self, data: bytes | memoryview) -> int:
        self._parts.append(bytes(data))
        self._size += len(data)
        return len(data)

    def flush(self) -> None:
        pass

    def tell(self) -> int:
        return self._size

    def close(self) -> None:
        self.closed = True

    def take(self) -> bytes:
        data = b"".join(self._parts)
        self._parts.clear()
        return data


def ipc_chunks(schema: pa.Schema, batches: Iterator[pa.RecordBatch]) -> Iterator[bytes]:
    """The IPC stream of ``batches``: one chunk per batch as soon as it is produced."""
    sink = _ChunkSink()
    writer = pa.ipc.new_stream(sink, schema)
    try:
        for batch in batches:
            writer.write_batch(batch)
            yield sink.take()
    finally:
        writer.close()
    yield sink.take()


def factor_batches(
    market: SyntheticMarket, names: list[str], columns: np.ndarray, rows: slice
) -> Iterator[pa.RecordBatch]:
    """Narrow ``date / ukey / value / factor`` batches; cells without a value are left out."""
    ukeys = pa.array(market.ukeys[columns].tolist(), type=pa.string())
    dates = market.dates[rows]
    block = max(1, BATCH_ROWS // max(1, columns.size))
    for name in names:
        matrix = market.factors[name][rows][:, columns]
        label = pa.array([name], type=pa.string())
        for r0 in range(0, matrix.shape[0], block):
            part = matrix[r0 : r0 + block]
            ii, jj = np.nonzero(np.isfinite(part))
            if ii.size == 0:
                continue
            yield pa.record_batch(
                [
                    pa.array(dates[r0 + ii], type=pa.date32()),
                    ukeys.take(pa.array(jj)),
                    pa.array(part[ii, jj], type=pa.float64()),
                    label.take(pa.array(np.zeros(ii.size, dtype=np.int64))),
                ],
                schema=FACTOR_SCHEMA,
            )


def index_schema(fields: list[str]) -> pa.Schema:
    return pa.schema(
        [("date", pa.date32()), ("ukey", pa.string())] + [(f, pa.float64()) for f in fields]
    )


def index_batches(
    market: SyntheticMarket, codes: list[str], fields: list[str], rows: slice
) -> Iterator[pa.RecordBatch]:
    """Wide ``date / ukey / <fields>`` batches, one per index."""
    schema = index_schema(fields)
    dates = market.dates[rows]
    if dates.size == 0:
        return
    for code in codes:
        bars = market.index_bars[code]
        columns = [
            pa.array(dates, type=pa.date32()),
            pa.array([code] * dates.size, type=pa.string()),
        ]
        columns += [pa.array(bars[f][rows], type=pa.float64()) for f in fields]
        yield pa.record_batch(columns, schema=schema)
