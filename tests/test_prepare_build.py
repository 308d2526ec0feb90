"""The payload builder against a recording fake SDK client."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from _fake_sdk import CODES, COMPONENT_NAMES, DATES, FakeSdk, index_bars, market_factors

from orvanta import singleton
from orvanta.backtest import _prepare as prep
from orvanta.exceptions import NetworkError

BASE_KEYS = list(prep.BASE_MATRIX_DTYPE)
ALL_INPUTS = list(prep.BUILD_INPUT_NAMES) + COMPONENT_NAMES


@pytest.fixture
def install():
    def _install(sdk: FakeSdk) -> FakeSdk:
        singleton.set_instance(sdk)
        return sdk

    yield _install
    singleton.set_instance(None)


@pytest.fixture
def market():
    return market_factors()


def builder() -> prep.GroupPreparedDataBuilder:
    return prep.GroupPreparedDataBuilder("20240101", "2024-12-31")


def test_full_build_queries_each_factor_once(install, market):
    sdk = install(FakeSdk(market, index_bars()))
    payload = builder().build()

    expected = list(prep.REQUIRED_FACTOR_NAMES) + list(prep.OPTIONAL_FACTOR_NAMES)
    assert sdk.single_queries() == expected + COMPONENT_NAMES
    assert sdk.batch_queries() == []
    assert {(c["start_date"], c["end_date"], c["ukeys"]) for c in sdk.factor_calls} == {
        ("2024-01-01", "2024-12-31", None)
    }
    assert sdk.bar_calls == [
        {
            "ukeys": ["000852.XSHG", "000300.XSHG", "000905.XSHG"],
            "fields": None,
            "start_date": "20240101",
            "end_date": "20241231",
        }
    ]
    assert list(payload) == ["version", "meta", "data"]
    assert payload["version"] == 1
    meta = payload["meta"]
    assert list(meta) == [
        "start_date", "end_date", "ddb_start", "ddb_end", "component_names",
        "component_dataset_keys", "created_at",
    ]  # fmt: skip
    assert (meta["start_date"], meta["end_date"]) == ("20240101", "20241231")
    assert meta["component_names"] == COMPONENT_NAMES
    keys = [prep.component_dataset_key(name) for name in COMPONENT_NAMES]
    assert meta["component_dataset_keys"] == dict(zip(COMPONENT_NAMES, keys, strict=True))
    assert pd.Timestamp(meta["created_at"]).tzinfo is None
    assert list(payload["data"]) == BASE_KEYS + keys + ["benchmark_dict"]


def test_incremental_build_is_one_batch_query(install, market):
    sdk = install(FakeSdk(market, index_bars()))
    full = builder().build()
    sdk.factor_calls.clear()
    payload = builder().build_incremental()

    assert sdk.batch_queries() == [ALL_INPUTS]
    assert sdk.single_queries() == []
    assert "updated_at" in payload["meta"] and "created_at" not in payload["meta"]
    for key, value in full["data"].items():
        if key == "benchmark_dict":
            continue
        pd.testing.assert_frame_equal(payload["data"][key], value, check_names=False)


@pytest.mark.parametrize(
    "sdk_options, singles",
    [
        ({"batch_error": True}, ALL_INPUTS),
        ({"left_out_of_batch": ["Open", "rq_get_dividend"]}, ["Open", "rq_get_dividend"]),
    ],
    ids=["batch-network-error", "batch-misses-two"],
)
def test_incremental_build_falls_back_per_factor(install, market, sdk_options, singles):
    sdk = install(FakeSdk(market, index_bars(), **sdk_options))
    payload = builder().build_incremental()
    assert len(sdk.batch_queries()) == 1
    assert sdk.single_queries() == singles
    pd.testing.assert_frame_equal(payload["data"]["open_price"], market["Open"], check_names=False)


@pytest.mark.parametrize("incremental", [False, True], ids=["full", "incremental"])
def test_optional_factor_without_data_becomes_nan_shaped_like_close(install, market, incremental):
    del market["rq_get_dividend"]
    sdk = install(FakeSdk(market, index_bars()))
    b = builder()
    payload = b.build_incremental() if incremental else b.build()
    dividend = payload["data"]["rq_get_dividend"]
    assert list(dividend.index) == DATES and list(dividend.columns) == CODES
    assert dividend.isna().all().all()
    # The batch misses it, so it is asked once alone; the full build asks once anyway.
    assert sdk.single_queries().count("rq_get_dividend") == 1


@pytest.mark.parametrize(
    "incremental, cause",
    [(False, "no-data"), (True, "no-data"), (False, "network")],
    ids=["full-no-data", "incremental-no-data", "full-network"],
)
def test_missing_component_aborts_naming_it(install, market, incremental, cause):
    missing = "rq_index_components_new_932000.INDX"
    if cause == "no-data":
        del market[missing]
        sdk = FakeSdk(market, index_bars())
    else:
        sdk = FakeSdk(market, index_bars(), failing=[missing])
    install(sdk)
    b = builder()
    with pytest.raises(ValueError) as info:
        b.build_incremental() if incremental else b.build()
    assert str(info.value) == f"成分股矩阵缺失，无法精确生成二进制缓存: ['{missing}']"


def test_network_error_of_a_fallback_read_propagates(install, market):
    # The batch misses the component, and its single read then fails: only the batch
    # query itself is allowed to fail quietly.
    missing = "rq_index_components_new_932000.INDX"
    install(FakeSdk(market, index_bars(), failing=[missing], left_out_of_batch=[missing]))
    with pytest.raises(NetworkError):
        builder().build_incremental()


def test_single_factor_network_error_propagates(install, market):
    install(FakeSdk(market, index_bars(), failing=["Close"]))
    with pytest.raises(NetworkError):
        builder().build()


def test_derived_matrices(install, market):
    install(FakeSdk(market, index_bars()))
    data = builder().build()["data"]
    close = market["Close"]

    valid = data["close_price_valid"]
    np.testing.assert_array_equal(valid.to_numpy(), np.where(close.isna(), np.nan, 1.0))
    np.testing.assert_array_equal(data["prev_close"].to_numpy()[1:], close.to_numpy()[:-1])
    assert data["prev_close"].iloc[0].isna().all()

    split = data["rq_get_split"]
    assert split.loc["20240103", "000001"] == pytest.approx(1.5)
    # 000002 has no close on the day of its split: blanked.
    assert np.isnan(split.loc["20240104", "000002"])
    dividend = data["rq_get_dividend"]
    assert dividend.loc["20240105", "000001"] == pytest.approx(0.18)
    assert dividend.loc["20240102", "000001"] != dividend.loc["20240102", "000001"]

    can_buy, cant_sell = data["can_buy_stock"], data["cant_sell_stock"]
    assert can_buy.dtypes.eq(bool).all() and cant_sell.dtypes.eq(bool).all()
    expected_cant_sell = pd.DataFrame(False, index=DATES, columns=CODES)
    expected_cant_sell.loc["20240103", "000001"] = True  # sell at limit-down
    expected_cant_sell.loc["20240103", "600000"] = True  # suspended
    expected_cant_sell.loc["20240105", "600000"] = True  # suspended
    expected_can_buy = pd.DataFrame(True, index=DATES, columns=CODES)
    expected_can_buy.loc["20240105", "000002"] = False  # buy at limit-up
    expected_can_buy.loc["20240103", "600000"] = False
    expected_can_buy.loc["20240105", "600000"] = False
    pd.testing.assert_frame_equal(cant_sell, expected_cant_sell, check_names=False)
    pd.testing.assert_frame_equal(can_buy, expected_can_buy, check_names=False)

    open_ = market["Open"].to_numpy()
    forward = open_[2:] / open_[1:-1] - 1
    ranks = np.array([pd.Series(row).rank().to_numpy() for row in forward])
    np.testing.assert_allclose(data["forward_return_rank_cache"].to_numpy()[:-2], ranks)
    assert data["forward_return_rank_cache"].iloc[-2:].isna().all().all()

    for i, name in enumerate(COMPONENT_NAMES):
        mask = data[prep.component_dataset_key(name)]
        expected = np.full((5, 3), np.nan)
        expected[:, i % 3] = 1.0
        np.testing.assert_array_equal(mask.to_numpy(), expected)

    bench = data["benchmark_dict"]
    assert list(bench) == ["000852", "000300", "000905"]
    for k, name in enumerate(bench):
        closes = np.array([1000.0 * (k + 1) + 10 * i**2 for i in range(5)])
        series = bench[name]
        assert series.name == "index_daily_return"
        assert list(series.index) == DATES[1:]
        np.testing.assert_allclose(series.to_numpy(), closes[1:] / closes[:-1] - 1)


def test_flags_cover_suspension_dates_outside_prices():
    b = builder()
    close = pd.DataFrame({"000001": [10.0, 10.0]}, index=["20240102", "20240103"])
    suspended = pd.DataFrame({"000001": [1.0], "000009": [1.0]}, index=["20240104"])
    empty = close * np.nan
    source = {
        "rq_industry_exposure_new": close, "limit_down": empty, "limit_up": empty,
        "Close": close, "Open": close, "tick_vwap_price_935_1005": close,
        "tick_vwap_price_925_1000": close, "split_coefficient_to": empty,
        "rq_get_dividend": empty, "rq_is_suspended": suspended,
    }  # fmt: skip
    data = b._build_from_matrices(source)
    assert list(data) == BASE_KEYS
    assert data["cant_sell_stock"].loc["20240104"].tolist() == [True, True]
    assert data["can_buy_stock"].loc["20240104"].tolist() == [False, False]
    assert data["can_buy_stock"].loc["20240102", "000001"]
    assert not data["can_buy_stock"].loc["20240102", "000009"]
    with pytest.raises(KeyError, match="Close"):
        b._build_from_matrices({k: v for k, v in source.items() if k != "Close"})


def test_split_and_dividend_rows_are_cut_to_the_close_dates():
    b = builder()
    close = pd.DataFrame({"000001": [10.0, 10.0]}, index=["20240103", "20240104"])
    events = pd.DataFrame(
        {"000001": [15.0, 15.0, 15.0, 15.0]}, index=["20240102", "20240103", "20240104", "20240105"]
    )
    empty = close * np.nan
    source = dict.fromkeys(prep.BUILD_INPUT_NAMES, empty)
    source.update(
        {"Close": close, "Open": close, "split_coefficient_to": events, "rq_get_dividend": events}
    )
    data = b._build_from_matrices(source)
    assert list(data["rq_get_split"].index) == ["20240103", "20240104", "20240105"]
    assert list(data["rq_get_dividend"].index) == ["20240102", "20240103", "20240104"]


def _bars(columns: dict) -> pd.DataFrame:
    return pd.DataFrame(columns)


@pytest.mark.parametrize(
    "frame, expected",
    [
        (
            _bars(
                {
                    "date": ["2024-01-03", "2024-01-02"],
                    "return": [0.02, 0.01],
                    "pct_change": [9.0, 9.0],
                }
            ),
            [0.01, 0.02],
        ),
        (_bars({"DataDate": [20240102, 20240103], "pct_change": ["0.5", "x"]}), [0.5]),
        (
            _bars({"date": ["2024-01-02", "2024-01-03", "2024-01-04"], "close": [100, 110, 99]}),
            [0.1, -0.1],
        ),
        (_bars({"date": ["2024-01-02", "2024-01-02"], "daily_return": [0.1, 0.3]}), [0.3]),
    ],
    ids=[
        "return-before-pct_change",
        "int-dates-pct_change-non-numeric",
        "close-only",
        "last-duplicate",
    ],
)
def test_benchmark_return_columns(frame, expected):
    series = builder()._format_benchmark_daily_return(frame, "000852", "000852.XSHG")
    assert series.name == "index_daily_return"
    np.testing.assert_allclose(series.to_numpy(), expected)
    assert series.index.is_monotonic_increasing


def test_benchmark_frame_filters_each_code(install, market):
    bars = index_bars()
    install(FakeSdk(market, bars))
    bench = builder()._read_benchmark_dict()
    series = {name: s.to_numpy() for name, s in bench.items()}
    assert not np.allclose(series["000852"], series["000300"])
    without_ukey = bars[bars["ukey"] == "000300.XSHG"].drop(columns="ukey")
    install(FakeSdk(market, without_ukey))
    bench = builder()._read_benchmark_dict()
    for s in bench.values():
        np.testing.assert_allclose(s.to_numpy(), series["000300"])


@pytest.mark.parametrize(
    "frame, message",
    [
        (None, "基准日频数据为空: 000852 (000852.XSHG)"),
        (_bars({"ukey": ["000852.XSHG"], "close": [1.0]}), "000852 基准缺少 DataDate 列"),
        (_bars({"date": ["2024-01-02"], "open": [1.0]}), "000852 基准缺少 daily_return/close 列"),
    ],
    ids=["empty", "no-date", "no-return"],
)
def test_benchmark_errors(frame, message):
    with pytest.raises(KeyError) as info:
        builder()._format_benchmark_daily_return(frame, "000852", "000852.XSHG")
    assert info.value.args[0] == message


def test_empty_bar_answer_fails_the_build_on_the_first_benchmark(install, market):
    install(FakeSdk(market, None))
    with pytest.raises(KeyError, match="000852"):
        builder().build()


@pytest.mark.parametrize(
    "args",
    [(None, "20241231"), (20240101, "20241231"), ("20240101", b"20241231")],
    ids=["none", "int", "bytes"],
)
def test_builder_arguments_are_checked(args):
    with pytest.raises(TypeError):
        prep.GroupPreparedDataBuilder(*args)


def test_assemble_payload_checks_types_and_copies_data():
    b = builder()
    data = {"close_price": pd.DataFrame()}
    with pytest.raises(TypeError, match="component_names must be list"):
        b._assemble_payload(data, {}, {}, ("a",), "created_at")
    payload = b._assemble_payload(data, {}, {}, [], "created_at")
    assert list(data) == ["close_price"]
    assert list(payload["data"]) == ["close_price", "benchmark_dict"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b._build_from_matrices([]), "source must be dict, not list"),
        (lambda b: b._component_matrices(("a",)), "component_names must be list, not tuple"),
        (lambda b: b._component_matrices([], batch=[]), "batch must be dict or None, not list"),
        (lambda b: b._read_normal_factor_batch("Close"), "names must be list, not str"),
        (lambda b: b._read_or_empty(1, pd.DataFrame()), "name must be str, not int"),
        (
            lambda b: b._format_benchmark_daily_return(None, 852, "000852.XSHG"),
            "benchmark_name must be str, not int",
        ),
        (
            lambda b: b._format_benchmark_daily_return(None, "000852", None),
            "index_code must be str, not NoneType",
        ),
        (lambda b: b._build_payload(False, None), "meta_time_key must be str, not NoneType"),
    ],
    ids=[
        "source",
        "component-names",
        "batch",
        "batch-names",
        "name",
        "bench-name",
        "index-code",
        "time-key",
    ],
)
def test_argument_types_are_checked_before_any_query(install, market, call, message):
    sdk = install(FakeSdk(market, index_bars()))
    with pytest.raises(TypeError) as info:
        call(builder())
    assert str(info.value) == message
    assert sdk.factor_calls == [] and sdk.bar_calls == []


def test_empty_like_fills_reference_shape():
    reference = pd.DataFrame({"a": [1.0, 2.0]}, index=["x", "y"])
    nan_frame = prep.GroupPreparedDataBuilder._empty_like(reference)
    assert nan_frame.isna().all().all() and nan_frame.index.equals(reference.index)
    zeros = prep.GroupPreparedDataBuilder._empty_like(reference, 0.0)
    assert (zeros == 0.0).all().all()
