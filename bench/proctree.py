#!/usr/bin/env python3
"""Peak memory and CPU of one or more process trees, sampled from /proc.

A server that forks per connection (LPRng lpd, socat+cups-lpd) is measured as the
sum over every live process under the given root PIDs at each sample:
  peak_rss_kib    max over samples of the summed VmRSS of the tree (shared pages
                  count once per process, as the brief asks: an upper bound)
  peak_procs      max number of processes in the tree
  peak_pss_kib    max over samples (every 5th) of the summed Pss of the tree: shared pages
                  split among the processes that map them, so a page counts once in all
  base_rss_kib    summed VmRSS when sampling began (the idle figure)
  cpu_s           CPU seconds the tree used between start and stop: for every live
                  process utime+stime plus cutime+cstime (its reaped children)
Short-lived children that start and end between two samples are missed by the
RSS figure, not by cpu_s (their parent reaps them). A child caught between vfork and
exec (posix_spawn) still runs in its parent's address space: it is recognised with
kcmp(KCMP_VM) and not counted a second time.

CLI: proctree.py PID[,PID...] [--interval 0.02] [--seconds S]   (Ctrl-C or S to stop)
"""
import argparse
import json
import os
import sys
import threading
import time

CLK = os.sysconf("SC_CLK_TCK")
try:
    import ctypes
    _libc = ctypes.CDLL(None, use_errno=True)
except OSError:  # pragma: no cover
    _libc = None
SYS_KCMP, KCMP_VM = 312, 1  # x86-64


def same_address_space(pid1, pid2):
    if _libc is None:
        return False
    return _libc.syscall(SYS_KCMP, pid1, pid2, KCMP_VM, 0, 0) == 0
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def _stat(pid):
    with open("/proc/%d/stat" % pid, "rb") as f:
        s = f.read()
    rp = s.rindex(b")")
    fields = s[rp + 2:].split()
    # fields[0] = state (field 3); ppid = field 4; utime..cstime = fields 14..17; rss = field 24
    return int(fields[1]), [int(x) for x in fields[11:15]], int(fields[21])


def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid, "rb") as f:
                for line in f:
                    if line.startswith(b"Pss:"):
                        total += int(line.split()[1])
                        break
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            pass
    return total


def snapshot(roots, pids_out=None):
    """Returns (rss_kib, nprocs, cpu_ticks, {root: cpu_ticks}) summed over the trees under roots."""
    info = {}
    children = {}
    parents = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        try:
            ppid, times, rss = _stat(pid)
        except (FileNotFoundError, ProcessLookupError, ValueError):
            continue
        info[pid] = (times, rss)
        parents[pid] = ppid
        children.setdefault(ppid, []).append(pid)
    seen = set()
    counted = []
    rss_kib = ticks = 0
    by_root = {}
    for root in roots:
        stack = [root] if root in info else []
        t_root = 0
        while stack:
            p = stack.pop()
            if p in seen:
                continue
            seen.add(p)
            times, rss = info[p]
            t_root += sum(times)
            stack.extend(children.get(p, ()))
            parent = parents.get(p)
            if p != root and parent in info:
                if same_address_space(p, parent):
                    continue
                # It may have left its parent's address space (exec) since its figures
                # were read: read them again.
                try:
                    rss = _stat(p)[2]
                except (FileNotFoundError, ProcessLookupError, ValueError):
                    rss = 0
            rss_kib += rss * PAGE_KIB
            counted.append(p)
        by_root[root] = t_root
        ticks += t_root
    if pids_out is not None:
        pids_out.extend(counted)
    return rss_kib, len(seen), ticks, by_root


class Sampler:
    def __init__(self, roots, interval=0.02):
        self.roots = list(roots)
        self.interval = interval
        self.peak_rss = 0
        self.peak_procs = 0
        self.peak_pss = 0
        self.base_rss = 0
        self.samples = 0
        self._stop = threading.Event()
        self._t = None
        self._ticks0 = 0
        self._by_root0 = {}

    def _run(self):
        while not self._stop.is_set():
            pids = [] if self.samples % 5 == 0 else None
            rss, n, _, _ = snapshot(self.roots, pids)
            if pids:
                self.peak_pss = max(self.peak_pss, pss_kib(pids))
            self.samples += 1
            self.peak_rss = max(self.peak_rss, rss)
            self.peak_procs = max(self.peak_procs, n)
            self._stop.wait(self.interval)

    def start(self, sample_rss=True):
        """Begins the CPU count; with sample_rss, also samples RSS in a thread until stop()."""
        self.base_rss, _, self._ticks0, self._by_root0 = snapshot(self.roots)
        if sample_rss:
            self._t = threading.Thread(target=self._run, daemon=True)
            self._t.start()
        return self

    def stop(self):
        self._stop.set()
        if self._t:
            self._t.join()
        rss, n, ticks, by_root = snapshot(self.roots)
        cpu_by_root = {str(r): (by_root.get(r, 0) - self._by_root0.get(r, 0)) / CLK for r in self.roots}
        if self._t is None:
            return {"cpu_s": (ticks - self._ticks0) / CLK, "cpu_s_by_root": cpu_by_root}
        return {
            "cpu_s_by_root": cpu_by_root,
            "peak_rss_kib": max(self.peak_rss, rss),
            "peak_procs": max(self.peak_procs, n),
            "peak_pss_kib": self.peak_pss,
            "base_rss_kib": self.base_rss,
            "samples": self.samples,
            "cpu_s": (ticks - self._ticks0) / CLK,
            "end_rss_kib": rss,
        }


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("pids", help="comma-separated root PIDs")
    p.add_argument("--interval", type=float, default=0.02)
    p.add_argument("--seconds", type=float, default=60.0)
    a = p.parse_args(argv)
    s = Sampler([int(x) for x in a.pids.split(",") if x], a.interval).start()
    try:
        time.sleep(a.seconds)
    except KeyboardInterrupt:
        pass
    print(json.dumps(s.stop()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
