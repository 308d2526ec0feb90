"""The two backtest charts: real PNG files, layouts, panel contents, lock and failure rules."""

import collections
import subprocess
import sys
import threading
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402

from orvanta.backtest import _vantor  # noqa: E402

STATS = {
    "annual_return": 12.3,
    "long_sharp": 1.234,
    "max_dd": 0.15,
    "benchmark_annual_return": 4.0,
    "benchmark_sharp": 0.3,
    "extra_annual_return": 8.3,
    "extra_sharp": 0.9,
    "extra_max_dd": 0.1,
    "return_corr": 0.05,
    "win_rate": 0.52,
    "excess_win_rate": 0.51,
    "holding_count": 37.4,
    "turnover": 0.12,
}


def unified_table(n_days, start="2021-03-01", seed=0):
    """A unified backtest table written out plainly, labels as YYYYMMDD strings."""
    rng = np.random.default_rng(seed)
    idx = pd.bdate_range(start, periods=n_days)
    t = pd.DataFrame(
        {
            "daily_return": rng.normal(0.0006, 0.012, n_days),
            "index_daily_return": rng.normal(0.0002, 0.011, n_days),
        },
        index=idx.strftime("%Y%m%d"),
    )
    t["extra_daily_return"] = t.daily_return - t.index_daily_return
    nav = t.daily_return.cumsum() + 1
    t["long"] = nav / nav.iloc[0]
    t["close"] = t.index_daily_return.cumsum() + 1
    t["close_net_value"] = t.close / t.close.iloc[0]
    t["max_drowdown"] = t.long - t.long.expanding().max()
    cum = t.extra_daily_return.cumsum()
    t["extra_return"] = cum - cum.iloc[0]
    t["extra_max_drowdown"] = (t.extra_return + 1) - (t.extra_return + 1).expanding().max()
    return t


@pytest.fixture(scope="module")
def table():
    return unified_table(420)


@pytest.fixture
def captured(monkeypatch):
    """Figures as the chart saves them: savefig records its arguments instead of rendering
    (the PNG tests render for real), and pyplot.close keeps the figure for inspection."""
    figures = []
    real_close = plt.close

    def savefig(fig, path, **kwargs):
        fig.saved_with = (path, kwargs)

    def close(fig=None):
        figures.append(fig)
        real_close(fig)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    monkeypatch.setattr(plt, "close", close)
    return figures


def png_size(path):
    height, width = mpimg.imread(path).shape[:2]
    return width, height


def texts(ax):
    return [t.get_text() for t in ax.texts]


def table_cells(ax):
    (tbl,) = ax.tables
    cells = tbl.get_celld()
    rows = max(r for r, _ in cells) + 1
    cols = max(c for _, c in cells) + 1
    return [[cells[r, c].get_text().get_text() for c in range(cols)] for r in range(rows)], cells


def test_matplotlib_not_imported_at_load():
    code = "import sys, orvanta.backtest._vantor; print('matplotlib' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize(
    "chart, kind, tall_px",
    [
        ("main", "long", (int(15.5 * 145), int(34.0 * 145))),
        ("main", "large", None),
        ("weekly", "long", (int(15.5 * 145), int(12.4 * 145))),
        ("weekly", "Large", (int(15.5 * 145), int(12.4 * 145))),
        ("weekly", "large", None),
    ],
)
def test_png_sizes(table, tmp_path, chart, kind, tall_px):
    path = tmp_path / f"{chart}.png"
    if chart == "main":
        got = _vantor.plot_strategy_performance(table, STATS, save_path=path, image_kind=kind)
        assert got == {"main": str(path)}
        inches = (20.0, 13.2)
    else:
        got = _vantor.plot_weekly_net_value(table, save_path=str(path), image_kind=kind)
        assert got == {"weekly_net_value": str(path)}
        inches = (19.0, 9.2)
    if tall_px is not None:
        # No tight box: the whole figure at 145 dpi (pixel counts truncated).
        assert png_size(path) == tall_px
    else:
        # Tight box at 175 dpi: close to the figure size, landscape.
        w, h = png_size(path)
        assert 0.85 * inches[0] * 175 < w <= 1.02 * inches[0] * 175
        assert 0.85 * inches[1] * 175 < h <= 1.02 * inches[1] * 175
    assert plt.get_fignums() == []


