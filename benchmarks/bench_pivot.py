"""Factor answer -> date x stock matrix, and loading a prepared-data store.

1. A narrow factor answer (dates x stocks rows, 1 % of values missing, 1 % duplicated rows)
   pivoted by GroupPreparedDataBuilder._ov_factors_to_matrices against pandas
   dropna + drop_duplicates + pivot + clean_matrix on the same frame; same result required.
2. The same from the raw service answer (ISO dates, suffixed codes, a factor column), against
   the per-row pandas conversions followed by the same pivot.
3. load() of the twelve base matrices (dates x stocks) with mmap=True, and with mmap=False.

Sizes default to the figures of record (2,500 x 4,000 rows; 2,500 x 5,000 store); pass
--small for a quick run.
"""

from __future__ import annotations

import argparse
import gc
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from orvanta.backtest import _prepare as prep
from orvanta.backtest._store import clean_matrix


def timed(fn, repeat: int = 1):
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def narrow_answer(n_dates: int, n_stocks: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2014-01-01", periods=n_dates)
    codes = np.array([f"{i:06d}" for i in range(n_stocks)])
    suffixed = np.array([f"{c}.{'SH' if c[0] == '6' else 'SZ'}" for c in codes])
    date_idx = np.repeat(np.arange(n_dates), n_stocks)
    code_idx = np.tile(np.arange(n_stocks), n_dates)
    n = date_idx.size
    dup = rng.choice(n, n // 100, replace=False)  # re-sent rows: the later one must win
    date_idx = np.concatenate([date_idx, date_idx[dup]])
    code_idx = np.concatenate([code_idx, code_idx[dup]])
    values = rng.normal(size=date_idx.size)
    values[rng.random(values.size) < 0.01] = np.nan
    return pd.DataFrame(
        {
            "date": pd.Index(days.strftime("%Y-%m-%d"))[date_idx],
            "ukey": pd.Index(suffixed)[code_idx],
            "value": values,
            "factor": pd.Series(["Close"] * date_idx.size, dtype="str"),
            "_DataDate": pd.Index(days.strftime("%Y%m%d"))[date_idx],
            "_code": pd.Index(codes)[code_idx],
        }
    )


def pandas_pivot(frame: pd.DataFrame) -> pd.DataFrame:
    part = frame[["DataDate", "ukey", "x"]].dropna()
    part = part.drop_duplicates(["ukey", "DataDate"], keep="last")
    return clean_matrix(part.pivot(index="DataDate", columns="ukey", values="x"))


def pandas_full(answer: pd.DataFrame) -> pd.DataFrame:
    work = answer.rename(columns={"date": "DataDate", "value": "x", "factor": "factorname"})
    work = work.assign(
        ukey=work["ukey"].astype(str).str[:6],
        DataDate=pd.to_datetime(work["DataDate"], errors="coerce").dt.strftime("%Y%m%d"),
    )
    work["x"] = pd.to_numeric(work["x"], errors="coerce")
    return pandas_pivot(work)


def bench_pivot(n_dates: int, n_stocks: int, full: bool) -> None:
    answer = narrow_answer(n_dates, n_stocks)
    builder = prep.GroupPreparedDataBuilder("20140101", "20241231")
    print(f"narrow answer: {len(answer):,} rows ({n_dates:,} dates x {n_stocks:,} stocks + 1 %)")

    prepared = pd.DataFrame(
        {"DataDate": answer["_DataDate"], "ukey": answer["_code"], "x": answer["value"]}
    )
    t_pd, expected = timed(lambda: pandas_pivot(prepared))
    t_ov, got = timed(lambda: builder._ov_factors_to_matrices(prepared, ["Close"])["Close"], 3)
    pd.testing.assert_frame_equal(got, expected)
    print(
        f"  pivot of prepared labels: pandas {t_pd:.2f} s, orvanta {t_ov:.2f} s, "
        f"ratio {t_pd / t_ov:.1f}x (same result)"
    )

    if full:
        raw = answer[["date", "ukey", "value", "factor"]]
        t_pd_full, expected_full = timed(lambda: pandas_full(raw))
        t_ov_full, got = timed(lambda: builder._ov_factors_to_matrices(raw, ["Close"])["Close"])
        pd.testing.assert_frame_equal(got, expected_full)
        pd.testing.assert_frame_equal(got, expected)
        print(
            f"  raw service answer:       pandas {t_pd_full:.2f} s, orvanta {t_ov_full:.2f} s, "
            f"ratio {t_pd_full / t_ov_full:.1f}x (same result)"
        )


def bench_load(n_dates: int, n_stocks: int) -> None:
    rng = np.random.default_rng(1)
    dates = pd.Index(pd.bdate_range("2014-01-01", periods=n_dates).strftime("%Y%m%d"))
    codes = pd.Index([f"{i:06d}" for i in range(n_stocks)])
    base = rng.normal(size=(n_dates, n_stocks))
    data = {}
    for key, dtype in prep.BASE_MATRIX_DTYPE.items():
        values = base > 0 if dtype == "bool" else base + len(data)
        data[key] = pd.DataFrame(values, index=dates, columns=codes)
    root = Path(tempfile.mkdtemp(prefix="bench_store_"))
    try:
        store = prep.BinaryPreparedDataStore(root / "env", [])
        t_write, _ = timed(lambda: store.write_payload({"version": 1, "meta": {}, "data": data}))
        size = sum(p.stat().st_size for p in (root / "env").rglob("*") if p.is_file())
        print(
            f"store: 12 base matrices of {n_dates:,} x {n_stocks:,}, {size / 2**20:,.0f} MiB,"
            f" written in {t_write:.2f} s"
        )
        t_mmap, loaded = timed(lambda: store.load(mmap=True), 3)
        t_read, _ = timed(lambda: store.load(mmap=False))
        t_touch, total = timed(lambda: float(loaded["data"]["close_price"]["000001"].sum()))
        year = dates[-250]
        t_slice, sliced = timed(lambda: store.load(start_date=year, mmap=False), 3)
        assert len(sliced["data"]["close_price"]) == 250
        np.testing.assert_allclose(total, data["close_price"]["000001"].sum())
        print(
            f"  load(mmap=True):  {t_mmap * 1000:.1f} ms (read everything: {t_read:.2f} s, "
            f"ratio {t_read / t_mmap:.0f}x); first column sum afterwards {t_touch * 1000:.1f} ms"
        )
        print(f"  load of the last 250 dates, mmap=False: {t_slice * 1000:.1f} ms")
    finally:
        shutil.rmtree(root)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", action="store_true", help="a quick run on small sizes")
    parser.add_argument("--no-raw", action="store_true", help="skip the raw-answer comparison")
    args = parser.parse_args()
    if args.small:
        bench_pivot(250, 400, not args.no_raw)
        bench_load(250, 500)
    else:
        bench_pivot(2500, 4000, not args.no_raw)
        bench_load(2500, 5000)


if __name__ == "__main__":
    main()
