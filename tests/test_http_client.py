import threading

import httpx
import pytest
from loopback import LoopbackServer, Response, free_port, signature_ok

from orvanta._http import API_PREFIX, HttpClient
from orvanta.exceptions import NetworkError

SECRET = "server-secret"
KEY = "AK-test"


def signed(handler):
    """Wrap a handler so that unsigned or wrongly signed requests get 401."""

    def check(request):
        if request.headers.get("X-Api-Key") != KEY or not signature_ok(SECRET, request):
            return Response.error(401, "签名校验失败", "bad_signature")
        return handler(request)

    return check


def client(url, secret=SECRET, **kw):
    return HttpClient(url, KEY, secret, backoff=0.01, timeout=5, **kw)


def test_get_sends_sorted_form_encoded_params_and_returns_data():
    with LoopbackServer(signed(lambda r: Response.data({"echo": r.params}))) as srv:
        params = {"zeta": "a b/c", "date": "2024-01-02", "n": 3}
        answer = client(srv.url).get(API_PREFIX + "/calendar/next", params=params)
    assert answer == {"echo": {"zeta": "a b/c", "date": "2024-01-02", "n": "3"}}
    request = srv.requests[0]
    assert request.target == "/api/v1/calendar/next?date=2024-01-02&n=3&zeta=a+b%2Fc"


def test_bad_secret_is_refused_with_network_error():
    with LoopbackServer(signed(lambda r: Response.data(1))) as srv:
        with pytest.raises(NetworkError, match="401.*签名校验失败") as info:
            client(srv.url, secret="wrong").get("/api/v1/quota")
    assert info.value.status == 401


def test_streamed_post_body_arrives_in_chunks():
    chunks = [b"ab", b"", b"cde" * 1000, b"f"]

    def handler(request):
        assert request.json() == {"factor": ["alpha1"], "名": "值"}
        assert request.headers["Content-Type"] == "application/json"
        return Response(200, iter(chunks), chunked=True)

    with LoopbackServer(signed(handler)) as srv:
        with client(srv.url).stream_post_iter(
            "/api/v1/factors/stream", {"factor": ["alpha1"], "名": "值"}
        ) as it:
            got = list(it)
    assert b"".join(got) == b"".join(chunks)
    assert len([c for c in got if c]) >= 2


def test_5xx_is_retried_then_raised():
    with LoopbackServer(lambda r: Response.error(503, "busy")) as srv:
        with pytest.raises(NetworkError, match="503"):
            client(srv.url, retries=2).get("/api/v1/quota")
    assert len(srv.requests) == 3
    nonces = {r.headers["X-Nonce"] for r in srv.requests}
    assert len(nonces) == 3, "every retry must be signed afresh"


def test_transient_5xx_recovers():
    answers = iter([Response.error(502, "gateway"), Response.data([1, 2])])
    with LoopbackServer(lambda r: next(answers)) as srv:
        assert client(srv.url, retries=1).get("/api/v1/stocks") == [1, 2]


def test_connection_refused_raises_network_error():
    with pytest.raises(NetworkError, match="连接失败") as info:
        client(f"http://127.0.0.1:{free_port()}", retries=1).get("/api/v1/quota")
    assert info.value.cause is not None


@pytest.mark.parametrize(
    "response",
    [
        pytest.param(Response(200, b"not json"), id="not-json"),
        pytest.param(Response.json([1, 2]), id="no-envelope"),
        pytest.param(Response.error(404, "no such path"), id="404"),
    ],
)
def test_bad_answers_raise_network_error(response):
    with LoopbackServer(lambda r: response) as srv:
        with pytest.raises(NetworkError):
            client(srv.url, retries=0).get("/api/v1/quota")


def test_failed_stream_answer_raises_with_service_message():
    with LoopbackServer(lambda r: Response.error(400, "factor 不存在")) as srv:
        with pytest.raises(NetworkError, match="400.*factor 不存在"):
            with client(srv.url).stream_post_iter("/api/v1/factors/stream", {}) as it:
                list(it)


def test_stream_dropped_midway_raises_network_error():
    body = [b"x" * 1000] * 10
    with LoopbackServer(lambda r: Response(200, body, chunked=True, drop_after=2500)) as srv:
        with pytest.raises(NetworkError):
            with client(srv.url).stream_post_iter("/api/v1/factors/stream", {}) as it:
                list(it)


def test_leaving_stream_by_exception_releases_connection():
    released = threading.Event()

    def handler(request):
        if request.method == "GET":
            return Response.data("ok")

        def endless():
            try:
                for _ in range(10_000):  # bounded; never reached when the client lets go
                    yield b"y" * 65536
            finally:
                released.set()

        return Response(200, endless(), chunked=True)

    # One pooled connection only: if the stream kept it, the GET below would time out.
    transport = httpx.HTTPTransport(limits=httpx.Limits(max_connections=1))
    with LoopbackServer(handler) as srv:
        http = HttpClient(srv.url, KEY, SECRET, timeout=10, retries=0, transport=transport)
        with pytest.raises(RuntimeError, match="stop"):
            with http.stream_post_iter("/api/v1/factors/stream", {}) as it:
                next(it)
                raise RuntimeError("stop")
        assert http.get("/api/v1/quota") == "ok"
        assert released.wait(10)
