from pathlib import Path
from typing import Any

import pandas as pd

from orvanta.backtest._store import BinaryPreparedDataStoreBase as BinaryPreparedDataStoreBase
from orvanta.backtest._store import clean_matrix as clean_matrix
from orvanta.backtest._store import component_dataset_key as component_dataset_key
from orvanta.backtest._store import normalize_yyyymmdd as normalize_yyyymmdd
from orvanta.exceptions import NetworkError as NetworkError
from orvanta.singleton import get_instance as get_instance

PathLike = str | Path
FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
TAIL_RELOAD_ROWS: int
PREPARED_DATA_VERSION: int
COMPONENT_FACTOR_NAMES: list[str]
BENCHMARK_INDEX_CODES: dict[str, str]
REQUIRED_FACTOR_NAMES: list[str]
OPTIONAL_FACTOR_NAMES: list[str]
BUILD_INPUT_NAMES: list[str]
BASE_MATRIX_DTYPE: dict[str, str]

def parse_name_list(raw_values: Any) -> list[str]: ...
def get_component_factor_names() -> list[str]: ...
def build_matrix_dtype(component_names: list[str] | str | None = None) -> dict[str, str]: ...
def series_to_yyyymmdd(values: Any) -> pd.Series: ...

class GroupPreparedDataBuilder:
    default_start: str | None
    end_date: str | None
    _ddb_start: str | None
    _ddb_end: str | None
    def __init__(self, start_date: str, end_date: str) -> None: ...
    @staticmethod
    def _normalize_ddb_backtest_date(date_value: object) -> str | None: ...
    @staticmethod
    def _ov_factor_date(date_value: str | None) -> str | None: ...
    @staticmethod
    def _empty_like(reference: pd.DataFrame, fill_value: Any = ...) -> pd.DataFrame: ...
    def _ov_factors_to_matrices(
        self, df: pd.DataFrame | None, names: list[str]
    ) -> dict[str, pd.DataFrame]: ...
    def _read_normal_factor_matrix(self, name: str) -> pd.DataFrame: ...
    def _read_normal_factor_batch(self, names: list[str]) -> dict[str, pd.DataFrame]: ...
    def _read_or_empty(
        self,
        name: str,
        reference: pd.DataFrame,
        batch: dict[str, pd.DataFrame] | None = None,
    ) -> pd.DataFrame: ...
    def _batch_or_read(self, batch: dict[str, pd.DataFrame], name: str) -> pd.DataFrame: ...
    def _build_from_matrices(self, source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]: ...
    def _component_matrices(
        self, component_names: list[str], batch: dict[str, pd.DataFrame] | None = None
    ) -> dict[str, pd.DataFrame]: ...
    def _read_benchmark_dict(self) -> dict[str, pd.Series]: ...
    def _format_benchmark_daily_return(
        self, df: pd.DataFrame | None, benchmark_name: str, index_code: str
    ) -> pd.Series: ...
    def build(self) -> dict[str, Any]: ...
    def build_incremental(self) -> dict[str, Any]: ...
    def _build_payload(self, incremental: object, meta_time_key: str) -> dict[str, Any]: ...
    def _read_source_data(self, incremental: object) -> tuple[Any, Any, Any, list[str]]: ...
    def _assemble_payload(
        self,
        data: dict[str, pd.DataFrame],
        component_matrices: dict[str, pd.DataFrame],
        benchmark_dict: dict[str, pd.Series],
        component_names: list[str],
        meta_time_key: str,
    ) -> dict[str, Any]: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(self, store_dir: PathLike, component_names: list[str] | None = None) -> None: ...
    def load(
        self,
        start_date: Any = None,
        end_date: Any = None,
        keys: list[str] | None = None,
        mmap: object = True,
    ) -> dict[str, Any]: ...
    def add_component_matrices(
        self, component_matrices: dict[str, pd.DataFrame], component_names: list[str]
    ) -> list[str]: ...
