"""The SDK client: one signed HTTP connection and the query services on top of it."""

from __future__ import annotations

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
