#!/usr/bin/env python3
"""How long one hostile control file holds up another client: the stall a control file of
1 MiB naming 131,000 distinct data files causes to short queue-state requests (target: at
most 50 ms beyond the idle figure).

  bench/controlstall.py build/spoolmere [--names 131000] [--runs 3] [--sync 1]

Starts the program headless on a temporary lpd.ini (spool under /var/tmp, on disk; queue lp
received and kept, never printed). A prober sends "\\3lp\\n" on a new connection every
5 ms and times each answer to the server's close. Per run:
  idle     the prober alone for 2 s
  attack   a client sends the control file (names "l" + 6 characters, one line each), one of
           the data files it names, and closes; the prober runs from just before the
           control file's last byte until 1 s after the attacker's connection ended
Reported per run: idle p50/max, attack p50/max (ms), the attacker's time from its control
file's last byte to its answer and from its close to the server's close, and afterwards
whether anything is left: the queue folder must hold the one job's two files only, and a
second job naming the same data files must be accepted (no claim outlives its job).
"""
import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def names(n):
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    out = []
    for i in range(n):
        k, digits = i, []
        for _ in range(5):
            digits.append(alphabet[k % 36])
            k //= 36
        out.append("d" + "".join(reversed(digits)))
    return out


class Server:
    def __init__(self, program, sync):
        self.dir = tempfile.mkdtemp(prefix="stall-", dir="/var/tmp")
        self.port = free_port()
        ini = os.path.join(self.dir, "lpd.ini")
        with open(ini, "w") as f:
            f.write("SPOOLDIR\n%s\n\nPORT\n%d\n\nPRINTERS\n-lp /bin/true\n\nHOSTS\n127.\n\n"
                    "MAXCONN\n100\n\nSYNC\n%d\n" % (os.path.join(self.dir, "spool"), self.port,
                                                   sync))
        run = os.path.join(self.dir, "run")
        os.makedirs(run)
        env = dict(os.environ, SPOOLMERE_CONFIG=ini, XDG_RUNTIME_DIR=run)
        self.log = open(os.path.join(self.dir, "log"), "w")
        self.proc = subprocess.Popen([program, "--headless"], env=env, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise SystemExit("server did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def query(port):
    t0 = time.perf_counter()
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=900)
        s.sendall(b"\x03lp\n")
        while s.recv(65536):
            pass
        s.close()
    except OSError:
        pass  # counted as answered when it failed: the time still shows the stall
    return (time.perf_counter() - t0) * 1000.0


class Prober(threading.Thread):
    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.times, self.stop = port, [], threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.times.append(query(self.port))
            time.sleep(0.005)


def ack(s):
    b = s.recv(1)
    if b != b"\0":
        raise RuntimeError("refused: %r" % b)


def attack(port, lines, data_name):
    control = "".join("l%s\n" % n for n in lines).encode()
    control = b"Pmallory\n" + control
    s = socket.create_connection(("127.0.0.1", port), timeout=900)
    s.sendall(b"\x02lp\n")
    ack(s)
    s.sendall(b"\x02%d cfA001atk\n" % len(control))
    ack(s)
    s.sendall(control[:-1])
    t0 = time.perf_counter()
    s.sendall(control[-1:] + b"\0")
    ack(s)
    answered = (time.perf_counter() - t0) * 1000.0
    s.sendall(b"\x03%d %s\n" % (4, data_name.encode()))
    ack(s)
    s.sendall(b"data\0")
    ack(s)
    t1 = time.perf_counter()
    s.shutdown(socket.SHUT_WR)
    s.recv(1)
    s.close()
    return answered, (time.perf_counter() - t1) * 1000.0, len(control)


def second_job(port, data_name):
    control = b"Pbob\nl" + data_name.encode() + b"\n"
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    out = b""
    s.sendall(b"\x02lp\n")
    out += s.recv(1)
    s.sendall(b"\x02%d cfA002bob\n" % len(control))
    out += s.recv(1)
    s.sendall(control + b"\0")
    out += s.recv(1)
    s.close()
    return out


def one_run(program, n, sync):
    srv = Server(program, sync)
    try:
        lines = names(n)
        p = Prober(srv.port)
        p.start()
        time.sleep(2)
        p.stop.set()
        p.join()
        idle = p.times
        p = Prober(srv.port)
        p.start()
        answered, closed, size = attack(srv.port, lines, lines[0])
        time.sleep(1)
        p.stop.set()
        p.join()
        folder = os.path.join(srv.dir, "spool", "lp")
        time.sleep(0.5)
        left = sorted(os.listdir(folder))
        # A name the hostile job named but never sent is free again once it is listed.
        again = second_job(srv.port, lines[1])
        return {"names": n, "control_bytes": size, "sync": sync,
                "idle_p50_ms": statistics.median(idle), "idle_max_ms": max(idle),
                "attack_p50_ms": statistics.median(p.times), "attack_max_ms": max(p.times),
                "probes": len(p.times), "control_answer_ms": answered,
                "close_ms": closed, "left": left, "second_job_acks": again.hex()}
    finally:
        srv.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--names", type=int, default=131000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sync", type=int, default=1)
    ap.add_argument("--json", action="store_true")
    a = ap.parse_args()
    results = [one_run(os.path.abspath(a.program), a.names, a.sync) for _ in range(a.runs)]
    if a.json:
        print(json.dumps(results, indent=1))
        return
    for r in results:
        print("names %(names)d (%(control_bytes)d B) sync %(sync)d: idle p50 %(idle_p50_ms).1f "
              "max %(idle_max_ms).1f ms | during p50 %(attack_p50_ms).1f max %(attack_max_ms).1f "
              "ms over %(probes)d requests | control answered in %(control_answer_ms).0f ms, "
              "close took %(close_ms).0f ms | left %(left)s | same names again: "
              "%(second_job_acks)s" % r)


if __name__ == "__main__":
    main()