def test_main_chart_contents(table, tmp_path, captured):
    stats = dict(STATS)
    del stats["turnover"]
    _vantor.plot_strategy_performance(
        table, stats, "alpha", "", tmp_path / "m.png", "large", "000300", 5
    )
    (fig,) = captured
    assert fig._suptitle.get_text() == "alpha | Benchmark 000300 | Strategy Performance"
    # The preamble's process-wide settings stay in effect.
    assert matplotlib.get_backend().lower() == "agg"
    assert plt.rcParams["font.sans-serif"] == [
        "Noto Sans CJK SC",
        "Source Han Sans SC",
        "WenQuanYi Micro Hei",
        "SimHei",
        "Arial Unicode MS",
        "DejaVu Sans",
    ]
    assert plt.rcParams["axes.unicode_minus"] is False
    assert plt.rcParams["axes.facecolor"] == "#fbfbfd"
    path, save_kwargs = fig.saved_with
    assert path == tmp_path / "m.png"
    assert save_kwargs == {"dpi": 175, "bbox_inches": "tight", "facecolor": fig.get_facecolor()}
    assert tuple(fig.get_size_inches()) == (20.0, 13.2) and fig.get_constrained_layout()
    axes = fig.axes
    cards, cum, excess, year, rolling, drawdown, summary, yearly_tbl = axes[:8]
    assert texts(cards)[::2] == [
        "12.30%",
        "1.23",
        "15.00%",
        "8.30%",
        "0.90",
        "10.00%",
        "52.00%",
        "51.00%",
        "--",
    ]
    assert texts(cards)[1::2][-1] == "Turnover"
    assert [ax.get_title() for ax in (cum, excess, year, rolling, drawdown)] == [
        "Cumulative Return",
        "Excess Return & Drawdown",
        "Yearly Return",
        "Rolling Excess Stability",
        "Drawdown",
    ]
    # Lines against the data: strategy and benchmark cumulative returns.
    strategy_line, bench_line = cum.get_lines()[:2]
    np.testing.assert_allclose(strategy_line.get_ydata(), table["long"] - 1)
    np.testing.assert_allclose(bench_line.get_ydata(), table["close_net_value"] - 1)
    assert strategy_line.get_color() == "#2563eb" and bench_line.get_linestyle() == "--"
    labels = [t.get_text() for t in cum.get_legend().get_texts()]
    assert labels == ["Strategy", "000300", "Strategy Drawdown", "000300 Drawdown"]
    assert [t.get_text() for t in rolling.get_legend().get_texts()] == [
        "60D Excess Sharpe",
        "60D Win Rate",
    ]
    rolling_sharpe = rolling.get_lines()[0].get_ydata()
    ex = table["extra_daily_return"]
    expected = (ex.rolling(60).mean() / ex.rolling(60).std() * np.sqrt(252)).to_numpy()
    np.testing.assert_allclose(rolling_sharpe, expected)
    win_line = [
        ax for ax in axes if ax.get_shared_x_axes().joined(ax, rolling) and ax is not rolling
    ]
    win = win_line[0].get_lines()[0].get_ydata()
    np.testing.assert_allclose(win, ex.rolling(60).apply(lambda v: np.mean(v > 0), raw=True))
    # Yearly bars: 2021 and 2022, excess labels are the yearly sums.
    years = table.groupby(pd.to_datetime(table.index).year)["extra_daily_return"].sum()
    assert [t.get_text() for t in year.get_xticklabels()] == ["2021", "2022"]
    assert texts(year) == [_vantor._format_pct(v) for v in years]
    cells, cell_objs = table_cells(summary)
    assert cells[0] == ["Metric", "Value"]
    assert cells[1] == [
        "Date Range",
        "2021-03-01 ~ " + pd.Timestamp(table.index[-1]).strftime("%Y-%m-%d"),
    ]
    assert cells[2:5] == [["Trading Days", "420"], ["Rolling Window", "5"], ["Benchmark", "000300"]]
    assert cells[8] == ["Avg Holding", "37"]
    assert cells[9] == ["Turnover", "--"]
    assert cells[11] == ["Annual Excess", _vantor._format_annual_excess(years)]
    assert cell_objs[0, 0].get_facecolor()[:3] == matplotlib.colors.to_rgb("#eef2ff")
    assert cell_objs[2, 1].get_facecolor()[:3] == matplotlib.colors.to_rgb("#f8fafc")
    ycells, ycell_objs = table_cells(yearly_tbl)
    assert ycells[0][0] == "Year" and [r[0] for r in ycells[1:]] == ["2021", "2022"]
    assert ycell_objs[1, 3].get_text().get_color() == "#1d4ed8"
    assert ycell_objs[1, 8].get_text().get_color() == "#b91c1c"
    assert ycell_objs[1, 0].get_facecolor()[:3] == (1.0, 1.0, 1.0)
    assert yearly_tbl.get_title() == "Yearly Strategy & Excess Metrics"
    for ax in (cum, excess, year, rolling, drawdown):
        assert not ax.spines["top"].get_visible() and not ax.spines["right"].get_visible()


