import threading

import numpy as np
import pandas as pd
import pytest
from reference_backtest import MARKET_ARGS, daily_cash

from orvanta.backtest import _vantor


def reference_daily_return(
    signal_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    lot_size=200,
):
    """The return computation written plainly with pandas/numpy, one day at a time.

    Market matrices are reindexed by label; a flag the matrix lacks means untradable.
    """
    signal = signal_matrix.shift(1).dropna(how="all")
    if signal.empty:
        return pd.Series(dtype=float)
    idx, cols = signal.index, signal.columns

    def prices(frame):
        return frame.reindex(index=idx, columns=cols).to_numpy(dtype=float)

    def flags(frame, missing):
        return frame.reindex(index=idx, columns=cols, fill_value=missing).to_numpy(bool)

    market = {
        "can_buy_arr": flags(can_buy_stock, False),
        "cant_sell_arr": flags(cant_sell_stock, True),
        "split_arr": prices(split_factor),
        "dividend_arr": prices(dividend_factor),
        "close_arr": prices(close_price),
        "prev_close_arr": prices(prev_close),
        "buy_price_arr": prices(buy_price),
        "sell_price_arr": prices(sell_price),
    }
    cash = daily_cash(signal.to_numpy(dtype=float), market, total_money, fee, rule_fee, lot_size)
    return pd.Series(cash / total_money, index=idx)


def random_market(seed, n_days=60, n_stocks=40, misaligned=False, fortran=False):
    """Weights and market matrices with the awkward cases mixed in."""
    rng = np.random.default_rng(seed)
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2023-01-02", periods=n_days)]
    stocks = [f"{600000 + k:06d}" for k in range(n_stocks)]
    shape = (n_days, n_stocks)

    weights = rng.uniform(-0.02, 0.08, shape)
    weights[rng.random(shape) < 0.4] = np.nan
    weights[rng.random(shape) < 0.05] = 0.0
    weights[rng.integers(0, n_days, 3)] = np.nan  # whole days without any weight
    prev = rng.uniform(3.0, 60.0, shape)
    prev[rng.random(shape) < 0.03] = 0.0
    prev[rng.random(shape) < 0.02] = -1.0
    prev[rng.random(shape) < 0.03] = np.nan
    close = prev * rng.uniform(0.9, 1.1, shape)
    close[rng.random(shape) < 0.03] = np.nan
    buy = close * rng.uniform(0.98, 1.02, shape)
    sell = close * rng.uniform(0.98, 1.02, shape)
    buy[rng.random(shape) < 0.02] = np.nan
    sell[rng.random(shape) < 0.02] = np.nan
    split = np.where(rng.random(shape) < 0.02, rng.choice([1.5, 2.0, 0.5], shape), np.nan)
    dividend = np.where(rng.random(shape) < 0.03, rng.uniform(0.05, 0.5, shape), np.nan)
    can_buy = rng.random(shape) > 0.15
    cant_sell = rng.random(shape) < 0.15

    def frame(values, market=True):
        values = np.asfortranarray(values) if fortran else np.ascontiguousarray(values)
        df = pd.DataFrame(values, index=dates, columns=stocks, copy=False)
        if misaligned and market:
            # Extra and missing dates and stocks, in a shuffled order.
            keep_rows = [d for k, d in enumerate(dates) if k % 17 != 5]
            keep_cols = [s for k, s in enumerate(stocks) if k % 13 != 3]
            df = df.loc[keep_rows, keep_cols]
            extra = pd.DataFrame(
                rng.uniform(1, 2, (len(keep_rows), 2)).astype(values.dtype),
                index=keep_rows,
                columns=["999998", "999999"],
            )
            df = pd.concat([df, extra], axis=1)
            df = df.iloc[rng.permutation(len(df)), rng.permutation(df.shape[1])]
        return df

    signal = frame(weights, market=False)
    market = dict(
        zip(
            MARKET_ARGS,
            [frame(x) for x in (can_buy, cant_sell, split, dividend, close, prev, buy, sell)],
            strict=True,
        )
    )
    return signal, market


