from typing import TypedDict

from orvanta._http import API_PREFIX as API_PREFIX
from orvanta._http import HttpClient as HttpClient

_PUBLIC_INT_FIELDS: tuple[str, ...]

class Quota(TypedDict, total=False):
    daily_quota_bytes: int
    daily_used_bytes: int
    extra_quota_bytes: int
    available_bytes: int
    remaining_days: int | None
    license_type: str

class QuotaService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def get_quota(self) -> Quota: ...
