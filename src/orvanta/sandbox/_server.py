"""The sandbox data service: a threaded HTTP server on 127.0.0.1 over a synthetic market.

It speaks the wire protocol of :mod:`orvanta._http`: every API request must be signed
(``X-Api-Key``, ``X-Timestamp``, ``X-Nonce``, ``X-Signature``), GET answers are
``{"data": ...}``, the two stream paths answer Arrow IPC streams in chunked transfer encoding,
and failures are ``{"error": {"code", "message"}}`` with a non-2xx status. The benchmark data
package is handed out as a pre-signed download address on the same server (no signature, a
token with an expiry instead) and served with ``Range`` support. Every byte of an answer body
counts against the quota of the key it was served to.
"""

from __future__ import annotations

import datetime as dt
import re
import secrets
import shutil
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from orvanta._http import API_PREFIX
from orvanta.sandbox._auth import SignatureVerifier
from orvanta.sandbox._handler import ApiError, QuietServer, make_handler
from orvanta.sandbox._market import (
    INDEX_BAR_FIELDS,
    INDEX_RULES,
    INDUSTRY_NAMES,
    MarketConfig,
    SyntheticMarket,
    generate_market,
)
from orvanta.sandbox._package import Package, build_package
from orvanta.sandbox._streams import (
    FACTOR_SCHEMA,
    factor_batches,
    index_batches,
    index_schema,
    ipc_chunks,
)

DEFAULT_ACCESS_KEY = "sandbox-access-key"
DEFAULT_SECRET_KEY = "sandbox-secret-key"
DEFAULT_DAILY_QUOTA = 2 << 30
DEFAULT_EXTRA_QUOTA = 1 << 30
DOWNLOAD_PATH = "/downloads/{token}/benchmark.zip"

_MAX_FACTORS = 20
_MAX_UKEYS = 100


def _bad(message: str, code: str = "invalid_argument") -> ApiError:
    return ApiError(400, code, message)


def _parse_day(value: Any, name: str) -> np.datetime64:
    text = str(value).strip()
    if re.fullmatch(r"\d{8}", text):
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    try:
        return np.datetime64(dt.date.fromisoformat(text), "D")
    except ValueError:
        raise _bad(f"{name} 不是有效日期: {value!r}") from None


def _str_list(body: dict, name: str, limit: int) -> list[str] | None:
    value = body.get(name)
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise _bad(f"{name} 必须是字符串列表")
    if len(value) > limit:
        raise _bad(f"{name} 最多 {limit} 个, 收到 {len(value)} 个")
    return value


@dataclass
class Answer:
    """What a route returns: a JSON value, or a stream of body chunks."""

    value: Any = None
    chunks: Iterator[bytes] | None = None


class _Quota:
    """Bytes served per access key and day."""

    def __init__(self, daily: int, extra: int) -> None:
        self.daily = daily
        self.extra = extra
        self._used: dict[str, tuple[dt.date, int]] = {}
        self._total: dict[str, int] = {}
        self._lock = threading.Lock()

    def add(self, key: str, count: int) -> None:
        today = dt.date.today()
        with self._lock:
            day, used = self._used.get(key, (today, 0))
            self._used[key] = (today, (used if day == today else 0) + count)
            self._total[key] = self._total.get(key, 0) + count

    def used_today(self, key: str) -> int:
        with self._lock:
            day, used = self._used.get(key, (dt.date.today(), 0))
        return used if day == dt.date.today() else 0

    def total(self, key: str) -> int:
        with self._lock:
            return self._total.get(key, 0)

    def available(self, key: str) -> int:
        return max(0, self.daily + self.extra - self.used_today(key))


