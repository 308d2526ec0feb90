"""A deterministic synthetic A-share market, generated from a seed with numpy.

Everything the data service hands out comes from here: the trading calendar, the stock list
with industries, the daily factor fields the backtest builder asks for (prices, VWAPs, price
limits, suspensions, splits and cash dividends per ten shares, index components) and the
daily bars of the indices. Prices are generated day by day with the rules of the exchanges:
each day's limit prices are set from the ex-rights reference price (the previous close less
the cash dividend per share, divided by the split ratio) and rounded to the fen, closes are
clipped into them, and some limit days are locked from the open so that the VWAP prices sit
exactly on the limit price.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field

import numpy as np

from orvanta.sandbox._calendar import trading_days

INDUSTRY_NAMES = (
    "银行",
    "非银金融",
    "房地产",
    "医药生物",
    "食品饮料",
    "电子",
    "计算机",
    "通信",
    "电力设备",
    "机械设备",
    "汽车",
    "基础化工",
    "有色金属",
    "公用事业",
    "传媒",
)
_NAME_SUFFIX = ("银行", "证券", "地产", "药业", "食品", "电子", "软件", "通信", "能源", "重工",
                "汽车", "化工", "矿业", "电力", "文化")  # fmt: skip
_NAME_HEAD = "华中东新天金海宏长国联恒信安泰永盛光大远富恒瑞明达嘉阳鑫兴凯"
_NAME_TAIL = "通源盛泰达科创华成德利丰建合美康瑞宇龙欣晨博汇卓航展锦润银"

# (board, exchange suffix, first code, last code, share of the stocks, daily price limit)
_BOARDS = (
    ("main", "SH", 600000, 605999, 0.42, 0.10),
    ("star", "SH", 688001, 688999, 0.10, 0.20),
    ("main", "SZ", 1, 3999, 0.30, 0.10),
    ("chinext", "SZ", 300001, 301999, 0.14, 0.20),
    ("bse", "BJ", 830000, 839999, 0.04, 0.30),
)
_ST_LIMIT = 0.05

# Index code -> (base level, cap-rank band (low, high) of the members, exchange filter).
# Bands are fractions of the listed stocks ranked by market value, largest first.
INDEX_RULES: dict[str, tuple[float, tuple[float, float] | None, str | None]] = {
    "000300.XSHG": (3800.0, (0.0, 0.15), None),
    "000905.XSHG": (6000.0, (0.15, 0.35), None),
    "000852.XSHG": (6500.0, (0.35, 0.65), None),
    "399303.XSHE": (7000.0, (0.40, 0.95), None),
    "932000.INDX": (2300.0, (0.70, 1.0), None),
    "000001.XSHG": (3100.0, None, "SH"),
    "399001.XSHE": (11000.0, None, "SZ"),
}
COMPONENT_INDEX_CODES = ("000300.XSHG", "000905.XSHG", "000852.XSHG", "399303.XSHE", "932000.INDX")
COMPONENT_FACTOR_PREFIX = "rq_index_components_new_"
INDEX_BAR_FIELDS = ("open", "high", "low", "close", "prev_close", "volume", "amount")

PRICE_FACTORS = (
    "Close",
    "Open",
    "limit_up",
    "limit_down",
    "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000",
)
EVENT_FACTORS = ("split_coefficient_to", "rq_get_dividend")
STATE_FACTORS = ("rq_is_suspended", "rq_industry_exposure_new")

_REBALANCE_EVERY = 120  # trading days between index reviews


@dataclass(frozen=True)
class MarketConfig:
    """Size and seed of the synthetic market; the same config always gives the same market."""

    seed: int = 7
    n_stocks: int = 200
    n_days: int = 480
    start_date: str = "2023-01-03"

    def __post_init__(self) -> None:
        if self.n_stocks < 20:
            raise ValueError(f"n_stocks must be at least 20, not {self.n_stocks}")
        if self.n_days < 30:
            raise ValueError(f"n_days must be at least 30, not {self.n_days}")
        # About 30 float64 matrices of this size are alive while the market is generated.
        if self.n_stocks * self.n_days > 10_000_000:
            raise ValueError(
                f"{self.n_stocks} stocks x {self.n_days} days is too large for the sandbox "
                "(at most 10 million stock-days)"
            )


@dataclass
class SyntheticMarket:
    """The generated market. Matrices are ``n_days x n_stocks`` float64, NaN = no value."""

    config: MarketConfig
    dates: np.ndarray  # datetime64[D], ascending trading days
    calendar: np.ndarray  # datetime64[D], every trading day the calendar service knows
    codes: np.ndarray  # six-digit codes, ascending
    ukeys: np.ndarray  # codes with exchange suffix ("600000.SH")
    names: list[str]
    industry: np.ndarray  # industry number 1..len(INDUSTRY_NAMES)
    list_day: np.ndarray  # row of the listing day (0: listed before the first day)
    factors: dict[str, np.ndarray] = field(default_factory=dict)
    index_bars: dict[str, dict[str, np.ndarray]] = field(default_factory=dict)

    @property
    def factor_names(self) -> list[str]:
        return list(self.factors)

    def date_range(self, start: np.datetime64 | None, end: np.datetime64 | None) -> slice:
        """Rows of the days from ``start`` to ``end``, both included (None: open end)."""
        lo = 0 if start is None else int(np.searchsorted(self.dates, start, side="left"))
        hi = len(self.dates) if end is None else int(np.searchsorted(self.dates, end, "right"))
        return slice(lo, max(lo, hi))

    def stock_columns(self, ukeys: list[str]) -> np.ndarray:
        """Columns of the given codes (six digits, suffix optional); unknown codes are skipped."""
        wanted = {str(u).strip()[:6] for u in ukeys}
        return np.flatnonzero(np.isin(self.codes, sorted(wanted)))


def _round_fen(values: np.ndarray) -> np.ndarray:
    # Round half up to the fen as the exchanges do (np.round rounds half to even).
    return np.floor(values * 100.0 + 0.5) / 100.0


def _student_t(rng: np.random.Generator, shape: tuple[int, ...]) -> np.ndarray:
    # Fat tails with unit variance: t with 4 degrees of freedom has variance 2.
    return rng.standard_t(4, size=shape) / np.sqrt(2.0)


def _stock_codes(
    rng: np.random.Generator, n: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    shares = np.array([b[4] for b in _BOARDS])
    board_of = rng.choice(len(_BOARDS), size=n, p=shares / shares.sum())
    codes = np.empty(n, dtype=np.int64)
    for b, (_name, _exch, lo, hi, _share, _lim) in enumerate(_BOARDS):
        sel = np.flatnonzero(board_of == b)
        codes[sel] = rng.choice(np.arange(lo, hi + 1), size=sel.size, replace=False)
    order = np.argsort(codes, kind="stable")
    codes, board_of = codes[order], board_of[order]
    text = np.array([f"{c:06d}" for c in codes])
    exch = np.array([_BOARDS[b][1] for b in board_of])
    limit = np.array([_BOARDS[b][5] for b in board_of])
    main = np.array([_BOARDS[b][0] == "main" for b in board_of])
    return text, exch, limit, main


def _stock_names(rng: np.random.Generator, industry: np.ndarray, st: np.ndarray) -> list[str]:
    pairs = [h + t for h in _NAME_HEAD for t in _NAME_TAIL]
    picks = rng.permutation(len(pairs))
    names = []
    for i, ind in enumerate(industry):
        stem = pairs[picks[i % len(pairs)]] + ("" if i < len(pairs) else str(i // len(pairs)))
        name = stem + _NAME_SUFFIX[ind - 1]
        names.append(("ST" + name) if st[i] else name)
    return names


def _spells(
    rng: np.random.Generator, n_days: int, n_stocks: int, list_day: np.ndarray
) -> np.ndarray:
    """Suspension mask: a few spells of 1 to 20 days, never on a listing day."""
    mask = np.zeros((n_days, n_stocks), dtype=bool)
    count = max(1, int(n_days * n_stocks / 600))
    stocks = rng.integers(0, n_stocks, count)
    starts = rng.integers(1, n_days, count)
    lengths = np.minimum(rng.geometric(0.25, count), 20)
    for s, t0, k in zip(stocks, starts, lengths, strict=True):
        t0 = max(int(t0), int(list_day[s]) + 1)
        mask[t0 : t0 + int(k), s] = True
    return mask


def _events(
    rng: np.random.Generator,
    n_days: int,
    n_stocks: int,
    list_day: np.ndarray,
    dates: np.ndarray,
    suspended: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """Split ratios (shares after per ten) and dividend yields, by day and stock."""
    split_to = np.full((n_days, n_stocks), np.nan)
    div_yield = np.full((n_days, n_stocks), np.nan)
    years = n_days / 244.0
    first_ok = list_day + 5
    has_split = rng.random(n_stocks) < min(0.9, 0.12 * years)
    split_day = rng.integers(0, n_days, n_stocks)
    ok = has_split & (split_day >= first_ok)
    split_to[split_day[ok], np.flatnonzero(ok)] = rng.choice(
        [12.0, 13.0, 14.0, 15.0, 18.0, 20.0], size=int(ok.sum())
    )
    year_of = dates.astype("datetime64[Y]").astype(int)
    for year in np.unique(year_of):
        rows = np.flatnonzero(year_of == year)
        pays = rng.random(n_stocks) < 0.6
        day = rows[rng.integers(0, rows.size, n_stocks)]
        ok = pays & (day >= first_ok)
        div_yield[day[ok], np.flatnonzero(ok)] = rng.uniform(0.005, 0.03, int(ok.sum()))
    # No corporate action takes effect while a stock is suspended.
    split_to[suspended] = np.nan
    div_yield[suspended] = np.nan
    return split_to, div_yield


def generate_market(config: MarketConfig | None = None) -> SyntheticMarket:
    """Generate the market of ``config`` (the defaults when None)."""
    config = config or MarketConfig()
    rng = np.random.default_rng(config.seed)
    T, N = config.n_days, config.n_stocks
    start = np.datetime64(dt.date.fromisoformat(config.start_date), "D")
    calendar = trading_days()
    dates = calendar[calendar >= start][:T]
    if dates.size < T:
        raise ValueError(f"the calendar has only {dates.size} trading days after {start}")

    codes, exch, limit, main = _stock_codes(rng, N)
    industry = rng.integers(1, len(INDUSTRY_NAMES) + 1, N)
    st = main & (rng.random(N) < 0.03)
    limit = np.where(st, _ST_LIMIT, limit)
    names = _stock_names(rng, industry, st)
    list_day = np.where(rng.random(N) < 0.9, 0, rng.integers(1, max(2, int(T * 0.8)), N))
    issue = _round_fen(np.clip(np.exp(rng.normal(np.log(12.0), 0.6, N)), 2.0, 200.0))
    shares = np.exp(rng.normal(np.log(6e8), 0.9, N))
    beta = np.clip(rng.normal(1.0, 0.25, N), 0.3, 1.8)
    vol = rng.uniform(0.012, 0.028, N) * np.where(st, 1.3, 1.0)

    market = 0.0003 + 0.011 * _student_t(rng, (T,))
    sector = 0.006 * rng.standard_normal((T, len(INDUSTRY_NAMES)))
    ret = beta * market[:, None] + sector[:, industry - 1] + vol * _student_t(rng, (T, N))
    gap = 0.35 * ret + 0.004 * rng.standard_normal((T, N))
    lock = rng.random((T, N)) < 0.45
    noise_sell = 0.003 * rng.standard_normal((T, N))
    noise_buy = 0.003 * rng.standard_normal((T, N))
    turnover = np.exp(rng.normal(np.log(0.012), 0.5, (T, N)))
    suspended = _spells(rng, T, N, list_day)
    split_to, div_yield = _events(rng, T, N, list_day, dates, suspended)

    shape = (T, N)
    close, open_, lu_m, ld_m = (np.full(shape, np.nan) for _ in range(4))
    buy, sell, div_ten = (np.full(shape, np.nan) for _ in range(3))
    day_ret = np.zeros(shape)
    prev = np.where(list_day == 0, issue, np.nan)
    for t in range(T):
        listed = list_day <= t
        ipo = (list_day == t) & (t > 0)
        halt = suspended[t] & listed & ~ipo
        ratio = np.where(np.isnan(split_to[t]), 1.0, split_to[t] / 10.0)
        cash_ten = np.where(np.isnan(div_yield[t]), np.nan, _round_fen(prev * div_yield[t] * 10))
        cash = np.nan_to_num(cash_ten / 10.0)
        ref = np.where(ipo, issue, (prev - cash) / ratio)
        lu = _round_fen(ref * (1 + limit))
        ld = np.maximum(_round_fen(ref * (1 - limit)), 0.01)
        raw = ref * (1 + ret[t])
        c = np.clip(_round_fen(raw), ld, lu)
        up = (raw >= lu) & lock[t]
        down = (raw <= ld) & lock[t]
        o = np.clip(_round_fen(ref * (1 + gap[t])), ld, lu)
        s = np.clip(np.round(o + 0.2 * (c - o) + ref * noise_sell[t], 4), ld, lu)
        b = np.clip(np.round(o + 0.3 * (c - o) + ref * noise_buy[t], 4), ld, lu)
        o = np.where(up, lu, np.where(down, ld, o))
        s = np.where(up, lu, np.where(down, ld, s))
        b = np.where(up, lu, np.where(down, ld, b))
        # A suspended stock keeps its previous close and does not trade.
        c = np.where(halt, prev, c)
        o = np.where(halt, prev, o)
        s = np.where(halt, np.nan, s)
        b = np.where(halt, np.nan, b)
        gone = ~listed
        for row, values in ((close, c), (open_, o), (lu_m, lu), (ld_m, ld), (sell, s), (buy, b)):
            row[t] = np.where(gone, np.nan, values)
        div_ten[t] = np.where(gone, np.nan, cash_ten)
        day_ret[t] = np.where(listed & ~ipo, ratio * c / prev - 1.0, 0.0)
        prev = np.where(listed, c, np.nan)

    listed_m = np.arange(T)[:, None] >= list_day[None, :]
    tradable = listed_m & ~suspended
    factors: dict[str, np.ndarray] = {
        "Close": close,
        "Open": open_,
        "limit_up": lu_m,
        "limit_down": ld_m,
        "tick_vwap_price_935_1005": buy,
        "tick_vwap_price_925_1000": sell,
        "split_coefficient_to": np.where(listed_m, split_to, np.nan),
        "rq_get_dividend": div_ten,
        "rq_is_suspended": np.where(listed_m, (suspended & listed_m).astype(float), np.nan),
        "rq_industry_exposure_new": np.where(listed_m, industry[None, :].astype(float), np.nan),
    }

    members = _index_members(close, shares, listed_m, exch, T)
    for code in COMPONENT_INDEX_CODES:
        factors[COMPONENT_FACTOR_PREFIX + code] = np.where(
            listed_m, members[code].astype(float), np.nan
        )

    volume = np.where(tradable, shares * turnover, 0.0)
    bars = {}
    for code, (base, _band, _exch) in INDEX_RULES.items():
        bars[code] = _index_bar(rng, base, members[code], day_ret, close, shares, volume)

    return SyntheticMarket(
        config=config,
        dates=dates,
        calendar=calendar,
        codes=codes,
        ukeys=np.array([f"{c}.{e}" for c, e in zip(codes, exch, strict=True)]),
        names=names,
        industry=industry,
        list_day=list_day,
        factors=factors,
        index_bars=bars,
    )


def _index_members(
    close: np.ndarray, shares: np.ndarray, listed: np.ndarray, exch: np.ndarray, n_days: int
) -> dict[str, np.ndarray]:
    """Membership masks; the ranked indices are reviewed every few months by market value."""
    members = {}
    for code, (_base, band, exchange) in INDEX_RULES.items():
        if band is None:
            members[code] = listed & (exch == exchange)[None, :]
            continue
        mask = np.zeros_like(listed)
        lo, hi = band
        for t0 in range(0, n_days, _REBALANCE_EVERY):
            price = close[max(t0 - 1, 0)]
            cap = np.where(listed[t0] & np.isfinite(price), shares * price, -np.inf)
            order = np.argsort(-cap, kind="stable")
            n_listed = int(np.isfinite(cap).sum())
            rank = np.empty_like(order)
            rank[order] = np.arange(order.size)
            q = rank / max(n_listed, 1)
            chosen = np.isfinite(cap) & (q >= lo) & (q < hi)
            mask[t0 : t0 + _REBALANCE_EVERY] = chosen[None, :]
        members[code] = mask & listed
    return members


def _index_bar(
    rng: np.random.Generator,
    base: float,
    member: np.ndarray,
    day_ret: np.ndarray,
    close: np.ndarray,
    shares: np.ndarray,
    volume: np.ndarray,
) -> dict[str, np.ndarray]:
    """Daily bars of a market-value weighted price index over ``member``."""
    prev_price = np.vstack([close[:1], close[:-1]])
    weight = np.where(member & np.isfinite(prev_price), shares * prev_price, 0.0)
    total = weight.sum(axis=1)
    r = np.divide((weight * day_ret).sum(axis=1), total, out=np.zeros_like(total), where=total > 0)
    level = base * np.cumprod(1.0 + r)
    prev_level = np.concatenate([[base], level[:-1]])
    n = level.size
    open_ = prev_level * (1 + 0.3 * r + 0.002 * rng.standard_normal(n))
    high = np.maximum(open_, level) * (1 + np.abs(0.004 * rng.standard_normal(n)))
    low = np.minimum(open_, level) * (1 - np.abs(0.004 * rng.standard_normal(n)))
    vol = np.where(member, volume, 0.0).sum(axis=1)
    amount = np.where(member, volume * np.nan_to_num(close), 0.0).sum(axis=1)
    return {
        "open": np.round(open_, 4),
        "high": np.round(high, 4),
        "low": np.round(low, 4),
        "close": np.round(level, 4),
        "prev_close": np.round(prev_level, 4),
        "volume": np.round(vol),
        "amount": np.round(amount, 2),
    }
