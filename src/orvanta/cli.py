"""The ``orvanta`` command: ``demo``, ``sandbox`` and ``backtest``.

Every failure reaches the user as one line on standard error and exit status 1 (2 for a
wrong command line, 130 for Ctrl-C); ``--traceback`` shows the whole trace instead.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from orvanta.exceptions import QuantError


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


def _market_config(args: argparse.Namespace):
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
