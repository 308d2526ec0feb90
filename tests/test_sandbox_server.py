"""The sandbox data service over real loopback HTTP: signatures, answers, streams, quota, Range."""

import functools
import json
import secrets
import socket
import threading
import time

import httpx
import numpy as np
import pyarrow as pa
import pytest
from loopback import expected_signature

from orvanta._http import API_PREFIX, HttpClient
from orvanta.exceptions import NetworkError
from orvanta.sandbox import MarketConfig, SandboxServer, generate_market

SMALL = MarketConfig(seed=11, n_stocks=40, n_days=120, start_date="2024-01-02")


@pytest.fixture(scope="module")
def market():
    return generate_market(SMALL)


@pytest.fixture(scope="module")
def sandbox(market):
    with SandboxServer(market=market) as server:
        yield server


# One connection pool for the hand-made requests: creating a client costs ~0.1 s.
WEB = httpx.Client(trust_env=False, timeout=30)


@pytest.fixture(scope="module", autouse=True)
def _close_web():
    yield
    WEB.close()


@functools.cache
def client_for(server, secret=None):
    return HttpClient(server.url, server.access_key, secret or server.secret_key, retries=0)


def raw_request(server, method, path, *, query="", body=b"", secret=None, ts=None, nonce=None):
    """A request signed by hand with the standard library, with any timestamp and nonce."""
    target = f"{path}?{query}" if query else path
    ts = str(int(time.time()) if ts is None else ts)
    nonce = nonce or secrets.token_hex(32)
    headers = {
        "X-Api-Key": server.access_key,
        "X-Timestamp": ts,
        "X-Nonce": nonce,
        "X-Signature": expected_signature(
            secret or server.secret_key, method, target, ts, nonce, body
        ),
    }
    if body:
        headers["Content-Type"] = "application/json"
    return WEB.request(method, server.url + target, headers=headers, content=body)


def error_code(response):
    return response.json()["error"]["code"]


# ---------------------------------------------------------------- signatures


def test_correctly_signed_request_within_the_window_is_answered(sandbox):
    response = raw_request(sandbox, "GET", API_PREFIX + "/quota", ts=int(time.time()) - 200)
    assert response.status_code == 200
    assert response.json()["data"]["license_type"] == "sandbox"


@pytest.mark.parametrize(
    "change, code",
    [
        ({"secret": "not-the-secret"}, "bad_signature"),
        # Well past the 300 s window: the whole-second timestamp and the server's float
        # clock differ by up to a second (more on a loaded machine).
        ({"ts": -330}, "stale_timestamp"),
        ({"ts": +330}, "stale_timestamp"),
    ],
    ids=["wrong-secret", "stale", "future"],
)
def test_refused_signatures_get_401_json_error(sandbox, change, code):
    kwargs = dict(change)
    if "ts" in kwargs:
        kwargs["ts"] = int(time.time()) + kwargs["ts"]
    response = raw_request(sandbox, "GET", API_PREFIX + "/quota", **kwargs)
    assert response.status_code == 401
    assert response.headers["content-type"].startswith("application/json")
    assert error_code(response) == code


def test_replayed_nonce_is_refused_even_with_a_valid_signature(sandbox):
    ts, nonce = int(time.time()), secrets.token_hex(32)
    first = raw_request(sandbox, "GET", API_PREFIX + "/quota", ts=ts, nonce=nonce)
    again = raw_request(sandbox, "GET", API_PREFIX + "/quota", ts=ts, nonce=nonce)
    assert first.status_code == 200
    assert again.status_code == 401 and error_code(again) == "replayed_nonce"


