"""The SDK client's services and the backtest data builder against the sandbox service."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import orvanta
from orvanta.backtest._prepare import GroupPreparedDataBuilder
from orvanta.sandbox import MarketConfig, SandboxServer
from orvanta.sandbox._package import backtest_datasets, benchmark_returns
from orvanta.singleton import set_instance

CONFIG = MarketConfig(seed=13, n_stocks=50, n_days=100, start_date="2024-01-02")


@pytest.fixture(scope="module")
def sandbox():
    with SandboxServer(CONFIG) as server:
        yield server


@pytest.fixture
def client(sandbox):
    client = orvanta.init(sandbox.url, sandbox.access_key, sandbox.secret_key)
    yield client
    client.close()
    set_instance(None)


def test_services_read_the_sandbox_market(client, sandbox):
    market = sandbox.market
    frame = client.get_factors(
        ukeys=[str(market.ukeys[0])], factor="Close", start_date=20240102, end_date="2024-02-01"
    )
    assert list(frame.columns) == ["date", "ukey", "value", "factor"]
    rows = market.date_range(np.datetime64("2024-01-02"), np.datetime64("2024-02-01"))
    want = market.factors["Close"][rows, 0]
    np.testing.assert_array_equal(frame["value"].to_numpy(), want[np.isfinite(want)])

    bars = client.get_marketbar("000852.XSHG", fields=["close"], start_date=dt.date(2024, 1, 2))
    np.testing.assert_array_equal(
        bars["close"].to_numpy(), market.index_bars["000852.XSHG"]["close"]
    )

    days = client.get_trading_dates("2024-01-01", "2024-01-31")
    assert days[0] == dt.date(2024, 1, 2) and all(d.weekday() < 5 for d in days)
    assert client.get_next_trading_date(days[-1]) > days[-1]
    assert client.get_previous_trading_date(days[1]) == days[0]
    assert client.is_trading_date(dt.date(2024, 1, 6)) is False

    stocks = client.list_stocks()
    assert list(stocks["ukey"]) == list(market.ukeys)
    assert {f["factorname"] for f in client.list_factors()} == set(market.factors)
    assert set(client.get_quota()) == {
        "daily_quota_bytes", "daily_used_bytes", "extra_quota_bytes",
        "available_bytes", "remaining_days", "license_type",
    }  # fmt: skip


def assert_payload_data_equal(left, right):
    assert list(left) == list(right)
    for key in left:
        if key == "benchmark_dict":
            assert list(left[key]) == list(right[key])
            for name in left[key]:
                pd.testing.assert_series_equal(left[key][name], right[key][name])
        else:
            pd.testing.assert_frame_equal(left[key], right[key], obj=key)


def test_full_and_incremental_builds_give_equal_payloads(client, sandbox):
    first, last = (str(d).replace("-", "") for d in sandbox.market.dates[[0, -1]])
    builder = GroupPreparedDataBuilder(first, last)
    full = builder.build()
    incremental = builder.build_incremental()
    assert "created_at" in full["meta"] and "updated_at" in incremental["meta"]
    strip = ("created_at", "updated_at")
    assert {k: v for k, v in full["meta"].items() if k not in strip} == {
        k: v for k, v in incremental["meta"].items() if k not in strip
    }
    assert len(full["data"]) == 12 + 5 + 1
    assert_payload_data_equal(full["data"], incremental["data"])


def test_builder_and_service_package_derive_the_same_matrices(client, sandbox):
    market = sandbox.market
    first, last = (str(d).replace("-", "") for d in market.dates[[0, -1]])
    built = GroupPreparedDataBuilder(first, last).build()["data"]
    served = backtest_datasets(market)
    for key, matrix in served.items():
        mine = built[key]
        rows = matrix.index.intersection(mine.index)
        cols = matrix.columns.intersection(mine.columns)
        assert len(rows) and len(cols), key
        np.testing.assert_allclose(
            mine.loc[rows, cols].to_numpy(dtype=float),
            matrix.loc[rows, cols].to_numpy(dtype=float),
            err_msg=key,
        )
    # The builder has no close before the first day, so its series start a day later.
    expected = benchmark_returns(market)
    for name, series in built["benchmark_dict"].items():
        np.testing.assert_allclose(series.to_numpy(), expected[name].to_numpy()[1:])
