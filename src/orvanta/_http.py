"""Signed HTTP client of the data service.

Wire protocol (the local sandbox service speaks the same):

* Every request carries ``X-Api-Key`` (the access key) and the three headers of
  :func:`orvanta._signer.sign_request`, computed over exactly the method, path, query string
  and body bytes that are sent. Query strings are form-encoded with their keys sorted, the
  same encoding the signature uses, so the server sees what was signed.
* A GET answer with a 2xx status is a JSON object ``{"data": <value>}``; ``<value>`` (a list,
  a mapping, a text, a number or a truth value) is what :meth:`HttpClient.get` returns.
* A POST to a ``/stream`` path sends a JSON body (UTF-8, ``Content-Type: application/json``)
  and is answered with ``Content-Type: application/vnd.apache.arrow.stream``: an Arrow IPC
  stream sent in chunks as it is produced.
* A failed request is answered with a non-2xx status and a JSON body
  ``{"error": {"code": "<short code>", "message": "<text>"}}``; the client raises
  :class:`~orvanta.exceptions.NetworkError` carrying the status and that message.
"""

from __future__ import annotations

import json
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any
from urllib.parse import urlencode

import httpx

from orvanta._signer import sign_request
from orvanta.exceptions import NetworkError

API_PREFIX = "/api/v1"

_RETRY_STATUSES = frozenset({500, 502, 503, 504})


def encode_query(params: dict[str, Any] | None) -> str:
    """The form-encoded query with keys sorted, as the signature encodes it."""
    if not params:
        return ""
    return urlencode(sorted(params.items(), key=lambda kv: str(kv[0])))


def _error_text(response: httpx.Response) -> str:
    try:
        payload = response.json()
    except ValueError:
        return response.text.strip()[:500] or response.reason_phrase
    if isinstance(payload, dict):
        error = payload.get("error")
        if isinstance(error, dict):
            return str(error.get("message") or error.get("code") or payload)
        if error is not None:
            return str(error)
    return str(payload)[:500]


def _status_error(method: str, path: str, response: httpx.Response) -> NetworkError:
    message = f"{method} {path} 失败: HTTP {response.status_code}: {_error_text(response)}"
    return NetworkError(message, status=response.status_code)


class HttpClient:
    """Signed client of the data service at ``base_url``.

    GETs are retried (``retries`` more times, with exponential back-off from ``backoff``
    seconds) on connection failures and 5xx answers; every retry is signed afresh because
    the service refuses a nonce it has seen. POST streams are not retried.
    """

    def __init__(
        self,
        base_url: str,
        access_key: str,
        secret_key: str,
        *,
        timeout: float = 30.0,
        retries: int = 2,
        backoff: float = 0.2,
        transport: httpx.BaseTransport | None = None,
    ) -> None:
        self.base_url = base_url.rstrip("/")
        self.access_key = access_key
        self._secret_key = secret_key
        self.retries = max(0, int(retries))
        self.backoff = float(backoff)
        self._client = httpx.Client(
            base_url=self.base_url, timeout=timeout, transport=transport, trust_env=False
        )

    def close(self) -> None:
        self._client.close()

    def __enter__(self) -> HttpClient:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _headers(self, method: str, path: str, body: bytes | None, params: dict | None):
        headers = sign_request(self._secret_key, method, path, body, params=params)
        headers["X-Api-Key"] = self.access_key
        return headers

    def get(self, path: str, *, params: dict[str, Any] | None = None) -> Any:
        """GET ``path`` with ``params`` as the query; return the answer's decoded ``data``."""
        query = encode_query(params)
        url = f"{path}?{query}" if query else path
        for attempt in range(self.retries + 1):
            headers = self._headers("GET", path, None, params or None)
            try:
                response = self._client.get(url, headers=headers)
            except (httpx.ConnectError, httpx.ConnectTimeout) as exc:
                if attempt < self.retries:
                    self._sleep(attempt)
                    continue
                raise NetworkError(f"GET {path} 连接失败: {exc}", cause=exc) from exc
            except httpx.HTTPError as exc:
                raise NetworkError(f"GET {path} 请求失败: {exc}", cause=exc) from exc
            if response.status_code in _RETRY_STATUSES and attempt < self.retries:
                self._sleep(attempt)
                continue
            return self._decode(path, response)
        raise AssertionError("unreachable")

    def _sleep(self, attempt: int) -> None:
        time.sleep(self.backoff * (2**attempt))

    @staticmethod
    def _decode(path: str, response: httpx.Response) -> Any:
        if not response.is_success:
            raise _status_error("GET", path, response)
        try:
            payload = response.json()
        except ValueError as exc:
            raise NetworkError(f"GET {path} 返回了无法解析的内容", cause=exc) from exc
        if not isinstance(payload, dict) or "data" not in payload:
            raise NetworkError(f"GET {path} 返回格式错误: 缺少 data 字段")
        return payload["data"]

    @contextmanager
    def stream_post_iter(self, path: str, body: dict[str, Any]) -> Iterator[Iterator[bytes]]:
        """POST ``body`` as JSON to ``path``; yield an iterator of the answer's byte chunks.

        Leaving the block releases the connection, also when the block raises.
        """
        content = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        headers = self._headers("POST", path, content, None)
        headers["Content-Type"] = "application/json"
        request = self._client.build_request("POST", path, content=content, headers=headers)
        try:
            response = self._client.send(request, stream=True)
        except httpx.HTTPError as exc:
            raise NetworkError(f"POST {path} 请求失败: {exc}", cause=exc) from exc
        try:
            if not response.is_success:
                response.read()
                raise _status_error("POST", path, response)
            yield self._chunks(path, response)
        finally:
            response.close()

    @staticmethod
    def _chunks(path: str, response: httpx.Response) -> Iterator[bytes]:
        try:
            yield from response.iter_bytes()
        except httpx.HTTPError as exc:
            raise NetworkError(f"POST {path} 读取应答失败: {exc}", cause=exc) from exc