def test_signature_covers_query_and_body(sandbox):
    path = API_PREFIX + "/calendar/next"
    ts, nonce = str(int(time.time())), secrets.token_hex(32)
    signed_for = f"{path}?date=2024-01-02&n=1"
    headers = {
        "X-Api-Key": sandbox.access_key,
        "X-Timestamp": ts,
        "X-Nonce": nonce,
        "X-Signature": expected_signature(sandbox.secret_key, "GET", signed_for, ts, nonce, b""),
    }
    tampered = WEB.get(sandbox.url + f"{path}?date=2024-01-02&n=5", headers=headers)
    assert tampered.status_code == 401 and error_code(tampered) == "bad_signature"

    body = b'{"factor":["Close"],"start_date":"2024-01-02"}'
    headers = {
        "X-Api-Key": sandbox.access_key,
        "X-Timestamp": ts,
        "X-Nonce": secrets.token_hex(32),
        "Content-Type": "application/json",
    }
    headers["X-Signature"] = expected_signature(
        sandbox.secret_key, "POST", API_PREFIX + "/factors/stream", ts, headers["X-Nonce"], body
    )
    swapped = body.replace(b"Close", b"Open_")
    response = WEB.post(
        sandbox.url + API_PREFIX + "/factors/stream", headers=headers, content=swapped
    )
    assert response.status_code == 401 and error_code(response) == "bad_signature"


def test_unsigned_and_unknown_key_requests_are_refused(sandbox):
    bare = WEB.get(sandbox.url + API_PREFIX + "/quota")
    assert bare.status_code == 401 and error_code(bare) == "missing_signature"
    other = HttpClient(sandbox.url, "someone-else", sandbox.secret_key, retries=0)
    with pytest.raises(NetworkError, match="401") as info:
        other.get(API_PREFIX + "/quota")
    assert info.value.status == 401


def test_package_client_with_wrong_secret_gets_network_error(sandbox):
    with pytest.raises(NetworkError, match="签名校验失败"):
        client_for(sandbox, secret="wrong").get(API_PREFIX + "/stocks")


# ---------------------------------------------------------------- GET answers


def test_calendar_answers_agree_with_each_other(sandbox):
    http = client_for(sandbox)
    days = http.get(
        API_PREFIX + "/calendar/trading-dates",
        params={"start_date": "2024-01-01", "end_date": "2024-03-31"},
    )
    all_days = np.arange(np.datetime64("2024-01-01"), np.datetime64("2024-04-01"))
    weekdays = [str(d) for d in all_days if (d.astype(int) + 3) % 7 < 5]
    assert set(days) < set(weekdays)
    closed = sorted(set(weekdays) - set(days))
    assert "2024-01-01" in closed and len(closed) >= 5  # new year and the spring festival week
    assert days == sorted(days)
    for day in ("2024-02-07", "2024-02-17", "2024-01-06"):
        is_trading = http.get(API_PREFIX + "/calendar/is-trading-date", params={"date": day})
        assert is_trading == {"is_trading": day in days}
    # Next and previous skip the closed days, and the given day itself never counts.
    before_break = max(d for d in days if d < closed[-1])
    after_break = min(d for d in days if d > closed[-1])
    assert http.get(API_PREFIX + "/calendar/next", params={"date": before_break, "n": 1}) == {
        "date": after_break
    }
    assert http.get(API_PREFIX + "/calendar/previous", params={"date": after_break}) == {
        "date": before_break
    }
    assert http.get(API_PREFIX + "/calendar/next", params={"date": after_break, "n": 3}) == {
        "date": days[days.index(after_break) + 3]
    }


@pytest.mark.parametrize(
    "path, params",
    [
        ("/calendar/next", {"date": "2024-13-01"}),
        ("/calendar/previous", {"date": "2024-01-05", "n": 0}),
        ("/calendar/trading-dates", {"start_date": "2024-01-01"}),
    ],
    ids=["bad-date", "n-zero", "missing-end"],
)
def test_bad_query_parameters_give_400(sandbox, path, params):
    with pytest.raises(NetworkError, match="400") as info:
        client_for(sandbox).get(API_PREFIX + path, params=params)
    assert info.value.status == 400


def test_stock_list_and_factor_list_describe_the_market(sandbox, market):
    http = client_for(sandbox)
    stocks = http.get(API_PREFIX + "/stocks")["items"]
    assert [s["ukey"] for s in stocks] == list(market.ukeys)
    suffix = {"60": "SH", "68": "SH", "00": "SZ", "30": "SZ", "83": "BJ"}
    for item in stocks:
        code, exchange = item["ukey"].split(".")
        assert len(code) == 6 and code.isdigit() and suffix[code[:2]] == exchange
        assert item["industry_name"] and item["symbol"]
    factors = {f["factorname"] for f in http.get(API_PREFIX + "/factors")["items"]}
    assert {"Close", "limit_up", "rq_is_suspended", "split_coefficient_to"} <= factors
    assert "rq_index_components_new_932000.INDX" in factors


