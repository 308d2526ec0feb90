from typing import Any

import pandas as pd

from orvanta._download import stream_decode as stream_decode
from orvanta._http import API_PREFIX as API_PREFIX
from orvanta._http import HttpClient as HttpClient
from orvanta.dates import DateLike as DateLike
from orvanta.dates import normalize_date as normalize_date

__all__ = ["FactorService"]

_PUBLIC_FACTOR_META_FIELDS: tuple[str, ...]

def _to_str_list(value: str | list[str] | None) -> list[str] | None: ...

class FactorService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def get_factors(
        self,
        ukeys: str | list[str] | None = None,
        factor: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame: ...
    def list_factors(self) -> list[dict[str, Any]]: ...
