import io

import numpy as np
import pyarrow as pa
import pytest
from arrow_streams import factor_table, ipc_stream, pieces

from orvanta._download import _ChunkBuffer, _StreamReader


def test_is_a_read_only_forward_only_raw_file():
    reader = _StreamReader(iter([]))
    assert isinstance(reader, io.RawIOBase)
    assert (reader.readable(), reader.writable(), reader.seekable()) == (True, False, False)
    assert not reader.closed


def test_small_reads_across_chunk_boundaries_and_empty_chunks():
    reader = _StreamReader(iter([b"ab", b"", b"cd"]))
    assert reader.read(3) == b"abc"
    assert reader.read(3) == b"d"
    assert reader.read(3) == b""
    assert reader.read(3) == b""
    assert reader.read() == b""


def test_read_pulls_only_the_chunks_it_needs():
    pulled = []

    def upstream():
        for chunk in [b"abc", b"def", b"ghi"]:
            pulled.append(chunk)
            yield chunk

    reader = _StreamReader(upstream())
    assert reader.read(0) == b"" and pulled == []
    assert reader.read(2) == b"ab" and pulled == [b"abc"]
    assert reader.read(1) == b"c" and pulled == [b"abc"]
    assert reader.read(4) == b"defg" and len(pulled) == 3


@pytest.mark.parametrize(
    "read_all",
    [lambda r: r.read(), lambda r: r.readall(), lambda r: r.read(-5)],
    ids=["read()", "readall", "read(-5)"],
)
def test_negative_or_missing_size_drains_the_upstream(read_all):
    chunks = [b"x" * 10, b"", b"yz", bytearray(b"!"), memoryview(b"??")]
    reader = _StreamReader(iter(chunks))
    assert reader.read(3) == b"xxx"
    assert read_all(reader) == b"x" * 7 + b"yz!??"
    assert reader.read(1) == b""


def test_readinto_fills_the_front_of_a_larger_buffer():
    reader = _StreamReader(iter([b"abcdef"]))
    assert reader.read(2) == b"ab"
    target = bytearray(b"0123456789")
    assert reader.readinto(target) == 4
    assert target == bytearray(b"cdef456789")
    assert reader.readinto(target) == 0


def test_readinto_numpy_and_memoryview_targets():
    reader = _StreamReader(iter([b"\x01\x02", b"\x03\x04\x05"]))
    array = np.zeros(4, dtype=np.uint8)
    assert reader.readinto(array) == 4
    assert array.tolist() == [1, 2, 3, 4]
    view = memoryview(bytearray(3))
    assert reader.readinto(view) == 1 and view.tobytes() == b"\x05\x00\x00"
    with pytest.raises(BufferError):
        reader.readinto(b"read-only")
    with pytest.raises(TypeError):
        reader.readinto([0, 0])


def test_size_is_converted_like_int():
    reader = _StreamReader(iter([b"abcdef"]))
    assert reader.read(2.9) == b"ab"
    assert reader.read(True) == b"c"
    assert reader.read(np.int64(2)) == b"de"
    with pytest.raises(TypeError, match="n must be int, not str"):
        reader.read("1")
    with pytest.raises(TypeError, match="n must be int, not NoneType"):
        reader.read(None)
    assert reader.read(2**80) == b"f"


def test_errors_of_the_upstream_pass_through_unchanged():
    class Broken(Exception):
        pass

    def upstream():
        yield b"ab"
        raise Broken("connection lost")

    reader = _StreamReader(upstream())
    assert reader.read(2) == b"ab"
    with pytest.raises(Broken, match="connection lost"):
        reader.read(1)


def test_a_chunk_that_is_not_bytes_is_refused():
    reader = _StreamReader(iter(["text"]))
    with pytest.raises(TypeError, match="chunk must be bytes, not str"):
        reader.read(1)


@pytest.mark.parametrize("size", [1, 7, 64 * 1024, None], ids=["1B", "7B", "64KiB", "whole"])
def test_pyarrow_reads_a_real_stream_cut_into_chunks(size):
    table = factor_table(20_000)
    data = ipc_stream(table, max_chunksize=3_000)
    chunks = [data] if size is None else pieces(data, size)
    reader = pa.ipc.open_stream(_StreamReader(iter(chunks)))
    batches = list(reader)
    assert [b.num_rows for b in batches] == [3_000] * 6 + [2_000]
    assert pa.Table.from_batches(batches).equals(table)


def test_many_small_reads_return_every_byte_in_order():
    rng = np.random.default_rng(7)
    data = rng.integers(0, 256, 50_000, dtype=np.uint8).tobytes()
    sizes = rng.integers(0, 300, 1_000)
    reader = _StreamReader(iter(pieces(data, 333)))
    got = b"".join(reader.read(int(n)) for n in sizes) + reader.read()
    assert got == data


def test_upstream_code_rebinding_the_buffer_mid_read_cannot_free_it_under_the_reader():
    def upstream():
        yield b"ab"
        reader._buffer = _ChunkBuffer()  # drops the only other reference to the old buffer
        yield b"cd"
        yield b"ef"

    reader = _StreamReader(upstream())
    assert reader.read(4) == b"abcd"
    assert reader.read() == b"ef"
