"""The sandbox's benchmark package through the real client: download, resume, unpack, load."""

import io
import zipfile

import numpy as np
import pytest

import orvanta
from orvanta.backtest._prepare import BinaryPreparedDataStore
from orvanta.exceptions import NetworkError
from orvanta.sandbox import MarketConfig, SandboxServer, generate_market
from orvanta.singleton import set_instance

CONFIG = MarketConfig(seed=5, n_stocks=60, n_days=150, start_date="2023-06-01")


@pytest.fixture(scope="module")
def market():
    return generate_market(CONFIG)


def test_package_unpacks_into_a_store_holding_the_market(tmp_path, market):
    with SandboxServer(market=market) as server:
        client = orvanta.init(server.url, server.access_key, server.secret_key)
        try:
            store_dir = client.download_benchmark_package(tmp_path / "data" / "bench")
        finally:
            client.close()
            set_instance(None)
        package_size = server.package().size
        assert server.bytes_served(server.access_key) >= package_size
    assert (store_dir / "metadata.pkl").is_file()
    assert not (tmp_path / "data" / "temp" / "benchmark.part").exists()

    loaded = BinaryPreparedDataStore(store_dir).load(mmap=False)["data"]
    f = market.factors
    close = f["Close"]
    dates = [str(d).replace("-", "") for d in market.dates]
    assert list(loaded["close_price"].index) == dates
    assert list(loaded["close_price"].columns) == list(market.codes)
    np.testing.assert_array_equal(loaded["close_price"].to_numpy(), close)
    np.testing.assert_array_equal(loaded["prev_close"].to_numpy()[1:], close[:-1])
    np.testing.assert_array_equal(loaded["buy_price"].to_numpy(), f["tick_vwap_price_935_1005"])

    halted = f["rq_is_suspended"] == 1
    can_buy = ~((f["tick_vwap_price_935_1005"] == f["limit_up"]) | halted)
    cant_sell = (f["tick_vwap_price_925_1000"] == f["limit_down"]) | halted
    np.testing.assert_array_equal(loaded["can_buy_stock"].to_numpy(), can_buy)
    np.testing.assert_array_equal(loaded["cant_sell_stock"].to_numpy(), cant_sell)
    assert (~can_buy & ~halted).any() and (cant_sell & ~halted).any()

    split = np.where(np.isfinite(close), f["split_coefficient_to"] / 10, np.nan)
    dividend = np.where(np.isfinite(close), f["rq_get_dividend"] / 10 * 0.9, np.nan)
    np.testing.assert_allclose(loaded["rq_get_split"].to_numpy(), split)
    np.testing.assert_allclose(loaded["rq_get_dividend"].to_numpy(), dividend)

    member = f["rq_index_components_new_000852.XSHG"] == 1
    mask = loaded["component_rq_index_components_new_000852.XSHG"].to_numpy()
    np.testing.assert_array_equal(mask == 1.0, member)
    assert np.isnan(mask[~member]).all()

    bench = BinaryPreparedDataStore(store_dir).load(keys=["benchmark_dict"])["data"]
    bars = market.index_bars["000852.XSHG"]
    np.testing.assert_allclose(
        bench["benchmark_dict"]["000852"].to_numpy(), bars["close"] / bars["prev_close"] - 1
    )


def test_interrupted_package_download_resumes_on_the_next_call(tmp_path):
    store = tmp_path / "bench"
    part = tmp_path / "temp" / "benchmark.part"
    # The client writes whole 1 MiB chunks: the package must be larger than that.
    with SandboxServer(MarketConfig(seed=5, n_stocks=200, n_days=400)) as server:
        size = server.package().size
        assert size > 1.3 * 2**20
        server.interrupt_download_after = int(1.2 * 2**20)
        client = orvanta.init(server.url, server.access_key, server.secret_key)
        try:
            with pytest.raises(NetworkError, match="网络错误"):
                client.download_benchmark_package(store)
            kept = part.stat().st_size
            assert 0 < kept <= int(1.2 * 2**20)
            before = server.bytes_served(server.access_key)
            client.download_benchmark_package(store)
            resumed = server.bytes_served(server.access_key) - before
        finally:
            client.close()
            set_instance(None)
        whole = server.package().path.read_bytes()
    # The second call fetched only what was missing (plus the small address answer).
    assert size - kept <= resumed < size - kept + 2000
    assert not part.exists()
    direct = tmp_path / "direct"
    direct.mkdir()
    zipfile.ZipFile(io.BytesIO(whole)).extractall(direct)
    got = BinaryPreparedDataStore(store).load(mmap=False)["data"]
    want = BinaryPreparedDataStore(direct).load(mmap=False)["data"]
    assert list(got) == list(want)
    for key in want:
        assert got[key].equals(want[key]), key
