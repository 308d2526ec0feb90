import logging
import os
import ssl
from pathlib import Path
from typing import Final

import httpx as httpx
from tqdm import tqdm as tqdm

from orvanta._http import API_PREFIX as API_PREFIX
from orvanta._http import HttpClient
from orvanta.exceptions import NetworkError as NetworkError
from orvanta.exceptions import QuantError as QuantError

logger: logging.Logger

_DOWNLOAD_TIMEOUT: Final[httpx.Timeout]
_DOWNLOAD_CHUNK_SIZE: Final[int]
_BENCHMARK_DATA_PATH: Final[str]
_SSL_CONTEXT: ssl.SSLContext | None
_CONTENT_TYPE_ZIP: Final[str]
_TEMP_DIR_NAME: Final[str]
_PART_FILE_NAME: Final[str]

def _stream_download(url: str, dest: Path) -> None: ...
def _extract_zip(archive: Path, store_dir: Path) -> None: ...
def flatten_single_subdir(store_dir: Path) -> None: ...
def download_benchmark_package(http: HttpClient, store_dir: str | os.PathLike[str]) -> Path: ...
