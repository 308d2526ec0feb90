"""Binary prepared-data store: date x stock matrices on disk, loadable by date range.

Layout of a store directory::

    <store>/metadata.pkl           pickled dict of plain values (see below)
    <store>/manifest.json          sizes and SHA-256 of every file the metadata refers to
    <store>/datasets/<name>.bin    one matrix file per dataset

``metadata.pkl`` holds ``{"format": "orvanta-prepared-data", "format_version": 1,
"version": <data version>, "datasets": {key: entry}, "meta": {...}}``. Each entry is a dict
with ``file`` (path relative to the store), ``kind`` ("matrix", or "series_dict" for the
benchmark dictionary, stored as one column per series), ``dtype`` ("float64" or "bool"),
``rows``, ``cols``, ``start_date``/``end_date`` (first and last date or None), ``size``
(bytes), ``sha256``, ``index_name`` and ``columns_name``. Only plain built-in values are
pickled: the metadata is read with an unpickler that refuses every class and function, so a
downloaded package cannot run code through it.

A matrix file (little-endian) is::

    0   8 bytes   magic b"OVMTRX\\x00\\x01"
    8   u32       dtype code (1 = float64, 2 = bool stored as one byte 0/1)
    12  u32       reserved (0)
    16  u64       rows (dates)
    24  u64       cols (stock codes)
    32  u64       width of one code in bytes
    40  u64       offset of the codes block
    48  u64       offset of the values block (a multiple of 64)
    56  u64       reserved (0)
    64            rows x 8 bytes: dates as ASCII YYYYMMDD, strictly ascending
    ...           cols x width bytes: codes in UTF-8, NUL padded, in column order
    ...           zero padding up to the values offset
    ...           rows x cols values, row-major (one date after another)

Dates are ascending and the values row-major, so a date range is one contiguous byte range:
:meth:`BinaryPreparedDataStoreBase.load` reads the dates (8 bytes per row), finds the range by
binary search and maps (``mmap=True``, read-only views, nothing read until used) or reads only
those rows. File names carry the first 16 hex digits of the file's SHA-256, so rewriting a
dataset never touches a file the current metadata refers to; files no longer referred to are
removed after the new metadata is in place. Metadata, manifest and matrix files are each
written to a temporary file in the same directory, flushed, fsynced and renamed over the
target, so a crash or a full disk leaves the previous version readable.
"""

from __future__ import annotations

import copy
import hashlib
import io
import json
import math
import os
import pickle
import struct
import tempfile
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, BinaryIO
from urllib.parse import quote

import numpy as np
import pandas as pd

from orvanta.dates import normalize_date
from orvanta.exceptions import QuantError

FORMAT_NAME = "orvanta-prepared-data"
FORMAT_VERSION = 1
METADATA_FILE = "metadata.pkl"
MANIFEST_FILE = "manifest.json"
DATASET_DIR = "datasets"
BENCHMARK_DATASET_KEY = "benchmark_dict"
BENCHMARK_SERIES_NAME = "index_daily_return"
COMPONENT_KEY_PREFIX = "component_"

_MAGIC = b"OVMTRX\x00\x01"
_HEADER = struct.Struct("<8sIIQQQQQQ")
_ALIGN = 64
_DATE_WIDTH = 8
_DTYPE_CODES = {"float64": 1, "bool": 2}
_CODE_DTYPES = {1: np.dtype("<f8"), 2: np.dtype("bool")}

PathLike = str | os.PathLike
# The dtype pandas gives an index of text (str under pandas 3, object before), also for an
# empty one, so that a loaded matrix compares equal to the one that was written.
_TEXT_INDEX_DTYPE = pd.Index(np.array(["0"])).dtype


class PreparedDataStoreError(QuantError):
    """A store directory whose files are missing, damaged or disagree with each other."""


