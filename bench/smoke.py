#!/usr/bin/env python3
"""The benchmark's path in small, as a test: start the built program headless on a
temporary lpd.ini (free port, queue lp printed by a script that appends each data file to
a file), send a few jobs with the load generator, and check that every acknowledged job
arrived byte-exact at the far end and that queue-state requests are answered. No timing
is asserted; no peer is started.

  smoke.py path/to/spoolmere [--jobs 20]

Exit status 0 when everything arrived; the last line reads "N passed, M failed".
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lpdload  # noqa: E402
import verify  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, seconds=15.0):
    end = time.time() + seconds
    while time.time() < end:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def run_load(port, jobs, conc, size, tag):
    cmd = [sys.executable, os.path.join(HERE, "lpdload.py"), "127.0.0.1", str(port), "lp",
           "--jobs", str(jobs), "--concurrency", str(conc), "--size", str(size), "--tag", tag,
           "--max-seconds", "60", "--timeout", "20", "--json"]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    try:
        return json.loads(p.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        return {"jobs_ok": 0, "failures": jobs, "failure_examples": [p.stderr[-500:]]}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("binary")
    p.add_argument("--jobs", type=int, default=20)
    a = p.parse_args(argv)

    work = tempfile.mkdtemp(prefix="spoolmere-smoke-")
    out = os.path.join(work, "out.bin")
    script = os.path.join(work, "append.sh")
    with open(script, "w") as f:
        f.write('#!/bin/sh\nexec cat "$1" >>"%s"\n' % out)
    os.chmod(script, 0o755)
    port = free_port()
    os.makedirs(os.path.join(work, "run"))
    with open(os.path.join(work, "lpd.ini"), "w") as f:
        f.write("SPOOLDIR\n%s\n\nPORT\n%d\n\nMAXCONN\n100\n\nPRINTERS\nlp %s %%p/%%d\n\nHOSTS\n127.\n"
                % (os.path.join(work, "spool"), port, script))
    env = dict(os.environ, SPOOLMERE_CONFIG=os.path.join(work, "lpd.ini"),
               XDG_RUNTIME_DIR=os.path.join(work, "run"))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    log = open(os.path.join(work, "log.txt"), "wb")
    proc = subprocess.Popen([a.binary, "--headless"], env=env, stdout=log, stderr=subprocess.STDOUT)
    passed, failed = 0, 0

    def check(ok, what):
        nonlocal passed, failed
        print("%s %s" % ("ok  " if ok else "FAIL", what), flush=True)
        if ok:
            passed += 1
        else:
            failed += 1

    try:
        if not wait_port(port, proc):
            check(False, "server listens on port %d" % port)
            return 1
        # small jobs, several at a time, then two larger ones that span many reads
        for jobs, conc, size in ((a.jobs, 4, 1024), (2, 1, 3 << 20)):
            tag = lpdload.make_tag()
            counter = verify.AppendCounter(out, tag, size=size)
            g = run_load(port, jobs, conc, size, tag)
            check(g["jobs_ok"] == jobs and g["failures"] == 0,
                  "%d jobs of %d bytes acknowledged (%d ok, %s)" % (jobs, size, g["jobs_ok"],
                                                                    g.get("failure_examples") or "no failures"))
            got, _ = verify.wait_for(counter, g["jobs_ok"], timeout=20, max_total=60)
            check(got == g["jobs_ok"] and counter.corrupt == 0 and counter.dups == 0,
                  "%d of %d acknowledged jobs printed byte-exact (corrupt %d, duplicates %d)"
                  % (got, g["jobs_ok"], counter.corrupt, counter.dups))
        q = subprocess.run([sys.executable, os.path.join(HERE, "lpdq.py"), "127.0.0.1", str(port), "lp",
                            "--n", "5", "--json"], capture_output=True, text=True, timeout=60)
        r = json.loads(q.stdout.strip().splitlines()[-1]) if q.stdout.strip() else {"ok": 0}
        check(r["ok"] == 5 and "queue for printer lp" in r.get("first_reply", ""),
              "5 queue-state requests answered (%d)" % r["ok"])
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()
        if failed:
            with open(os.path.join(work, "log.txt"), "rb") as f:
                sys.stdout.write(f.read()[-3000:].decode("utf-8", "replace"))
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
