import datetime as dt

import pandas as pd
import pytest

from orvanta.dates import normalize_date


@pytest.mark.parametrize(
    "value",
    [
        20240105,
        "20240105",
        "2024-01-05",
        " 2024-01-05 ",
        dt.date(2024, 1, 5),
        dt.datetime(2024, 1, 5, 23, 59),
        pd.Timestamp("2024-01-05 10:00"),
    ],
    ids=repr,
)
def test_accepted_forms(value):
    assert normalize_date(value) == "2024-01-05"


@pytest.mark.parametrize(
    "value, error",
    [
        (20240230, ValueError),
        ("2024-13-01", ValueError),
        ("2024/01/05", ValueError),
        ("", ValueError),
        (2024010, ValueError),
        (-20240105, ValueError),
        (pd.NaT, ValueError),
        (True, TypeError),
        (20240105.0, TypeError),
        (None, TypeError),
        ([2024, 1, 5], TypeError),
    ],
    ids=repr,
)
def test_refusals(value, error):
    with pytest.raises(error):
        normalize_date(value)
