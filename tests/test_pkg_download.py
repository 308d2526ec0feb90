"""The resumable package transfer against a real HTTP server on 127.0.0.1."""

from __future__ import annotations

import os
import re
from pathlib import Path

import httpx
import pytest
from loopback import LoopbackServer, Response, free_port
from package_server import file_response, header
from tqdm import tqdm

from orvanta.backtest import _pkg
from orvanta.exceptions import NetworkError

DATA = os.urandom(300_000)


@pytest.fixture
def bars(monkeypatch):
    """Every progress bar the download creates, still able to draw."""
    made: list[tqdm] = []

    class Recording(tqdm):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.kwargs = kwargs
            made.append(self)

    monkeypatch.setattr(_pkg, "tqdm", Recording)
    return made


@pytest.fixture
def small_chunks(monkeypatch):
    monkeypatch.setattr(_pkg, "_DOWNLOAD_CHUNK_SIZE", 1000)


def ranges(request):
    return [header(r, "Range") for r in request]


def serve(data=DATA, **kw):
    return LoopbackServer(lambda r: file_response(data, r, **kw))


@pytest.mark.parametrize(
    "handler, total",
    [
        (lambda r: file_response(DATA, r), len(DATA)),
        (lambda r: Response(200, iter([DATA[:1000], DATA[1000:]]), chunked=True), None),
        (
            lambda r: (
                Response(302, b"", {"Location": "/pkg.zip"})
                if r.path == "/old"
                else file_response(DATA, r)
            ),
            len(DATA),
        ),
    ],
    ids=["content-length", "no-content-length", "redirect"],
)
@pytest.mark.parametrize("part", [None, b""], ids=["no-part-file", "empty-part-file"])
def test_fresh_download_sends_no_range(tmp_path, bars, handler, total, part):
    dest = tmp_path / "benchmark.part"
    if part is not None:
        dest.write_bytes(part)
    with LoopbackServer(handler) as srv:
        _pkg._stream_download(srv.url + "/old", dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == [None] * len(srv.requests)
    (bar,) = bars
    assert (bar.total, bar.initial, bar.n) == (total, 0, len(DATA))


def test_resume_appends_the_206_part_and_starts_the_bar_at_the_part_size(tmp_path, bars):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA[:123_457])
    with serve() as srv:
        _pkg._stream_download(srv.url + "/pkg.zip", dest=dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == ["bytes=123457-"]
    (bar,) = bars
    assert (bar.initial, bar.total, bar.n) == (123_457, len(DATA), len(DATA))


def test_ignored_range_rewrites_the_file_from_the_start(tmp_path, bars):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(b"stale bytes of some other file" * 10_000)  # longer than DATA
    with serve(honour_range=False) as srv:
        _pkg._stream_download(srv.url + "/pkg.zip", dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == [f"bytes={300_000}-"]
    assert (bars[0].initial, bars[0].total) == (0, len(DATA))


def test_part_starting_elsewhere_restarts_from_byte_zero(tmp_path):
    def handler(request):
        if header(request, "Range"):  # a part that does not continue the file
            return Response(206, DATA[10:], {"Content-Range": f"bytes 10-{len(DATA) - 1}/*"})
        return Response(200, DATA)

    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA[:5000])
    with LoopbackServer(handler) as srv:
        _pkg._stream_download(srv.url, dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == ["bytes=5000-", None]


def test_416_naming_a_smaller_package_fetches_it_afresh(tmp_path):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA + b"left over from a longer package")
    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == [f"bytes={len(DATA) + 31}-", None]


def test_416_naming_the_part_size_means_the_transfer_is_complete(tmp_path, bars):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA)
    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    assert dest.read_bytes() == DATA
    assert ranges(srv.requests) == [f"bytes={len(DATA)}-"]
    assert bars == []


@pytest.mark.parametrize(
    "response, part, status",
    [
        (Response(404, b"not found"), b"", 404),
        (Response(404, b"not found"), DATA[:100], 404),
        (Response(416, b"", {"Content-Range": "bytes */500"}), DATA[:100], 416),
        (Response(416, b""), DATA[:100], 416),
        (Response(500, b"boom"), DATA[:100], 500),
    ],
    ids=["404", "404-with-part", "416-other-size", "416-no-content-range", "500"],
)
def test_failed_status_raises_network_error_and_keeps_the_part_file(
    tmp_path, response, part, status
):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(part)
    with LoopbackServer(lambda r: response) as srv:
        with pytest.raises(NetworkError) as info:
            _pkg._stream_download(srv.url + "/pkg.zip", dest)
    assert str(info.value) == f"下载回测基准数据失败: HTTP {status}"
    assert isinstance(info.value.__cause__, httpx.HTTPStatusError)
    assert info.value.cause is info.value.__cause__
    assert dest.read_bytes() == part


