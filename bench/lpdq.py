#!/usr/bin/env python3
"""N sequential LPD short queue-state requests (\\3QUEUE\\n) to HOST PORT QUEUE.

Each request opens a connection, sends the command, reads the reply until the
server closes, and records connect-to-close latency. Prints p50/p99 latency and
the size of the replies (an empty reply counts as a failure).
Standard library only.
"""
import argparse
import json
import math
import socket
import sys
import time


def percentile(sorted_vals, p):
    if not sorted_vals:
        return None
    k = max(0, min(len(sorted_vals) - 1, math.ceil(p / 100.0 * len(sorted_vals)) - 1))
    return sorted_vals[k]


def one(host, port, cmd, timeout):
    t0 = time.perf_counter()
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(cmd)
        got = []
        n = 0
        while True:
            b = s.recv(65536)
            if not b:
                break
            got.append(b)
            n += len(b)
            if n > 16 << 20:
                raise ValueError("reply larger than 16 MiB")
    return time.perf_counter() - t0, b"".join(got)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("queue")
    p.add_argument("--n", type=int, default=100)
    p.add_argument("--long", action="store_true", help="send \\4 (long state) instead of \\3")
    p.add_argument("--timeout", type=float, default=10.0)
    p.add_argument("--max-seconds", type=float, default=170.0, help="stop after this many seconds")
    p.add_argument("--show", action="store_true", help="print the first reply")
    p.add_argument("--json", action="store_true")
    p.add_argument("--dump", metavar="FILE",
                   help="write '<epoch at connect> <latency ms> <reply bytes>' per request")
    a = p.parse_args(argv)
    cmd = (b"\4" if a.long else b"\3") + a.queue.encode() + b"\n"
    lat, fails, kinds, first, sizes, rows = [], 0, {}, None, [], []
    t0 = time.perf_counter()
    stopped = False
    for i in range(a.n):
        if time.perf_counter() - t0 > a.max_seconds:
            stopped = True
            break
        try:
            t_req = time.time()
            dt, reply = one(a.host, a.port, cmd, a.timeout)
            rows.append((t_req, dt * 1e3, len(reply)))
            if first is None:
                first = reply
            if not reply:
                fails += 1
                kinds["empty"] = kinds.get("empty", 0) + 1
                continue
            lat.append(dt)
            sizes.append(len(reply))
        except (OSError, ValueError) as e:
            fails += 1
            k = type(e).__name__
            kinds[k] = kinds.get(k, 0) + 1
    wall = time.perf_counter() - t0
    lat.sort()
    if a.dump:
        with open(a.dump, "w") as f:
            for t_req, ms, n in rows:
                f.write("%.6f %.3f %d\n" % (t_req, ms, n))
    res = {
        "tool": "lpdq", "host": a.host, "port": a.port, "queue": a.queue,
        "requested": a.n, "ok": len(lat), "failures": fails, "failure_kinds": kinds,
        "stopped_early": stopped, "wall_s": wall,
        "req_per_s": len(lat) / wall if wall > 0 else 0.0,
        "lat_p50_ms": percentile(lat, 50) * 1e3 if lat else None,
        "lat_p99_ms": percentile(lat, 99) * 1e3 if lat else None,
        "reply_bytes_median": sorted(sizes)[len(sizes) // 2] if sizes else 0,
        "first_reply": (first or b"")[:400].decode("latin-1"),
    }
    if a.json:
        print(json.dumps(res))
    else:
        print("requests ok    %d of %d%s" % (res["ok"], a.n, "  STOPPED EARLY" if stopped else ""))
        print("failures       %d %s" % (fails, kinds or ""))
        print("wall seconds   %.3f  (%.1f req/s)" % (wall, res["req_per_s"]))
        if lat:
            print("latency p50    %.2f ms   p99 %.2f ms" % (res["lat_p50_ms"], res["lat_p99_ms"]))
        print("reply bytes    %d (median)" % res["reply_bytes_median"])
        if a.show:
            print("first reply:\n" + res["first_reply"])
    return 0 if fails == 0 and not stopped else 1


if __name__ == "__main__":
    sys.exit(main())
