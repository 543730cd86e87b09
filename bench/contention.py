#!/usr/bin/env python3
"""Probe wait under contention: hostile clients hold every session slot, a well-behaved
client of another address asks for the queue state, and the time until its answer is what
counts.

    bench/contention.py BINARY [--probes 3] [--cap 150] [--shapes one,many,crowd]

Shapes (MAXCONN 10, MAXPERHOST 3, TIMEOUT 1, all on loopback, 127.0.x.y source addresses):
  one    ten senders of one address, each sending a data file at 1.2 kB/s
  many   30 addresses with three such senders each, and one address with fifty
  crowd  200 such senders of one host, each connecting again when it is closed

Each probe connects from 127.0.9.1, sends a queue-state request and waits for the whole
answer (at most --cap seconds: then it counts as not served). Prints one JSON line per shape.
"""
import argparse
import json
import os
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CHUNK = b"x" * 120  # every 100 ms: 1.2 kB/s, above the 1 kB/s progress rate


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Tricklers(threading.Thread):
    def __init__(self, port, clients):
        super().__init__(daemon=True)
        self.port = port
        self.clients = [{"from": a, "n": i, "sock": None, "fresh": False, "again": again}
                        for i, (a, again) in enumerate(clients)]
        self.stop = threading.Event()
        self.closed_by_server = 0

    def connect(self, c):
        s = socket.socket()
        s.setblocking(False)
        s.bind((c["from"], 0))
        try:
            s.connect(("127.0.0.1", self.port))
        except BlockingIOError:
            pass
        c["sock"], c["fresh"] = s, True

    def run(self):
        for c in self.clients:
            self.connect(c)
        while not self.stop.is_set():
            for c in self.clients:
                s = c["sock"]
                if s is None:
                    if c["again"]:
                        self.connect(c)
                    continue
                try:
                    got = s.recv(256)
                    if not got:
                        raise ConnectionResetError
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    c["sock"] = None
                    self.closed_by_server += 1
                    continue
                data = CHUNK
                if c["fresh"]:
                    name = b"dfA%03dt%d" % (c["n"] % 1000, c["n"])
                    data = b"\x02lp\n\x031000000 " + name + b"\n" + CHUNK
                try:
                    s.send(data)
                    c["fresh"] = False
                except (BlockingIOError, OSError):
                    pass
            time.sleep(0.1)
        for c in self.clients:
            if c["sock"]:
                c["sock"].close()


def probe(port, cap):
    start = time.monotonic()
    s = socket.socket()
    s.settimeout(cap)
    s.bind(("127.0.9.1", 0))
    try:
        s.connect(("127.0.0.1", port))
        s.sendall(b"\x03lp\n")
        answer = b""
        while True:
            got = s.recv(4096)
            if not got:
                break
            answer += got
    except OSError:
        answer = b""
    finally:
        s.close()
    waited = time.monotonic() - start
    return waited if answer and waited < cap else None


SHAPES = {
    "one": lambda: [("127.0.1.1", False)] * 10,
    "many": lambda: [("127.0.2.%d" % a, True) for a in range(1, 31) for _ in range(3)]
    + [("127.0.3.1", True)] * 50,
    "crowd": lambda: [("127.0.4.1", True)] * 200,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--probes", type=int, default=3)
    ap.add_argument("--cap", type=float, default=150)
    ap.add_argument("--shapes", default="one,many,crowd")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="contention-bench-")
    port = free_port()
    ini = os.path.join(work, "lpd.ini")
    with open(ini, "w") as f:
        f.write("SPOOLDIR\r\n%s/spool\r\n\r\nPORT\r\n%d\r\n\r\nHOSTS\r\n127.\r\n\r\n"
                "PRINTERS\r\n-lp /bin/true\r\n\r\n" % (work, port))
    os.makedirs(os.path.join(work, "run"), mode=0o700)
    env = dict(os.environ, SPOOLMERE_CONFIG=ini, XDG_RUNTIME_DIR=os.path.join(work, "run"))
    log = open(os.path.join(work, "log.txt"), "wb")
    server = subprocess.Popen([args.binary, "--headless"], env=env, stdout=log,
                              stderr=subprocess.STDOUT)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        for shape in args.shapes.split(","):
            load = Tricklers(port, SHAPES[shape]())
            load.start()
            time.sleep(3)  # every slot taken
            waits = [probe(port, args.cap) for _ in range(args.probes)]
            load.stop.set()
            load.join()
            served = [w for w in waits if w is not None]
            print(json.dumps({
                "shape": shape, "probes": len(waits), "served": len(served),
                "wait_s": [round(w, 1) if w is not None else None for w in waits],
                "max_s": round(max(served), 1) if served else None,
                "closed_by_server": load.closed_by_server}), flush=True)
            time.sleep(6)  # the last slots drain
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
