#!/usr/bin/env python3
"""Send N complete LPD (RFC 1179) print jobs to HOST PORT QUEUE and report throughput.

Each connection carries one job: \\2QUEUE\\n, then the control file and the data
file (order selectable), every piece acknowledged by a zero byte. After the last
ack the client half-closes and waits for the server to close, so the per-job
latency runs from connect() to the server's close.

Job identity: file names are cfA<nnn><host> / dfA<nnn><host>. <nnn> wraps at
1000, so the host part changes at each wrap (b<tag><k>): a (number, host) pair
is never reused within a run, and <tag> is random per run so that runs do not
collide either. The user (P line) is "bench-" + the host part without its "b", so
(number, user) does not repeat either. Every data file starts with a fixed-width header
"LPDBENCH <tag> <seq>\\n" that verify.py counts at the far end.

Standard library only (asyncio, one process).
"""
import argparse
import asyncio
import json
import math
import os
import random
import resource
import socket
import string
import sys
import time

HEADER_FMT = "LPDBENCH %s %07d\n"   # fixed width: 9 + 8 + 1 + 7 + 1 = 26 bytes
TAG_LEN = 8


def make_tag():
    alphabet = string.ascii_lowercase + string.digits
    return "".join(random.choice(alphabet) for _ in range(TAG_LEN))


def filler_bytes(n):
    """Printable, newline-terminated lines that never contain 'LPDBENCH'."""
    line = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789a\n"  # 64 bytes, as lpdloadc
    reps = n // len(line) + 1
    return (line * reps)[:n]


def percentile(sorted_vals, p):
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_vals:
        return None
    k = max(0, min(len(sorted_vals) - 1, math.ceil(p / 100.0 * len(sorted_vals)) - 1))
    return sorted_vals[k]


class JobFailed(Exception):
    def __init__(self, kind, detail=""):
        super().__init__(kind, detail)
        self.kind = kind
        self.detail = detail


