#!/usr/bin/env python3
"""Run the standard LPD benchmark scenarios against one server and save the figures.

  (a) --a-jobs jobs of --small bytes, concurrency 1
  (b) --b-jobs jobs of --small bytes, concurrency --b-conc; the server's process tree
      (--pids) is sampled for peak RSS = scenario (e)
  (c) --c-jobs jobs of --c-size bytes, concurrency 1 (MB/s); tree sampled as well
  (d) --d-n sequential short queue-state requests on the idle queue
  (q) the same requests with a (b) run beside them (p99 over the requests sent while it ran)
  (g) one job of --g-size bytes (1 GiB), tree sampled: is memory flat during it?
  (f) --f-jobs jobs at c=1, a random pause of up to --f-pace s before each: the time
      from each client's close to the start of its print command (needs --starts, the
      file the print command appendjob writes its start times to)

After each job run, waits until every acknowledged job is seen at the far end
(--append FILE or --spool DIR, see verify.py) and records when the last one
arrived. A job that was acknowledged but never arrives is reported as lost.
Each scenario is repeated --runs times; table.py prints medians.

Example:
  scenarios.py --label myserver --host 127.0.0.1 --port 5515 --queue lp \\
      --append /var/spool/out/lp.out --pids 1234 --out results/myserver.json
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lpdload  # noqa: E402
import proctree  # noqa: E402
import verify  # noqa: E402


def gen_cmd(a, jobs, conc, size, tag, close_times=None, pace=0.0, gen=None):
    gen = gen or a.gen
    if gen == "c":
        exe = [a.gen_c]
    else:
        exe = [sys.executable, os.path.join(HERE, "lpdload.py")]
    cmd = exe + [a.host, str(a.port), a.queue, "--jobs", str(jobs), "--concurrency", str(conc),
                 "--size", str(size), "--order", a.order, "--tag", tag,
                 "--max-seconds", str(a.max_seconds), "--json"]
    if close_times:
        cmd += ["--close-times", close_times]
    if pace:
        cmd += ["--pace", str(pace)]
    return cmd


def pct(vals, p):
    vals = sorted(vals)
    if not vals:
        return None
    k = max(0, min(len(vals) - 1, int(-(-p * len(vals) // 100)) - 1))
    return vals[k]


def start_latency(a, tag, close_file):
    """Client close to print-command start, per job of run `tag`: from the generator's
    close times and the start times the print command wrote to --starts."""
    if not a.starts or not close_file or not os.path.exists(close_file):
        return None
    closes = {}
    for line in open(close_file):
        t, seq, when = line.split()
        closes[int(seq)] = float(when)
    os.unlink(close_file)
    starts = {}
    if os.path.exists(a.starts):
        for line in open(a.starts):
            parts = line.split()
            if len(parts) == 3 and parts[0] == tag and parts[1].isdigit():
                starts.setdefault(int(parts[1]), float(parts[2]))
    lat = [(starts[k] - closes[k]) * 1e3 for k in closes if k in starts]
    if not lat:
        return {"n": 0}
    return {"n": len(lat), "p50_ms": pct(lat, 50), "p99_ms": pct(lat, 99), "max_ms": max(lat),
            "min_ms": min(lat)}


def fs_create_us(d, n=200):
    """Mean cost of create+write 1 KiB+close in directory d: on this kind of VM it
    ranges from ~20 us to ~700 us with the file system's state, and every spooling
    server pays it per file."""
    if not d or not os.path.isdir(d):
        return None
    names = [os.path.join(d, ".fsprobe-%d-%d" % (os.getpid(), i)) for i in range(n)]
    t = time.perf_counter()
    for p in names:
        fd = os.open(p, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o600)
        os.write(fd, b"x" * 1024)
        os.close(fd)
    dt = time.perf_counter() - t
    for p in names:
        os.unlink(p)
    return dt / n * 1e6


def settle(a):
    """Waits until creating a file in the spool's file system is cheap again (--settle-us),
    at most --settle-max seconds. On ext4 without a journal every inode freed in the last
    minute or more makes each new file slower to create, so a run that follows one that
    deleted thousands of files starts behind; waiting lets each run start from the same
    state. Returns the seconds waited."""
    if not a.settle_max or not a.fs_probe:
        return 0.0
    t = time.time()
    while time.time() - t < a.settle_max:
        us = fs_create_us(a.fs_probe, 50)
        if us is None or us <= a.settle_us:
            break
        time.sleep(2)
    return time.time() - t


class NoCounter:
    """For a server that keeps nothing (lpdsink -n): acknowledged is all we can know."""
    dups = 0

    def __init__(self):
        self.n = 0
        self.seen = ()

    def poll(self):
        return self.n

    def complete(self, expect):
        return True


def run_jobs(a, scen, run, jobs, conc, size, sample_rss, pace=0.0, gen=None):
    tag = lpdload.make_tag()
    close_file = os.path.join(a.tmp, "close-%s.txt" % tag) if a.starts else None
    fs_us = fs_create_us(a.fs_probe)
    if a.append:
        counter = verify.AppendCounter(a.append, tag, size=size)
    elif a.spool:
        counter = verify.SpoolCounter(a.spool, tag, size)
    else:
        counter = NoCounter()
    sampler = proctree.Sampler(a.pids, a.interval) if a.pids else None
    if sampler:
        sampler.start(sample_rss)
    t0 = time.time()
    p = subprocess.run(gen_cmd(a, jobs, conc, size, tag, close_file, pace, gen),
                       capture_output=True, text=True, timeout=a.max_seconds + 120)
    t_gen_end = time.time()
    try:
        g = json.loads(p.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        raise SystemExit("generator failed: rc=%d\n%s\n%s" % (p.returncode, p.stdout, p.stderr))
    t0 = g.get("t_start_epoch", t0)  # the generator's first connect, not its interpreter start
    if isinstance(counter, NoCounter):
        counter.n = g["jobs_ok"]
    delivered, t_last = verify.wait_for(counter, g["jobs_ok"], a.drain_timeout,
                                        max_total=a.drain_timeout * 10)
    s = sampler.stop() if sampler else {}
    r = dict(g)
    r.update({
        "scenario": scen, "run": run,
        "delivered": delivered, "lost": g["jobs_ok"] - delivered if delivered <= g["jobs_ok"] else 0,
        "extra_delivered": max(0, delivered - g["jobs_ok"]),
        "duplicates": counter.dups,
        "drain_s": max(0.0, t_last - t_gen_end) if delivered else None,
        "delivered_jobs_per_s": delivered / max(1e-9, (max(t_last, t_gen_end) - t0)) if delivered else 0.0,
        "server": s,
        "verified": not isinstance(counter, NoCounter),
        "fs_create_us": fs_us,
    })
    r["corrupt"] = getattr(counter, "corrupt", 0)
    lat = start_latency(a, tag, close_file)
    if lat is not None:
        r["start_latency"] = lat
    if a.append:
        r["bytes_grown"] = counter.grown()
        r["extra_bytes"] = counter.grown() - delivered * size
        r["stray_bytes"] = counter.stray
        if a.truncate:
            with open(a.append, "r+b") as f:
                f.truncate(0)
    elif a.spool:
        r["bad_size"] = counter.bad_size
        r["control_files"] = counter.control_files
        counter.remove_run_files()
    if delivered and s.get("cpu_s") is not None:
        r["server_cpu_ms_per_job"] = s["cpu_s"] * 1e3 / delivered
    return r


def run_q(a, run):
    """(d) under load: the --d-n queue-state requests, sent one after the other while a (b)
    run goes on beside them (--q-loads (b) runs back to back). A fast server finishes (b)
    before the requests end: only the requests sent while a (b) run went on count as under
    load (their latencies are kept for pooling over the runs); the rest meet a server
    still printing what (b) left. Every acknowledged job is checked at the far end."""
    q_dump = os.path.join(a.tmp, "q-%d-%d.txt" % (os.getpid(), run))
    cmd = [sys.executable, os.path.join(HERE, "lpdq.py"), a.host, str(a.port), a.queue,
           "--n", str(a.d_n), "--max-seconds", str(a.max_seconds), "--json", "--dump", q_dump]
    sampler = proctree.Sampler(a.pids, a.interval) if a.pids else None
    if sampler:
        sampler.start(True)
    loads = []
    lpdq = None
    try:
        for _ in range(a.q_loads):
            tag = lpdload.make_tag()
            if a.append:
                counter = verify.AppendCounter(a.append, tag, size=a.small)
            elif a.spool:
                counter = verify.SpoolCounter(a.spool, tag, a.small)
            else:
                counter = NoCounter()
            gen = subprocess.Popen(gen_cmd(a, a.b_jobs, a.b_conc, a.small, tag), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
            if lpdq is None:
                time.sleep(0.1)  # the load first, then the requests
                lpdq = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            out, err = gen.communicate(timeout=a.max_seconds + 120)
            try:
                g = json.loads(out.strip().splitlines()[-1])
            except (IndexError, json.JSONDecodeError):
                raise SystemExit("generator failed: rc=%d\n%s\n%s" % (gen.returncode, out, err))
            loads.append((g, counter))
        q_out, _ = lpdq.communicate(timeout=a.max_seconds + 60)
    finally:
        if lpdq is not None and lpdq.poll() is None:
            lpdq.kill()
    q = json.loads(q_out.strip().splitlines()[-1])
    ok = sum(g["jobs_ok"] for g, _ in loads)
    delivered = 0
    corrupt = 0
    for g, counter in loads:
        if isinstance(counter, NoCounter):
            counter.n = g["jobs_ok"]
        got, _ = verify.wait_for(counter, g["jobs_ok"], a.drain_timeout, max_total=a.drain_timeout * 10)
        delivered += got
        corrupt += getattr(counter, "corrupt", 0)
        if isinstance(counter, verify.SpoolCounter):
            counter.remove_run_files()
    s = sampler.stop() if sampler else {}
    if a.append and a.truncate:
        with open(a.append, "r+b") as f:
            f.truncate(0)
    windows = [(g["t_start_epoch"], g["t_start_epoch"] + g["wall_s"]) for g, _ in loads]
    under = []
    for line in open(q_dump):
        t_req, ms, _ = line.split()
        if any(t0 <= float(t_req) <= t1 for t0, t1 in windows):
            under.append(float(ms))
    os.unlink(q_dump)
    q.update({"under_load_n": len(under), "under_load_p50_ms": pct(under, 50),
              "under_load_p99_ms": pct(under, 99), "under_load_ms": under})
    wall = sum(g["wall_s"] for g, _ in loads)
    r = {"tool": "lpdload", "scenario": "q", "run": run, "queries": q, "load_runs": len(loads),
         "requested": sum(g["requested"] for g, _ in loads), "jobs_ok": ok,
         "failures": sum(g["failures"] for g, _ in loads), "jobs_per_s": ok / wall if wall else 0.0,
         "mb_per_s": ok * a.small / wall / 1e6 if wall else 0.0,
         "lat_p50_ms": statistics.median(g["lat_p50_ms"] for g, _ in loads),
         "lat_p99_ms": max(g["lat_p99_ms"] for g, _ in loads),
         "delivered": delivered, "lost": max(0, ok - delivered), "corrupt": corrupt, "duplicates": 0,
         "drain_s": None, "server": s, "verified": not a.no_verify, "fs_create_us": None}
    return r


def run_queries(a, scen, run, dump=None):
    cmd = [sys.executable, os.path.join(HERE, "lpdq.py"), a.host, str(a.port), a.queue,
           "--n", str(a.d_n), "--max-seconds", str(a.max_seconds), "--json"]
    if dump:
        cmd += ["--dump", dump]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=a.max_seconds + 60)
    r = json.loads(p.stdout.strip().splitlines()[-1])
    r.update({"scenario": scen, "run": run})
    return r


def summary_line(r):
    if r["tool"] == "lpdq":
        return "%d/%d ok, p50 %.2f ms, p99 %.2f ms" % (r["ok"], r["requested"], r["lat_p50_ms"] or -1,
                                                      r["lat_p99_ms"] or -1)
    s = r.get("server", {})
    extra = ""
    if "queries" in r:
        q = r["queries"]
        extra += ", queue state under load p50 %.2f ms p99 %.2f ms (%d of %d)" % (
            q["under_load_p50_ms"] or -1, q["under_load_p99_ms"] or -1, q["under_load_n"], q["ok"])
    if r.get("start_latency", {}).get("n"):
        sl = r["start_latency"]
        extra += ", close->print start p50 %.0f ms p99 %.0f ms max %.0f ms" % (
            sl["p50_ms"], sl["p99_ms"], sl["max_ms"])
    if r.get("corrupt"):
        extra += ", CORRUPT %d" % r["corrupt"]
    return ("%d/%d ok, %d fail, %.1f jobs/s, %.1f MB/s, p50 %.2f ms, p99 %.2f ms, delivered %s "
            "(drain %.2fs), fs create %s us%s%s" % (
                r["jobs_ok"], r["requested"], r["failures"], r["jobs_per_s"], r["mb_per_s"],
                r["lat_p50_ms"] or -1, r["lat_p99_ms"] or -1,
                r["delivered"] if r["verified"] else "unverified", r["drain_s"] or 0,
                "%.0f" % r["fs_create_us"] if r["fs_create_us"] is not None else "?",
                ", peak RSS %.1f MiB in %d procs" % (s["peak_rss_kib"] / 1024, s["peak_procs"])
                if "peak_rss_kib" in s else "",
                ", server cpu %.2fs" % s["cpu_s"] if "cpu_s" in s else "")) + extra


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--label", required=True)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--queue", default="lp")
    g = p.add_mutually_exclusive_group(required=True)
    g.add_argument("--append", metavar="FILE", help="file the server appends printed jobs to")
    g.add_argument("--spool", metavar="DIR", help="directory the server leaves data files in")
    g.add_argument("--no-verify", action="store_true", help="server keeps nothing; count acks only")
    p.add_argument("--fs-probe", metavar="DIR",
                   help="directory whose file-create cost is measured before each run "
                        "(default: that of --append / --spool)")
    p.add_argument("--pids", default="", help="comma-separated root PIDs of the server's process trees")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--first-run", type=int, default=1, help="number of the first run (with --add)")
    p.add_argument("--scenarios", default="abcd")
    p.add_argument("--order", choices=["control-first", "data-first"], default="control-first")
    p.add_argument("--small", type=int, default=1024)
    p.add_argument("--a-jobs", type=int, default=2000)
    p.add_argument("--b-jobs", type=int, default=2000)
    p.add_argument("--b-conc", type=int, default=16)
    p.add_argument("--c-jobs", type=int, default=20)
    p.add_argument("--c-size", type=int, default=50 << 20)
    p.add_argument("--d-n", type=int, default=500)
    p.add_argument("--q-loads", type=int, default=1, help="(b) runs beside the requests in (q)")
    p.add_argument("--g-size", type=int, default=1 << 30)
    p.add_argument("--f-jobs", type=int, default=100)
    p.add_argument("--f-pace", type=float, default=0.4)
    p.add_argument("--starts", metavar="FILE",
                   help="start times written by the print command (bench/appendjob.c)")
    p.add_argument("--tmp", default=None, help="folder for per-run scratch files")
    p.add_argument("--settle-us", type=float, default=60.0,
                   help="before each job run, wait until a file create costs at most this")
    p.add_argument("--settle-max", type=float, default=0.0,
                   help="... but at most this many seconds (0: do not wait)")
    p.add_argument("--gen", choices=["python", "c"], default="python")
    p.add_argument("--gen-c", default=os.path.join(os.environ.get("BENCH_WORK", HERE), "bin", "lpdloadc"))
    p.add_argument("--interval", type=float, default=0.02, help="RSS sampling interval, seconds")
    p.add_argument("--max-seconds", type=float, default=170.0, help="per generator run")
    p.add_argument("--drain-timeout", type=float, default=60.0,
                   help="give up waiting for delivery after this long without progress")
    p.add_argument("--truncate", action="store_true", help="empty the --append file after each run")
    p.add_argument("--out", required=True)
    p.add_argument("--merge", action="store_true",
                   help="keep the runs already in --out for the scenarios not given")
    p.add_argument("--add", action="store_true",
                   help="keep every run already in --out and add these (runs interleaved "
                        "with other servers')")
    a = p.parse_args(argv)
    a.pids = [int(x) for x in a.pids.split(",") if x.strip()]
    if a.fs_probe is None:
        a.fs_probe = os.path.dirname(a.append) if a.append else a.spool
    if a.tmp is None:
        a.tmp = os.path.dirname(os.path.abspath(a.out))
    old_runs = []
    if a.add and os.path.exists(a.out):
        old_runs = json.load(open(a.out))["runs"]
    elif a.merge and os.path.exists(a.out):
        # Keep the earlier runs of the scenarios not run this time.
        old_runs = [r for r in json.load(open(a.out))["runs"] if r["scenario"] not in a.scenarios]
    results = {"label": a.label, "host": a.host, "port": a.port, "queue": a.queue, "gen": a.gen,
               "params": {k: getattr(a, k) for k in ("small", "a_jobs", "b_jobs", "b_conc", "c_jobs",
                                                     "c_size", "d_n", "g_size", "f_jobs", "f_pace",
                                                     "runs", "order")},
               "started": time.strftime("%Y-%m-%d %H:%M:%S"), "runs": old_runs}
    for scen in a.scenarios:
        for run in range(a.first_run, a.first_run + a.runs):
            waited = settle(a) if scen != "d" else 0.0
            t = time.time()
            if scen == "a":
                r = run_jobs(a, "a", run, a.a_jobs, 1, a.small, False)
            elif scen == "b":
                r = run_jobs(a, "b", run, a.b_jobs, a.b_conc, a.small, True)
            elif scen == "c":
                r = run_jobs(a, "c", run, a.c_jobs, 1, a.c_size, True)
            elif scen == "d":
                r = run_queries(a, "d", run)
            elif scen == "q":
                r = run_q(a, run)
            elif scen == "g":
                r = run_jobs(a, "g", run, 1, 1, a.g_size, True)
            elif scen == "f":
                r = run_jobs(a, "f", run, a.f_jobs, 1, a.small, False, pace=a.f_pace, gen="python")
            else:
                raise SystemExit("unknown scenario " + scen)
            r["scenario_wall_s"] = time.time() - t
            r["settle_s"] = waited
            results["runs"].append(r)
            print("[%s] %s run %d: %s (%.1fs)" % (a.label, scen, run, summary_line(r), r["scenario_wall_s"]),
                  file=sys.stderr, flush=True)
            with open(a.out, "w") as f:
                json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
