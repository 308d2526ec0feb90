import hashlib
import hmac
import time
from urllib.parse import urlencode, urlparse

import pytest

from orvanta._signer import _body_hash, sign_request

SECRET = "s3cr3t-密钥"


def independent_signature(secret, method, path, body, params, ts, nonce):
    url = urlparse(path)
    query = url.query
    if params:
        # keys compare by their UTF-8 bytes, which is code-point order for text
        def key(kv):
            return kv[0] if isinstance(kv[0], bytes) else str(kv[0]).encode()

        query = urlencode(sorted(params.items(), key=key))
    body_hash = hashlib.sha256(body).hexdigest() if body else ""
    text = "\n".join([method.upper(), url.path or "/", query, ts, nonce, body_hash])
    return hmac.new(secret.encode(), text.encode(), hashlib.sha256).hexdigest(), text


CASES = [
    pytest.param("GET", "/api/v1/quota", None, None, "GET\n/api/v1/quota\n\n", id="bare-path"),
    pytest.param("GET", "/p?z=1&a=2", None, None, "GET\n/p\nz=1&a=2\n", id="query-as-written"),
    pytest.param(
        "get",
        "https://h.example:8443/x/y?b=2&a=1#frag",
        None,
        None,
        "GET\n/x/y\nb=2&a=1\n",
        id="full-url-lowercase-method",
    ),
    pytest.param("GET", "", None, None, "GET\n/\n\n", id="empty-path"),
    pytest.param("GET", "http://host.example", None, None, "GET\n/\n\n", id="host-no-path"),
    pytest.param(
        "GET",
        "/p?old=1",
        None,
        {"zeta": "x y/z", "alpha": 3},
        "GET\n/p\nalpha=3&zeta=x+y%2Fz\n",
        id="params-replace-query",
    ),
    pytest.param("GET", "/p?keep=1", None, {}, "GET\n/p\nkeep=1\n", id="empty-params-keep-query"),
    pytest.param(
        "GET",
        "/p",
        None,
        {"名": "值~._-", b"raw": b"\xff\x00"},
        None,
        id="unicode-and-bytes",
    ),
    pytest.param("POST", "/s", b"", None, "POST\n/s\n\n", id="empty-body"),
    pytest.param("POST", "/s", b'{"a":1}', None, None, id="json-body"),
]


@pytest.mark.parametrize("method, path, body, params, prefix", CASES)
def test_signature_matches_independent_computation(method, path, body, params, prefix):
    headers = sign_request(SECRET, method, path, body, params=params)
    assert list(headers) == ["X-Timestamp", "X-Nonce", "X-Signature"]
    ts, nonce = headers["X-Timestamp"], headers["X-Nonce"]
    assert abs(int(ts) - time.time()) < 5
    assert len(nonce) == 64 and int(nonce, 16) >= 0 and nonce == nonce.lower()
    sig, text = independent_signature(SECRET, method, path, body, params, ts, nonce)
    assert headers["X-Signature"] == sig
    if prefix is not None:
        assert text.startswith(prefix)
    if not body:
        assert text.endswith("\n" + nonce + "\n")


def test_bytes_params_are_taken_raw():
    headers = sign_request(SECRET, "GET", "/p", params={b"k": b"a b\xff"})
    ts, nonce = headers["X-Timestamp"], headers["X-Nonce"]
    text = "\n".join(["GET", "/p", "k=a+b%FF", ts, nonce, ""])
    assert headers["X-Signature"] == hmac.new(SECRET.encode(), text.encode(), "sha256").hexdigest()


def test_fresh_nonce_every_call():
    a = sign_request(SECRET, "GET", "/p")
    b = sign_request(SECRET, "GET", "/p")
    assert a["X-Nonce"] != b["X-Nonce"]
    assert a["X-Signature"] != b["X-Signature"]


def test_body_hash():
    assert _body_hash(None) == ""
    assert _body_hash(b"") == ""
    assert _body_hash(b"abc") == hashlib.sha256(b"abc").hexdigest()


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "kwargs, arg",
    [
        ({"sign_secret": b"k"}, "sign_secret"),
        ({"sign_secret": None}, "sign_secret"),
        ({"sign_secret": StrSub("k")}, "sign_secret"),
        ({"method": 1}, "method"),
        ({"method": None}, "method"),
        ({"path": b"/p"}, "path"),
        ({"body": bytearray(b"x")}, "body"),
        ({"body": memoryview(b"x")}, "body"),
        ({"body": "text"}, "body"),
        ({"body": BytesSub(b"x")}, "body"),
        ({"params": [("a", "b")]}, "params"),
    ],
)
def test_wrong_types_raise_typeerror_naming_argument(kwargs, arg):
    call = {"sign_secret": "k", "method": "GET", "path": "/p", **kwargs}
    with pytest.raises(TypeError, match=rf"^{arg} must be "):
        sign_request(**call)


def test_params_is_keyword_only_and_body_hash_checks_type():
    with pytest.raises(TypeError):
        sign_request("k", "GET", "/p", None, {"a": "b"})
    with pytest.raises(TypeError, match="^body must be bytes or None, not bytearray$"):
        _body_hash(bytearray(b"x"))
