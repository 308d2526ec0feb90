"""Installing the benchmark package end to end: the service answer, the transfer through
temp/benchmark.part, unpacking, clean-up and recovery on the next call."""

from __future__ import annotations

import io
import logging
import random
import zipfile

import pytest
from loopback import LoopbackServer, Response, signature_ok
from package_server import file_response, header

from orvanta._http import API_PREFIX, HttpClient
from orvanta.backtest import _pkg
from orvanta.client import OrvantaClient
from orvanta.exceptions import NetworkError, QuantError

SECRET = "server-secret"
KEY = "AK-test"
META_PATH = API_PREFIX + "/backtest-data/benchmark-data"


META = random.Random(7).randbytes(200_000)
CLOSE = bytes(range(256)) * 400


def package_bytes():
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("metadata.pkl", META)
        zf.writestr("matrices/close_price.bin", CLOSE)
    return buf.getvalue()


PACKAGE = package_bytes()
DEFAULT_ANSWER = object()


class Service:
    """The data service's address endpoint and a file host in one loopback server."""

    def __init__(self, answer=DEFAULT_ANSWER, package=PACKAGE, **file_options):
        self.answer = answer
        self.package = package
        self.file_options = file_options
        self.drop_after = None

    def __call__(self, request):
        if request.path == META_PATH:
            if header(request, "X-Api-Key") != KEY or not signature_ok(SECRET, request):
                return Response.error(401, "签名校验失败")
            if isinstance(self.answer, Response):
                return self.answer
            answer = self.answer
            if answer is DEFAULT_ANSWER:
                answer = {"download_url": f"  {self.url}/files/pkg.zip \n", "size": 1}
            return Response.data(answer)
        if request.path == "/files/pkg.zip":
            response = file_response(self.package, request, **self.file_options)
            response.drop_after = self.drop_after
            return response
        return Response(404, b"")

    def __enter__(self):
        self.server = LoopbackServer(self).__enter__()
        self.url = self.server.url
        return self

    def __exit__(self, *exc):
        self.server.__exit__(*exc)

    @property
    def requests(self):
        return self.server.requests

    def file_requests(self):
        return [r for r in self.requests if r.path == "/files/pkg.zip"]

    def http(self):
        return HttpClient(self.url, KEY, SECRET, timeout=5, retries=0)


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


def test_installs_through_the_client_and_removes_the_part_file(home, caplog):
    caplog.set_level(logging.INFO, logger="orvanta")
    with Service() as svc:
        store = OrvantaClient(svc.http()).download_benchmark_package(
            "~/.orvanta/backtest_data/enviroment_data"
        )
    assert store == home / ".orvanta" / "backtest_data" / "enviroment_data"
    assert "~" not in str(store)
    assert (store / "metadata.pkl").read_bytes() == META
    assert (store / "matrices" / "close_price.bin").read_bytes() == CLOSE
    temp = home / ".orvanta" / "backtest_data" / "temp"
    assert temp.is_dir() and list(temp.iterdir()) == []
    assert [r.message for r in caplog.records if r.name == "orvanta"] == [
        "开始下载回测基准数据包",
        "回测基准数据包下载完成",
    ]
    (package_request,) = svc.file_requests()
    # A bare GET: the service's credentials never go to the file host.
    for name in ("X-Api-Key", "X-Signature", "X-Nonce", "X-Timestamp", "Range"):
        assert header(package_request, name) is None
    assert [r.path for r in svc.requests] == [META_PATH, "/files/pkg.zip"]


@pytest.mark.parametrize(
    "answer",
    [
        {"download_url": "   "},
        {"content_type": "application/zip"},
        {"download_url": None},
        {"download_url": 42},
        {},
        None,
        [],
    ],
    ids=["blank", "missing", "null", "not-text", "empty-object", "null-answer", "empty-list"],
)
def test_no_usable_address_raises_before_touching_the_store(home, answer):
    with Service(answer) as svc:
        with pytest.raises(QuantError) as info:
            _pkg.download_benchmark_package(svc.http(), home / "data" / "store")
    assert str(info.value) == "服务端未返回有效的回测基准数据下载地址"
    assert type(info.value) is QuantError
    assert list(home.iterdir()) == []
    assert svc.file_requests() == []


