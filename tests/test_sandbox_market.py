"""The synthetic market follows the exchange rules it claims to, and a seed fixes it."""

import math

import numpy as np
import pytest

from orvanta.sandbox import MarketConfig, generate_market

CONFIG = MarketConfig(seed=3, n_stocks=120, n_days=300, start_date="2023-01-03")


@pytest.fixture(scope="module")
def market():
    return generate_market(CONFIG)


def round_half_up(x):
    return math.floor(x * 100 + 0.5) / 100


def test_same_seed_same_market_other_seed_other_market(market):
    again = generate_market(CONFIG)
    for name, values in market.factors.items():
        np.testing.assert_array_equal(values, again.factors[name], err_msg=name)
    other = generate_market(MarketConfig(seed=4, n_stocks=120, n_days=300))
    assert not np.array_equal(market.factors["Close"], other.factors["Close"], equal_nan=True)


def test_calendar_has_weekdays_only_and_closes_for_holidays(market):
    weekday = (market.dates.astype(np.int64) + 3) % 7
    assert (weekday < 5).all()
    assert (np.diff(market.dates.astype(np.int64)) > 0).all()
    assert market.dates[0] == np.datetime64("2023-01-03")
    assert not np.isin(
        np.array(["2023-10-02", "2024-01-01"], dtype="datetime64[D]"), market.dates
    ).any()


def test_prices_respect_the_limits_of_the_ex_rights_reference(market):
    f = market.factors
    close, lu, ld = f["Close"], f["limit_up"], f["limit_down"]
    split, cash = f["split_coefficient_to"], f["rq_get_dividend"]
    checked = events = 0
    limit_of = {"60": 0.10, "00": 0.10, "68": 0.20, "30": 0.20, "83": 0.30}
    for j, code in enumerate(market.codes):
        pct = 0.05 if market.names[j].startswith("ST") else limit_of[code[:2]]
        for t in range(1, market.dates.size):
            prev = close[t - 1, j]
            if not np.isfinite(prev) or not np.isfinite(close[t, j]):
                continue
            ratio = split[t, j] / 10 if np.isfinite(split[t, j]) else 1.0
            per_share = cash[t, j] / 10 if np.isfinite(cash[t, j]) else 0.0
            events += ratio != 1.0 or per_share != 0.0
            ref = (prev - per_share) / ratio
            assert abs(lu[t, j] - round_half_up(ref * (1 + pct))) < 1e-9
            assert abs(ld[t, j] - max(round_half_up(ref * (1 - pct)), 0.01)) < 1e-9
            assert ld[t, j] <= close[t, j] <= lu[t, j]
            checked += 1
    assert checked > 30000 and events > 20


def test_limit_days_suspensions_and_corporate_actions_all_occur(market):
    f = market.factors
    listed = np.isfinite(f["Close"])
    buy, sell = f["tick_vwap_price_935_1005"], f["tick_vwap_price_925_1000"]
    assert (buy == f["limit_up"]).sum() >= 5  # locked at limit-up: not buyable
    assert (sell == f["limit_down"]).sum() >= 5  # locked at limit-down: not sellable
    halted = f["rq_is_suspended"] == 1
    assert halted.sum() >= 20
    # A suspended stock does not trade: no VWAP, and the close stays where it was.
    assert np.isnan(buy[halted]).all() and np.isnan(sell[halted]).all()
    t, j = np.nonzero(halted)
    np.testing.assert_array_equal(f["Close"][t, j], f["Close"][t - 1, j])
    assert np.isin(
        f["split_coefficient_to"][np.isfinite(f["split_coefficient_to"])], [12, 13, 14, 15, 18, 20]
    ).all()
    dividends = f["rq_get_dividend"][np.isfinite(f["rq_get_dividend"])]
    assert dividends.size > 50 and (dividends > 0).all()
    # Traded VWAPs lie within the day's limits; nothing is published before listing.
    traded = listed & ~halted
    assert (buy[traded] <= f["limit_up"][traded]).all() and (
        buy[traded] >= f["limit_down"][traded]
    ).all()
    for name, values in f.items():
        assert np.isnan(values[~listed]).all(), name


def test_indices_and_components(market):
    members = {
        code: market.factors["rq_index_components_new_" + code]
        for code in ("000300.XSHG", "000905.XSHG", "000852.XSHG", "399303.XSHE", "932000.INDX")
    }
    for code, mask in members.items():
        assert ((mask == 1).sum(axis=1) > 0).all(), code
        assert set(np.unique(mask[np.isfinite(mask)])) <= {0.0, 1.0}
    # The large-cap and mid-cap bands never overlap.
    assert not ((members["000300.XSHG"] == 1) & (members["000905.XSHG"] == 1)).any()
    for code in ("000852.XSHG", "000300.XSHG", "000905.XSHG"):
        bars = market.index_bars[code]
        assert (bars["low"] <= np.minimum(bars["open"], bars["close"])).all()
        assert (bars["high"] >= np.maximum(bars["open"], bars["close"])).all()
        # The level moves by the market-value weighted split-adjusted return of its members.
        f = market.factors
        t = 50
        member = members[code][t] == 1
        prev = f["Close"][t - 1]
        ratio = np.where(
            np.isfinite(f["split_coefficient_to"][t]), f["split_coefficient_to"][t] / 10, 1.0
        )
        ok = member & np.isfinite(prev) & np.isfinite(f["Close"][t])
        assert ok.sum() > 0
        level_ret = bars["close"][t] / bars["prev_close"][t] - 1
        member_ret = ratio[ok] * f["Close"][t][ok] / prev[ok] - 1
        assert member_ret.min() - 1e-6 <= level_ret <= member_ret.max() + 1e-6