@pytest.mark.parametrize("seed", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("misaligned", [False, True], ids=["aligned", "misaligned"])
def test_matches_plain_implementation(seed, misaligned):
    signal, market = random_market(seed, misaligned=misaligned)
    kwargs = dict(total_money=1e6, fee=0.0003, rule_fee=0.001, lot_size=100)
    expected = reference_daily_return(signal, **market, **kwargs)
    result = _vantor.calc_strategy_vwap_daily_return(signal, **market, **kwargs)
    assert result.name is None and result.dtype == np.float64
    pd.testing.assert_index_equal(result.index, expected.index)
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-9, atol=1e-13)
    assert np.abs(expected.to_numpy()).max() > 1e-4  # the case actually trades


def test_memory_order_gives_identical_series():
    signal_c, market_c = random_market(7)
    signal_f, market_f = random_market(7, fortran=True)
    assert market_f["close_price"].to_numpy().flags.f_contiguous
    result_c = _vantor.calc_strategy_vwap_daily_return(signal_c, **market_c, total_money=1e6)
    result_f = _vantor.calc_strategy_vwap_daily_return(signal_f, **market_f, total_money=1e6)
    pd.testing.assert_series_equal(result_c, result_f, check_exact=True)


DATES = ["20240102", "20240103", "20240104", "20240105"]


def one_stock(values, dtype=float):
    return pd.DataFrame({"000001": values}, index=DATES[: len(values)]).astype(dtype)


def one_stock_market(n, **overrides):
    market = {
        "can_buy_stock": one_stock([True] * n, bool),
        "cant_sell_stock": one_stock([False] * n, bool),
        "split_factor": one_stock([np.nan] * n),
        "dividend_factor": one_stock([np.nan] * n),
    }
    market.update(
        {k: one_stock(v, bool if k.startswith("can") else float) for k, v in overrides.items()}
    )
    return market


def test_worked_example_buy_then_sell():
    market = one_stock_market(
        3,
        close_price=[10.0, 10.2, 10.4],
        prev_close=[9.9, 10.0, 10.2],
        buy_price=[10.0, 10.1, 10.2],
        sell_price=[10.0, 10.2, 10.3],
    )
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.5, 0.0, np.nan]), **market, total_money=1e6
    )
    assert list(result.index) == DATES[1:3]
    np.testing.assert_allclose(result.to_numpy(), [0.0049495, 0.004691], rtol=1e-12)


def test_ex_date_credits_split_and_dividend_without_rescaling_shares():
    # 0.01 of 1e6 at a previous close of 10 is exactly five lots: 1,000 shares.
    market = one_stock_market(
        4,
        can_buy_stock=[True, True, True, False],
        cant_sell_stock=[False, False, False, True],
        split_factor=[np.nan, np.nan, 2.0, np.nan],
        dividend_factor=[np.nan, np.nan, 0.1, np.nan],
        close_price=[10.0, 10.0, 5.1, 5.3],
        prev_close=[10.0, 10.0, 10.0, 5.1],
        buy_price=[10.0, 10.0, 10.0, 5.1],
        sell_price=[10.0, 10.0, 5.1, 5.3],
    )
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.01] * 4), **market, total_money=1e6, fee=0.0
    )
    assert result["20240104"] * 1e6 == pytest.approx(300.0)
    # Next day the 1,000 shares (not 2,000) are valued against the new previous close.
    assert result["20240105"] * 1e6 == pytest.approx(1000 * (5.3 - 5.1))


def test_blocked_buy_is_retried_against_the_current_target():
    market = one_stock_market(
        4,
        can_buy_stock=[True, False, True, True],
        close_price=[10.0] * 4,
        prev_close=[10.0] * 4,
        buy_price=[9.0] * 4,
        sell_price=[10.0] * 4,
    )
    # Target 2,000 shares traded on day 1 (blocked), then 4,000 on day 2.
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.02, 0.04, 0.04, np.nan]), **market, total_money=1e6, fee=0.0
    )
    np.testing.assert_allclose(result.to_numpy() * 1e6, [0.0, 4000 * 1.0, 0.0])


def test_blocked_sale_keeps_earning_hold_and_dividend():
    market = one_stock_market(
        4,
        cant_sell_stock=[False, False, True, False],
        dividend_factor=[np.nan, np.nan, 0.2, np.nan],
        close_price=[10.0, 10.0, 10.5, 10.5],
        prev_close=[10.0, 10.0, 10.0, 10.5],
        buy_price=[10.0] * 4,
        sell_price=[10.0, 10.0, 10.4, 10.6],
    )
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.02, 0.0, 0.0, 0.0]), **market, total_money=1e6, fee=0.0, rule_fee=0.0
    )
    # Day 2 wants to sell but cannot: 2,000 shares earn the move and the dividend.
    # Day 3 sells them at 10.6 against the previous close 10.5.
    assert result.index.tolist() == ["20240103", "20240104", "20240105"]
    np.testing.assert_allclose(result.to_numpy() * 1e6, [0.0, 2000 * 0.5 + 2000 * 0.2, 2000 * 0.1])


