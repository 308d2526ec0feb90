import datetime as dt
import typing

import numpy as np
import pandas as pd
import pytest

from orvanta import get_instance
from orvanta._calendar import CalendarService, _to_date
from orvanta._quota import Quota, QuotaService
from orvanta._stock import INSTRUMENT_COLUMNS, StockService, _to_dataframe

D = dt.date


def only_request(data_service):
    [request] = data_service.requests
    assert request.method == "GET" and request.body == b""
    return request


@pytest.mark.parametrize(
    "answer, expected",
    [
        (["2024-01-02", "2024-01-03"], [D(2024, 1, 2), D(2024, 1, 3)]),
        ({"items": ["2024-01-04"], "total": 1}, [D(2024, 1, 4)]),
        ({}, []),
        (["2024-01-05", "2024-01-02"], [D(2024, 1, 5), D(2024, 1, 2)]),
    ],
    ids=["list", "mapping", "empty mapping", "service order kept"],
)
def test_get_trading_dates(data_service, answer, expected):
    data_service.answers["/api/v1/calendar/trading-dates"] = answer
    got = get_instance().get_trading_dates(20240101, dt.datetime(2024, 1, 31, 15))
    assert got == expected and all(type(d) is dt.date for d in got)
    request = only_request(data_service)
    assert request.path == "/api/v1/calendar/trading-dates"
    assert request.params == {"start_date": "2024-01-01", "end_date": "2024-01-31"}


@pytest.mark.parametrize(
    "method, path", [("get_previous_trading_date", "previous"), ("get_next_trading_date", "next")]
)
@pytest.mark.parametrize(
    "n, sent",
    [(None, "1"), (2.7, "2"), (True, "1"), (np.int64(3), "3"), (-2, "-2")],
    ids=["default", "float cut", "bool", "numpy", "unchecked"],
)
@pytest.mark.parametrize("answer", [{"date": "2023-12-29"}, "2023-12-29"], ids=["mapping", "text"])
def test_offset_dates(data_service, method, path, n, sent, answer):
    data_service.answers[f"/api/v1/calendar/{path}"] = answer
    args = (D(2024, 1, 2),) if n is None else (D(2024, 1, 2), n)
    assert getattr(get_instance(), method)(*args) == D(2023, 12, 29)
    request = only_request(data_service)
    assert request.path == f"/api/v1/calendar/{path}"
    assert request.params == {"date": "2024-01-02", "n": sent}


def test_offset_date_keyword_arguments_and_bad_n(data_service):
    data_service.answers["/api/v1/calendar/next"] = {"date": "2024-01-04"}
    service = CalendarService(get_instance().http)
    assert service.get_next_trading_date(current_date="20240102", n=2) == D(2024, 1, 4)
    with pytest.raises(TypeError, match="n must be int, not str"):
        service.get_next_trading_date(20240102, "2")
    with pytest.raises(TypeError, match="n must be int, not NoneType"):
        service.get_previous_trading_date(20240102, None)
    assert len(data_service.requests) == 1


def test_offset_date_mapping_without_date(data_service):
    data_service.answers["/api/v1/calendar/previous"] = {"day": "2024-01-02"}
    with pytest.raises(KeyError):
        get_instance().get_previous_trading_date(20240103)


@pytest.mark.parametrize(
    "answer, expected",
    [
        ({"is_trading": True}, True),
        ({"is_trading": False, "reason": "holiday"}, False),
        ({}, False),
        (True, True),
        (0, False),
        ("", False),
        ([1], True),
    ],
    ids=["mapping true", "mapping false", "empty mapping", "bare true", "zero", "empty", "list"],
)
def test_is_trading_date(data_service, answer, expected):
    data_service.answers["/api/v1/calendar/is-trading-date"] = answer
    got = get_instance().is_trading_date(pd.Timestamp("2024-02-09"))
    assert got is expected
    assert only_request(data_service).params == {"date": "2024-02-09"}


class Text(str):
    pass


def test_to_date():
    assert _to_date("2024-02-29") == D(2024, 2, 29)
    for wrong, name in [(None, "NoneType"), (20240229, "int"), (b"2024-02-29", "bytes")]:
        with pytest.raises(TypeError, match=f"s must be str, not {name}"):
            _to_date(wrong)
    with pytest.raises(TypeError, match="s must be str"):
        _to_date(Text("2024-02-29"))
    for bad in ["2024-02-30", "yesterday", ""]:
        with pytest.raises(ValueError):
            _to_date(bad)


def test_a_date_item_that_is_not_text(data_service):
    data_service.answers["/api/v1/calendar/trading-dates"] = ["2024-01-02", 20240103]
    with pytest.raises(TypeError, match="s must be str, not int"):
        get_instance().get_trading_dates(20240101, 20240105)


def test_service_classes():
    http = object()
    for cls, doc in [
        (CalendarService, "交易日历查询服务。"),
        (StockService, "股票/合约信息查询服务。"),
        (QuotaService, "用户配额查询服务。"),
    ]:
        assert cls.__doc__ == doc
        assert cls(http)._http is http
        assert cls(http=http)._http is http


def expected_instruments(records):
    """The three columns built by hand, a missing key as pd.NA."""
    rows = {c: [r.get(c, pd.NA) for r in records] for c in INSTRUMENT_COLUMNS}
    return pd.DataFrame(rows)


