"""A local data service for tests and demos, speaking the data service's wire protocol.

``SandboxServer`` runs a threaded HTTP server on 127.0.0.1 over a deterministic synthetic
A-share market (``MarketConfig`` sets its seed and size)::

    from orvanta.sandbox import SandboxServer
    import orvanta

    with SandboxServer() as sandbox:
        client = orvanta.init(sandbox.url, sandbox.access_key, sandbox.secret_key)
        ...

Standalone: ``python -m orvanta.sandbox --port 8765`` (or ``orvanta sandbox``).
"""

from orvanta.sandbox._market import MarketConfig, SyntheticMarket, generate_market
from orvanta.sandbox._server import (
    DEFAULT_ACCESS_KEY,
    DEFAULT_SECRET_KEY,
    SandboxServer,
)

__all__ = [
    "DEFAULT_ACCESS_KEY",
    "DEFAULT_SECRET_KEY",
    "MarketConfig",
    "SandboxServer",
    "SyntheticMarket",
    "generate_market",
]
