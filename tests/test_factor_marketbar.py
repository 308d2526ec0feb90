import datetime as dt

import pandas as pd
import pyarrow as pa
import pytest
from arrow_streams import factor_table, ipc_stream, schema_only_stream
from loopback import Response

import orvanta._factor
import orvanta._marketbar
from orvanta import get_instance
from orvanta._factor import FactorService
from orvanta._marketbar import IndexDailyService
from orvanta.exceptions import NetworkError

FACTORS = "/api/v1/factors/stream"
BARS = "/api/v1/index-daily/stream"


def sent_body(data_service, path):
    [request] = [r for r in data_service.requests if r.path == path]
    assert request.method == "POST"
    return request.json()


@pytest.mark.parametrize(
    "kwargs, body",
    [
        (
            {"factor": "alpha1", "start_date": 20240101},
            {"factor": ["alpha1"], "start_date": "2024-01-01"},
        ),
        (
            {
                "end_date": dt.date(2024, 3, 1),
                "start_date": "2024-01-02",
                "factor": ["alpha1", "vwap"],
                "ukeys": ("000001", "600036.SH"),
            },
            {
                "factor": ["alpha1", "vwap"],
                "ukeys": ["000001", "600036.SH"],
                "start_date": "2024-01-02",
                "end_date": "2024-03-01",
            },
        ),
        (
            {"ukeys": [], "factor": [], "start_date": pd.Timestamp("2024-05-06 13:00")},
            {"start_date": "2024-05-06"},
        ),
        ({}, {}),
    ],
    ids=["whole market", "all keys", "empty lists", "nothing"],
)
def test_get_factors_request_body(data_service, kwargs, body):
    data_service.answers[FACTORS] = ipc_stream(factor_table(3))
    get_instance().get_factors(**kwargs)
    sent = sent_body(data_service, FACTORS)
    assert sent == body
    assert list(sent) == list(body), "keys go in a fixed order"


def test_get_factors_concatenates_the_batches_with_a_fresh_index(data_service):
    table = factor_table(10_000)
    data_service.answers[FACTORS] = ipc_stream(table, max_chunksize=1_500)
    data_service.chunk_size = 4096
    df = get_instance().get_factors("000001", "alpha1", 20240101)
    expected = table.to_pandas()
    pd.testing.assert_frame_equal(df, expected)
    assert list(df.columns) == ["date", "ukey", "value", "factor"]
    assert df.index.equals(pd.RangeIndex(10_000))


def test_get_factors_without_rows_gives_the_fixed_empty_frame(data_service):
    other = pa.schema([("d", pa.date32()), ("x", pa.float64())])
    data_service.answers[FACTORS] = schema_only_stream(other)
    df = get_instance().get_factors(factor="alpha1", start_date=20240101)
    pd.testing.assert_frame_equal(df, pd.DataFrame(columns=["date", "ukey", "value", "factor"]))


def test_get_factors_refusal_is_a_network_error(data_service):
    data_service.answers[FACTORS] = Response.error(422, "factor 至多 20 个", "too_many")
    with pytest.raises(NetworkError, match="factor 至多 20 个"):
        get_instance().get_factors(factor=[f"f{i}" for i in range(21)], start_date=20240101)


def test_get_factors_bad_date_fails_before_sending(data_service):
    with pytest.raises(ValueError):
        get_instance().get_factors(factor="alpha1", start_date=20241341)
    assert data_service.requests == []


FULL = {"factorname": "alpha1", "startDate": "2015-01-05", "endDate": "2024-06-28"}


@pytest.mark.parametrize(
    "answer, expected",
    [
        ([dict(FULL, unit="x", owner="ops")], [FULL]),
        (
            {
                "items": [{"endDate": "2024-01-01", "factorname": "vwap", "sql": "select"}],
                "factors": [FULL],
            },
            [{"factorname": "vwap", "endDate": "2024-01-01"}],
        ),
        ({"factors": [FULL]}, [FULL]),
        (
            [{"factorname": "a", "startDate": "2020-01-01"}, {}],
            [{"factorname": "a", "startDate": "2020-01-01"}, {}],
        ),
        ({"total": 0}, []),
        ([], []),
    ],
    ids=["extra keys dropped", "items wins", "factors key", "missing keys", "no list", "empty"],
)
def test_list_factors(data_service, answer, expected):
    data_service.answers["/api/v1/factors"] = answer
    got = get_instance().list_factors()
    assert got == expected
    assert [list(r) for r in got] == [list(r) for r in expected]
    request = data_service.requests[0]
    assert (request.method, request.target) == ("GET", "/api/v1/factors")