@pytest.mark.parametrize(
    "n_days, rolling_text",
    [(30, "10D Excess Sharpe"), (12, "5D Excess Sharpe"), (4, None)],
    ids=["30-days", "12-days", "4-days"],
)
def test_rolling_window_and_small_runs(tmp_path, captured, n_days, rolling_text):
    small = unified_table(n_days, start="2023-05-02")
    _vantor.plot_strategy_performance(small, STATS, save_path=tmp_path / "m.png", image_kind="long")
    (fig,) = captured
    assert fig.saved_with[1] == {"dpi": 145, "facecolor": fig.get_facecolor()}
    assert tuple(fig.get_size_inches()) == (15.5, 34.0) and not fig.get_constrained_layout()
    assert (fig.subplotpars.left, fig.subplotpars.top) == (0.06, 0.965)
    rolling = fig.axes[4]
    if rolling_text is None:
        assert texts(rolling) == ["Not enough data"]
    else:
        assert rolling.get_legend().get_texts()[0].get_text() == rolling_text
    # One calendar year: one group of three bars.
    assert [t.get_text() for t in fig.axes[3].get_xticklabels()] == ["2023"]


def test_weekly_chart_contents(table, tmp_path, captured):
    _vantor.plot_weekly_net_value(table, "beta", None, tmp_path / "w.png", "large", "000905")
    (fig,) = captured
    assert fig._suptitle.get_text() == "beta | Benchmark 000905 | Weekly Net Value"
    nav, dd, yearly_tbl = fig.axes
    weekly = _vantor._build_weekly_net_value_frame(table)
    lines = nav.get_lines()
    np.testing.assert_allclose(lines[0].get_ydata(), weekly["long"])
    np.testing.assert_allclose(lines[2].get_ydata(), weekly["extra_net_value"])
    assert [t.get_text() for t in nav.get_legend().get_texts()] == [
        "Strategy NAV",
        "000905 NAV",
        "Excess NAV",
    ]
    bench_dd = dd.get_lines()[0].get_ydata()
    nav_b = weekly["close_net_value"]
    np.testing.assert_allclose(bench_dd, nav_b - nav_b.expanding().max())
    assert dd.get_legend()._ncols == 3
    assert dd.get_title() == "Weekly Drawdown" and nav.get_title() == "Weekly Net Value"
    cells, _ = table_cells(yearly_tbl)
    assert [r[0] for r in cells[1:]] == ["2021", "2022"]
    # The figure title sits above the net value panel's title, not over it.
    renderer = FigureCanvasAgg(fig).get_renderer()
    fig.draw_without_rendering()
    assert fig._suptitle.get_window_extent(renderer).y0 >= nav.title.get_window_extent(renderer).y1


