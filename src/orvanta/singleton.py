"""The process-wide SDK client: created once by :func:`init`, fetched by :func:`get_instance`."""

from __future__ import annotations

import os
import threading

from orvanta._http import HttpClient
from orvanta.client import OrvantaClient
from orvanta.exceptions import QuantError

ENV_BASE_URL = "ORVANTA_BASE_URL"
ENV_ACCESS_KEY = "ORVANTA_ACCESS_KEY"
ENV_SECRET_KEY = "ORVANTA_SECRET_KEY"

_lock = threading.Lock()
_instance: OrvantaClient | None = None


def _setting(value: str | None, env: str, what: str) -> str:
    value = value if value is not None else os.environ.get(env)
    if not value:
        raise QuantError(f"缺少{what}: 请传入参数或设置环境变量 {env}")
    return value


def init(
    base_url: str | None = None,
    access_key: str | None = None,
    secret_key: str | None = None,
    **http_options: object,
) -> OrvantaClient:
    """Create the SDK client (replacing any earlier one) and return it.

    Arguments left out are read from ORVANTA_BASE_URL, ORVANTA_ACCESS_KEY and
    ORVANTA_SECRET_KEY. ``http_options`` go to :class:`~orvanta._http.HttpClient`.
    """
    global _instance
    http = HttpClient(
        _setting(base_url, ENV_BASE_URL, "服务地址"),
        _setting(access_key, ENV_ACCESS_KEY, "访问密钥"),
        _setting(secret_key, ENV_SECRET_KEY, "签名密钥"),
        **http_options,  # type: ignore[arg-type]
    )
    client = OrvantaClient(http)
    with _lock:
        previous, _instance = _instance, client
    if previous is not None:
        previous.close()
    return client


def set_instance(client: object | None) -> None:
    """Install ``client`` (or None) as the SDK client; for tests and embedding."""
    global _instance
    with _lock:
        _instance = client  # type: ignore[assignment]


def get_instance() -> OrvantaClient:
    """The client created by :func:`init`; QuantError when there is none."""
    client = _instance
    if client is None:
        raise QuantError("SDK 尚未初始化: 请先调用 orvanta.init(base_url, access_key, secret_key)")
    return client
