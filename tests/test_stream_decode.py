import httpx
import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from arrow_streams import (
    factor_table,
    ipc_stream,
    length_beyond_buffers,
    lying_offsets,
    schema_only_stream,
)
from conftest import SERVICE_KEY, SERVICE_SECRET
from loopback import Response

from orvanta._download import stream_decode
from orvanta._http import HttpClient
from orvanta.exceptions import NetworkError

PATH = "/api/v1/factors/stream"


@pytest.fixture
def one_connection_client(data_service):
    """A client whose pool holds a single connection: a response left unreleased would make
    the next request wait for the pool and fail."""
    transport = httpx.HTTPTransport(limits=httpx.Limits(max_connections=1))
    timeout = httpx.Timeout(5.0, pool=1.0)
    url = data_service.server.url
    with HttpClient(url, SERVICE_KEY, SERVICE_SECRET, timeout=timeout, transport=transport) as c:
        yield c


def assert_connection_free(data_service, http):
    data_service.answers["/api/v1/quota"] = {"available_bytes": 1}
    assert http.get("/api/v1/quota") == {"available_bytes": 1}


def test_batches_become_frames_in_stream_order(data_service, one_connection_client):
    table = factor_table(2_500)
    data_service.answers[PATH] = ipc_stream(table, max_chunksize=1_000)
    data_service.chunk_size = 333
    body = {"factor": ["alpha1"], "start_date": "2024-01-01"}
    frames, schema = stream_decode(one_connection_client, PATH, body)
    assert data_service.requests[0].json() == body
    assert schema.equals(table.schema)
    assert [len(f) for f in frames] == [1_000, 1_000, 500]
    for frame, start in zip(frames, [0, 1_000, 2_000], strict=True):
        expected = table.slice(start, len(frame)).to_pandas()
        pd.testing.assert_frame_equal(frame, expected)
    assert_connection_free(data_service, one_connection_client)


def test_a_stream_without_batches_gives_no_frames_and_its_schema(data_service):
    schema = pa.schema([("date", pa.string()), ("ukey", pa.string()), ("close", pa.float64())])
    data_service.answers[PATH] = schema_only_stream(schema)
    frames, got = stream_decode(orvanta_http(), PATH, {})
    assert frames == []
    assert got.names == ["date", "ukey", "close"]


def orvanta_http():
    from orvanta.singleton import get_instance

    return get_instance().http


def _random_bytes():
    return np.random.default_rng(3).integers(0, 256, 4096, dtype=np.uint8).tobytes()


BAD_BODIES = {
    "empty body": (b"", pa.ArrowInvalid),
    "random bytes": (_random_bytes(), OSError),
    "truncated": (ipc_stream(factor_table(3_000))[:-5_000], OSError),
    "offsets past the data": (lying_offsets(0, 2, 1 << 30), pa.ArrowInvalid),
    # Only a full validation sees this one: the last offset is in bounds.
    "offsets out of order": (lying_offsets(0, 1_000_000, 4), pa.ArrowInvalid),
    "length past the buffers": (length_beyond_buffers(), pa.ArrowInvalid),
}


@pytest.mark.parametrize("body, error", BAD_BODIES.values(), ids=BAD_BODIES.keys())
def test_a_bad_body_raises_and_releases_the_connection(
    data_service, one_connection_client, body, error
):
    data_service.answers[PATH] = body
    for _ in range(2):  # the pool's one connection must be free again each time
        with pytest.raises(error):
            stream_decode(one_connection_client, PATH, {})
    assert_connection_free(data_service, one_connection_client)


def test_a_dropped_connection_raises_network_error(data_service, one_connection_client):
    data = ipc_stream(factor_table(5_000), max_chunksize=500)
    data_service.answers[PATH] = Response(
        200,
        [data[i : i + 1000] for i in range(0, len(data), 1000)],
        chunked=True,
        drop_after=len(data) // 2,
    )
    with pytest.raises(NetworkError):
        stream_decode(one_connection_client, PATH, {})
    assert_connection_free(data_service, one_connection_client)


def test_a_refused_request_raises_network_error_before_decoding(data_service):
    data_service.answers[PATH] = Response.error(400, "factor 不能为空", "bad_request")
    with pytest.raises(NetworkError, match="factor 不能为空"):
        stream_decode(orvanta_http(), PATH, {})


class RecordingHttp:
    """Only the stream context, to see exactly what leaves it."""

    def __init__(self, chunks, swallow=False):
        self.chunks = chunks
        self.swallow = swallow
        self.exits = []

    def stream_post_iter(self, path, body):
        outer = self

        class Context:
            def __enter__(self):
                return iter(outer.chunks)

            def __exit__(self, kind, value, tb):
                outer.exits.append(kind)
                return outer.swallow

        return Context()


def test_the_context_sees_the_decoding_error_on_its_way_out():
    http = RecordingHttp([b"not an arrow stream"])
    with pytest.raises(pa.ArrowInvalid):
        stream_decode(http, PATH, {})
    assert http.exits == [pa.ArrowInvalid]
    wrong_chunk = RecordingHttp(["text, not bytes"])
    with pytest.raises(TypeError, match="chunk must be bytes, not str"):
        stream_decode(wrong_chunk, PATH, {})
    assert wrong_chunk.exits == [TypeError]
    ok = RecordingHttp([ipc_stream(factor_table(10))])
    frames, _ = stream_decode(ok, PATH, {})
    assert len(frames) == 1 and ok.exits == [None]


def test_a_context_that_suppresses_the_error_ends_the_decoding_quietly():
    data = ipc_stream(factor_table(10))
    http = RecordingHttp([data[:-100]], swallow=True)
    frames, schema = stream_decode(http, PATH, {})
    assert frames == [] and schema.names == ["date", "ukey", "value", "factor"]
    assert http.exits == [OSError]


@pytest.mark.parametrize(
    "api_path, body, message",
    [
        (b"/x", {}, "api_path must be str, not bytes"),
        (None, {}, "api_path must be str, not NoneType"),
        ("/x", [], "body must be dict, not list"),
        ("/x", None, "body must be dict, not NoneType"),
    ],
    ids=["bytes path", "no path", "list body", "no body"],
)
def test_wrong_argument_types(api_path, body, message):
    http = RecordingHttp([])
    with pytest.raises(TypeError, match=message):
        stream_decode(http, api_path, body)
    assert http.exits == []
