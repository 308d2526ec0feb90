"""The ``orvanta`` command: ``demo``, ``sandbox`` and ``backtest``.

Every failure reaches the user as one line on standard error and exit status 1 (2 for a
wrong command line, 130 for Ctrl-C); ``--traceback`` shows the whole trace instead.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from orvanta.exceptions import QuantError

if TYPE_CHECKING:
    from orvanta.sandbox import MarketConfig


class CliError(QuantError):
    """A failure explained to the user in one line."""


def _error_line(exc: BaseException) -> str:
    if isinstance(exc, QuantError):
        return exc.message
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.strerror}: {exc.filename}" if exc.filename else exc.strerror
    if isinstance(exc, KeyError) and exc.args:
        return str(exc.args[0])
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0]}" if text else type(exc).__name__


def _add_market_options(parser: argparse.ArgumentParser) -> None:
    from orvanta.sandbox import MarketConfig

    defaults = MarketConfig()
    parser.add_argument("--seed", type=int, default=defaults.seed, help="market seed")
    parser.add_argument("--stocks", type=int, default=defaults.n_stocks, help="number of stocks")
    parser.add_argument("--days", type=int, default=defaults.n_days, help="number of trading days")
    parser.add_argument(
        "--start", default=defaults.start_date, help="first trading day (YYYY-MM-DD)"
    )


def _market_config(args: argparse.Namespace) -> MarketConfig:
    from orvanta.sandbox import MarketConfig

    return MarketConfig(
        seed=args.seed, n_stocks=args.stocks, n_days=args.days, start_date=args.start
    )


def _cmd_sandbox(args: argparse.Namespace) -> int:
    from orvanta.sandbox import DEFAULT_ACCESS_KEY, DEFAULT_SECRET_KEY, SandboxServer
    from orvanta.sandbox._server import main_loop

    server = SandboxServer(
        _market_config(args),
        port=args.port,
        credentials={args.access_key or DEFAULT_ACCESS_KEY: args.secret_key or DEFAULT_SECRET_KEY},
        log=sys.stderr if args.verbose else None,
    )
    main_loop(server)
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    from orvanta.demo import run_demo

    run_demo(args.out, _market_config(args), top=args.top)
    return 0


def _cmd_backtest(args: argparse.Namespace) -> int:
    from orvanta._backtest_files import check_overlap, load_store_market, read_weights, run_backtest
    from orvanta._report import format_benchmark_summary, format_stats

    weights = read_weights(args.weights)
    start, end = weights.index.min(), None
    market = load_store_market(args.store, start, end)
    check_overlap(weights, market, str(args.weights))
    if market.benchmarks is None:
        print("note: the store holds no benchmark series; excess returns are against zero")
    elif args.benchmark not in market.benchmarks:
        known = ", ".join(market.benchmarks)
        raise CliError(f"benchmark {args.benchmark} is not in the store (it has: {known})")
    result = run_backtest(
        weights,
        market,
        args.out,
        benchmark=args.benchmark,
        strategy_name=args.name,
        total_money=args.total_money,
        fee=args.fee,
        rule_fee=args.rule_fee,
        rolling_window=args.rolling_window,
    )
    if not result.plot_paths:
        raise CliError("nothing to backtest: no weight falls on a trading day of the store")
    print(format_stats(result.stats))
    print()
    print(format_benchmark_summary(result.benchmark_summary))
    print()
    print("charts written:")
    for path in result.plot_paths.values():
        print(f"  {path}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvanta", description="A-share data service client and target-weight backtester."
    )
    parser.add_argument("--traceback", action="store_true", help="show the full trace of an error")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sandbox = commands.add_parser("sandbox", help="run the local data service")
    sandbox.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (0: any)")
    sandbox.add_argument("--access-key", help="access key clients sign with")
    sandbox.add_argument("--secret-key", help="secret key clients sign with")
    sandbox.add_argument("--verbose", action="store_true", help="log every request")
    _add_market_options(sandbox)
    sandbox.set_defaults(func=_cmd_sandbox)

    demo = commands.add_parser(
        "demo", help="the whole loop on the sandbox: data, build, strategy, backtest, charts"
    )
    demo.add_argument("--out", default="orvanta_demo", help="output directory")
    demo.add_argument("--top", type=int, default=10, help="stocks held by the strategy")
    _add_market_options(demo)
    demo.set_defaults(func=_cmd_demo)

    backtest = commands.add_parser(
        "backtest", help="backtest a weight matrix file against a prepared-data store"
    )
    backtest.add_argument(
        "--weights", required=True, help="CSV (dates in the first column) or Parquet file"
    )
    backtest.add_argument("--store", required=True, help="prepared-data store directory")
    backtest.add_argument("--out", default="backtest_output", help="directory for the charts")
    backtest.add_argument("--benchmark", default="000852", help="primary benchmark")
    backtest.add_argument("--name", default="strategy", help="strategy name in the charts")
    backtest.add_argument("--total-money", type=float, default=1e8, help="initial capital")
    backtest.add_argument("--fee", type=float, default=0.0001, help="commission rate")
    backtest.add_argument("--rule-fee", type=float, default=0.0005, help="stamp duty rate")
    backtest.add_argument(
        "--rolling-window", type=int, default=0, help="smooth weights over N days"
    )
    backtest.set_defaults(func=_cmd_backtest)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.func(args) or 0)
    except KeyboardInterrupt:
        print("orvanta: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:
        if args.traceback:
            raise
        print(f"orvanta: error: {_error_line(exc)}", file=sys.stderr)
        return 1
