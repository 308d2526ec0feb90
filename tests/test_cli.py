"""The ``orvanta`` command line: backtest from files, and one-line errors."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from orvanta.backtest._prepare import BinaryPreparedDataStore
from orvanta.cli import main
from orvanta.sandbox import MarketConfig, generate_market
from orvanta.sandbox._package import backtest_datasets, benchmark_returns

CONFIG = MarketConfig(seed=21, n_stocks=30, n_days=80, start_date="2024-03-01")


@pytest.fixture(scope="module")
def market():
    return generate_market(CONFIG)


@pytest.fixture(scope="module")
def store(tmp_path_factory, market):
    directory = tmp_path_factory.mktemp("store")
    data = dict(backtest_datasets(market))
    data["benchmark_dict"] = benchmark_returns(market)
    BinaryPreparedDataStore(directory).write_payload({"version": 1, "meta": {}, "data": data})
    return directory


def weights_frame(market, codes):
    dates = [str(d).replace("-", "") for d in market.dates[:60]]
    return pd.DataFrame(1.0 / len(codes), index=pd.Index(dates, name="date"), columns=codes)


def run(capsys, *argv):
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def assert_one_line_error(code, err, *fragments):
    assert code == 1
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("orvanta: error: ")
    assert "Traceback" not in err
    for fragment in fragments:
        assert fragment in lines[0]


def test_missing_store_is_one_line(tmp_path, capsys, market):
    weights = tmp_path / "w.csv"
    weights_frame(market, list(market.codes[:3])).to_csv(weights)
    missing = tmp_path / "no_store"
    code, _out, err = run(capsys, "backtest", "--weights", str(weights), "--store", str(missing))
    assert_one_line_error(code, err, "no prepared-data store", str(missing))


@pytest.mark.parametrize(
    "name, content, fragment",
    [
        ("absent.csv", None, "weights file not found"),
        ("w.parquet", b"this is not parquet at all", "cannot read weights file"),
        ("w.csv", b"", "cannot read weights file"),
        ("w.csv", b"date,000001\n2024-03-01,heavy\n", "not a number"),
        ("w.csv", b"date,000001\nyesterday,0.5\n", "must hold dates"),
    ],
    ids=["absent", "garbage-parquet", "empty-csv", "text-weight", "bad-date"],
)
def test_unreadable_weights_file_is_one_line(tmp_path, capsys, store, name, content, fragment):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    code, _out, err = run(capsys, "backtest", "--weights", str(path), "--store", str(store))
    assert_one_line_error(code, err, fragment, str(path))


def test_weights_whose_codes_match_no_stock_are_one_line(tmp_path, capsys, market, store):
    path = tmp_path / "w.csv"
    unknown = [c for c in ("999998", "999999") if c not in set(market.codes)]
    weights_frame(market, unknown).to_csv(path)
    code, _out, err = run(capsys, "backtest", "--weights", str(path), "--store", str(store))
    assert_one_line_error(code, err, "none of the 2 stock codes", "match a stock in the store")


def test_weights_outside_the_store_dates_are_one_line(tmp_path, capsys, market, store):
    path = tmp_path / "w.csv"
    frame = weights_frame(market, list(market.codes[:2]))
    frame.index = pd.date_range("2030-01-02", periods=len(frame), freq="B").strftime("%Y%m%d")
    frame.to_csv(path)
    code, _out, err = run(capsys, "backtest", "--weights", str(path), "--store", str(store))
    assert_one_line_error(code, err, "do not overlap the store")


def test_backtest_prints_tables_and_writes_both_charts(tmp_path, capsys, market, store):
    from orvanta._backtest_files import load_store_market
    from orvanta.backtest._vantor import run_strategy_backtest_core

    codes = list(market.codes[:4])
    weights = weights_frame(market, [f"{c}.XX" for c in codes])  # suffixes are dropped
    weights.iloc[::7, 0] = np.nan
    path = tmp_path / "weights.parquet"
    weights.to_parquet(path)
    out = tmp_path / "charts"
    code, text, err = run(
        capsys, "backtest", "--weights", str(path), "--store", str(store), "--out", str(out),
        "--benchmark", "000300", "--fee", "0.0002",
    )  # fmt: skip
    assert code == 0, err
    assert (out / "strategy_backtest.png").stat().st_size > 10_000
    assert (out / "strategy_backtest_weekly_net_value.png").stat().st_size > 10_000

    weights.columns = codes
    market_data = load_store_market(store)
    direct = run_strategy_backtest_core(
        weights, **market_data.matrices, benchmark_dict=market_data.benchmarks,
        benchmark_names="000300", fee=0.0002,
    )  # fmt: skip
    lines = text.splitlines()
    annual = next(line for line in lines if line.startswith("Annual return"))
    assert annual.split()[-1] == f"{direct.stats['annual_return']:.2f}%"
    sharpe = next(line for line in lines if line.startswith("Excess Sharpe ratio"))
    assert sharpe.split()[-1] == f"{direct.stats['extra_sharp']:.3f}"
    summary = [line.split()[0] for line in lines if line[:6] in ("000852", "000300", "000905")]
    assert summary == ["000852", "000300", "000905"]


def test_console_script_reports_errors_in_one_line(tmp_path):
    script = Path(sys.executable).with_name("orvanta")
    help_run = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert help_run.returncode == 0
    assert all(name in help_run.stdout for name in ("demo", "sandbox", "backtest"))
    failed = subprocess.run(
        [sys.executable, "-m", "orvanta", "backtest", "--weights", str(tmp_path / "w.csv"),
         "--store", str(tmp_path)],
        capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert failed.returncode == 1
    assert failed.stderr == f"orvanta: error: weights file not found: {tmp_path / 'w.csv'}\n"


def test_bad_command_line_exits_2(capsys):
    with pytest.raises(SystemExit) as info:
        main(["backtest", "--store", "x"])
    assert info.value.code == 2
    assert "--weights" in capsys.readouterr().err
