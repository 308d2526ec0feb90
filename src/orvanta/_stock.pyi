from typing import Any

import pandas as pd

from orvanta._http import API_PREFIX as API_PREFIX
from orvanta._http import HttpClient as HttpClient

INSTRUMENT_COLUMNS: list[str]

def _to_dataframe(items: list[dict[str, Any]]) -> pd.DataFrame: ...

class StockService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def list_stocks(self) -> pd.DataFrame: ...