def test_constant_weights_pay_commission_once():
    market = one_stock_market(
        4,
        close_price=[10.0] * 4,
        prev_close=[10.0] * 4,
        buy_price=[10.0] * 4,
        sell_price=[10.0] * 4,
    )
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([0.5] * 4), **market, total_money=1e6
    )
    assert result.iloc[0] == pytest.approx(-50_000 * 10.0 * 0.0001 / 1e6)
    assert (result.iloc[1:] == 0.0).all()


@pytest.mark.parametrize(
    "weights, expected_dates",
    [
        ([0.5], []),
        ([np.nan, np.nan, np.nan], []),
        ([0.5, np.nan, 0.5, 0.5], ["20240103", "20240105"]),
    ],
    ids=["single-row", "all-nan", "gap-row"],
)
def test_days_without_previous_weights_are_left_out(weights, expected_dates):
    n = len(weights)
    market = one_stock_market(
        n,
        close_price=[10.0] * n,
        prev_close=[10.0] * n,
        buy_price=[10.0] * n,
        sell_price=[10.0] * n,
    )
    result = _vantor.calc_strategy_vwap_daily_return(one_stock(weights), **market)
    assert result.index.tolist() == expected_dates
    assert result.dtype == np.float64


def test_below_one_lot_and_bad_previous_close_target_nothing():
    market = one_stock_market(
        4,
        close_price=[11.0] * 4,
        prev_close=[10.0, 10.0, 0.0, -5.0],
        buy_price=[10.0] * 4,
        sell_price=[10.0] * 4,
    )
    # 1e-4 of 1e6 at 10 is half a lot; the later days have no usable previous close.
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([1e-4, 0.5, 0.5, 0.5]), **market, total_money=1e6
    )
    assert len(result) == 3
    assert (result == 0.0).all()


def test_overflowing_target_holds_nothing_instead_of_poisoning_later_days():
    market = one_stock_market(
        4,
        close_price=[11.0] * 4,
        prev_close=[10.0, 10.0, 1e-310, 10.0],
        buy_price=[10.0] * 4,
        sell_price=[10.0] * 4,
    )
    result = _vantor.calc_strategy_vwap_daily_return(
        one_stock([1e306, 0.5, 0.002, 0.002]), **market, total_money=1e6
    )
    # Day 1 overflows, day 2 divides by a denormal; day 3 buys 200 shares normally.
    np.testing.assert_allclose(result.to_numpy() * 1e6, [0.0, 0.0, 200 * (11.0 - 10.0 * 1.0001)])


def test_blocks_hold_across_misaligned_flag_matrices():
    # A stock the flag matrices do not list can be neither bought nor sold.
    market = one_stock_market(
        3, close_price=[10.0] * 3, prev_close=[10.0] * 3, buy_price=[9.0] * 3, sell_price=[10.0] * 3
    )
    market["can_buy_stock"] = market["can_buy_stock"].rename(columns={"000001": "000002"})
    result = _vantor.calc_strategy_vwap_daily_return(one_stock([0.5, 0.5, 0.5]), **market)
    assert (result == 0.0).all()