def test_list_factors_answer_that_is_no_mapping(data_service):
    data_service.answers["/api/v1/factors"] = "alpha1"
    with pytest.raises(AttributeError):
        get_instance().list_factors()


def test_factor_module_names():
    assert orvanta._factor.__all__ == ["FactorService"]
    assert orvanta._factor._PUBLIC_FACTOR_META_FIELDS == ("factorname", "startDate", "endDate")
    assert FactorService.__doc__ == "因子数据查询服务。"
    http = object()
    assert FactorService(http)._http is http


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: None, None),
        (lambda: "a", ["a"]),
        (lambda: "", [""]),
        (lambda: ("a", "b"), ["a", "b"]),
        (lambda: iter("xy"), ["x", "y"]),
    ],
    ids=["None", "str", "empty str", "tuple", "iterator"],
)
@pytest.mark.parametrize("module", [orvanta._factor, orvanta._marketbar], ids=["factor", "bar"])
def test_to_str_list(module, make, expected):
    assert module._to_str_list(make()) == expected


def bar_table(rows, start=0):
    days = pd.bdate_range("2024-01-01", periods=rows)
    return pa.table(
        {
            "date": pa.array(days.date[start:], pa.date32()),
            "ukey": ["000001.XSHG"] * (rows - start),
            "close": [3000.0 + i for i in range(start, rows)],
        }
    )


@pytest.mark.parametrize(
    "args, kwargs, body",
    [
        (("000001.XSHG",), {}, {"ukeys": ["000001.XSHG"]}),
        (
            (["000001.XSHG", "399001.XSHE"], []),
            {"start_date": 20240102},
            {"ukeys": ["000001.XSHG", "399001.XSHE"], "start_date": "2024-01-02"},
        ),
        (
            ([],),
            {"fields": "", "end_date": dt.datetime(2024, 2, 1, 9)},
            {"fields": [""], "end_date": "2024-02-01"},
        ),
        (
            (),
            {
                "end_date": 20240301,
                "start_date": 20240101,
                "fields": ("open", "close"),
                "ukeys": "000300.XSHG",
            },
            {
                "ukeys": ["000300.XSHG"],
                "fields": ["open", "close"],
                "start_date": "2024-01-01",
                "end_date": "2024-03-01",
            },
        ),
    ],
    ids=["one code only", "empty fields", "empty ukeys, empty text field", "all keys"],
)
def test_get_marketbar_request_body(data_service, args, kwargs, body):
    data_service.answers[BARS] = ipc_stream(bar_table(2))
    get_instance().get_marketbar(*args, **kwargs)
    sent = sent_body(data_service, BARS)
    assert sent == body
    assert list(sent) == list(body)


def test_get_marketbar_concatenates_two_batches(data_service):
    first, second = bar_table(30), bar_table(70, start=30)
    table = pa.Table.from_batches(first.to_batches() + second.to_batches())
    data_service.answers[BARS] = ipc_stream(table)
    data_service.chunk_size = 97
    df = get_instance().get_marketbar("000001.XSHG", "close", 20240101)
    expected = pd.concat([first.to_pandas(), second.to_pandas()], ignore_index=True)
    pd.testing.assert_frame_equal(df, expected)
    assert df.index.equals(pd.RangeIndex(70))


def test_get_marketbar_without_rows_keeps_the_stream_columns(data_service):
    schema = pa.schema([("date", pa.date32()), ("ukey", pa.string()), ("close", pa.float64())])
    data_service.answers[BARS] = schema_only_stream(schema)
    df = get_instance().get_marketbar("000001.XSHG", fields="close")
    assert list(df.columns) == ["date", "ukey", "close"] and len(df) == 0
    pd.testing.assert_frame_equal(df, schema.empty_table().to_pandas())


def test_get_marketbar_requires_ukeys():
    service = IndexDailyService(object())
    assert IndexDailyService.__doc__ == "指数日线行情查询服务。"
    with pytest.raises(TypeError):
        service.get_marketbar()