def test_yearly_table_rules():
    fig, axes = plt.subplots(2)
    try:
        _vantor._draw_yearly_metrics_table(axes[0], pd.DataFrame())
        assert texts(axes[0]) == ["No yearly metric data"] and axes[0].get_title() == ""
        metrics = pd.DataFrame(
            {
                "strategy_return": [0.1, 0.2, -0.05],
                "strategy_sharpe": 1.0,
                "strategy_max_dd": 0.05,
                "strategy_calmar": 2.0,
                "excess_return": 0.01,
                "excess_sharpe": 0.5,
                "excess_max_dd": 0.02,
                "excess_calmar": [np.nan, 1.0, 1.0],
            },
            index=pd.Index([2020.0, 2021.0, 2022.0], name="year"),
        )
        _vantor._draw_yearly_metrics_table(ax=axes[1], yearly_metrics=metrics)
        cells, objs = table_cells(axes[1])
        assert [r[0] for r in cells[1:]] == ["2020", "2021", "2022"]
        assert cells[1][1] == "10.00%" and cells[1][8] == "--"
        assert objs[1, 8].get_text().get_color() == "#b91c1c"
        faces = [matplotlib.colors.to_hex(objs[r, 0].get_facecolor()) for r in (1, 2, 3)]
        assert faces == ["#ffffff", "#f8fafc", "#ffffff"]
        with pytest.raises(KeyError):
            _vantor._draw_yearly_metrics_table(axes[1], metrics.drop(columns="excess_calmar"))
    finally:
        plt.close(fig)


def test_empty_table_writes_nothing(table, tmp_path):
    main = tmp_path / "m.png"
    weekly = tmp_path / "w.png"
    assert _vantor.plot_strategy_performance(table.iloc[:0], STATS, save_path=main) == {
        "main": str(main)
    }
    assert _vantor.plot_weekly_net_value(table.iloc[:0], save_path=weekly) == {
        "weekly_net_value": str(weekly)
    }
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "func, kwargs, message",
    [
        ("plot_strategy_performance", {"stats": collections.OrderedDict()}, "stats must be dict"),
        ("plot_strategy_performance", {"stats": None}, "stats must be dict, not NoneType"),
        ("plot_strategy_performance", {"rolling_window": "3"}, "rolling_window must be int"),
        ("plot_strategy_performance", {"image_kind": None}, "image_kind must be str"),
        ("plot_weekly_net_value", {"strategy_name": None}, "strategy_name must be str"),
        ("plot_weekly_net_value", {"plot_title": 3}, "plot_title must be str or None"),
        ("plot_weekly_net_value", {"benchmark_name": 300}, "benchmark_name must be str, not int"),
        ("_plot_weekly_net_value_unlocked", {"image_kind": b"large"}, "image_kind must be str"),
    ],
)
def test_type_errors_come_before_the_lock(table, tmp_path, func, kwargs, message):
    args = {"total": table, "save_path": tmp_path / "x.png"}
    if func == "plot_strategy_performance":
        args["stats"] = STATS
    if func.startswith("_"):
        args.update(strategy_name="s", plot_title=None, image_kind="large", benchmark_name="b")
    args.update(kwargs)
    held = threading.Event()
    done = threading.Event()

    def holder():
        with _vantor._MATPLOTLIB_PLOT_LOCK:
            held.set()
            done.wait(10)

    t = threading.Thread(target=holder)
    t.start()
    try:
        held.wait(10)
        # Another thread holds the lock: a bad argument must fail at once, not wait for it.
        with pytest.raises(TypeError, match=message):
            getattr(_vantor, func)(**args)
    finally:
        done.set()
        t.join(10)
    assert list(tmp_path.iterdir()) == []