class SandboxServer:
    """The local data service. ``with SandboxServer() as sandbox:`` serves on ``sandbox.url``.

    ``credentials`` maps access keys to secret keys (default: one pair,
    ``DEFAULT_ACCESS_KEY`` / ``DEFAULT_SECRET_KEY``). ``timestamp_window`` is how far (in
    seconds) a request's timestamp may be from the server clock. ``interrupt_download_after``
    makes the next package download drop its connection after that many bytes, once, to
    rehearse resumed downloads.
    """

    def __init__(
        self,
        config: MarketConfig | None = None,
        *,
        market: SyntheticMarket | None = None,
        port: int = 0,
        credentials: dict[str, str] | None = None,
        timestamp_window: float = 300.0,
        daily_quota_bytes: int = DEFAULT_DAILY_QUOTA,
        extra_quota_bytes: int = DEFAULT_EXTRA_QUOTA,
        download_ttl: float = 3600.0,
        interrupt_download_after: int | None = None,
        clock: Callable[[], float] = time.time,
        log: TextIO | None = None,
    ) -> None:
        self.market = market if market is not None else generate_market(config)
        self.credentials = dict(credentials or {DEFAULT_ACCESS_KEY: DEFAULT_SECRET_KEY})
        self.verifier = SignatureVerifier(self.credentials, timestamp_window, clock)
        self.quota = _Quota(int(daily_quota_bytes), int(extra_quota_bytes))
        self.download_ttl = float(download_ttl)
        self.interrupt_download_after = interrupt_download_after
        self.clock = clock
        self.log = log
        self._tokens: dict[str, tuple[str, float]] = {}
        self._package: Package | None = None
        self._package_lock = threading.Lock()
        self._state_lock = threading.Lock()
        self._work_dir = Path(tempfile.mkdtemp(prefix="orvanta-sandbox-"))
        self._httpd = QuietServer(("127.0.0.1", port), make_handler(self))
        self._httpd.daemon_threads = True
        self._httpd.sandbox_log = self._log
        self._thread: threading.Thread | None = None
        self._routes: dict[tuple[str, str], Callable[[dict, Any, str], Answer]] = {
            ("GET", "/factors"): self._list_factors,
            ("POST", "/factors/stream"): self._factor_stream,
            ("POST", "/index-daily/stream"): self._index_stream,
            ("GET", "/calendar/trading-dates"): self._trading_dates,
            ("GET", "/calendar/previous"): self._previous,
            ("GET", "/calendar/next"): self._next,
            ("GET", "/calendar/is-trading-date"): self._is_trading,
            ("GET", "/stocks"): self._stocks,
            ("GET", "/quota"): self._quota,
            ("GET", "/backtest-data/benchmark-data"): self._benchmark_data,
        }

    # ------------------------------------------------------------------ lifecycle

    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def access_key(self) -> str:
        return next(iter(self.credentials))

    @property
    def secret_key(self) -> str:
        return self.credentials[self.access_key]

    def start(self) -> SandboxServer:
        """Serve in a background daemon thread."""
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        """Serve on the calling thread until :meth:`close` is called from another thread."""
        self._httpd.serve_forever(poll_interval=0.2)

    def close(self) -> None:
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join(timeout=10)
            self._thread = None
        self._httpd.server_close()
        shutil.rmtree(self._work_dir, ignore_errors=True)

    def __enter__(self) -> SandboxServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def bytes_served(self, access_key: str) -> int:
        """All answer-body bytes served to ``access_key`` since the server started."""
        return self.quota.total(access_key)

    def package(self) -> Package:
        """The benchmark data package, built on first use."""
        with self._package_lock:
            if self._package is None:
                self._package = build_package(self.market, self._work_dir)
            return self._package

    # ------------------------------------------------------------------ dispatch

    def route(self, method: str, suffix: str) -> Callable[[dict, Any, str], Answer]:
        handler = self._routes.get((method, suffix))
        if handler is not None:
            return handler
        if any(path == suffix for _m, path in self._routes):
            raise ApiError(405, "method_not_allowed", f"{suffix} 不支持 {method}")
        raise ApiError(404, "not_found", f"未知接口: {API_PREFIX}{suffix}")

    def _log(self, line: str) -> None:
        if self.log is not None:
            print(line, file=self.log, flush=True)

    def issue_download(self, access_key: str) -> tuple[str, float]:
        token = secrets.token_urlsafe(24)
        expires = self.clock() + self.download_ttl
        with self._state_lock:
            now = self.clock()
            self._tokens = {t: v for t, v in self._tokens.items() if v[1] > now}
            self._tokens[token] = (access_key, expires)
        return token, expires

    def download_owner(self, token: str) -> str:
        with self._state_lock:
            entry = self._tokens.get(token)
        if entry is None:
            raise ApiError(403, "invalid_download_token", "下载地址无效")
        if entry[1] <= self.clock():
            raise ApiError(403, "download_expired", "下载地址已过期")
        return entry[0]

    def take_interrupt(self) -> int | None:
        with self._state_lock:
            limit, self.interrupt_download_after = self.interrupt_download_after, None
        return limit

    # ------------------------------------------------------------------ GET routes

    def _list_factors(self, params: dict, body: Any, key: str) -> Answer:
        first, last = (str(self.market.dates[i]) for i in (0, -1))
        items = [
            {
                "factorname": name,
                "startDate": first,
                "endDate": last,
                "category": "index_component" if name.startswith("rq_index") else "market",
                "frequency": "daily",
            }
            for name in self.market.factor_names
        ]
        return Answer({"items": items, "total": len(items)})

    def _calendar_day(self, params: dict, name: str = "date") -> np.datetime64:
        if name not in params:
            raise _bad(f"缺少参数 {name}")
        return _parse_day(params[name], name)

    def _offset(self, params: dict) -> int:
        try:
            n = int(params.get("n", "1"))
        except ValueError:
            raise _bad("n 必须是正整数") from None
        if n < 1:
            raise _bad("n 必须是正整数")
        return n

    def _trading_dates(self, params: dict, body: Any, key: str) -> Answer:
        start = self._calendar_day(params, "start_date")
        end = self._calendar_day(params, "end_date")
        cal = self.market.calendar
        days = cal[(cal >= start) & (cal <= end)]
        return Answer([str(d) for d in days])

    def _previous(self, params: dict, body: Any, key: str) -> Answer:
        day, n = self._calendar_day(params), self._offset(params)
        pos = int(np.searchsorted(self.market.calendar, day, side="left")) - n
        if pos < 0:
            raise _bad("超出交易日历范围", "out_of_range")
        return Answer({"date": str(self.market.calendar[pos])})

    def _next(self, params: dict, body: Any, key: str) -> Answer:
        day, n = self._calendar_day(params), self._offset(params)
        pos = int(np.searchsorted(self.market.calendar, day, side="right")) + n - 1
        if pos >= self.market.calendar.size:
            raise _bad("超出交易日历范围", "out_of_range")
        return Answer({"date": str(self.market.calendar[pos])})

    def _is_trading(self, params: dict, body: Any, key: str) -> Answer:
        day = self._calendar_day(params)
        cal = self.market.calendar
        pos = int(np.searchsorted(cal, day))
        return Answer({"is_trading": bool(pos < cal.size and cal[pos] == day)})

    def _stocks(self, params: dict, body: Any, key: str) -> Answer:
        m = self.market
        items = [
            {
                "ukey": str(m.ukeys[j]),
                "symbol": m.names[j],
                "industry_name": INDUSTRY_NAMES[int(m.industry[j]) - 1],
                "list_date": str(m.dates[int(m.list_day[j])]) if m.list_day[j] else None,
            }
            for j in range(m.codes.size)
        ]
        return Answer({"items": items, "total": len(items)})

    def _quota(self, params: dict, body: Any, key: str) -> Answer:
        used = self.quota.used_today(key)
        return Answer(
            {
                "daily_quota_bytes": self.quota.daily,
                "daily_used_bytes": used,
                "extra_quota_bytes": self.quota.extra,
                "available_bytes": self.quota.available(key),
                "remaining_days": 365,
                "license_type": "sandbox",
                "frozen_bytes": 0,
            }
        )

    def _benchmark_data(self, params: dict, body: Any, key: str) -> Answer:
        package = self.package()
        token, expires = self.issue_download(key)
        return Answer(
            {
                "download_url": self.url + DOWNLOAD_PATH.format(token=token),
                "content_type": "application/zip",
                "size": package.size,
                "sha256": package.sha256,
                "expires_at": dt.datetime.fromtimestamp(expires, dt.timezone.utc).isoformat(),
            }
        )

    # ------------------------------------------------------------------ streams

    def _date_rows(self, body: dict, required: bool) -> slice:
        if required and body.get("start_date") is None:
            raise _bad("缺少参数 start_date")
        start = body.get("start_date")
        end = body.get("end_date")
        return self.market.date_range(
            None if start is None else _parse_day(start, "start_date"),
            None if end is None else _parse_day(end, "end_date"),
        )

    def _factor_stream(self, params: dict, body: Any, key: str) -> Answer:
        names = _str_list(body, "factor", _MAX_FACTORS)
        if not names:
            raise _bad(f"factor 为必填参数 (1 到 {_MAX_FACTORS} 个因子)")
        unknown = [n for n in names if n not in self.market.factors]
        if unknown:
            raise _bad(f"未知因子: {', '.join(unknown)}", "unknown_factor")
        ukeys = _str_list(body, "ukeys", _MAX_UKEYS)
        rows = self._date_rows(body, required=True)
        if ukeys:
            columns = self.market.stock_columns(ukeys)
        else:
            columns = np.arange(self.market.codes.size)
        names = list(dict.fromkeys(names))
        return Answer(
            chunks=ipc_chunks(FACTOR_SCHEMA, factor_batches(self.market, names, columns, rows))
        )

    def _index_stream(self, params: dict, body: Any, key: str) -> Answer:
        codes = _str_list(body, "ukeys", _MAX_UKEYS) or list(INDEX_RULES)
        unknown = [c for c in codes if c not in self.market.index_bars]
        if unknown:
            raise _bad(f"未知指数: {', '.join(unknown)}", "unknown_ukey")
        fields = _str_list(body, "fields", len(INDEX_BAR_FIELDS) * 2) or list(INDEX_BAR_FIELDS)
        bad = [f for f in fields if f not in INDEX_BAR_FIELDS]
        if bad:
            raise _bad(f"未知字段: {', '.join(bad)}")
        fields = list(dict.fromkeys(fields))
        rows = self._date_rows(body, required=False)
        codes = list(dict.fromkeys(codes))
        return Answer(
            chunks=ipc_chunks(index_schema(fields), index_batches(self.market, codes, fields, rows))
        )


def main_loop(server: SandboxServer, out: TextIO = sys.stdout) -> None:
    """Serve on the calling thread until interrupted, after telling the user how to connect."""
    print(f"orvanta sandbox serving on {server.url}", file=out)
    print(f"  access key: {server.access_key}", file=out)
    print(f"  secret key: {server.secret_key}", file=out)
    print(
        f'  import orvanta; orvanta.init("{server.url}", "{server.access_key}", '
        f'"{server.secret_key}")',
        file=out,
    )
    print("press Ctrl-C to stop", file=out, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
