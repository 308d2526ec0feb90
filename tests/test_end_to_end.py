"""The main job end to end: sandbox -> client -> package -> store -> builder -> backtest -> charts.

The statistics of the run are checked against the backtest core run on matrices built here
directly from the synthetic market, without the service, the builder or the stores.
"""

import io
import struct
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from orvanta.backtest._vantor import run_strategy_backtest_core
from orvanta.demo import run_demo
from orvanta.sandbox import MarketConfig, generate_market

CONFIG = MarketConfig(seed=17, n_stocks=80, n_days=200, start_date="2023-03-01")


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out = io.StringIO()
    result = run_demo(tmp_path_factory.mktemp("demo"), CONFIG, top=6, out=out)
    return result, out.getvalue()


def png_size(path):
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_charts_are_real_pngs_with_content(demo):
    result, text = demo
    paths = result.result.plot_paths
    assert set(paths) == {"main", "weekly_net_value"}
    assert Path(paths["weekly_net_value"]).name == "strategy_backtest_weekly_net_value.png"
    import matplotlib.image

    for path in paths.values():
        width, height = png_size(path)
        assert width > 1000 and height > 600
        pixels = matplotlib.image.imread(path)
        assert pixels.shape[:2] == (height, width)
        # A drawn chart: many colours, not a blank canvas.
        colours = np.unique(pixels[::7, ::7, :3].reshape(-1, 3), axis=0)
        assert len(colours) > 50
        assert path in text


def test_demo_reports_each_step(demo):
    result, text = demo
    for fragment in ("[1/7]", "quota", "benchmark_package", "GroupPreparedDataBuilder", "Sharpe"):
        assert fragment in text
    assert (result.stores["package"] / "metadata.pkl").is_file()
    assert (result.stores["built"] / "metadata.pkl").is_file()
    assert all(result.agreement.values()), result.agreement


def direct_matrices(market):
    dates = pd.Index([str(d).replace("-", "") for d in market.dates])
    codes = pd.Index(list(market.codes))

    def frame(name):
        return pd.DataFrame(market.factors[name], index=dates, columns=codes)

    close = frame("Close")
    has_close = close.notna()
    halted = frame("rq_is_suspended") == 1
    buy, sell = frame("tick_vwap_price_935_1005"), frame("tick_vwap_price_925_1000")
    matrices = {
        "can_buy_stock": ~((buy == frame("limit_up")) | halted),
        "cant_sell_stock": (sell == frame("limit_down")) | halted,
        "split_factor": (frame("split_coefficient_to") / 10).where(has_close),
        "dividend_factor": (frame("rq_get_dividend") / 10 * 0.9).where(has_close),
        "close_price": close,
        "prev_close": close.shift(1),
        "buy_price": buy,
        "sell_price": sell,
    }
    benchmarks = {}
    for short in ("000852", "000300", "000905"):
        levels = pd.Series(market.index_bars[short + ".XSHG"]["close"], index=dates)
        benchmarks[short] = levels.pct_change().iloc[1:].rename("index_daily_return")
    return matrices, benchmarks


def test_statistics_equal_a_direct_run_on_the_same_market(demo):
    result, _text = demo
    matrices, benchmarks = direct_matrices(generate_market(CONFIG))
    direct = run_strategy_backtest_core(
        result.weights, **matrices, benchmark_dict=benchmarks, benchmark_names="000852"
    )
    got = result.result
    assert len(got.daily_return) > 100
    # The stores name their date index; the matrices built here do not.
    pd.testing.assert_series_equal(
        got.daily_return, direct.daily_return, rtol=1e-9, check_index_type=False, check_names=False
    )
    assert list(got.stats) == list(direct.stats)
    for key, value in direct.stats.items():
        assert np.isclose(got.stats[key], value, rtol=1e-9, equal_nan=True), key
    pd.testing.assert_frame_equal(got.benchmark_summary, direct.benchmark_summary, rtol=1e-9)


def test_weights_are_the_documented_strategy(demo):
    result, _text = demo
    weights = result.weights
    held = weights.notna().sum(axis=1)
    assert set(held.unique()) <= {0, 6}
    invested = weights.sum(axis=1)[held > 0]
    np.testing.assert_allclose(invested, 1.0)
    # Held stocks are members of the benchmark index on the day they are chosen.
    market = generate_market(CONFIG)
    member = pd.DataFrame(
        market.factors["rq_index_components_new_000852.XSHG"] == 1,
        index=weights.index,
        columns=list(market.codes),
    )
    rows = np.flatnonzero(held.to_numpy() > 0)
    chosen_rows = rows[np.r_[True, np.diff(rows) > 1] | (np.arange(rows.size) % 5 == 0)]
    for row in chosen_rows[:5]:
        names = weights.columns[weights.iloc[row].notna()]
        assert member.iloc[row][names].all()
