"""The service's check of signed requests: HMAC-SHA256, a timestamp window, one use per nonce."""

from __future__ import annotations

import hashlib
import hmac
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass


class AuthError(Exception):
    """A request that must be refused with 401; ``code`` is the error code of the answer."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


def canonical_text(
    method: str, path: str, query: str, timestamp: str, nonce: str, body: bytes
) -> str:
    """The text the client signs: six fields joined by line feeds, no trailing one."""
    body_hash = hashlib.sha256(body).hexdigest() if body else ""
    return "\n".join([method.upper(), path or "/", query, timestamp, nonce, body_hash])


def expected_signature(secret: str, canonical: str) -> str:
    return hmac.new(secret.encode("utf-8"), canonical.encode("utf-8"), hashlib.sha256).hexdigest()


@dataclass
class SignatureVerifier:
    """Checks the four auth headers of a request against the known keys.

    A timestamp more than ``window`` seconds away from the server clock is refused, and so is
    a nonce already seen with a valid signature within the window (a replay). Nonces are
    remembered only as long as their timestamp is inside the window, so memory stays bounded
    by the request rate.
    """

    credentials: Mapping[str, str]
    window: float = 300.0
    clock: Callable[[], float] = time.time

    def __post_init__(self) -> None:
        self._seen: dict[tuple[str, str], float] = {}
        self._lock = threading.Lock()
        self._next_purge = 0.0

    def verify(
        self, method: str, path: str, query: str, headers: Mapping[str, str], body: bytes
    ) -> str:
        """Return the access key of a correctly signed request; raise AuthError otherwise."""
        lower = {k.lower(): v for k, v in headers.items()}
        access_key = lower.get("x-api-key", "")
        timestamp = lower.get("x-timestamp", "")
        nonce = lower.get("x-nonce", "")
        signature = lower.get("x-signature", "")
        if not (access_key and timestamp and nonce and signature):
            raise AuthError("missing_signature", "缺少签名请求头")
        secret = self.credentials.get(access_key)
        if secret is None:
            raise AuthError("unknown_key", "访问密钥无效")
        if not timestamp.isdigit() or len(timestamp) > 12:
            raise AuthError("bad_timestamp", "请求时间戳格式错误")
        now = self.clock()
        if abs(now - int(timestamp)) > self.window:
            raise AuthError("stale_timestamp", "请求时间戳超出允许范围")
        if len(nonce) > 128:
            raise AuthError("bad_nonce", "请求随机串过长")
        want = expected_signature(
            secret, canonical_text(method, path, query, timestamp, nonce, body)
        )
        if not hmac.compare_digest(want, signature):
            raise AuthError("bad_signature", "签名校验失败")
        with self._lock:
            self._purge(now)
            if (access_key, nonce) in self._seen:
                raise AuthError("replayed_nonce", "请求随机串已被使用")
            self._seen[(access_key, nonce)] = float(timestamp)
        return access_key

    def _purge(self, now: float) -> None:
        if now < self._next_purge:
            return
        horizon = now - self.window
        self._seen = {k: ts for k, ts in self._seen.items() if ts >= horizon}
        self._next_purge = now + min(self.window, 30.0)