def normalize_yyyymmdd(value: Any) -> str | None:
    """``value`` as "YYYYMMDD" text; None stays None.

    Takes what :func:`orvanta.dates.normalize_date` takes (``int`` YYYYMMDD, "YYYYMMDD",
    "YYYY-MM-DD", ``date``, ``datetime``, ``Timestamp``) and "YYYY/MM/DD"; impossible dates
    raise ValueError, other types TypeError.
    """
    if value is None:
        return None
    if isinstance(value, str):
        text = value.strip()
        if len(text) == 10 and text[4] == "/" and text[7] == "/":
            value = text.replace("/", "-")
    return normalize_date(value).replace("-", "")


def component_dataset_key(name: str) -> str:
    """Dataset key of a component factor: "component_" followed by the name itself.

    The base dataset keys never start with that prefix, and the name is kept whole, so two
    names never share a key.
    """
    if not isinstance(name, str):
        raise TypeError(f"name must be str, not {type(name).__name__}")
    if not name:
        raise ValueError("component factor name must not be empty")
    return COMPONENT_KEY_PREFIX + name


def _values_are_float64(frame: pd.DataFrame) -> bool:
    return all(dtype == np.float64 for dtype in frame.dtypes)


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """The matrix kept for a pivoted factor: dates and codes ascending, float64 values,
    infinities as NaN. Non-numeric values become NaN. The input is never changed.
    """
    if not isinstance(matrix, pd.DataFrame):
        raise TypeError(f"matrix must be DataFrame, not {type(matrix).__name__}")
    out = matrix
    if not out.index.is_monotonic_increasing:
        out = out.sort_index()
    if not out.columns.is_monotonic_increasing:
        out = out.sort_index(axis=1)
    if not _values_are_float64(out):
        out = out.apply(pd.to_numeric, errors="coerce").astype("float64")
    if out.shape[0] and out.shape[1]:
        values = out.to_numpy()
        if np.isinf(values).any():
            out = out.replace([np.inf, -np.inf], np.nan)
    if out is matrix:
        # Under copy-on-write a shallow copy already protects the input; before that it does not.
        out = matrix.copy(deep=not _copy_on_write())
    return out


def _copy_on_write() -> bool:
    if int(pd.__version__.split(".", 1)[0]) >= 3:
        return True
    return pd.get_option("mode.copy_on_write") is True


class _PlainUnpickler(pickle.Unpickler):
    """Builds only built-in containers and scalars; any class or function is refused."""

    def find_class(self, module: str, name: str) -> Any:
        raise pickle.UnpicklingError(f"refused global {module}.{name}")


def _atomic_write(target: Path, write: Any) -> None:
    """Call ``write(file)`` on a temporary file beside ``target``, then rename it over it."""

    def fill(handle: BinaryIO) -> Path:
        write(handle)
        return target

    _write_then_rename(target.parent, f".{target.name}.", fill)


def _write_then_rename(directory: Path, prefix: str, fill: Callable[[BinaryIO], Path]) -> Path:
    """Fill a temporary file in ``directory``, fsync it and rename it to the path ``fill``
    returns (in the same directory); the temporary file does not outlive a failure."""
    directory.mkdir(parents=True, exist_ok=True)
    fd, tmp_name = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as handle:
            target = fill(handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp_name, target)
    except BaseException:
        try:
            os.unlink(tmp_name)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(directory)
    return target


def _fsync_dir(directory: Path) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _date_labels(index: pd.Index) -> list[str]:
    labels = []
    for value in index:
        if isinstance(value, str) and len(value) == _DATE_WIDTH and value.isdigit():
            labels.append(value)
            continue
        if value is None or (isinstance(value, float) and math.isnan(value)) or value is pd.NaT:
            raise ValueError("matrix index holds a missing date")
        labels.append(normalize_yyyymmdd(value))  # type: ignore[arg-type]
    return labels


