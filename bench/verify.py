#!/usr/bin/env python3
"""Count the jobs of one lpdload run that really reached the far end.

Every data file lpdload sends starts with "LPDBENCH <tag> <seq>\\n". Two ways to look:

  --append FILE   the server prints every job by appending it to FILE (LPRng :lp=FILE,
                  a CUPS backend that appends); walks FILE from --offset and counts the
                  jobs found whole and unchanged (header, then the exact filler bytes).
  --spool DIR     the server leaves one file per data file in DIR (lpdsink, a spooler
                  with jobs held); counts the files of the run whose size and every
                  byte are what was sent.

A job is delivered only when it arrived byte-exact; one that arrived changed or cut
short counts as corrupt.

Polls until --expect jobs are seen or --timeout passes with no progress, and
reports when the last job showed up. Standard library only.
"""
import argparse
import json
import os
import re
import sys
import time

HDR = b"LPDBENCH "
HDR_LEN = 26  # "LPDBENCH " + 8-char tag + " " + 7 digits + "\n"


FILLER_LINE = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789a\n"  # as lpdload
_PATTERN = FILLER_LINE * ((4 << 20) // len(FILLER_LINE) + 2)
_SPAN = len(_PATTERN) - len(FILLER_LINE)


def body_matches(data, phase):
    """Whether data equals the filler that follows a job's header, starting `phase` bytes
    into it (the filler repeats every 64 bytes)."""
    mv = memoryview(data)
    pos = 0
    while pos < len(mv):
        n = min(_SPAN, len(mv) - pos)
        k = (phase + pos) % len(FILLER_LINE)
        if mv[pos:pos + n] != _PATTERN[k:k + n]:
            return False
        pos += n
    return True


class AppendCounter:
    """Incrementally scans an append-only file for one run's jobs.

    Every job must appear whole and unchanged: its header, then exactly size - 26 filler
    bytes. A job counts as delivered only when all of its bytes matched (byte-exact);
    one whose bytes differ or are cut short counts as corrupt, and bytes outside any
    job (another run's, a banner, a form feed) as stray."""

    def __init__(self, path, tag, offset=None, size=0):
        self.path = path
        self.size = size
        self.needle = HDR + tag.encode() + b" "
        self.offset = offset if offset is not None else (os.path.getsize(path) if os.path.exists(path) else 0)
        self.start = self.offset
        self.carry = b""
        self.seen = set()
        self.exact = set()
        self.dups = 0
        self.corrupt = 0
        self.stray = 0
        self.cur = None      # seq of the job whose body is being checked
        self.rem = 0         # its body bytes still to come
        self.phase = 0       # body bytes of it checked so far
        self.cur_ok = True

    def _feed(self, buf):
        pos = 0
        n = len(buf)
        while pos < n:
            if self.cur is not None:
                take = min(self.rem, n - pos)
                if self.cur_ok and not body_matches(buf[pos:pos + take], self.phase):
                    self.cur_ok = False
                pos += take
                self.rem -= take
                self.phase += take
                if self.rem == 0:
                    if self.cur_ok:
                        self.exact.add(self.cur)
                    else:
                        self.corrupt += 1
                    self.cur = None
                continue
            k = buf.find(self.needle, pos)
            if k < 0 or k + HDR_LEN > n:
                # keep a possible partial header for the next chunk
                keep = k if k >= 0 else max(pos, n - (HDR_LEN - 1))
                self.stray += keep - pos
                return buf[keep:]
            self.stray += k - pos
            seq = buf[k + len(self.needle):k + HDR_LEN - 1]
            if seq.isdigit() and buf[k + HDR_LEN - 1:k + HDR_LEN] == b"\n":
                s = int(seq)
                if s in self.seen:
                    self.dups += 1
                self.seen.add(s)
                self.cur, self.rem, self.phase, self.cur_ok = s, max(0, self.size - HDR_LEN), 0, True
                if self.rem == 0:
                    self.exact.add(s)
                    self.cur = None
            else:
                self.stray += HDR_LEN
            pos = k + HDR_LEN
        return b""

    def poll(self):
        try:
            size = os.path.getsize(self.path)
        except FileNotFoundError:
            return len(self.exact)
        if size < self.offset:  # truncated under us: start over from 0
            self.offset, self.start, self.carry = 0, 0, b""
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            while self.offset < size:
                chunk = f.read(min(16 << 20, size - self.offset))
                if not chunk:
                    break
                self.offset += len(chunk)
                self.carry = self._feed(self.carry + chunk if self.carry else chunk)
        return len(self.exact)

    def grown(self):
        return self.offset - self.start

    def complete(self, expect):
        return len(self.exact) >= expect


class SpoolCounter:
    """Counts one run's data files in a directory of per-file spool entries."""

    def __init__(self, path, tag, size):
        self.path = path
        self.tag = tag
        self.size = size
        self.needle = HDR + tag.encode() + b" "
        self.seen = set()
        self.dups = 0
        self.bad_size = 0
        self.bytes = 0
        self.checked = set()
        self.control_files = 0
        self.exact = set()
        self.corrupt = 0

    def poll(self):
        for name in os.listdir(self.path):
            if name in self.checked or ("b" + self.tag) not in name:
                continue
            full = os.path.join(self.path, name)
            if "cfA" in name:
                self.checked.add(name)
                self.control_files += 1
                continue
            if "dfA" not in name:
                continue
            try:
                st = os.stat(full)
                if st.st_size < self.size:
                    continue  # maybe still being written; look again next poll
                with open(full, "rb") as f:
                    head = f.read(HDR_LEN)
                    ok = True
                    phase = 0
                    while True:
                        block = f.read(16 << 20)
                        if not block:
                            break
                        ok = ok and body_matches(block, phase)
                        phase += len(block)
            except FileNotFoundError:
                continue
            self.checked.add(name)
            self.bytes += st.st_size
            if st.st_size != self.size:
                self.bad_size += 1
            if head.startswith(self.needle) and head[len(self.needle):HDR_LEN - 1].isdigit():
                s = int(head[len(self.needle):HDR_LEN - 1])
                if s in self.seen:
                    self.dups += 1
                self.seen.add(s)
                if ok and st.st_size == self.size:
                    self.exact.add(s)
                else:
                    self.corrupt += 1
        return len(self.exact)

    def complete(self, expect):
        return len(self.exact) >= expect  # only whole, unchanged files are counted

    def remove_run_files(self):
        n = 0
        for name in os.listdir(self.path):
            if ("b" + self.tag) in name:
                try:
                    os.unlink(os.path.join(self.path, name))
                    n += 1
                except FileNotFoundError:
                    pass
        return n


def _progress(counter):
    return (len(counter.seen), getattr(counter, "offset", 0))


def wait_for(counter, expect, timeout, interval=0.05, max_total=600.0):
    """Polls until `expect` jobs are complete, or nothing new for `timeout` seconds.

    Returns (count, epoch time of the last progress: a new job or new bytes)."""
    t_begin = time.time()
    count = counter.poll()
    last = _progress(counter)
    last_change = time.time()
    while not counter.complete(expect):
        now = time.time()
        if now - last_change > timeout or now - t_begin > max_total:
            break
        time.sleep(interval)
        count = counter.poll()
        p = _progress(counter)
        if p != last:
            last = p
            last_change = time.time()
    return count, last_change


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    g = p.add_mutually_exclusive_group(required=True)
    g.add_argument("--append", metavar="FILE")
    g.add_argument("--spool", metavar="DIR")
    p.add_argument("--tag", required=True)
    p.add_argument("--expect", type=int, required=True)
    p.add_argument("--size", type=int, required=True, help="data bytes per job")
    p.add_argument("--offset", type=int, default=0, help="--append: bytes of FILE to skip")
    p.add_argument("--timeout", type=float, default=30.0, help="give up after this long without progress")
    p.add_argument("--json", action="store_true")
    a = p.parse_args(argv)
    if a.append:
        c = AppendCounter(a.append, a.tag, a.offset, a.size)
    else:
        c = SpoolCounter(a.spool, a.tag, a.size)
    n, t_last = wait_for(c, a.expect, a.timeout)
    res = {"delivered": n, "expected": a.expect, "duplicates": c.dups, "corrupt": c.corrupt,
           "t_last_epoch": t_last}
    if a.append:
        res["bytes_grown"] = c.grown()
        res["extra_bytes"] = c.grown() - n * a.size
    else:
        res["bytes"] = c.bytes
        res["bad_size"] = c.bad_size
        res["control_files"] = c.control_files
    if a.append:
        res["stray_bytes"] = c.stray
    if a.json:
        print(json.dumps(res))
    else:
        for k, v in res.items():
            print("%-14s %s" % (k, v))
    return 0 if n == a.expect and not c.dups and not c.corrupt else 1


if __name__ == "__main__":
    sys.exit(main())
