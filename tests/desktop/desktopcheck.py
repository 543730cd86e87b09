#!/usr/bin/env python3
"""The desktop program on a real X server with a real window manager and tray.

Starts Xvfb, openbox and trayer, runs the built spoolmere-desktop in a private HOME and drives
it with xdotool the way a user would: Setup saved with an empty spool folder under ~/.config,
a resize that is remembered for the next run, minimise and a click on the tray icon, a
title-bar close in protect mode and without it (it asks), a start whose port is taken, a Quit
while a print runs followed at once by a second start (the stopping server says what it waits
for, the second start waits for it and then serves), and a desktop without a tray (GNOME's
default): the window shows, minimises to the taskbar, a second start raises it, and a tray
that comes or goes later is followed. The offscreen
platform of the unit tests cannot show any of this: mapping, the window manager's close and
the tray are the X server's and openbox's.

Every step waits for the condition it checks (a window mapped or gone, a file written, the
process ended), never for a fixed time.

usage: desktopcheck.py <spoolmere-desktop> <spoolmere>
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DESKTOP, SENDER = sys.argv[1], sys.argv[2]
WAIT = 20.0


class CheckFailed(Exception):
    pass


def wait_for(what, predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise CheckFailed("timed out waiting for " + what)
        time.sleep(0.05)


class Desktop:
    """Xvfb + openbox + trayer on a display of their own."""

    def __init__(self, env, tray=True):
        self.env = env
        self.procs = []
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
             "-nolisten", "tcp"], pass_fds=[write_end], stderr=subprocess.DEVNULL)
        self.procs.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            raise CheckFailed("Xvfb did not start")
        env["DISPLAY"] = ":" + number
        self.procs.append(subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL))
        wait_for("openbox", lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.xprop("-root"))
        if tray:
            self.start_tray()

    def start_tray(self):
        self.procs.append(subprocess.Popen(
            ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
             "--width", "120", "--height", "24"], env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        wait_for("trayer's panel", lambda: self.search("--class", "trayer"))

    def run(self, *args, check=False):
        return subprocess.run(list(args), env=self.env, capture_output=True, text=True,
                              check=check)

    def xprop(self, *args):
        return self.run("xprop", *args).stdout

    def search(self, *args):
        return [int(w) for w in self.run("xdotool", "search", *args).stdout.split()]

    def client_list(self):
        return [int(w, 16) for w in re.findall(r"0x[0-9a-f]+", self.xprop("-root",
                                                                            "_NET_CLIENT_LIST"))]

    def name(self, window):
        return self.run("xdotool", "getwindowname", str(window)).stdout.strip()

    def viewable(self, window):
        return "IsViewable" in self.run("xwininfo", "-id", str(window)).stdout

    def size(self, window):
        out = self.run("xwininfo", "-id", str(window)).stdout
        w = re.search(r"Width: (\d+)", out)
        h = re.search(r"Height: (\d+)", out)
        return (int(w.group(1)), int(h.group(1))) if w and h else None

    def managed(self, title):
        """The top-level windows openbox manages with this title."""
        return [w for w in self.client_list() if self.name(w) == title]

    def desktops(self):
        m = re.search(r"= (\d+)", self.xprop("-root", "_NET_NUMBER_OF_DESKTOPS"))
        return int(m.group(1)) if m else None

    def settle(self):
        """Returns once openbox has handled every request that reached the server before:
        it answers a change of the number of desktops in order with the rest."""
        n = self.desktops()
        for target in (n + 1, n):
            self.run("xdotool", "set_num_desktops", str(target), check=True)
            wait_for("openbox to catch up", lambda t=target: self.desktops() == t)

    def frame(self, window):
        """The window with its frame: left, top, right, bottom on the screen."""
        out = self.run("xwininfo", "-id", str(window)).stdout
        x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
        y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
        w, h = self.size(window)
        left, right, top, bottom = (int(n) for n in re.findall(
            r"\d+", self.xprop("-id", str(window), "_NET_FRAME_EXTENTS").split("=")[1]))
        return x - left, y - top, x + w + right, y + h + bottom

    def frame_close_button(self, window):
        # openbox's default title bar ends with the close button, right of the others.
        out = self.run("xwininfo", "-id", str(window)).stdout
        x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
        y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
        width = int(re.search(r"Width: (\d+)", out).group(1))
        left, right, top, bottom = (int(n) for n in re.findall(
            r"\d+", self.xprop("-id", str(window), "_NET_FRAME_EXTENTS").split("=")[1]))
        return x + width + right - 12, y - top // 2

    def click(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1", check=True)

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()


class Program:
    def __init__(self, desktop, args, extra_env=None):
        self.desktop = desktop
        # A file, not a pipe: nobody reads the output while the program runs.
        self.output = tempfile.TemporaryFile(mode="w+")
        env = dict(desktop.env, **(extra_env or {}))
        self.proc = subprocess.Popen([DESKTOP] + args, env=env, stdout=self.output,
                                     stderr=subprocess.STDOUT, text=True)

    def send(self, word):
        return self.desktop.run(SENDER, "--send", word).returncode

    def main_window(self):
        return wait_for("the main window on the screen",
                        lambda: next((w for w in self.desktop.managed("Spoolmere")
                                      if self.desktop.viewable(w)), None))

    def answer_close(self, key="alt+s"):
        """Answers the question a close or Quit asks (Alt+S: Stop Server; Return keeps it)."""
        try:
            box = wait_for("the close question", lambda: next(
                (w for w in self.desktop.managed("Close Spoolmere")
                 if self.desktop.viewable(w)), None))
        except CheckFailed:
            print("windows:", [(self.desktop.name(w), self.desktop.viewable(w))
                               for w in self.desktop.client_list()])
            raise
        self.desktop.run("xdotool", "windowactivate", "--sync", str(box))
        self.desktop.run("xdotool", "key", key)

    def tray_icon(self):
        def icon():
            for w in self.desktop.search("--class", "^spoolmere$"):
                size = self.desktop.size(w)
                if self.desktop.name(w) == "spoolmere" and size and size[0] <= 64 \
                        and self.desktop.viewable(w):
                    return w
            return None
        return wait_for("the tray icon", icon)

    def ended(self):
        return self.proc.poll() is not None

    def stop(self):
        if not self.ended():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.output.seek(0)
        return self.output.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_ini(path, port):
    with open(path, "wb") as f:
        f.write(b"SPOOLDIR\r\n\r\nPORT\r\n%d\r\nPRINTERS\r\nlp /bin/true\r\nHOSTS\r\n"
                b"127.0.0.1\r\n" % port)
    # Long ago: a save shows as a new modification time.
    os.utime(path, (1000000000, 1000000000))


def check(ok, text):
    if not ok:
        raise CheckFailed(text)
    print("ok -", text)


def session(desktop, ini, config):
    app = Program(desktop, ["open"])
    try:
        window = app.main_window()
        start_size = desktop.size(window)

        # Setup saved with the spool folder left empty: "spool" beside lpd.ini in ~/.config.
        # Keys through the keyboard of the X server (XTEST) to the active window: events
        # sent to a window (--window) may be delivered again later, to whatever then has
        # the focus.
        desktop.run("xdotool", "windowactivate", "--sync", str(window))
        desktop.run("xdotool", "key", "alt+f")
        desktop.run("xdotool", "key", "s")
        setup = wait_for("the Setup dialog",
                         lambda: next((w for w in desktop.managed("Setup")
                                       if desktop.viewable(w)), None))
        desktop.run("xdotool", "key", "Return")
        wait_for("lpd.ini saved", lambda: os.stat(ini).st_mtime > 1000000000)
        wait_for("the Setup dialog closed", lambda: not desktop.viewable(setup))
        check(not desktop.managed("Error"), "Setup with an empty spool folder saves, no error")
        check(os.path.isdir(os.path.join(config, "spool")), "the spool folder beside lpd.ini")

        # A resize: the window takes it (it is not of fixed size).
        desktop.run("xdotool", "windowsize", str(window), "760", "560")
        wait_for("the window resized", lambda: desktop.size(window) == (760, 560))
        check(True, "the window grows from %dx%d to 760x560" % start_size)

        # Minimise: off the screen and out of the window manager's list, and it stays so.
        desktop.run("xdotool", "windowminimize", str(window))
        wait_for("the window withdrawn",
                 lambda: not desktop.viewable(window) and window not in desktop.client_list())
        check(app.send("lpdprot") == 0 and app.send("lpduprot") == 0, "control messages taken")
        desktop.settle()
        check(not desktop.viewable(window) and window not in desktop.client_list(),
              "minimised, the window is hidden and stays hidden")
        icon = app.tray_icon()
        desktop.run("xdotool", "mousemove", "--window", str(icon), "5", "5", "click", "1")
        wait_for("the window back", lambda: desktop.viewable(window)
                 and window in desktop.client_list())
        check(True, "a click on the tray icon brings the window back")

        # Protect mode: the title bar's close button does nothing.
        check(app.send("lpdprot") == 0, "protect mode on")
        desktop.click(*desktop.frame_close_button(window))
        # openbox handles the click (and sends the close request) before it minimises, and
        # the program gets both in that order: once it has hidden the window, it has also
        # answered the close.
        desktop.run("xdotool", "windowminimize", str(window))
        wait_for("the window withdrawn",
                 lambda: not desktop.viewable(window) and window not in desktop.client_list())
        check(not app.ended() and app.send("lpdprot") == 0,
              "in protect mode the title-bar close leaves the server running")
        # (Not the tray icon again: two clicks this close together are a double click.)
        check(app.send("lpdshow") == 0, "lpdshow taken")
        wait_for("the window back", lambda: desktop.viewable(window))

        check(app.send("lpduprot") == 0, "protect mode off")
        desktop.click(*desktop.frame_close_button(window))
        app.answer_close()
        wait_for("the program to end", app.ended)
        check(app.proc.returncode == 0,
              "without protect mode the title-bar close asks, and Stop Server ends it")
    except CheckFailed:
        print(app.stop())
        raise
    finally:
        app.stop()


def remembered(desktop):
    app = Program(desktop, ["open"])
    try:
        window = app.main_window()
        check(wait_for("the remembered size", lambda: desktop.size(window) == (760, 560)),
              "the next run opens at the size the user left")
        check(app.send("lpddown") == 0, "lpddown taken")
        wait_for("the program to end", app.ended)
    finally:
        app.stop()


def scale_two(desktop, ini):
    """At scale 2 the 1280x800 screen is 640x400 of the program's pixels: the window and
    Setup must still fit on it, frame and buttons included."""
    write_ini(ini, free_port())
    app = Program(desktop, ["open"], {"QT_SCALE_FACTOR": "2"})
    try:
        window = app.main_window()
        desktop.run("xdotool", "windowactivate", "--sync", str(window))
        desktop.run("xdotool", "key", "alt+f")
        desktop.run("xdotool", "key", "s")
        setup = wait_for("the Setup dialog", lambda: next(
            (w for w in desktop.managed("Setup") if desktop.viewable(w)), None))
        for name, w in (("the window", window), ("Setup", setup)):
            # Framed by openbox by now: its extents are known once it is viewable.
            wait_for("the frame of " + name,
                     lambda w=w: "=" in desktop.xprop("-id", str(w), "_NET_FRAME_EXTENTS"))
            left, top, right, bottom = desktop.frame(w)
            check(left >= 0 and top >= 0 and right <= 1280 and bottom <= 800,
                  "at scale 2 %s fits on the screen (%d,%d to %d,%d)" % (name, left, top, right,
                                                                        bottom))
        desktop.run("xdotool", "key", "Escape")
        wait_for("Setup closed", lambda: not desktop.viewable(setup))
        check(app.send("lpddown") == 0, "lpddown taken")
        wait_for("the program to end", app.ended)
    except CheckFailed:
        print(app.stop())
        raise
    finally:
        app.stop()


def without_tray(desktop):
    """GNOME's default: no tray. The window must be reachable all the same."""
    app = Program(desktop, [])  # no "open"
    try:
        window = app.main_window()
        check(window in desktop.client_list(), "without a tray the window shows at start")
        desktop.run("xdotool", "windowminimize", str(window))
        wait_for("the window minimised", lambda: not desktop.viewable(window))
        desktop.settle()
        check(window in desktop.client_list(),
              "minimised without a tray, the window stays on the taskbar")

        second = subprocess.run([DESKTOP], env=desktop.env, capture_output=True, text=True,
                                timeout=WAIT)
        wait_for("the window raised", lambda: desktop.viewable(window))
        check(second.returncode == 0 and "already running" in second.stderr
              and "brought to the front" in second.stderr,
              "a second start raises the running window and says so: "
              + second.stderr.strip())

        # A tray comes up later: the icon appears, and minimising puts the window away.
        desktop.start_tray()
        icon = app.tray_icon()
        check(icon is not None, "a tray that appears later gets the icon")
        desktop.run("xdotool", "windowminimize", str(window))
        wait_for("the window withdrawn",
                 lambda: not desktop.viewable(window) and window not in desktop.client_list())
        check(True, "with the tray, minimising puts the window away")
        # The icon's menu (a right click): Show brings the window back.
        known = set(desktop.search("--onlyvisible", "--class", "^spoolmere$"))
        desktop.run("xdotool", "mousemove", "--window", str(icon), "5", "5", "click", "3")
        menu = wait_for("the tray menu", lambda: next(
            (w for w in desktop.search("--onlyvisible", "--class", "^spoolmere$")
             if w not in known), None))
        check(menu is not None, "a right click on the tray icon opens its menu")
        desktop.run("xdotool", "key", "Down", "Return")
        wait_for("the window back", lambda: desktop.viewable(window))
        check(True, "the tray menu's Show brings the window back")

        # The tray goes away again: the window comes back to the screen by itself.
        desktop.run("xdotool", "windowminimize", str(window))
        wait_for("the window withdrawn", lambda: not desktop.viewable(window))
        tray = desktop.procs.pop()
        tray.terminate()
        tray.wait(timeout=10)
        wait_for("the window shown again", lambda: desktop.viewable(window))
        check(True, "when the tray goes away, the hidden window shows")

        desktop.run("xdotool", "windowactivate", "--sync", str(window))
        desktop.run("xdotool", "key", "ctrl+q")
        app.answer_close()
        wait_for("the program to end", app.ended)
        check(app.proc.returncode == 0, "Ctrl+Q asks, and Stop Server ends the program")
    except CheckFailed:
        print(app.stop())
        raise
    finally:
        app.stop()