def _matrix_values(matrix: pd.DataFrame, dtype: str) -> np.ndarray:
    if dtype == "bool":
        if all(d == np.bool_ for d in matrix.dtypes):
            values = matrix.to_numpy(dtype=bool)
        else:
            values = (matrix.notna() & matrix.ne(0)).to_numpy(dtype=bool)
        return np.ascontiguousarray(values, dtype=np.uint8)
    values = matrix.to_numpy(dtype="float64", na_value=np.nan)
    return np.ascontiguousarray(values, dtype="<f8")


def _encode_codes(columns: pd.Index) -> tuple[np.ndarray, int]:
    encoded = [str(code).encode("utf-8") for code in columns]
    width = max((len(code) for code in encoded), default=0) or 1
    if any(code.endswith(b"\x00") or not code for code in encoded):
        raise ValueError("stock codes must be non-empty and must not end with NUL")
    return np.array(encoded, dtype=f"S{width}"), width


class _HashingWriter:
    def __init__(self, handle: BinaryIO) -> None:
        self.handle = handle
        self.digest = hashlib.sha256()
        self.size = 0

    def write(self, data: bytes | memoryview) -> None:
        self.digest.update(data)
        self.handle.write(data)
        self.size += len(data)


class BinaryPreparedDataStoreBase:
    """A prepared-data store directory; see the module docstring for the format.

    ``matrix_dtype`` maps dataset keys to "float64" or "bool"; a key it does not name is
    written with ``default_dtype``. ``version`` is the data version stamped into metadata
    written by :meth:`write_payload` when the payload carries none.
    """

    def __init__(
        self,
        store_dir: PathLike,
        matrix_dtype: Mapping[str, str] | None = None,
        version: int = 1,
        default_dtype: str = "float64",
    ) -> None:
        self.store_dir = Path(store_dir).expanduser()
        self.matrix_dtype: dict[str, str] = dict(matrix_dtype or {})
        for key, dtype in [*self.matrix_dtype.items(), ("default_dtype", default_dtype)]:
            if dtype not in _DTYPE_CODES:
                raise ValueError(f"unsupported dtype {dtype!r} for {key}")
        self.version = int(version)
        self.default_dtype = default_dtype
        self.metadata_path = self.store_dir / METADATA_FILE
        self.manifest_path = self.store_dir / MANIFEST_FILE

    # ----------------------------------------------------------------- metadata

    def load_metadata(self) -> dict[str, Any]:
        """The store's metadata, read afresh; a missing or damaged file raises naming it."""
        try:
            raw = self.metadata_path.read_bytes()
        except FileNotFoundError:
            raise PreparedDataStoreError(
                f"预处理数据目录缺少元数据文件: {self.metadata_path}"
            ) from None
        try:
            metadata = _PlainUnpickler(io.BytesIO(raw)).load()
        except Exception as exc:
            raise PreparedDataStoreError(
                f"预处理数据元数据文件已损坏: {self.metadata_path} ({exc})"
            ) from exc
        if not isinstance(metadata, dict):
            raise PreparedDataStoreError(
                f"预处理数据元数据文件已损坏: {self.metadata_path} (not a dict)"
            )
        for field in ("datasets", "meta"):
            if field in metadata and not isinstance(metadata[field], dict):
                raise PreparedDataStoreError(
                    f"预处理数据元数据文件已损坏: {self.metadata_path} ({field} is not a dict)"
                )
        return metadata

    def _write_metadata(self, metadata: Mapping[str, Any]) -> None:
        """Replace metadata.pkl atomically (temporary file, fsync, rename)."""
        _atomic_write(
            self.metadata_path,
            lambda handle: pickle.dump(dict(metadata), handle, protocol=pickle.HIGHEST_PROTOCOL),
        )

    def _write_manifest(self, store_dir: PathLike, metadata: Mapping[str, Any]) -> dict[str, Any]:
        """Write manifest.json: size and SHA-256 of metadata.pkl and of every dataset file."""
        root = Path(store_dir).expanduser()
        files = {}
        for key, entry in metadata.get("datasets", {}).items():
            files[entry["file"]] = {"key": key, "size": entry["size"], "sha256": entry["sha256"]}
        raw = (root / METADATA_FILE).read_bytes()
        manifest = {
            "format": FORMAT_NAME,
            "format_version": FORMAT_VERSION,
            METADATA_FILE: {"size": len(raw), "sha256": hashlib.sha256(raw).hexdigest()},
            "files": files,
        }
        text = json.dumps(manifest, indent=2, sort_keys=True, ensure_ascii=False)
        _atomic_write(root / MANIFEST_FILE, lambda handle: handle.write(text.encode("utf-8")))
        return manifest

    def verify(self) -> None:
        """Check every file of the manifest for its size and SHA-256 (reads them whole)."""
        try:
            manifest = json.loads(self.manifest_path.read_text(encoding="utf-8"))
            files = dict(manifest["files"])
            files[METADATA_FILE] = manifest[METADATA_FILE]
        except (OSError, ValueError, KeyError, TypeError) as exc:
            raise PreparedDataStoreError(f"清单文件无法读取: {self.manifest_path} ({exc})") from exc
        for name, expected in files.items():
            path = self.store_dir / name
            digest = hashlib.sha256()
            size = 0
            try:
                with open(path, "rb") as handle:
                    while chunk := handle.read(1 << 20):
                        digest.update(chunk)
                        size += len(chunk)
            except OSError as exc:
                raise PreparedDataStoreError(f"数据文件无法读取: {path} ({exc})") from exc
            if size != expected["size"] or digest.hexdigest() != expected["sha256"]:
                raise PreparedDataStoreError(f"数据文件与清单不符: {path}")

    # ------------------------------------------------------------------ writing

    def _write_matrix(
        self, store_dir: PathLike, key: str, matrix: pd.DataFrame, dtype: str
    ) -> dict[str, Any]:
        """Write one matrix file and return its metadata entry."""
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"matrix must be DataFrame, not {type(matrix).__name__}")
        if dtype not in _DTYPE_CODES:
            raise ValueError(f"unsupported dtype {dtype!r} for {key}")
        if not isinstance(key, str) or not key:
            raise ValueError("dataset key must be a non-empty str")
        dates = _date_labels(matrix.index)
        order = np.argsort(np.array(dates, dtype=f"S{_DATE_WIDTH}"), kind="stable")
        if len(order) and np.any(order != np.arange(len(order))):
            matrix = matrix.iloc[order]
            dates = [dates[i] for i in order]
        if any(a == b for a, b in zip(dates, dates[1:], strict=False)):
            raise ValueError(f"matrix {key} has duplicate dates")
        codes, width = _encode_codes(matrix.columns)
        values = _matrix_values(matrix, dtype)
        rows, cols = values.shape
        codes_offset = _HEADER.size + rows * _DATE_WIDTH
        values_offset = -(-(codes_offset + cols * width) // _ALIGN) * _ALIGN
        header = _HEADER.pack(
            _MAGIC, _DTYPE_CODES[dtype], 0, rows, cols, width, codes_offset, values_offset, 0
        )
        root = Path(store_dir).expanduser()
        out: dict[str, Any] = {}

        def fill(handle: BinaryIO) -> Path:
            writer = _HashingWriter(handle)
            writer.write(header)
            writer.write("".join(dates).encode("ascii"))
            writer.write(codes.tobytes())
            writer.write(b"\x00" * (values_offset - codes_offset - cols * width))
            if values.size:
                writer.write(memoryview(values).cast("B"))
            # The file is named for its content.
            out["size"], out["sha256"] = writer.size, writer.digest.hexdigest()
            out["file"] = f"{DATASET_DIR}/{quote(key, safe='')}.{out['sha256'][:16]}.bin"
            return root / out["file"]

        _write_then_rename(root / DATASET_DIR, ".dataset.", fill)
        return {
            "file": out["file"],
            "kind": "matrix",
            "dtype": dtype,
            "rows": rows,
            "cols": cols,
            "start_date": dates[0] if dates else None,
            "end_date": dates[-1] if dates else None,
            "size": out["size"],
            "sha256": out["sha256"],
            "index_name": _label_name(matrix.index.name),
            "columns_name": _label_name(matrix.columns.name),
        }

    def _write_series_dict(
        self, store_dir: PathLike, key: str, series_dict: Mapping[str, pd.Series]
    ) -> dict[str, Any]:
        """Write a dict of date-indexed series (the benchmark dict) as one float64 matrix."""
        if not isinstance(series_dict, Mapping):
            raise TypeError(f"{key} must be dict, not {type(series_dict).__name__}")
        frame = pd.DataFrame({str(name): series for name, series in series_dict.items()})
        if frame.columns.has_duplicates:
            raise ValueError(f"{key} has duplicate names")
        names = list(frame.columns)
        series_names = {str(name): s.name for name, s in series_dict.items()}
        frame = frame.sort_index()
        entry = self._write_matrix(store_dir, key, frame, "float64")
        entry["kind"] = "series_dict"
        entry["series_names"] = [_label_name(series_names[name]) for name in names]
        return entry

    def write_payload(self, payload: Mapping[str, Any]) -> dict[str, Any]:
        """Write a whole build payload (``version``/``meta``/``data``) into this store.

        Every DataFrame of ``payload["data"]`` becomes a dataset under its key (dtype from
        ``matrix_dtype``, else ``default_dtype``); ``data["benchmark_dict"]`` (name -> Series)
        is stored as one dataset under that key. The store then holds exactly the payload:
        datasets of an earlier content are dropped and their files removed once the new
        metadata is in place. Returns the metadata written.
        """
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be dict, not {type(payload).__name__}")
        data = payload.get("data")
        if not isinstance(data, Mapping):
            raise TypeError(f"payload['data'] must be dict, not {type(data).__name__}")
        meta = payload.get("meta", {})
        if not isinstance(meta, Mapping):
            raise TypeError(f"payload['meta'] must be dict, not {type(meta).__name__}")
        self.store_dir.mkdir(parents=True, exist_ok=True)
        datasets: dict[str, Any] = {}
        for key, value in data.items():
            if key == BENCHMARK_DATASET_KEY:
                datasets[key] = self._write_series_dict(self.store_dir, key, value)
            elif isinstance(value, pd.DataFrame):
                dtype = self.matrix_dtype.get(key, self.default_dtype)
                datasets[key] = self._write_matrix(self.store_dir, key, value, dtype)
            else:
                raise TypeError(
                    f"payload['data'][{key!r}] must be DataFrame, not {type(value).__name__}"
                )
        metadata = {
            "format": FORMAT_NAME,
            "format_version": FORMAT_VERSION,
            "version": payload.get("version", self.version),
            "datasets": datasets,
            "meta": copy.deepcopy(dict(meta)),
        }
        self._write_metadata(metadata)
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)
        return metadata

    def _remove_unreferenced(self, metadata: Mapping[str, Any]) -> None:
        referenced = {entry["file"] for entry in metadata.get("datasets", {}).values()}
        directory = self.store_dir / DATASET_DIR
        if not directory.is_dir():
            return
        for path in directory.iterdir():
            if path.suffix == ".bin" and f"{DATASET_DIR}/{path.name}" not in referenced:
                path.unlink(missing_ok=True)

    # ------------------------------------------------------------------ loading

    def load(
        self,
        start_date: Any = None,
        end_date: Any = None,
        keys: Iterable[str] | None = None,
        mmap: bool = True,
    ) -> dict[str, Any]:
        """Load datasets restricted to ``start_date <= date <= end_date`` (None: unbounded).

        ``keys`` None loads every dataset the metadata records. With ``mmap`` true the
        matrices are read-only views of the mapped files and nothing is read until used;
        otherwise only the rows in range are read into memory. Returns ``{"version", "meta",
        "data"}``; the benchmark dataset comes back as a dict of Series.
        """
        metadata = self.load_metadata()
        datasets = metadata.get("datasets", {})
        if keys is None:
            keys = list(datasets)
        elif isinstance(keys, str):
            raise TypeError("keys must be list, not str")
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        data: dict[str, Any] = {}
        for key in keys:
            entry = datasets.get(key)
            if entry is None:
                raise KeyError(f"预处理数据中没有数据集: {key}")
            frame = self._read_matrix(entry, start, end, bool(mmap))
            if entry.get("kind") == "series_dict":
                data[key] = _series_dict(frame, entry)
            else:
                data[key] = frame
        return {
            "version": metadata.get("version", self.version),
            "meta": metadata.get("meta", {}),
            "data": data,
        }

    def _read_matrix(
        self, entry: Mapping[str, Any], start: str | None, end: str | None, mmap: bool
    ) -> pd.DataFrame:
        path = self.store_dir / entry["file"]
        try:
            handle = open(path, "rb")
        except OSError as exc:
            raise PreparedDataStoreError(f"数据文件无法读取: {path} ({exc})") from exc
        with handle:
            size = os.fstat(handle.fileno()).st_size
            raw = handle.read(_HEADER.size)
            if len(raw) < _HEADER.size:
                raise PreparedDataStoreError(f"数据文件已截断: {path}")
            magic, code, _, rows, cols, width, codes_offset, values_offset, _ = _HEADER.unpack(raw)
            dtype = _CODE_DTYPES.get(code)
            expected = values_offset + rows * cols * (dtype.itemsize if dtype else 0)
            if (
                magic != _MAGIC
                or dtype is None
                or codes_offset != _HEADER.size + rows * _DATE_WIDTH
                or values_offset < codes_offset + cols * width
            ):
                raise PreparedDataStoreError(f"数据文件格式不正确: {path}")
            if (rows, cols) != (entry["rows"], entry["cols"]) or expected != entry["size"]:
                raise PreparedDataStoreError(f"数据文件与元数据不符: {path}")
            if size != expected:
                raise PreparedDataStoreError(
                    f"数据文件大小与元数据不符: {path} (应为 {expected} 字节, 实际 {size} 字节)"
                )
            dates = np.frombuffer(handle.read(rows * _DATE_WIDTH), dtype=f"S{_DATE_WIDTH}")
            codes = np.frombuffer(handle.read(cols * width), dtype=f"S{width}")
            lo = 0 if start is None else int(np.searchsorted(dates, start.encode(), "left"))
            hi = rows if end is None else int(np.searchsorted(dates, end.encode(), "right"))
            hi = max(hi, lo)
            offset = values_offset + lo * cols * dtype.itemsize
            count = (hi - lo) * cols
            if count == 0:
                values = np.zeros((hi - lo, cols), dtype=dtype)
            elif mmap:
                values = np.memmap(
                    path, dtype=dtype, mode="r", offset=offset, shape=(hi - lo, cols)
                )
            else:
                handle.seek(offset)
                values = np.fromfile(handle, dtype=dtype, count=count).reshape(hi - lo, cols)
        if mmap:
            values.flags.writeable = False
        index = pd.Index(
            dates[lo:hi].astype(str), dtype=_TEXT_INDEX_DTYPE, name=entry.get("index_name")
        )
        columns = pd.Index(
            np.char.decode(codes, "utf-8"), dtype=_TEXT_INDEX_DTYPE, name=entry.get("columns_name")
        )
        return pd.DataFrame(values, index=index, columns=columns, copy=False)


def _label_name(name: Any) -> Any:
    return name if name is None or isinstance(name, str | int | float) else str(name)


def _series_dict(frame: pd.DataFrame, entry: Mapping[str, Any]) -> dict[str, pd.Series]:
    names = entry.get("series_names") or [BENCHMARK_SERIES_NAME] * frame.shape[1]
    out = {}
    for column, series_name in zip(frame.columns, names, strict=True):
        series = frame[column].dropna()
        series.name = series_name
        out[str(column)] = series
    return out