STOCKS = [
    {"ukey": "000001.SZ", "industry_name": "银行", "symbol": "平安银行", "list_date": "1991"},
    {"symbol": "浦发银行", "ukey": "600000.SH", "industry_name": "银行"},
]


@pytest.mark.parametrize(
    "answer, records",
    [
        (STOCKS, STOCKS),
        ({"items": STOCKS[:1], "stocks": STOCKS}, STOCKS[:1]),
        ({"stocks": STOCKS}, STOCKS),
    ],
    ids=["list", "items wins", "stocks key"],
)
def test_list_stocks(data_service, answer, records):
    data_service.answers["/api/v1/stocks"] = answer
    df = get_instance().list_stocks()
    pd.testing.assert_frame_equal(df, expected_instruments(records))
    request = only_request(data_service)
    assert request.target == "/api/v1/stocks"


def test_list_stocks_records_missing_a_column(data_service):
    data_service.answers["/api/v1/stocks"] = [{"ukey": "000001.SZ", "industry_name": "银行"}]
    df = get_instance().list_stocks()
    assert list(df.columns) == ["ukey", "industry_name", "symbol"]
    assert df["symbol"].isna().all() and df.loc[0, "symbol"] is pd.NA
    sz = df[df["ukey"].str.endswith(".SZ")]
    assert len(sz) == 1


@pytest.mark.parametrize("answer", [[], {}, {"items": []}], ids=["list", "mapping", "items"])
def test_list_stocks_empty(data_service, answer):
    data_service.answers["/api/v1/stocks"] = answer
    df = get_instance().list_stocks()
    assert list(df.columns) == INSTRUMENT_COLUMNS and len(df) == 0


def test_list_stocks_bad_answers(data_service):
    data_service.answers["/api/v1/stocks"] = {"items": "000001.SZ"}
    with pytest.raises(TypeError, match="items must be list, not str"):
        get_instance().list_stocks()
    data_service.answers["/api/v1/stocks"] = "000001.SZ"
    with pytest.raises(AttributeError):
        get_instance().list_stocks()


class Records(list):
    pass


@pytest.mark.parametrize(
    "items, name",
    [((), "tuple"), (None, "NoneType"), (Records(), "test_calendar_stock_quota.Records")],
)
def test_to_dataframe_takes_exactly_a_list(items, name):
    with pytest.raises(TypeError, match=f"items must be list, not {name}"):
        _to_dataframe(items)


def test_to_dataframe_keeps_the_module_list_intact():
    df = _to_dataframe([{"x": 1}])
    df["ukey"] = "changed"
    assert INSTRUMENT_COLUMNS == ["ukey", "industry_name", "symbol"]


QUOTA_KEYS = [
    "daily_quota_bytes",
    "daily_used_bytes",
    "extra_quota_bytes",
    "available_bytes",
    "remaining_days",
    "license_type",
]


@pytest.mark.parametrize(
    "answer, expected",
    [
        (
            {
                "license_type": "pro",
                "frozen_bytes": 5,
                "remaining_days": 30,
                "available_bytes": 900,
                "extra_quota_bytes": 0,
                "daily_used_bytes": 100,
                "daily_quota_bytes": 1000,
                "user": "u1",
            },
            {
                "daily_quota_bytes": 1000,
                "daily_used_bytes": 100,
                "extra_quota_bytes": 0,
                "available_bytes": 900,
                "remaining_days": 30,
                "license_type": "pro",
            },
        ),
        (
            {"daily_quota_bytes": "1073741824", "available_bytes": 12.9, "remaining_days": None},
            {"daily_quota_bytes": 1073741824, "available_bytes": 12, "remaining_days": None},
        ),
        ({"license_type": 3, "remaining_days": "7"}, {"remaining_days": 7, "license_type": "3"}),
        ({}, {}),
        ([{"daily_quota_bytes": 1}], {}),
        (None, {}),
        ("pro", {}),
    ],
    ids=["all six", "texts and floats", "numeric license", "empty", "list", "null", "text"],
)
def test_get_quota(data_service, answer, expected):
    data_service.answers["/api/v1/quota"] = answer
    got = get_instance().get_quota()
    assert got == expected
    assert list(got) == [k for k in QUOTA_KEYS if k in expected]
    assert all(type(got[k]) is int for k in got if k in QUOTA_KEYS[:4])
    assert only_request(data_service).target == "/api/v1/quota"


@pytest.mark.parametrize(
    "answer, error",
    [
        ({"daily_quota_bytes": "1.5"}, ValueError),
        ({"available_bytes": [1]}, TypeError),
        ({"remaining_days": "forever"}, ValueError),
    ],
    ids=["decimal text", "list", "text days"],
)
def test_get_quota_values_int_cannot_take(data_service, answer, error):
    data_service.answers["/api/v1/quota"] = answer
    with pytest.raises(error):
        get_instance().get_quota()


def test_quota_is_a_typed_dict_with_every_key_optional():
    assert typing.is_typeddict(Quota)
    assert Quota.__total__ is False
    assert list(Quota.__annotations__) == QUOTA_KEYS
    assert Quota.__optional_keys__ == frozenset(QUOTA_KEYS)
    assert Quota.__annotations__["remaining_days"] == typing.Optional[int]  # noqa: UP045
    assert Quota(license_type="x") == {"license_type": "x"}
