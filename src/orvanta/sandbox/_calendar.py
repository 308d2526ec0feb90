"""Trading calendar of the synthetic market: weekdays less the main exchange holidays."""

from __future__ import annotations

import datetime as dt

import numpy as np

# Lunar new year's day; the exchanges close for the five weekdays that start there.
_SPRING_FESTIVAL = {
    2015: (2, 19),
    2016: (2, 8),
    2017: (1, 28),
    2018: (2, 16),
    2019: (2, 5),
    2020: (1, 25),
    2021: (2, 12),
    2022: (2, 1),
    2023: (1, 22),
    2024: (2, 10),
    2025: (1, 29),
    2026: (2, 17),
    2027: (2, 6),
    2028: (1, 26),
    2029: (2, 13),
    2030: (2, 3),
}

CALENDAR_FIRST_YEAR = min(_SPRING_FESTIVAL)
CALENDAR_LAST_YEAR = max(_SPRING_FESTIVAL)


def _weekdays_from(start: dt.date, count: int) -> list[dt.date]:
    days: list[dt.date] = []
    day = start
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def _holidays(year: int) -> set[dt.date]:
    days: set[dt.date] = set()
    days.update(_weekdays_from(dt.date(year, 1, 1), 1))
    month, day = _SPRING_FESTIVAL[year]
    days.update(_weekdays_from(dt.date(year, month, day), 5))
    days.add(dt.date(year, 4, 4 if year % 4 else 5))  # Qingming falls on the 4th or 5th
    days.update(dt.date(year, 5, d) for d in (1, 2, 3))
    days.update(dt.date(year, 10, d) for d in range(1, 8))
    return days


def trading_days(
    first_year: int = CALENDAR_FIRST_YEAR, last_year: int = CALENDAR_LAST_YEAR
) -> np.ndarray:
    """All trading days of the years ``first_year`` to ``last_year`` as ``datetime64[D]``."""
    if first_year < CALENDAR_FIRST_YEAR or last_year > CALENDAR_LAST_YEAR:
        raise ValueError(
            f"calendar covers {CALENDAR_FIRST_YEAR} to {CALENDAR_LAST_YEAR} only, "
            f"not {first_year} to {last_year}"
        )
    days = np.arange(
        np.datetime64(f"{first_year}-01-01"), np.datetime64(f"{last_year + 1}-01-01")
    ).astype("datetime64[D]")
    # 1970-01-01 was a Thursday: (n + 3) % 7 gives Monday = 0.
    weekday = (days.astype(np.int64) + 3) % 7
    closed = {
        np.datetime64(d, "D") for year in range(first_year, last_year + 1) for d in _holidays(year)
    }
    keep = (weekday < 5) & ~np.isin(days, np.array(sorted(closed), dtype="datetime64[D]"))
    return days[keep]
