"""orvanta: quant data service client and A-share target-weight backtester."""

from orvanta.exceptions import NetworkError, QuantError
from orvanta.singleton import get_instance, init

__all__ = ["NetworkError", "QuantError", "get_instance", "init"]
__version__ = "0.1.0"