# ---------------------------------------------------------------- streams


def stream(http, path, body):
    with http.stream_post_iter(path, body) as chunks:
        parts = [c for c in chunks if c]
    return parts, pa.ipc.open_stream(b"".join(parts)).read_all()


def test_factor_stream_carries_the_market_values(sandbox, market):
    http = client_for(sandbox)
    ukeys = [str(market.ukeys[3]), str(market.codes[7]), "999999.SZ"]
    body = {
        "factor": ["Close", "rq_get_dividend"],
        "ukeys": ukeys,
        "start_date": str(market.dates[10]),
        "end_date": str(market.dates[60]).replace("-", ""),
    }
    _parts, table = stream(http, API_PREFIX + "/factors/stream", body)
    assert table.column_names == ["date", "ukey", "value", "factor"]
    frame = table.to_pandas()
    close = frame[frame["factor"] == "Close"].pivot(index="date", columns="ukey", values="value")
    assert list(close.columns) == sorted({str(market.ukeys[3]), str(market.ukeys[7])})
    want = market.factors["Close"][10:61][:, [3, 7]]
    np.testing.assert_array_equal(close.to_numpy(), want[:, np.argsort(market.ukeys[[3, 7]])])
    assert [str(d) for d in close.index] == [str(d) for d in market.dates[10:61]]
    dividends = frame[frame["factor"] == "rq_get_dividend"]
    want_count = np.isfinite(market.factors["rq_get_dividend"][10:61][:, [3, 7]]).sum()
    assert len(dividends) == want_count  # event days only: no rows without a value


def test_whole_market_stream_arrives_in_several_chunks(sandbox, market, monkeypatch):
    import orvanta.sandbox._streams as streams

    monkeypatch.setattr(streams, "BATCH_ROWS", 500)
    parts, table = stream(
        client_for(sandbox),
        API_PREFIX + "/factors/stream",
        {"factor": ["Open"], "start_date": "20240101"},
    )
    assert len(parts) > 5
    assert table.num_rows == np.isfinite(market.factors["Open"]).sum()


def test_index_stream_selects_codes_and_fields(sandbox, market):
    body = {"ukeys": ["000852.XSHG", "000300.XSHG"], "fields": ["close", "prev_close"]}
    _parts, table = stream(client_for(sandbox), API_PREFIX + "/index-daily/stream", body)
    assert table.column_names == ["date", "ukey", "close", "prev_close"]
    frame = table.to_pandas()
    for code in body["ukeys"]:
        part = frame[frame["ukey"] == code]
        assert len(part) == market.dates.size
        np.testing.assert_array_equal(
            part["close"].to_numpy()[:-1], part["prev_close"].to_numpy()[1:]
        )


def test_index_stream_outside_the_market_has_schema_and_no_rows(sandbox):
    body = {"ukeys": ["000905.XSHG"], "fields": ["close"], "start_date": "2030-01-02"}
    parts, table = stream(client_for(sandbox), API_PREFIX + "/index-daily/stream", body)
    assert table.num_rows == 0 and table.column_names == ["date", "ukey", "close"]


