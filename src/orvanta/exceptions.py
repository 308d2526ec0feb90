"""Exceptions raised by the package."""

from __future__ import annotations


class QuantError(Exception):
    """Base error of the package; ``message`` is the text shown to users."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class NetworkError(QuantError):
    """A transport failure or a failed answer from the data service.

    ``cause`` is the underlying exception (also set as ``__cause__``); ``status`` is the HTTP
    status when the service answered.
    """

    def __init__(
        self, message: str, cause: BaseException | None = None, *, status: int | None = None
    ) -> None:
        super().__init__(message)
        self.cause = cause
        self.status = status
        if cause is not None:
            self.__cause__ = cause
