"""HTTP plumbing of the sandbox: request handler, error answers, streams and Range downloads."""

from __future__ import annotations

import json
import re
import socket
import sys
from collections.abc import Callable, Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, urlsplit

from orvanta._http import API_PREFIX
from orvanta.sandbox._auth import AuthError

if TYPE_CHECKING:
    from orvanta.sandbox._server import SandboxServer

ARROW_STREAM_TYPE = "application/vnd.apache.arrow.stream"

_MAX_BODY = 1 << 20
_SEND_CHUNK = 256 * 1024
DOWNLOAD_RE = re.compile(r"^/downloads/([A-Za-z0-9_-]{16,64})/benchmark\.zip$")
_RANGE_RE = re.compile(r"^bytes=(\d*)-(\d*)$")


class ApiError(Exception):
    """A refused request: ``status`` and the ``code``/``message`` of the error answer."""

    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message


class QuietServer(ThreadingHTTPServer):
    """A client that hangs up is normal; anything else goes to the sandbox's log."""

    sandbox_log: Callable[[str], None]

    def handle_error(self, request: Any, client_address: Any) -> None:
        exc = sys.exc_info()[1]
        if isinstance(exc, ConnectionError):
            return
        self.sandbox_log(f"error serving {client_address}: {exc!r}")


def _parse_range(header: str | None, size: int) -> tuple[int, int] | None:
    """(first, last) byte of a single satisfiable range; None to send everything.

    Raises ApiError 416 for a syntactically valid range that starts past the end.
    """
    if not header:
        return None
    match = _RANGE_RE.match(header.strip())
    if match is None or (not match.group(1) and not match.group(2)):
        return None  # malformed or multiple ranges: ignored, the whole body is sent
    first_text, last_text = match.groups()
    if not first_text:
        suffix = int(last_text)
        if suffix == 0:
            raise ApiError(416, "range_not_satisfiable", "请求范围无效")
        return max(0, size - suffix), size - 1
    first = int(first_text)
    last = int(last_text) if last_text else size - 1
    if first >= size:
        raise ApiError(416, "range_not_satisfiable", "请求范围超出文件大小")
    if last < first:
        return None
    return first, min(last, size - 1)


def make_handler(sandbox: SandboxServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "orvanta-sandbox"

        def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
            sandbox._log(f"{self.address_string()} {format % args}")

        # ------------------------------------------------------------ plumbing

        def _read_body(self) -> bytes:
            # A body left unread would be taken for the next request: close after refusing.
            if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                self.close_connection = True
                raise ApiError(411, "length_required", "请求体需要 Content-Length")
            length_text = self.headers.get("Content-Length") or "0"
            if not length_text.isdigit():
                self.close_connection = True
                raise ApiError(400, "bad_request", "Content-Length 无效")
            length = int(length_text)
            if length > _MAX_BODY:
                self.close_connection = True
                raise ApiError(413, "body_too_large", "请求体过大")
            return self.rfile.read(length) if length else b""

        def _send_json(self, status: int, value: Any, key: str | None = None) -> None:
            body = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            if key is not None:
                sandbox.quota.add(key, len(body))

        def _send_error(self, error: ApiError, extra: dict[str, str] | None = None) -> None:
            body = json.dumps(
                {"error": {"code": error.code, "message": error.message}}, ensure_ascii=False
            ).encode()
            self.send_response(error.status)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            for name, value in (extra or {}).items():
                self.send_header(name, value)
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def _send_stream(self, chunks: Iterator[bytes], key: str) -> None:
            self.send_response(200)
            self.send_header("Content-Type", ARROW_STREAM_TYPE)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            try:
                for chunk in chunks:
                    if chunk:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                        sandbox.quota.add(key, len(chunk))
                self.wfile.write(b"0\r\n\r\n")
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
            except Exception as exc:
                # The status line is out: cutting the stream short is the only honest signal.
                sandbox._log(f"stream failed on {self.path}: {exc!r}")
                self._drop()
            finally:
                close = getattr(chunks, "close", None)
                if close is not None:
                    close()

        # ------------------------------------------------------------ requests

        def _handle(self) -> None:
            parts = urlsplit(self.path)
            try:
                body = self._read_body()
                if parts.path.startswith(API_PREFIX + "/"):
                    self._api(parts.path, parts.query, body)
                elif DOWNLOAD_RE.match(parts.path) and self.command in ("GET", "HEAD"):
                    self._download(DOWNLOAD_RE.match(parts.path).group(1))  # type: ignore[union-attr]
                else:
                    raise ApiError(404, "not_found", f"未知路径: {parts.path}")
            except ApiError as exc:
                self._send_error(exc)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
            except Exception as exc:  # the service answers 500 rather than dropping the client
                sandbox._log(f"internal error on {self.command} {self.path}: {exc!r}")
                self._send_error(ApiError(500, "internal_error", f"服务内部错误: {exc}"))

        do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _handle

        def _api(self, path: str, query: str, body: bytes) -> None:
            try:
                key = sandbox.verifier.verify(self.command, path, query, self.headers, body)
            except AuthError as exc:
                raise ApiError(401, exc.code, exc.message) from None
            route = sandbox.route(self.command, path[len(API_PREFIX) :])
            if sandbox.quota.available(key) <= 0:
                raise ApiError(429, "quota_exceeded", "今日流量配额已用完")
            params = dict(parse_qsl(query, keep_blank_values=True))
            payload: Any = None
            if self.command == "POST":
                try:
                    payload = json.loads(body or b"null")
                except ValueError:
                    raise ApiError(400, "invalid_json", "请求体不是有效的 JSON") from None
                if not isinstance(payload, dict):
                    raise ApiError(400, "invalid_json", "请求体必须是 JSON 对象")
            answer = route(params, payload, key)
            if answer.chunks is not None:
                self._send_stream(answer.chunks, key)
            else:
                self._send_json(200, {"data": answer.value}, key)

        def _download(self, token: str) -> None:
            key = sandbox.download_owner(token)
            if sandbox.quota.available(key) <= 0:
                raise ApiError(429, "quota_exceeded", "今日流量配额已用完")
            package = sandbox.package()
            size = package.size
            try:
                span = _parse_range(self.headers.get("Range"), size)
            except ApiError as exc:
                self._send_error(exc, {"Content-Range": f"bytes */{size}"})
                return
            first, last = span if span is not None else (0, size - 1)
            self.send_response(206 if span is not None else 200)
            self.send_header("Content-Type", "application/zip")
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", f'"{package.sha256}"')
            self.send_header("Content-Length", str(last - first + 1))
            if span is not None:
                self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
            self.end_headers()
            if self.command == "HEAD":
                return
            interrupt = sandbox.take_interrupt()
            remaining = last - first + 1
            sent = 0
            with package.path.open("rb") as fh:
                fh.seek(first)
                while remaining > 0:
                    block = fh.read(min(_SEND_CHUNK, remaining))
                    if not block:
                        break
                    if interrupt is not None and sent + len(block) > interrupt:
                        block = block[: interrupt - sent]
                        self.wfile.write(block)
                        sandbox.quota.add(key, len(block))
                        self._drop()
                        return
                    self.wfile.write(block)
                    sandbox.quota.add(key, len(block))
                    sent += len(block)
                    remaining -= len(block)

        def _drop(self) -> None:
            self.close_connection = True
            self.wfile.flush()
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    return Handler
