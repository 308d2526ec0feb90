"""Arrow IPC streams written by pyarrow's own writer, for the decoding tests."""

from __future__ import annotations

import io
import struct

import pyarrow as pa


def ipc_stream(table: pa.Table, max_chunksize: int | None = None) -> bytes:
    """The stream pyarrow writes for ``table``: its schema, then its batches."""
    sink = io.BytesIO()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table, max_chunksize=max_chunksize)
    return sink.getvalue()


def schema_only_stream(schema: pa.Schema) -> bytes:
    sink = io.BytesIO()
    with pa.ipc.new_stream(sink, schema):
        pass
    return sink.getvalue()


def pieces(data: bytes, size: int) -> list[bytes]:
    return [data[i : i + size] for i in range(0, len(data), size)]


def factor_table(rows: int, start: int = 0) -> pa.Table:
    n = range(start, start + rows)
    return pa.table(
        {
            "date": [f"2024-01-{1 + i % 28:02d}" for i in n],
            "ukey": [f"{i % 5000:06d}.SZ" for i in n],
            "value": [i * 0.5 for i in n],
            "factor": ["alpha1" if i % 2 else "vwap" for i in n],
        }
    )


def lying_offsets(*offsets: int) -> bytes:
    """A stream whose string batch ["ab", "cd"] carries ``offsets`` in place of (0, 2, 4)
    over its 4-byte data buffer."""
    data = ipc_stream(pa.table({"s": ["ab", "cd"]}))
    honest = struct.pack("<3i", 0, 2, 4)
    assert data.count(honest) == 1
    return data.replace(honest, struct.pack("<3i", *offsets))


def length_beyond_buffers() -> bytes:
    """A stream whose batch claims a billion rows while its buffers hold 7777 values."""
    data = ipc_stream(pa.table({"x": pa.array(range(7777), pa.int64())}))
    honest = struct.pack("<q", 7777)
    assert data.count(honest) >= 2  # the batch length and the column's node length
    return data.replace(honest, struct.pack("<q", 1_000_000_000))
