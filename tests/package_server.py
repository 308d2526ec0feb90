"""Serving a package file from the loopback server, with or without byte ranges."""

from __future__ import annotations

import re

from loopback import Request, Response


def header(request: Request, name: str) -> str | None:
    """A request header by case-insensitive name."""
    wanted = name.lower()
    for key, value in request.headers.items():
        if key.lower() == wanted:
            return value
    return None


def file_response(data: bytes, request: Request, *, honour_range: bool = True) -> Response:
    """The answer of a static file server: 206 for an open-ended Range it can serve, 416 past
    the end, 200 with the whole file otherwise (or always, when ranges are not honoured)."""
    wanted = header(request, "Range")
    match = re.fullmatch(r"bytes=(\d+)-", wanted or "")
    if not honour_range or match is None:
        return Response(200, data, {"Accept-Ranges": "bytes"})
    start = int(match.group(1))
    if start >= len(data):
        return Response(416, b"", {"Content-Range": f"bytes */{len(data)}"})
    headers = {"Content-Range": f"bytes {start}-{len(data) - 1}/{len(data)}"}
    return Response(206, data[start:], headers)