@pytest.mark.parametrize(
    "path, body, code",
    [
        ("/factors/stream", {"start_date": "2024-01-02"}, "invalid_argument"),
        ("/factors/stream", {"factor": ["no_such"], "start_date": "2024-01-02"}, "unknown_factor"),
        ("/factors/stream", {"factor": ["Close"]}, "invalid_argument"),
        (
            "/factors/stream",
            {"factor": ["Close"] * 21, "start_date": "2024-01-02"},
            "invalid_argument",
        ),
        (
            "/factors/stream",
            {
                "factor": ["Close"],
                "ukeys": [f"{i:06d}" for i in range(101)],
                "start_date": "2024-01-02",
            },
            "invalid_argument",
        ),
        ("/index-daily/stream", {"ukeys": ["000001.XSHE"]}, "unknown_ukey"),
        ("/index-daily/stream", {"ukeys": ["000300.XSHG"], "fields": ["vwap"]}, "invalid_argument"),
    ],
    ids=[
        "no-factor",
        "unknown-factor",
        "no-start",
        "21-factors",
        "101-ukeys",
        "bad-index",
        "bad-field",
    ],
)
def test_invalid_stream_requests_are_refused_before_streaming(sandbox, path, body, code):
    with pytest.raises(NetworkError, match="400"):
        with client_for(sandbox).stream_post_iter(API_PREFIX + path, body) as chunks:
            list(chunks)
    raw = raw_request(sandbox, "POST", API_PREFIX + path, body=json.dumps(body).encode())
    assert raw.status_code == 400 and error_code(raw) == code


# ---------------------------------------------------------------- quota


def test_quota_counts_every_answer_byte_of_each_key(market):
    credentials = {"key-a": "secret-a", "key-b": "secret-b"}
    with SandboxServer(market=market, credentials=credentials) as server:
        a = HttpClient(server.url, "key-a", "secret-a", retries=0)
        b = HttpClient(server.url, "key-b", "secret-b", retries=0)
        seen = 0
        for path in ("/stocks", "/factors"):
            response = raw_request_key(server, "key-a", "secret-a", API_PREFIX + path)
            seen += len(response.content)
        with a.stream_post_iter(
            API_PREFIX + "/factors/stream", {"factor": ["Close"], "start_date": "2024-01-02"}
        ) as it:
            seen += sum(len(c) for c in it)
        quota_a = a.get(API_PREFIX + "/quota")
        assert quota_a["daily_used_bytes"] == seen
        assert quota_a["available_bytes"] == (
            quota_a["daily_quota_bytes"] + quota_a["extra_quota_bytes"] - seen
        )
        assert b.get(API_PREFIX + "/quota")["daily_used_bytes"] == 0


def raw_request_key(server, key, secret, path):
    ts, nonce = str(int(time.time())), secrets.token_hex(32)
    headers = {
        "X-Api-Key": key,
        "X-Timestamp": ts,
        "X-Nonce": nonce,
        "X-Signature": expected_signature(secret, "GET", path, ts, nonce, b""),
    }
    return WEB.get(server.url + path, headers=headers)


def test_exhausted_quota_is_refused_with_429(market):
    with SandboxServer(market=market, daily_quota_bytes=3000, extra_quota_bytes=0) as server:
        http = client_for(server)
        http.get(API_PREFIX + "/stocks")  # a few kilobytes: more than the whole allowance
        with pytest.raises(NetworkError, match="429") as info:
            http.get(API_PREFIX + "/quota")
    assert info.value.status == 429


# ---------------------------------------------------------------- package download


@pytest.fixture(scope="module")
def package_url(sandbox):
    return client_for(sandbox).get(API_PREFIX + "/backtest-data/benchmark-data")


def test_benchmark_data_answer_points_at_the_same_server(sandbox, package_url):
    assert package_url["content_type"] == "application/zip"
    assert package_url["download_url"].startswith(sandbox.url + "/downloads/")
    full = WEB.get(package_url["download_url"])
    assert full.status_code == 200 and full.headers["accept-ranges"] == "bytes"
    assert len(full.content) == package_url["size"]
    import hashlib

    assert hashlib.sha256(full.content).hexdigest() == package_url["sha256"]
    assert full.content[:4] == b"PK\x03\x04"


@pytest.mark.parametrize("cut", [1, 1000, 65537, -1], ids=["1", "1000", "64k+1", "last-byte"])
def test_resumed_download_is_byte_identical(package_url, cut):
    url = package_url["download_url"]
    whole = WEB.get(url).content
    cut = cut if cut > 0 else len(whole) - 1
    with WEB.stream("GET", url) as response:  # an interrupted first attempt
        head = b""
        for chunk in response.iter_bytes(4096):
            head += chunk
            if len(head) >= cut:
                break
    head = head[:cut]
    rest = WEB.get(url, headers={"Range": f"bytes={len(head)}-"})
    assert rest.status_code == 206
    assert rest.headers["content-range"] == f"bytes {cut}-{len(whole) - 1}/{len(whole)}"
    assert int(rest.headers["content-length"]) == len(whole) - cut
    assert head + rest.content == whole