def test_dropped_connection_keeps_written_chunks_and_the_next_call_resumes(tmp_path, small_chunks):
    dest = tmp_path / "benchmark.part"
    dropped = Response(200, DATA, {"Content-Length": str(len(DATA))}, drop_after=25_500)
    with LoopbackServer(lambda r: dropped) as srv:
        with pytest.raises(NetworkError, match="^下载回测基准数据失败: 网络错误$") as info:
            _pkg._stream_download(srv.url, dest)
    assert isinstance(info.value.__cause__, httpx.HTTPError)
    kept = dest.read_bytes()
    assert 0 < len(kept) <= 25_500 and len(kept) % 1000 == 0
    assert kept == DATA[: len(kept)]

    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    assert ranges(srv.requests) == [f"bytes={len(kept)}-"]
    assert dest.read_bytes() == DATA


def test_drop_during_a_resumed_transfer_keeps_appended_chunks(tmp_path, small_chunks):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA[:50_000])

    def dropping(request):
        answer = file_response(DATA, request)
        answer.drop_after = 40_000
        return answer

    with LoopbackServer(dropping) as srv:
        with pytest.raises(NetworkError, match="网络错误"):
            _pkg._stream_download(srv.url, dest)
    kept = dest.read_bytes()
    assert 50_000 < len(kept) <= 90_000 and kept == DATA[: len(kept)]
    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    assert dest.read_bytes() == DATA


def test_connection_refused_is_a_network_error(tmp_path):
    with pytest.raises(NetworkError, match="^下载回测基准数据失败: 网络错误$") as info:
        _pkg._stream_download(f"http://127.0.0.1:{free_port()}/pkg.zip", tmp_path / "p")
    assert isinstance(info.value.__cause__, httpx.ConnectError)
    assert not (tmp_path / "p").exists()


@pytest.mark.parametrize(
    "dest, error",
    [("{tmp}/missing/benchmark.part", FileNotFoundError), ("/dev/full", OSError)],
    ids=["missing-directory", "disk-full"],
)
def test_file_system_errors_propagate_unchanged(tmp_path, dest, error):
    dest = dest.format(tmp=tmp_path)
    with serve() as srv:
        with pytest.raises(error) as info:
            _pkg._stream_download(srv.url, Path(dest))
    assert not isinstance(info.value, NetworkError)
    assert os.fspath(info.value.filename) == dest


def test_chunks_reach_the_file_before_the_bar_advances(tmp_path, monkeypatch, small_chunks):
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA[:777])
    seen = []

    class Watching(tqdm):
        def update(self, n=1):
            seen.append((n, dest.stat().st_size))
            return super().update(n)

    monkeypatch.setattr(_pkg, "tqdm", Watching)
    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    assert dest.read_bytes() == DATA
    steps = [n for n, _ in seen]
    remaining = len(DATA) - 777
    assert steps == [1000] * (remaining // 1000) + [remaining % 1000]
    assert [size for _, size in seen] == [777 + sum(steps[: i + 1]) for i in range(len(steps))]


class Url(str):
    pass


@pytest.mark.parametrize(
    "url, given", [(b"http://x", "bytes"), (Url("http://x"), "Url"), (None, "NoneType")]
)
def test_url_must_be_exactly_str(tmp_path, url, given):
    with pytest.raises(TypeError, match=rf"^url must be str, not .*{given}$"):
        _pkg._stream_download(url, tmp_path / "p")


def test_progress_bar_text_and_throttled_redraws(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(_pkg, "_DOWNLOAD_CHUNK_SIZE", 100)  # 3000 updates
    dest = tmp_path / "benchmark.part"
    dest.write_bytes(DATA[:100_000])
    with serve() as srv:
        _pkg._stream_download(srv.url, dest)
    err = capsys.readouterr().err
    frames = [f for f in re.split(r"[\r\n]", err) if f.strip()]
    # One frame when the bar opens at the part size, one when it closes; none in between
    # because the transfer takes well under the one-second redraw interval.
    assert len(frames) <= 3, frames
    assert frames[0].startswith("下载基准数据  33%|")
    assert frames[-1].startswith("下载基准数据 100%|")
    assert "293k/293k [" in frames[-1]