def test_arguments_by_position_and_defaults():
    signal, market = random_market(11, n_days=10, n_stocks=5)
    positional = _vantor.calc_strategy_vwap_daily_return(
        signal, *market.values(), 1e6, 0.0002, 0.001, 100.7
    )
    expected = reference_daily_return(
        signal, **market, total_money=1e6, fee=0.0002, rule_fee=0.001, lot_size=100
    )
    np.testing.assert_allclose(positional.to_numpy(), expected.to_numpy(), rtol=1e-9, atol=1e-13)
    defaults = _vantor.calc_strategy_vwap_daily_return(signal, **market)
    np.testing.assert_allclose(
        defaults.to_numpy(),
        reference_daily_return(signal, **market).to_numpy(),
        rtol=1e-9,
        atol=1e-13,
    )


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"lot_size": 0}, ValueError, "lot_size"),
        ({"lot_size": -200}, ValueError, "lot_size"),
        ({"lot_size": "200"}, TypeError, "lot_size must be int, not str"),
        ({"total_money": 0.0}, ValueError, "total_money"),
        ({"total_money": -1e6}, ValueError, "total_money"),
        ({"total_money": float("inf")}, ValueError, "total_money"),
        ({"total_money": float("nan")}, ValueError, "total_money"),
        ({"total_money": "1e6"}, TypeError, "str"),
        ({"fee": None}, TypeError, "NoneType"),
    ],
    ids=lambda x: repr(x) if not isinstance(x, type) else x.__name__,
)
def test_bad_scalars_raise_before_any_work(kwargs, error, match):
    signal, market = random_market(3, n_days=5, n_stocks=3)
    with pytest.raises(error, match=match):
        _vantor.calc_strategy_vwap_daily_return(signal, **market, **kwargs)


@pytest.mark.parametrize("order", [[1, 0, 2, 3], [0, 1, 1, 2]], ids=["unsorted", "repeated"])
def test_signal_dates_must_be_strictly_ascending(order):
    signal, market = random_market(5, n_days=4, n_stocks=3)
    with pytest.raises(ValueError, match="signal_matrix"):
        _vantor.calc_strategy_vwap_daily_return(signal.iloc[order], **market)


def test_repeated_market_dates_are_refused():
    signal, market = random_market(5, n_days=4, n_stocks=3)
    market["close_price"] = market["close_price"].iloc[[0, 0, 1, 2, 3]]
    with pytest.raises(ValueError, match="close_price"):
        _vantor.calc_strategy_vwap_daily_return(signal, **market)


def test_two_threads_get_their_own_results():
    cases = [random_market(seed, n_days=80, n_stocks=60) for seed in (21, 22)]
    expected = [reference_daily_return(s, **m, total_money=1e6) for s, m in cases]
    results = [None, None]

    def run(k):
        for _ in range(5):
            signal, market = cases[k]
            results[k] = _vantor.calc_strategy_vwap_daily_return(signal, **market, total_money=1e6)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected, strict=True):
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-9, atol=1e-13)


class TestSmoothing:
    @pytest.mark.parametrize("window", [0, 1, -3, 1.9])
    def test_no_smoothing_returns_the_same_object(self, window):
        weights = pd.DataFrame({"a": [0.1, np.nan]})
        assert _vantor._smooth_strategy_weights(weights, window) is weights

    def test_rolling_mean_matches_pandas(self):
        rng = np.random.default_rng(4)
        values = rng.uniform(0, 1, (12, 4))
        values[rng.random(values.shape) < 0.4] = np.nan
        values[5] = np.nan
        values[:, 2] = np.where(np.arange(12) < 6, 0.0, values[:, 2])
        weights = pd.DataFrame(values, columns=list("abcd"))
        rolled = weights.fillna(0.0).rolling(3).mean().dropna(how="all")
        expected = rolled.where(rolled != 0)
        result = _vantor._smooth_strategy_weights(weights, 3)
        pd.testing.assert_frame_equal(result, expected)
        assert result["c"].iloc[:2].isna().all()  # averages of exactly zero read as no signal

    def test_window_longer_than_the_matrix_leaves_nothing(self):
        weights = pd.DataFrame({"a": [0.1, 0.2]})
        assert _vantor._smooth_strategy_weights(weights, 3).empty

    def test_window_must_be_a_number(self):
        with pytest.raises(TypeError, match="rolling_window must be int, not str"):
            _vantor._smooth_strategy_weights(pd.DataFrame({"a": [0.1]}), "3")


def test_market_arrays_come_from_the_module_helper(monkeypatch):
    signal, market = random_market(9, n_days=6, n_stocks=4)
    calls = []
    real = _vantor._build_market_arrays

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(_vantor, "_build_market_arrays", spy)
    result = _vantor.calc_strategy_vwap_daily_return(signal, **market)
    ((args, kwargs),) = calls
    assert kwargs == {} and len(args) == 10
    pd.testing.assert_index_equal(args[0], result.index)
    pd.testing.assert_index_equal(args[1], signal.columns)
    assert all(a is market[name] for a, name in zip(args[2:], MARKET_ARGS, strict=True))