def test_failures_close_the_figure_and_release_the_lock(table, tmp_path):
    with pytest.raises(FileNotFoundError):
        _vantor.plot_weekly_net_value(table, save_path=tmp_path / "no" / "w.png", image_kind="l")
    assert plt.get_fignums() == []
    # A failure in the middle of drawing, after the figure exists.
    with pytest.raises(ValueError):
        _vantor.plot_strategy_performance(
            table, {"annual_return": "word"}, save_path=tmp_path / "m.png", image_kind="l"
        )
    assert plt.get_fignums() == []
    with pytest.raises(KeyError):
        _vantor.plot_weekly_net_value(
            table.drop(columns="daily_return"), save_path=tmp_path / "w.png"
        )
    assert plt.get_fignums() == []
    # The lock is free again: a later call from another thread draws.
    out = {}
    t = threading.Thread(
        target=lambda: out.update(
            _vantor.plot_weekly_net_value(table, save_path=tmp_path / "w.png", image_kind="l")
        )
    )
    t.start()
    t.join(60)
    assert out == {"weekly_net_value": str(tmp_path / "w.png")}
    assert (tmp_path / "w.png").stat().st_size > 0


def test_lock_is_held_while_drawing_and_released_on_error(table, tmp_path, monkeypatch):
    seen = []

    def failing(**kwargs):
        seen.append((_vantor._MATPLOTLIB_PLOT_LOCK._is_owned(), sorted(kwargs)))
        raise RuntimeError("boom")

    monkeypatch.setattr(_vantor, "_plot_weekly_net_value_unlocked", failing)
    with pytest.raises(RuntimeError, match="boom"):
        _vantor.plot_weekly_net_value(table, save_path=tmp_path / "w.png")
    assert seen == [
        (
            True,
            ["benchmark_name", "image_kind", "plot_title", "save_path", "strategy_name", "total"],
        )
    ]
    assert not _vantor._MATPLOTLIB_PLOT_LOCK._is_owned()
    assert _vantor._MATPLOTLIB_PLOT_LOCK.acquire(blocking=False)
    _vantor._MATPLOTLIB_PLOT_LOCK.release()


def test_two_threads_and_reentry(tmp_path):
    a = unified_table(150, seed=1)
    b = unified_table(200, seed=2)
    # Reference files drawn one after the other.
    _vantor.plot_weekly_net_value(a, save_path=tmp_path / "ref_a.png", image_kind="long")
    _vantor.plot_weekly_net_value(b, save_path=tmp_path / "ref_b.png", image_kind="long")
    errors = []
    start = threading.Barrier(2)

    def draw(frame, name):
        try:
            start.wait(10)
            _vantor.plot_weekly_net_value(frame, save_path=tmp_path / name, image_kind="long")
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [
        threading.Thread(target=draw, args=(a, "a.png")),
        threading.Thread(target=draw, args=(b, "b.png")),
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    for name in ("a", "b"):
        assert (tmp_path / f"{name}.png").read_bytes() == (
            tmp_path / f"ref_{name}.png"
        ).read_bytes()

    # A thread that already holds the lock draws again without blocking.
    result = {}

    def nested():
        with _vantor._MATPLOTLIB_PLOT_LOCK:
            result.update(
                _vantor.plot_weekly_net_value(a, save_path=tmp_path / "n.png", image_kind="long")
            )

    t = threading.Thread(target=nested)
    t.start()
    t.join(60)
    assert not t.is_alive()
    assert result == {"weekly_net_value": str(tmp_path / "n.png")}
    assert Path(result["weekly_net_value"]).exists()


def test_main_chart_from_a_thread_holding_the_lock(table, tmp_path, captured):
    result = {}

    def nested():
        with _vantor._MATPLOTLIB_PLOT_LOCK:
            result.update(_vantor.plot_strategy_performance(table, STATS, save_path="m.png"))

    t = threading.Thread(target=nested)
    t.start()
    t.join(60)
    assert not t.is_alive() and result == {"main": "m.png"}
    assert len(captured) == 1
