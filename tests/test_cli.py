"""The ``orvanta`` command line: backtest from files, and one-line errors."""

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


def test_bad_command_line_exits_2(capsys):
    with pytest.raises(SystemExit) as info:
        main(["backtest", "--store", "x"])
    assert info.value.code == 2
    assert "--weights" in capsys.readouterr().err
