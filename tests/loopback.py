"""A real HTTP server on 127.0.0.1 for tests, plus the service's signature check.

The server runs in a daemon thread, answers each request through a handler function and
records every request it saw. The signature check is written here with the standard library
alone, independently of the package's signer, so the two can catch each other's faults.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import socket
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit


@dataclass
class Request:
    method: str
    target: str  # path and raw query as sent
    headers: dict[str, str]
    body: bytes

    @property
    def path(self) -> str:
        return urlsplit(self.target).path

    @property
    def query(self) -> str:
        return urlsplit(self.target).query

    @property
    def params(self) -> dict[str, str]:
        return dict(parse_qsl(self.query, keep_blank_values=True))

    def json(self):
        return json.loads(self.body)


@dataclass
class Response:
    status: int = 200
    body: bytes | Iterable[bytes] = b""
    headers: dict[str, str] = field(default_factory=dict)
    # Close the connection abruptly after this many body bytes (None: send everything).
    drop_after: int | None = None
    # Send the body with chunked transfer encoding (no Content-Length).
    chunked: bool = False

    @classmethod
    def json(cls, value, status: int = 200) -> Response:
        return cls(status, json.dumps(value).encode(), {"Content-Type": "application/json"})

    @classmethod
    def data(cls, value) -> Response:
        return cls.json({"data": value})

    @classmethod
    def error(cls, status: int, message: str, code: str = "error") -> Response:
        return cls.json({"error": {"code": code, "message": message}}, status)


def expected_signature(
    secret: str, method: str, target: str, timestamp: str, nonce: str, body: bytes
) -> str:
    parts = urlsplit(target)
    body_hash = hashlib.sha256(body).hexdigest() if body else ""
    canonical = "\n".join(
        [method.upper(), parts.path or "/", parts.query, timestamp, nonce, body_hash]
    )
    return hmac.new(secret.encode(), canonical.encode(), hashlib.sha256).hexdigest()


def signature_ok(secret: str, request: Request) -> bool:
    headers = {k.lower(): v for k, v in request.headers.items()}
    try:
        want = expected_signature(
            secret,
            request.method,
            request.target,
            headers["x-timestamp"],
            headers["x-nonce"],
            request.body,
        )
    except KeyError:
        return False
    return hmac.compare_digest(want, headers.get("x-signature", ""))


Handler = Callable[[Request], Response]


class LoopbackServer:
    """``with LoopbackServer(handler) as srv:`` serves on ``srv.url`` until the block ends."""

    def __init__(self, handler: Handler) -> None:
        self.handler = handler
        self.requests: list[Request] = []
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._make_handler())
        self._server.daemon_threads = True
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True
        )

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def __enter__(self) -> LoopbackServer:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def _record(self, request: Request) -> None:
        with self._lock:
            self.requests.append(request)

    def _make_handler(self) -> type[BaseHTTPRequestHandler]:
        outer = self

        class _Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: object) -> None:
                pass

            def _serve(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                request = Request(self.command, self.path, dict(self.headers.items()), body)
                outer._record(request)
                self._send(outer.handler(request))

            do_GET = do_POST = do_PUT = do_DELETE = _serve

            def _send(self, response: Response) -> None:
                body = response.body
                chunks = [body] if isinstance(body, bytes) else body
                self.send_response(response.status)
                for key, value in response.headers.items():
                    self.send_header(key, value)
                if response.chunked:
                    self.send_header("Transfer-Encoding", "chunked")
                elif isinstance(body, bytes) and "Content-Length" not in response.headers:
                    self.send_header("Content-Length", str(len(body)))
                if not response.chunked and not isinstance(body, bytes):
                    self.send_header("Connection", "close")
                    self.close_connection = True
                self.end_headers()
                sent = 0
                for chunk in chunks:
                    if response.drop_after is not None and sent + len(chunk) > response.drop_after:
                        self.wfile.write(chunk[: response.drop_after - sent])
                        self.wfile.flush()
                        self._drop()
                        return
                    sent += len(chunk)
                    if response.chunked:
                        if chunk:
                            self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                    else:
                        self.wfile.write(chunk)
                if response.chunked:
                    self.wfile.write(b"0\r\n\r\n")
                self.wfile.flush()

            def _drop(self) -> None:
                self.close_connection = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        return _Handler


def free_port() -> int:
    """A loopback port that nothing listens on (for connection-refused tests)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
