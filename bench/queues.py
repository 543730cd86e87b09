#!/usr/bin/env python3
"""Several queues at once: printed/s per queue, with and without a hung queue beside them,
and the time from a client's close to its print command's start on an idle queue.

  bench/queues.py build/spoolmere [--queues 4] [--jobs 200] [--print-ms 20] [--runs 3]

Starts the program headless on a temporary lpd.ini (spool under /var/tmp, on disk) with
queues q1..qN, each printed by a command that takes --print-ms (a device that takes its
time) and then runs appendjob, which appends the data file to the queue's output and notes
its own start. Scenarios, each on a fresh server:
  one      --jobs jobs to q1 alone
  several  --jobs jobs to each of q1..qN at the same time
  hung     the same, with a queue `hung` beside them whose command never ends (PRINTTIMEOUT
           60 min) and which holds a job from the start
  latency  --lat-jobs jobs to the idle q1, one at a time with a pause between them: client
           close (after the last acknowledgement) to print command start
  many     --many-queues queues with printing off, --many-jobs jobs to each (1 KiB, lpdloadc,
           8 loaders at once) while queue-state requests go to one queue in the middle
           ("loaded"); then `--status` with every job waiting (its wall time, five times);
           then printing on (lpd.ini rewritten, SIGHUP) with queue-state requests to the
           last queue meanwhile ("printing"); drain = jobs / (last print start - first),
           the print command being appendjob itself
  manyone  the same jobs in total, all to one queue: the rate "many" is compared with
  reload   4 clients each sending --reload-jobs jobs of 32 MiB to q1 (printing off, so the
           jobs pile up; SYNC 1) while the server gets SIGHUP every 2 s and queue-state
           requests go to q1 all along
printed/s of a queue = its jobs / (last delivery - first connect); a queue not done within
--max-wait counts what it printed by then and is "stalled". Every acknowledged job is checked
to have arrived in its queue's output (LPDBENCH header count); "lost" counts the difference.
"""
import argparse
import json
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def build_helpers(work):
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    for name, extra in (("appendjob", []), ("lpdloadc", ["-pthread", "-lm"])):
        subprocess.run(["cc", "-O2", "-o", os.path.join(bin_dir, name),
                        os.path.join(HERE, name + ".c")] + extra, check=True)
    return bin_dir


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    def __init__(self, program, work, bin_dir, queues, print_ms, hung, direct=False):
        self.dir = tempfile.mkdtemp(prefix="sm-", dir=work)
        self.port = free_port()
        self.out = {}
        self.program = program
        printers = []
        for q in (queues if not direct else []):
            out = os.path.join(self.dir, q + ".out")
            starts = os.path.join(self.dir, q + ".starts")
            script = os.path.join(self.dir, q + ".sh")
            with open(script, "w") as f:
                f.write("#!/bin/sh\n")
                if print_ms:
                    f.write("sleep %.3f\n" % (print_ms / 1000.0))
                f.write('exec %s %s %s "$1"\n' % (os.path.join(bin_dir, "appendjob"), out, starts))
            os.chmod(script, 0o755)
            self.out[q] = (out, starts)
            printers.append("%s %s %%p/%%d" % (q, script))
        if hung:
            printers.append("hung /bin/sleep 100000")
        if direct:
            # Every queue prints by appendjob itself into one output (a 1 KiB job is one
            # appending write, whole whatever runs beside it).
            out = os.path.join(self.dir, "all.out")
            starts = os.path.join(self.dir, "all.starts")
            for q in queues:
                self.out[q] = (out, starts)
            self.direct = ["%s %s %s %s %%p/%%d" % (q, os.path.join(bin_dir, "appendjob"), out,
                                                     starts) for q in queues]
            printers = ["-" + d for d in self.direct]
        self.ini = os.path.join(self.dir, "lpd.ini")
        self.write_ini(printers)
        os.makedirs(os.path.join(self.dir, "run"), mode=0o700)
        self.env = dict(os.environ, SPOOLMERE_CONFIG=self.ini,
                        XDG_RUNTIME_DIR=os.path.join(self.dir, "run"))
        self.log = open(os.path.join(self.dir, "log.txt"), "w")
        self.proc = subprocess.Popen([program, "--headless"], env=self.env, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise SystemExit("the server did not listen")

    def write_ini(self, printers):
        with open(self.ini + ".new", "w") as f:
            f.write("SPOOLDIR\n%s/spool\n\nPORT\n%d\n\nMAXCONN\n100\n\nPRINTTIMEOUT\n60\n\n"
                    "PRINTERS\n%s\n\nHOSTS\n127.\n" % (self.dir, self.port, "\n".join(printers)))
        os.rename(self.ini + ".new", self.ini)

    def enable_printing(self):
        self.write_ini(self.direct)
        self.proc.send_signal(signal.SIGHUP)

    def status_ms(self):
        t0 = time.perf_counter()
        r = subprocess.run([self.program, "--status"], env=self.env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        ms = (time.perf_counter() - t0) * 1e3
        return ms if r.returncode == 0 and r.stdout else None

    def delivered(self, q):
        out, _ = self.out[q]
        try:
            with open(out, "rb") as f:
                return f.read().count(b"LPDBENCH ")
        except FileNotFoundError:
            return 0

    def starts(self, q):
        _, starts = self.out[q]
        found = {}
        if os.path.exists(starts):
            for line in open(starts):
                parts = line.split()
                if len(parts) == 3 and parts[1].isdigit():
                    found.setdefault(int(parts[1]), float(parts[2]))
        return found

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(70)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def send_job(port, queue, tag, seq, size=1024):
    """One job on one connection; the time of the close after the last acknowledgement."""
    header = b"LPDBENCH %s %07d\n" % (tag.encode(), seq)
    data = header + b"x" * max(0, size - len(header))
    name = b"%03d" % (seq % 1000) + b"lat" + tag.encode()
    control = b"Hlat\nPbench\nldfA" + name + b"\n"
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def ack():
        if s.recv(1) != b"\0":
            raise SystemExit("job refused")

    s.sendall(b"\x02" + queue.encode() + b"\n")
    ack()
    s.sendall(b"\x02%d cfA" % len(control) + name + b"\n")
    ack()
    s.sendall(control + b"\0")
    ack()
    s.sendall(b"\x03%d dfA" % len(data) + name + b"\n")
    ack()
    s.sendall(data + b"\0")
    ack()
    s.close()
    return time.time()


def load(bin_dir, port, queue, jobs, tag):
    return subprocess.Popen([os.path.join(bin_dir, "lpdloadc"), "127.0.0.1", str(port), queue,
                             "--jobs", str(jobs), "--concurrency", "4", "--size", "1024",
                             "--tag", tag, "--json"], stdout=subprocess.PIPE, text=True)


def throughput(a, bin_dir, queues, hung, run):
    srv = Server(a.program, a.work, bin_dir, queues, a.print_ms, hung)
    try:
        if hung:
            send_job(srv.port, "hung", "hung%04d" % run, 1)
        t0 = time.time()
        gens = {q: load(bin_dir, srv.port, q, a.jobs, "%s%02d%s" % ("t", run, q[:5].ljust(5, "x")))
                for q in queues}
        acked = {}
        for q, g in gens.items():
            out, _ = g.communicate()
            acked[q] = json.loads(out).get("jobs_ok", 0)
        done = {}
        deadline = time.time() + a.max_wait
        while len(done) < len(queues) and time.time() < deadline:
            for q in queues:
                if q not in done and srv.delivered(q) >= acked[q]:
                    done[q] = time.time()
            time.sleep(0.005)
        # A queue still printing at the deadline counts what it printed by then.
        now = time.time()
        rates = {q: (acked[q] / (done[q] - t0)) if q in done else srv.delivered(q) / (now - t0)
                 for q in queues}
        # Only a queue that finished can have lost a job; a stalled one still holds its jobs.
        lost = {q: acked[q] - srv.delivered(q) for q in done if srv.delivered(q) != acked[q]}
        end = max(done.values()) if len(done) == len(queues) else now
        return {"rates": rates, "acked": acked, "lost": lost, "stalled": len(queues) - len(done),
                "total": sum(srv.delivered(q) for q in queues) / (end - t0)}
    finally:
        srv.stop()


def latency(a, bin_dir, run):
    srv = Server(a.program, a.work, bin_dir, ["q1"], 0, False)
    try:
        tag = "lat%05d" % run
        closes = {}
        for seq in range(a.lat_jobs):
            closes[seq] = send_job(srv.port, "q1", tag, seq)
            # The queue is idle again before the next job.
            deadline = time.time() + 10
            while srv.delivered("q1") < seq + 1 and time.time() < deadline:
                time.sleep(0.002)
            time.sleep(a.lat_pause)
        starts = srv.starts("q1")
        lat = sorted((starts[k] - closes[k]) * 1e3 for k in closes if k in starts)
        return {"n": len(lat), "p50_ms": statistics.median(lat) if lat else None,
                "p99_ms": lat[min(len(lat) - 1, int(len(lat) * 0.99))] if lat else None,
                "max_ms": lat[-1] if lat else None}
    finally:
        srv.stop()


def queue_state(port, queue, stop, rows):
    """Short queue-state requests, one after another, until `stop` is set: latency in ms."""
    cmd = b"\3" + queue.encode() + b"\n"
    while not stop.is_set():
        t0 = time.perf_counter()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                s.sendall(cmd)
                while s.recv(65536):
                    pass
            rows.append((time.perf_counter() - t0) * 1e3)
        except OSError:
            rows.append(None)
        time.sleep(0.01)


def pct(values, p):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    return values[min(len(values) - 1, max(0, int(math.ceil(p / 100.0 * len(values))) - 1))]


def many(a, bin_dir, run, queue_count):
    """Jobs spread over many queues (or all on one), received with printing off, then
    drained; queue state while loading and while printing, --status with all waiting."""
    queues = ["q%d" % (i + 1) for i in range(queue_count)]
    total = a.many_jobs * a.many_queues
    per_queue = total // queue_count
    srv = Server(a.program, a.work, bin_dir, queues, 0, False, direct=True)
    try:
        import threading
        watched = queues[len(queues) // 2]
        stop, loaded = threading.Event(), []
        t = threading.Thread(target=queue_state, args=(srv.port, watched, stop, loaded))
        t.start()
        acked = 0
        pending = list(queues)
        running = []
        while pending or running:
            while pending and len(running) < 8:
                q = pending.pop(0)
                tag = "m%07d" % (queues.index(q) + run * queue_count)
                running.append(subprocess.Popen(
                    [os.path.join(bin_dir, "lpdloadc"), "127.0.0.1", str(srv.port), q,
                     "--jobs", str(per_queue), "--concurrency", "2" if per_queue < 100 else "8",
                     "--size", "1024", "--tag", tag, "--json"],
                    stdout=subprocess.PIPE, text=True))
            g = running.pop(0)
            out, _ = g.communicate()
            acked += json.loads(out).get("jobs_ok", 0)
        stop.set()
        t.join()
        status = [srv.status_ms() for _ in range(5)]
        stop, printing = threading.Event(), []
        t = threading.Thread(target=queue_state, args=(srv.port, queues[-1], stop, printing))
        t.start()
        srv.enable_printing()
        deadline = time.time() + a.max_wait
        while srv.delivered(queues[0]) < acked and time.time() < deadline:
            time.sleep(0.05)
        stop.set()
        t.join()
        # One output and one list of starts for all queues; each line a print's start.
        with open(srv.out[queues[0]][1]) as f:
            starts = sorted(float(l.split()[2]) for l in f if len(l.split()) == 3)
        drain = (len(starts) - 1) / (starts[-1] - starts[0]) if len(starts) > 1 else 0
        return {"queues": queue_count, "acked": acked, "delivered": srv.delivered(queues[0]),
                "drain_per_s": drain,
                "loaded_p50_ms": pct(loaded, 50), "loaded_p99_ms": pct(loaded, 99),
                "loaded_n": len(loaded),
                "printing_p50_ms": pct(printing, 50), "printing_p99_ms": pct(printing, 99),
                "printing_n": len(printing), "status_ms": sorted(s for s in status if s)}
    finally:
        srv.stop()


def reload_busy(a, bin_dir, run):
    """Queue state while large jobs arrive and the settings are reloaded every 2 s."""
    import threading
    srv = Server(a.program, a.work, bin_dir, ["q1"], 0, False, direct=True)
    try:
        stop, rows = threading.Event(), []
        t = threading.Thread(target=queue_state, args=(srv.port, "q1", stop, rows))
        t.start()
        gens = [subprocess.Popen([os.path.join(bin_dir, "lpdloadc"), "127.0.0.1", str(srv.port),
                                  "q1", "--jobs", str(a.reload_jobs), "--concurrency", "1",
                                  "--size", str(32 << 20), "--tag", "r%02d%05d" % (run, k),
                                  "--json"], stdout=subprocess.PIPE, text=True)
                for k in range(4)]
        reloads = 0
        while any(g.poll() is None for g in gens):
            time.sleep(2)
            srv.write_ini(["-" + d for d in srv.direct])
            srv.proc.send_signal(signal.SIGHUP)
            reloads += 1
        acked = sum(json.loads(g.communicate()[0]).get("jobs_ok", 0) for g in gens)
        stop.set()
        t.join()
        return {"reloads": reloads, "acked": acked, "n": len(rows),
                "failed": sum(1 for r in rows if r is None),
                "p50_ms": pct(rows, 50), "p99_ms": pct(rows, 99),
                "max_ms": pct(rows, 100)}
    finally:
        srv.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("program")
    p.add_argument("--queues", type=int, default=4)
    p.add_argument("--jobs", type=int, default=200)
    p.add_argument("--print-ms", type=int, default=20)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--lat-jobs", type=int, default=50)
    p.add_argument("--lat-pause", type=float, default=0.1)
    p.add_argument("--many-queues", type=int, default=1000)
    p.add_argument("--many-jobs", type=int, default=10, help="jobs per queue in `many`")
    p.add_argument("--reload-jobs", type=int, default=25, help="32 MiB jobs per client in `reload`")
    p.add_argument("--scenarios", default="one,several,hung,latency")
    p.add_argument("--work", default=None)
    p.add_argument("--max-wait", type=float, default=120,
                   help="seconds a throughput run may take; queues not done by then are stalled")
    a = p.parse_args()
    a.program = os.path.abspath(a.program)
    a.work = a.work or tempfile.mkdtemp(prefix="spoolmere-queues.", dir="/var/tmp")
    bin_dir = build_helpers(a.work)
    queues = ["q%d" % (i + 1) for i in range(a.queues)]
    results = {}
    for run in range(a.runs):
        for scen in a.scenarios.split(","):
            if scen == "one":
                r = throughput(a, bin_dir, ["q1"], False, run)
            elif scen == "several":
                r = throughput(a, bin_dir, queues, False, run)
            elif scen == "hung":
                r = throughput(a, bin_dir, queues, True, run)
            elif scen == "latency":
                r = latency(a, bin_dir, run)
            elif scen == "many":
                r = many(a, bin_dir, run, a.many_queues)
            elif scen == "manyone":
                r = many(a, bin_dir, run, 1)
            elif scen == "reload":
                r = reload_busy(a, bin_dir, run)
            else:
                raise SystemExit("unknown scenario " + scen)
            results.setdefault(scen, []).append(r)
            print(scen, run, json.dumps(r), flush=True)
    print("\n| scenario | per queue printed/s (median of runs) | all queues printed/s | stalled queues | lost |")
    print("|---|---|---|---|---|")
    for scen in ("one", "several", "hung"):
        if scen not in results:
            continue
        rs = results[scen]
        per = [statistics.median(list(r["rates"].values())) if r["rates"] else 0 for r in rs]
        print("| %s | %.1f | %.1f | %d | %d |" % (scen, statistics.median(per),
                                                  statistics.median(r["total"] for r in rs),
                                                  max(r["stalled"] for r in rs),
                                                  sum(sum(r["lost"].values()) for r in rs)))
    if "many" in results or "manyone" in results:
        print("\n| jobs over | queue state loaded p50/p99 ms | while printing p50/p99 ms |"
              " --status ms (median) | drain printed/s | delivered/acked |")
        print("|---|---|---|---|---|---|")
        for scen in ("many", "manyone"):
            for r in results.get(scen, []):
                print("| %d queues | %.1f / %.1f | %.1f / %.1f | %.0f | %.1f | %d/%d |" % (
                    r["queues"], r["loaded_p50_ms"] or -1, r["loaded_p99_ms"] or -1,
                    r["printing_p50_ms"] or -1, r["printing_p99_ms"] or -1,
                    statistics.median(r["status_ms"]) if r["status_ms"] else -1,
                    r["drain_per_s"], r["delivered"], r["acked"]))
    for r in results.get("reload", []):
        print("\nreload: queue state p50 %.1f / p99 %.1f / max %.1f ms over %d requests, %d failed; "
              "%d reloads, %d jobs of 32 MiB" % (r["p50_ms"] or -1, r["p99_ms"] or -1,
                                                 r["max_ms"] or -1, r["n"], r["failed"],
                                                 r["reloads"], r["acked"]))
    if "latency" in results:
        rs = results["latency"]
        print("\n| close to print start, idle queue | p50 ms | p99 ms | max ms |")
        print("|---|---|---|---|")
        print("| %d jobs x %d runs | %.1f | %.1f | %.1f |" % (
            a.lat_jobs, len(rs), statistics.median(r["p50_ms"] for r in rs),
            statistics.median(r["p99_ms"] for r in rs), max(r["max_ms"] for r in rs)))
    shutil.rmtree(a.work, ignore_errors=True)


if __name__ == "__main__":
    main()