def failed_start(desktop, ini):
    # Someone else holds the port (bound on all addresses, as the listener would be).
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("", 0))
    holder.listen()
    write_ini(ini, holder.getsockname()[1])
    app = Program(desktop, [])  # no "open": the window must come up all the same
    try:
        app.main_window()
        error = wait_for("the error box", lambda: next((w for w in desktop.managed("Error")
                                                        if desktop.viewable(w)), None))
        check(True, "a taken port shows the window and a box titled Error")
        check(app.send("lpdshow") == 0, "the control channel listens after the failure")
        desktop.run("xdotool", "key", "--window", str(error), "Return")
        check(app.send("lpddown") == 0, "lpddown taken")
        wait_for("the program to end", app.ended)
        check(True, "lpddown ends a server whose start failed")
    finally:
        app.stop()
        holder.close()


def send_job(port, name):
    """One job over LPD, as a client would send it."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as s:
        data = b"one page\n"
        control = b"Hdesk\nPann\nJ%s\nldfA001desk\n" % name
        s.sendall(b"\x02lp\n")
        for line, body in ((b"\x02%d cfA001desk\n" % len(control), control),
                           (b"\x03%d dfA001desk\n" % len(data), data)):
            if s.recv(1) != b"\0":
                raise CheckFailed("the server refused the job")
            s.sendall(line)
            if s.recv(1) != b"\0":
                raise CheckFailed("the server refused a file")
            s.sendall(body + b"\0")
        if s.recv(1) != b"\0":
            raise CheckFailed("the server refused the last file")


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def quit_while_printing(desktop, root, ini):
    """Quit while a print runs, then start again at once: the stopping server shows what it
    waits for, the new start waits for it on screen, and then serves on the same port."""
    go = os.path.join(root, "go")
    started = os.path.join(root, "started")
    printed = os.path.join(root, "printed")
    script = os.path.join(root, "slowprint.sh")
    with open(script, "w") as f:
        f.write("#!/bin/sh\n: > '%s'\nwhile [ ! -e '%s' ]; do sleep 0.05; done\n"
                "cat \"$1\" >> '%s'\n" % (started, go, printed))
    os.chmod(script, 0o755)
    port = free_port()
    with open(ini, "wb") as f:
        f.write(b"SPOOLDIR\r\n\r\nPORT\r\n%d\r\nPRINTERS\r\nlp %s %%p/%%d\r\nHOSTS\r\n"
                b"127.0.0.1\r\nSTOPWAIT\r\n60\r\n" % (port, script.encode()))
    first = Program(desktop, ["open"])
    second = None
    try:
        window = first.main_window()
        send_job(port, b"report")
        wait_for("the print to start", lambda: os.path.exists(started))
        desktop.run("xdotool", "windowactivate", "--sync", str(window))
        desktop.run("xdotool", "key", "ctrl+q")
        first.answer_close()
        wait_for("the stopping notice", lambda: next(
            (w for w in desktop.managed("Spoolmere is stopping") if desktop.viewable(w)), None))
        check(not first.ended() and not desktop.viewable(window),
              "Quit while a print runs: the window goes, a notice says the server is stopping")

        second = Program(desktop, ["open"])
        wait_for("the second start's notice", lambda: next(
            (w for w in desktop.managed("Waiting for Spoolmere to stop")
             if desktop.viewable(w)), None))
        check(not second.ended(),
              "a start meanwhile shows that it waits for the stopping server")

        open(go, "w").close()
        wait_for("the first server to end", first.ended)
        check(first.proc.returncode == 0, "the stopping server ends once its print has ended")
        second.main_window()
        wait_for("the new server to listen", lambda: listening(port))
        # By title: a later connection to the X server may reuse a window's id.
        check(not any(desktop.viewable(w) for title in ("Spoolmere is stopping",
                                                         "Waiting for Spoolmere to stop")
                      for w in desktop.managed(title)),
              "the second start goes on by itself and serves on the same port")
        with open(printed) as f:
            check(f.read() == "one page\n", "the job printed once")
        check(second.send("lpddown") == 0, "lpddown taken")
        wait_for("the program to end", second.ended)
    except CheckFailed:
        print(first.stop())
        if second:
            print(second.stop())
        raise
    finally:
        first.stop()
        if second:
            second.stop()


def main():
    for tool in ("Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop"):
        if not shutil.which(tool):
            print("missing " + tool + " (scripts/install-deps.sh installs it)")
            return 1
    with tempfile.TemporaryDirectory() as root:
        home = os.path.join(root, "home")
        runtime = os.path.join(root, "run")
        config = os.path.join(home, ".config", "spoolmere")
        os.makedirs(config)
        os.makedirs(runtime, mode=0o700)
        ini = os.path.join(config, "lpd.ini")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_RUNTIME_DIR=runtime, SPOOLMERE_CONFIG=ini, LC_ALL="C.UTF-8")
        desktop = None
        try:
            # Each part on a desktop of its own: key events that xdotool's XTEST keyboard
            # leaves pending on one X server must not reach the next program.
            desktop = Desktop(dict(env))
            write_ini(ini, free_port())
            session(desktop, ini, config)
            remembered(desktop)
            desktop.close()
            desktop = Desktop(dict(env))
            failed_start(desktop, ini)
            scale_two(desktop, ini)
            quit_while_printing(desktop, root, ini)
            desktop.close()
            # A second run without trayer, as on GNOME.
            desktop = Desktop(dict(env), tray=False)
            write_ini(ini, free_port())
            without_tray(desktop)
        except CheckFailed as e:
            print("FAILED -", e)
            return 1
        finally:
            if desktop:
                desktop.close()
    print("all desktop checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
