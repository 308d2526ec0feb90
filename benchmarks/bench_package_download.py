"""Benchmark package download: throughput against `curl -o` from the same loopback server.

A server process on 127.0.0.1 (the tests' loopback server) serves a generated 512 MiB
package, honouring Range. The benchmark downloads it with `curl -o` and with
`_stream_download`, alternating, checks the download's SHA-256, and prints the best
throughput of each, their ratio (target >= 0.80) and the downloader's peak memory growth
(target: a few 1 MiB chunks). Only one 512 MiB file exists at a time; all are deleted.
Both clients share the machine with the server, so a busy machine lowers the figures.

    .venv/bin/python benchmarks/bench_package_download.py [--mib 512] [--rounds 3]
"""

from __future__ import annotations

import argparse
import hashlib
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

MIB = 1 << 20


BLOCKS = 7  # distinct 1 MiB blocks, so a misplaced range shows in the digest


def chunk(i: int, blocks: list[bytes]) -> bytes:
    return blocks[i % BLOCKS]


def serve(mib: int) -> None:
    """Child process: serve the package until stdin closes."""
    import re

    from loopback import LoopbackServer, Response

    # Prebuilt blocks keep the server's own work to a socket write per MiB.
    block = [os.urandom(MIB) for _ in range(BLOCKS)]
    size = mib * MIB

    def body(start: int):
        first, offset = divmod(start, MIB)
        yield chunk(first, block)[offset:] if offset else chunk(first, block)
        for i in range(first + 1, mib):
            yield chunk(i, block)

    def handler(request):
        headers = {k.lower(): v for k, v in request.headers.items()}
        match = re.fullmatch(r"bytes=(\d+)-", headers.get("range", ""))
        if match and int(match.group(1)) < size:
            start = int(match.group(1))
            return Response(
                206,
                body(start),
                {
                    "Content-Length": str(size - start),
                    "Content-Range": f"bytes {start}-{size - 1}/{size}",
                },
            )
        if request.path == "/digest":
            digest = hashlib.sha256()
            for part in body(0):
                digest.update(part)
            return Response(200, digest.hexdigest().encode())
        return Response(200, body(0), {"Content-Length": str(size)})

    with LoopbackServer(handler) as srv:
        print(srv.url, flush=True)
        sys.stdin.read()


def file_digest(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(4 * MIB):
            digest.update(block)
    return digest.hexdigest()


def cpu_seconds() -> float:
    """User and system time of this process and its finished children (curl)."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def reset_peak_rss() -> None:
    Path("/proc/self/clear_refs").write_text("5")


def peak_rss() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def current_rss() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return

    import httpx

    from orvanta.backtest import _pkg

    curl = shutil.which("curl")
    size = args.mib * MIB
    server = subprocess.Popen(
        [sys.executable, __file__, "--serve", str(args.mib)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    workdir = Path(tempfile.mkdtemp(prefix="bench-pkg-"))
    try:
        url = server.stdout.readline().strip() + "/pkg.zip"
        expected = httpx.get(url.replace("/pkg.zip", "/digest"), timeout=120).text
        dest = workdir / "benchmark.part"

        def run_curl() -> float:
            start = time.perf_counter()
            subprocess.run([curl, "-s", "-f", "-o", str(dest), url], check=True)
            return time.perf_counter() - start

        def run_plain_httpx() -> float:
            start = time.perf_counter()
            with httpx.stream("GET", url, timeout=300) as response, open(dest, "wb") as f:
                for part in response.iter_raw(MIB):
                    f.write(part)
            return time.perf_counter() - start

        def run_pkg() -> float:
            start = time.perf_counter()
            _pkg._stream_download(url, dest)
            return time.perf_counter() - start

        baseline_name = "curl -o" if curl else "plain httpx loop (curl not found)"
        baseline = run_curl if curl else run_plain_httpx
        times: dict[str, list[float]] = {baseline_name: [], "_stream_download": []}
        cpu: dict[str, list[float]] = {baseline_name: [], "_stream_download": []}
        growth: list[int] = []

        def measure_baseline() -> None:
            before = cpu_seconds()
            times[baseline_name].append(baseline())
            cpu[baseline_name].append(cpu_seconds() - before)
            assert dest.stat().st_size == size
            dest.unlink()

        def measure_pkg() -> None:
            rss_before = current_rss()
            reset_peak_rss()
            before = cpu_seconds()
            times["_stream_download"].append(run_pkg())
            cpu["_stream_download"].append(cpu_seconds() - before)
            growth.append(peak_rss() - rss_before)
            assert file_digest(dest) == expected, "downloaded file differs from the package"
            dest.unlink()

        for round_no in range(args.rounds):
            # Alternate who goes first and let freed page cache settle, so neither client
            # always meets the memory state the other one left behind.
            order = [measure_baseline, measure_pkg]
            for measure in order if round_no % 2 == 0 else order[::-1]:
                time.sleep(1.0)
                measure()

        load = " ".join(f"{x:.1f}" for x in os.getloadavg())
        print(f"package: {args.mib} MiB from {url}, {args.rounds} rounds, best of each")
        print(f"  load average {load} on {os.cpu_count()} CPUs (the server needs one)")
        best = {name: size / min(ts) / MIB for name, ts in times.items()}
        median = {name: size / statistics.median(ts) / MIB for name, ts in times.items()}
        for name in times:
            runs = ", ".join(f"{size / t / MIB:.0f}" for t in times[name])
            print(
                f"  {name:<20} best {best[name]:5.0f} MiB/s, median {median[name]:5.0f} MiB/s"
                f"   (runs: {runs})"
            )
        for name in times:
            print(f"  {name:<20} CPU {statistics.median(cpu[name]):.2f} s per download (median)")
        ratio = best["_stream_download"] / best[baseline_name]
        ratio_median = median["_stream_download"] / median[baseline_name]
        print(
            f"  ratio _stream_download / {baseline_name}: best {ratio:.2f}, "
            f"median {ratio_median:.2f} (target >= 0.80)"
        )
        print(
            f"  peak memory growth during _stream_download: "
            f"{max(growth) / MIB:.1f} MiB (chunk {_pkg._DOWNLOAD_CHUNK_SIZE / MIB:.0f} MiB)"
        )
    finally:
        server.stdin.close()
        server.wait(timeout=10)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
