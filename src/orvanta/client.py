"""The SDK client: one signed HTTP connection and the query services on top of it."""

from __future__ import annotations

import os
from pathlib import Path

from orvanta._http import HttpClient


class OrvantaClient:
    """Entry point for users: every data-service query hangs off this object.

    Create it with :func:`orvanta.init`; reach it again anywhere with
    :func:`orvanta.get_instance`.
    """

    def __init__(self, http: HttpClient) -> None:
        self.http = http

    def close(self) -> None:
        self.http.close()

    def download_benchmark_package(self, store_dir: str | os.PathLike[str]) -> Path:
        """Download the backtest benchmark data package and unpack it into ``store_dir``.

        ``store_dir`` may start with ``~`` and need not exist; the transfer goes through
        ``temp/benchmark.part`` beside it and resumes an interrupted earlier attempt.
        Returns the store directory with ``~`` expanded.
        """
        from orvanta.backtest._pkg import download_benchmark_package

        return download_benchmark_package(self.http, store_dir)