@pytest.mark.parametrize(
    "header, status, expect",
    [
        ("bytes=0-9", 206, lambda w: w[:10]),
        ("bytes=-10", 206, lambda w: w[-10:]),
        ("bytes=5-1", 200, lambda w: w),
        ("bytes=0-1,5-9", 200, lambda w: w),
        ("items=0-9", 200, lambda w: w),
    ],
    ids=["closed", "suffix", "reversed", "multi", "other-unit"],
)
def test_range_forms(package_url, header, status, expect):
    url = package_url["download_url"]
    whole = WEB.get(url).content
    response = WEB.get(url, headers={"Range": header})
    assert response.status_code == status
    assert response.content == expect(whole)


def test_range_past_the_end_is_416_with_the_size(package_url):
    size = package_url["size"]
    response = WEB.get(package_url["download_url"], headers={"Range": f"bytes={size}-"})
    assert response.status_code == 416
    assert response.headers["content-range"] == f"bytes */{size}"


def test_interrupted_download_resumes_to_the_same_bytes(market):
    with SandboxServer(market=market) as server:
        url = client_for(server).get(API_PREFIX + "/backtest-data/benchmark-data")["download_url"]
        whole = WEB.get(url).content
        server.interrupt_download_after = len(whole) // 3
        got = b""
        with pytest.raises(httpx.HTTPError):
            with WEB.stream("GET", url) as response:
                for chunk in response.iter_bytes():
                    got += chunk
        assert 0 < len(got) <= len(whole) // 3
        rest = WEB.get(url, headers={"Range": f"bytes={len(got)}-"})
        assert got + rest.content == whole


def test_download_tokens_expire_and_unknown_ones_are_refused(market):
    now = [time.time()]
    with SandboxServer(market=market, clock=lambda: now[0], download_ttl=60) as server:
        url = client_for(server).get(API_PREFIX + "/backtest-data/benchmark-data")["download_url"]
        assert WEB.head(url).status_code == 200
        now[0] += 61
        expired = WEB.get(url)
        forged = WEB.get(server.url + "/downloads/" + "A" * 32 + "/benchmark.zip")
    assert expired.status_code == 403 and error_code(expired) == "download_expired"
    assert forged.status_code == 403 and error_code(forged) == "invalid_download_token"


def test_concurrent_clients_are_served_in_parallel(sandbox):
    errors = []

    def work():
        try:
            http = client_for(sandbox)
            for _ in range(5):
                http.get(API_PREFIX + "/calendar/is-trading-date", params={"date": "2024-03-01"})
        except Exception as exc:  # collected for the assertion below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert not errors


@pytest.mark.parametrize(
    "length_header, status",
    [
        ("Content-Length: 2000000", 413),
        ("Content-Length: -5", 400),
        ("Transfer-Encoding: chunked", 411),
    ],
    ids=["too-large", "bad-length", "chunked"],
)
def test_refused_bodies_close_the_connection(sandbox, length_header, status):
    request = f"POST {API_PREFIX}/factors/stream HTTP/1.1\r\nHost: x\r\n{length_header}\r\n\r\n"
    with socket.create_connection(("127.0.0.1", int(sandbox.url.rsplit(":", 1)[1])), 5) as conn:
        conn.sendall(request.encode())
        answer = b""
        while chunk := conn.recv(65536):  # the server closes: the loop ends
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(f"HTTP/1.1 {status} ".encode())
    assert "error" in json.loads(body)


def test_unknown_path_and_wrong_method(sandbox):
    http = client_for(sandbox)
    with pytest.raises(NetworkError, match="404"):
        http.get(API_PREFIX + "/nothing-here")
    with pytest.raises(NetworkError, match="405"):
        http.get(API_PREFIX + "/factors/stream")