@pytest.mark.parametrize(
    "content_type",
    [None, "", "   ", " application/zip \t"],
    ids=["absent", "empty", "blank", "padded"],
)
def test_zip_content_types_are_accepted(home, content_type):
    with Service() as svc:
        answer = {"download_url": svc.url + "/files/pkg.zip"}
        if content_type is not None:
            answer["content_type"] = content_type
        svc.answer = answer
        store = _pkg.download_benchmark_package(svc.http(), str(home / "store"))
    assert (store / "metadata.pkl").exists()


@pytest.mark.parametrize(
    "content_type, named",
    [(" application/x-tar ", "application/x-tar"), ("application/ZIP", "application/ZIP")],
)
def test_other_content_types_are_refused(home, content_type, named):
    with Service() as svc:
        svc.answer = {"download_url": svc.url + "/files/pkg.zip", "content_type": content_type}
        with pytest.raises(QuantError, match=f"^不支持的回测基准数据包格式: {named}$"):
            _pkg.download_benchmark_package(svc.http(), home / "store")
    assert svc.file_requests() == []
    assert list(home.iterdir()) == []


def test_service_errors_propagate_unchanged(home):
    with Service(Response.error(403, "额度不足", "quota")) as svc:
        with pytest.raises(NetworkError, match="403.*额度不足"):
            _pkg.download_benchmark_package(svc.http(), home / "store")
    assert list(home.iterdir()) == []


def test_interrupted_transfer_leaves_the_part_file_and_the_next_call_resumes(home, monkeypatch):
    monkeypatch.setattr(_pkg, "_DOWNLOAD_CHUNK_SIZE", 4096)
    part = home / "data" / "temp" / "benchmark.part"
    with Service() as svc:
        svc.drop_after = len(PACKAGE) // 2
        with pytest.raises(NetworkError, match="^下载回测基准数据失败: 网络错误$"):
            _pkg.download_benchmark_package(svc.http(), home / "data" / "store")
        kept = part.read_bytes()
        assert 0 < len(kept) < len(PACKAGE) and PACKAGE.startswith(kept)
        assert list((home / "data" / "store").iterdir()) == []

        svc.drop_after = None
        store = _pkg.download_benchmark_package(svc.http(), home / "data" / "store")
    assert [header(r, "Range") for r in svc.file_requests()] == [None, f"bytes={len(kept)}-"]
    assert (store / "metadata.pkl").read_bytes() == META
    assert not part.exists()


def test_complete_part_file_from_an_earlier_attempt_is_unpacked(home):
    part = home / "temp" / "benchmark.part"
    part.parent.mkdir()
    part.write_bytes(PACKAGE)
    with Service() as svc:
        store = _pkg.download_benchmark_package(svc.http(), home / "store")
    assert [header(r, "Range") for r in svc.file_requests()] == [f"bytes={len(PACKAGE)}-"]
    assert (store / "metadata.pkl").exists()
    assert not part.exists()


def test_damaged_download_is_discarded_so_the_next_call_starts_afresh(home):
    part = home / "temp" / "benchmark.part"
    with Service(package=b"<html>an error page served as the package</html>") as svc:
        with pytest.raises(QuantError, match="^回测基准数据包损坏,无法解压$"):
            _pkg.download_benchmark_package(svc.http(), home / "store")
        assert not part.exists()

        svc.package = PACKAGE
        store = _pkg.download_benchmark_package(svc.http(), home / "store")
    assert [header(r, "Range") for r in svc.file_requests()] == [None, None]
    assert (store / "metadata.pkl").exists()


def test_package_with_an_escaping_entry_is_refused_and_discarded(home):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        zf.writestr("metadata.pkl", b"m")
        zf.writestr("../evil.txt", b"x")
    with Service(package=buf.getvalue()) as svc:
        with pytest.raises(QuantError, match="^回测基准数据包含非法路径条目: ../evil.txt$"):
            _pkg.download_benchmark_package(svc.http(), home / "store")
    assert not (home / "evil.txt").exists()
    assert list((home / "store").iterdir()) == []
    assert not (home / "temp" / "benchmark.part").exists()
