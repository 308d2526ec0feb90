"""Dates given by users, turned into the one text form the data service takes."""

from __future__ import annotations

import datetime as _dt
import re

import pandas as pd

DateLike = int | str | _dt.date | _dt.datetime | pd.Timestamp

_COMPACT = re.compile(r"^(\d{4})(\d{2})(\d{2})$")
_ISO = re.compile(r"^(\d{4})-(\d{2})-(\d{2})$")


def _from_parts(year: str, month: str, day: str, original: object) -> _dt.date:
    try:
        return _dt.date(int(year), int(month), int(day))
    except ValueError:
        raise ValueError(f"invalid date: {original!r}") from None


def normalize_date(value: DateLike) -> str:
    """Return ``value`` as ISO text "YYYY-MM-DD".

    Accepts an ``int`` YYYYMMDD, a "YYYYMMDD" or "YYYY-MM-DD" text, a ``date``, a
    ``datetime`` or a pandas ``Timestamp`` (the time of day is dropped). ``bool``, floats and
    other types raise TypeError; impossible dates and other texts raise ValueError.
    """
    if isinstance(value, bool):
        raise TypeError(f"date must be int, str, date or Timestamp, not {type(value).__name__}")
    if value is pd.NaT:
        raise ValueError("invalid date: NaT")
    if isinstance(value, pd.Timestamp):
        return value.date().isoformat()
    if isinstance(value, _dt.datetime):
        return value.date().isoformat()
    if isinstance(value, _dt.date):
        return value.isoformat()
    if isinstance(value, int):
        text = str(value)
        match = _COMPACT.match(text) if value > 0 else None
        if match is None:
            raise ValueError(f"invalid date: {value!r} (expected YYYYMMDD)")
        return _from_parts(*match.groups(), value).isoformat()
    if isinstance(value, str):
        text = value.strip()
        match = _COMPACT.match(text) or _ISO.match(text)
        if match is None:
            raise ValueError(f"invalid date: {value!r} (expected YYYYMMDD or YYYY-MM-DD)")
        return _from_parts(*match.groups(), value).isoformat()
    raise TypeError(f"date must be int, str, date or Timestamp, not {type(value).__name__}")