class Load:
    def __init__(self, a):
        self.a = a
        self.queue = a.queue.encode()
        self.tag = a.tag or make_tag()
        self.base = a.base if a.base is not None else random.randrange(1000)
        self.hdr_len = len(HEADER_FMT % (self.tag, 0))
        self.size = a.size
        # Shared read-only payload: filler after the header, plus the \0 terminator.
        body = max(0, a.size - self.hdr_len)
        self.tail = memoryview(filler_bytes(body) + b"\0")
        self.small = a.size <= 1 << 20
        self.tail_b = bytes(self.tail) if self.small else None
        self.user = a.user.encode()
        self.next_i = 0
        self.lat = []
        self.fail = {}
        self.fail_examples = []
        self.ok = 0
        self.bytes_ok = 0
        self.slow_close = 0
        self.deadline = None
        self.stopped_early = False
        self.close_times = []  # (seq, epoch of the half-close) for --close-times

    def names(self, i):
        n = self.base + i
        num = n % 1000
        if self.a.single_host:
            host = "b" + self.tag
        else:
            host = "b%s%d" % (self.tag, n // 1000)
        return num, host

    async def recv_ack(self, sock, what):
        loop = asyncio.get_running_loop()
        b = await asyncio.wait_for(loop.sock_recv(sock, 1), self.a.timeout)
        if not b:
            raise JobFailed("eof", "server closed before ack of " + what)
        if b != b"\0":
            # Many servers follow a refusal with a text reason; keep a little of it.
            msg = b""
            try:
                msg = await asyncio.wait_for(loop.sock_recv(sock, 200), 0.5)
            except (asyncio.TimeoutError, OSError):
                pass
            raise JobFailed("nack", "ack %r for %s %r" % (b, what, msg.strip()[:120]))

    async def send(self, sock, data):
        loop = asyncio.get_running_loop()
        await asyncio.wait_for(loop.sock_sendall(sock, data), self.a.timeout_data)

    async def one_job(self, i):
        loop = asyncio.get_running_loop()
        num, host = self.names(i)
        hb = host.encode()
        # The user changes with the host, and with the run: a server that keys its queue by
        # (queue, user, number) sees no repeat either, even with earlier runs still queued.
        user = self.user if self.a.single_host else b"%s-%s" % (self.user, hb[1:])
        cf = b"cfA%03d%s" % (num, hb)
        df = b"dfA%03d%s" % (num, hb)
        control = b"H%s\nP%s\nJbench-%s-%d\nl%s\n" % (hb, user, self.tag.encode(), i, df)
        header = (HEADER_FMT % (self.tag, i)).encode()[: self.size]
        t0 = time.perf_counter()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                await asyncio.wait_for(loop.sock_connect(sock, (self.a.host, self.a.port)), self.a.timeout)
            except ConnectionRefusedError:
                raise JobFailed("refused")
            await self.send(sock, b"\2" + self.queue + b"\n")
            await self.recv_ack(sock, "receive-job")

            async def send_control():
                await self.send(sock, b"\2%d %s\n" % (len(control), cf))
                await self.recv_ack(sock, "control subcommand")
                await self.send(sock, control + b"\0")
                await self.recv_ack(sock, "control file")

            async def send_data():
                await self.send(sock, b"\3%d %s\n" % (self.size, df))
                await self.recv_ack(sock, "data subcommand")
                if self.small:
                    await self.send(sock, header + self.tail_b)
                else:
                    await self.send(sock, header)
                    await self.send(sock, self.tail)
                await self.recv_ack(sock, "data file")

            if self.a.order == "control-first":
                await send_control()
                await send_data()
            else:
                await send_data()
                await send_control()
            # Half-close and wait for the server to finish with the connection.
            sock.shutdown(socket.SHUT_WR)
            if self.a.close_times:
                self.close_times.append((i, time.time()))
            if self.a.wait_close:
                try:
                    while True:
                        b = await asyncio.wait_for(loop.sock_recv(sock, 4096), self.a.close_timeout)
                        if not b:
                            break
                except asyncio.TimeoutError:
                    self.slow_close += 1
                except ConnectionResetError:
                    pass  # the job was fully acknowledged; a reset on close is not a loss
        except JobFailed:
            raise
        except asyncio.TimeoutError:
            raise JobFailed("timeout")
        except ConnectionResetError:
            raise JobFailed("reset")
        except BrokenPipeError:
            raise JobFailed("broken-pipe")
        except OSError as e:
            raise JobFailed("oserror", str(e))
        finally:
            sock.close()
        return time.perf_counter() - t0

    async def worker(self):
        while self.next_i < self.a.jobs:
            if time.perf_counter() > self.deadline:
                self.stopped_early = True
                return
            i = self.next_i
            self.next_i += 1
            if self.a.pace:
                await asyncio.sleep(random.uniform(0, self.a.pace))
            try:
                dt = await self.one_job(i)
                self.ok += 1
                self.bytes_ok += self.size
                self.lat.append(dt)
            except JobFailed as e:
                self.fail[e.kind] = self.fail.get(e.kind, 0) + 1
                if len(self.fail_examples) < 5:
                    self.fail_examples.append("job %d: %s %s" % (i, e.kind, e.detail))
                if self.a.fail_pause:
                    await asyncio.sleep(self.a.fail_pause)

    async def run(self):
        t0 = time.perf_counter()
        self.deadline = t0 + self.a.max_seconds
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        await asyncio.gather(*(self.worker() for _ in range(self.a.concurrency)))
        wall = time.perf_counter() - t0
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
        if self.a.close_times:
            with open(self.a.close_times, "w") as f:
                for seq, t in self.close_times:
                    f.write("%s %d %.6f\n" % (self.tag, seq, t))
        cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
        lat = sorted(self.lat)
        nfail = sum(self.fail.values())
        return {
            "tool": "lpdload",
            "host": self.a.host, "port": self.a.port, "queue": self.a.queue,
            "order": self.a.order, "size": self.size, "concurrency": self.a.concurrency,
            "requested": self.a.jobs, "attempted": self.ok + nfail,
            "jobs_ok": self.ok, "failures": nfail, "failure_kinds": self.fail,
            "failure_examples": self.fail_examples,
            "stopped_early": self.stopped_early, "slow_close": self.slow_close,
            "wall_s": wall,
            "jobs_per_s": self.ok / wall if wall > 0 else 0.0,
            "mb_per_s": self.bytes_ok / wall / 1e6 if wall > 0 else 0.0,
            "lat_p50_ms": percentile(lat, 50) * 1e3 if lat else None,
            "lat_p99_ms": percentile(lat, 99) * 1e3 if lat else None,
            "lat_max_ms": lat[-1] * 1e3 if lat else None,
            "client_cpu_s": cpu,
            "tag": self.tag, "base": self.base,
            "t_start_epoch": time.time() - wall,
        }


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("queue")
    p.add_argument("--jobs", "-n", type=int, default=100)
    p.add_argument("--concurrency", "-c", type=int, default=1)
    p.add_argument("--size", type=int, default=1024, help="data file bytes per job")
    p.add_argument("--order", choices=["control-first", "data-first"], default="control-first")
    p.add_argument("--user", default="bench", help="P line (user)")
    p.add_argument("--tag", help="run tag (default: random %d chars)" % TAG_LEN)
    p.add_argument("--base", type=int, help="first job number 0..999 (default: random)")
    p.add_argument("--single-host", action="store_true",
                   help="use one host name for all jobs, so numbers repeat after 1000 jobs "
                        "(probes whether a server deduplicates by number)")
    p.add_argument("--timeout", type=float, default=30.0, help="seconds per connect/ack wait")
    p.add_argument("--timeout-data", type=float, default=120.0, help="seconds per send")
    p.add_argument("--no-wait-close", dest="wait_close", action="store_false",
                   help="close right after the last ack instead of waiting for the server's close")
    p.add_argument("--close-timeout", type=float, default=10.0)
    p.add_argument("--max-seconds", type=float, default=170.0,
                   help="start no new job after this many seconds (bounds the run)")
    p.add_argument("--fail-pause", type=float, default=0.0, help="sleep after a failed job")
    p.add_argument("--pace", type=float, default=0.0,
                   help="before each job, sleep a random time up to this many seconds")
    p.add_argument("--close-times", metavar="FILE",
                   help="write '<tag> <seq> <epoch>' of each job's half-close to FILE")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    a = p.parse_args(argv)
    if a.tag and (len(a.tag) != TAG_LEN or not a.tag.isalnum()):
        p.error("--tag must be %d alphanumeric characters" % TAG_LEN)
    if a.host not in ("127.0.0.1", "localhost", "::1") and not a.host.startswith("127."):
        print("warning: target %s is not loopback" % a.host, file=sys.stderr)
    if a.jobs < 0 or a.concurrency < 1 or a.size < 0:
        p.error("bad --jobs/--concurrency/--size")
    res = asyncio.run(Load(a).run())
    if a.json:
        print(json.dumps(res))
    else:
        print("jobs sent      %d of %d (%s)%s" % (res["jobs_ok"], res["requested"], a.order,
                                                 "  STOPPED EARLY (--max-seconds)" if res["stopped_early"] else ""))
        print("failures       %d %s" % (res["failures"], res["failure_kinds"] or ""))
        for ex in res["failure_examples"]:
            print("               " + ex)
        print("wall seconds   %.3f" % res["wall_s"])
        print("jobs/s         %.1f" % res["jobs_per_s"])
        print("MB/s           %.2f  (data bytes, 1 MB = 10^6 B)" % res["mb_per_s"])
        if res["lat_p50_ms"] is not None:
            print("latency p50    %.2f ms   p99 %.2f ms   max %.2f ms"
                  % (res["lat_p50_ms"], res["lat_p99_ms"], res["lat_max_ms"]))
        print("client cpu s   %.2f" % res["client_cpu_s"])
        if res["slow_close"]:
            print("slow closes    %d (server kept the connection open > %.0fs after the job)"
                  % (res["slow_close"], a.close_timeout))
        print("run tag        %s (job numbers from %03d)" % (res["tag"], res["base"]))
    return 0 if res["failures"] == 0 and not res["stopped_early"] else 1


if __name__ == "__main__":
    sys.exit(main())
