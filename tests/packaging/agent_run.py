#!/usr/bin/env python3
"""The packaged agent, run from a root that the packages were unpacked into (dpkg -x).

    agent_run.py ROOT WORK SIM_CONFIG

ROOT holds the unpacked packages; WORK is a scratch folder. The settings file of the package
gets its [paths] pointed into ROOT; the simulator of the package serves ROOT's device folder;
the agent runs with the service's working directory (the state folder) and a service manager
stand-in: a datagram socket in NOTIFY_SOCKET that records what the agent tells it, with
WATCHDOG_USEC=2000000 and WATCHDOG_PID set to the agent's pid, and JOURNAL_STREAM naming the
file its standard error goes to. The agent gets a /run of its own (a private mount namespace),
so its single-instance lock file stays out of the machine's /run.

Needs the machine-wide agent test lock (TCP port 8922): run it under
    flock -w 900 -o /tmp/pellomar-agent-test.lock ...
Prints one line per check and exits 1 when any failed.
"""
import os
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

ROOT, WORK, SIM_CONFIG = (os.path.abspath(a) for a in sys.argv[1:4])
STATE = f"{ROOT}/var/lib/pellomar"
LOGDIR = f"{ROOT}/var/log/pellomar"
PROGDIR = f"{ROOT}/usr/libexec/pellomar"
CONF = f"{ROOT}/etc/pellomar/pellomar.conf"
AGENT = f"{ROOT}/usr/sbin/pellomar"
CLI = f"{ROOT}/usr/bin/pellomar-cli"
SIM = f"{ROOT}/usr/bin/pellomar-sim"
DEV = f"{STATE}/dev"
GUI_PORT = 8922
WATCHDOG_USEC = 2_000_000

failures = []


def check(ok, what, detail=""):
    print(f"packaging: {'ok' if ok else 'FAILED'}: {what}" + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


def wait_for(pred, timeout, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


def run(*cmd, timeout=30):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def cli(*args):
    return run(CLI, "--timeout", "10", *args)


def sim_ctl(*args):
    return run(SIM, "ctl", "--dir", DEV, *args)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Notifications:
    """The service manager's side of NOTIFY_SOCKET: every datagram with the time it came; on
    READY=1, whether the GUI port took a connection at that moment."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.messages = []  # (monotonic time, text)
        self.port_at_ready = None
        self.stop = False
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _loop(self):
        while not self.stop:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            now = time.monotonic()
            for text in data.decode(errors="replace").split("\n"):
                if not text:
                    continue
                if text == "READY=1" and self.port_at_ready is None:
                    try:
                        socket.create_connection(("127.0.0.1", GUI_PORT), timeout=1).close()
                        self.port_at_ready = True
                    except OSError:
                        self.port_at_ready = False
                self.messages.append((now, text))

    def times(self, text, since=0.0):
        return [t for t, m in list(self.messages) if m == text and t >= since]


def point_paths_into_root():
    """The package's settings file with its [paths] uncommented and pointed into ROOT."""
    text = read(CONF)
    for key, folder in (("state_dir", STATE), ("log_dir", LOGDIR), ("program_dir", PROGDIR)):
        packaged = folder[len(ROOT):]
        line = f'#{key} = "{packaged}"'
        check(line in text, f"the packaged settings file shows {key} = {packaged}")
        text = text.replace(line, f'{key} = "{folder}"')
    with open(CONF, "w", encoding="utf-8") as f:
        f.write(text)


def responders():
    """The responders this root's agent launched (by their executable)."""
    found = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                if os.readlink(f"/proc/{p}/exe") == f"{PROGDIR}/EchoBack":
                    found.append(int(p))
            except OSError:
                pass
    return found


def completion(words):
    """What the packaged completion offers for the command line `words` (the last is being typed)."""
    script = (
        f'source "{ROOT}/usr/share/bash-completion/completions/pellomar-cli"\n'
        'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _pellomar_cli\n'
        'printf "%s\\n" "${COMPREPLY[@]}"\n'
    )
    env = dict(os.environ, PATH=f"{ROOT}/usr/bin:{os.environ['PATH']}")
    r = subprocess.run(["bash", "-c", script, "bash", *words], capture_output=True, text=True,
                       env=env, timeout=30)
    return sorted(w for w in r.stdout.split("\n") if w)


def help_words():
    """The commands that pellomar-cli --help lists, and the words after "mail"."""
    text = run(CLI, "--help").stdout
    block = text.split("commands:\n", 1)[-1].split("\n\n", 1)[0]
    usages = [line.split() for line in block.splitlines()
              if line.startswith("  ") and not line.startswith("   ")]
    commands = sorted({u[0] for u in usages})
    mail = sorted({u[1] for u in usages if u[0] == "mail" and len(u) > 1} - {"[get]"})
    return commands, mail


def main():
    point_paths_into_root()
    r = run(AGENT, "--config", CONF, "--check-config")
    check(r.returncode == 0 and f'paths.state_dir = "{STATE}"' in r.stdout,
          "pellomar --check-config accepts the settings file", r.stdout + r.stderr)

    procs = []
    sim = subprocess.Popen([SIM, "--dir", DEV, "--config", SIM_CONFIG, "--no-scenario"],
                           stdout=subprocess.DEVNULL, stderr=open(f"{WORK}/sim.err", "w"))
    procs.append(sim)
    responders_before = set(responders())
    notes = Notifications(f"{WORK}/notify.sock")
    agent = None
    try:
        if not check(wait_for(lambda: sim_ctl("status").returncode == 0, 20),
                     "the packaged simulator serves the state folder's dev/"):
            return
        err = open(f"{WORK}/agent.err", "w")
        st = os.fstat(err.fileno())
        env = dict(os.environ, NOTIFY_SOCKET=f"{WORK}/notify.sock", WATCHDOG_USEC=str(WATCHDOG_USEC),
                   JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        # unshare execs sh, which execs the agent: $$ is the agent's pid.
        agent = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'mount -t tmpfs tmpfs /run && export WATCHDOG_PID=$$ && exec "$@"', "sh",
             AGENT, "--config", CONF],
            cwd=STATE, env=env, stdout=subprocess.DEVNULL, stderr=err)
        procs.append(agent)

        # Ready once the GUI port listens, not before.
        check(wait_for(lambda: notes.times("READY=1"), 20), "the agent sends READY=1")
        check(notes.port_at_ready is True, "the GUI port listens when READY=1 arrives")
        ready = (notes.times("READY=1") or [time.monotonic()])[0]

        r = cli("controllers")
        check(r.returncode == 0 and "3 controllers" in r.stdout and
              all(sn in r.stdout for sn in ("SN0001", "SN0002", "SN0003")),
              "pellomar-cli controllers lists the simulated controllers", r.stdout + r.stderr)
        check(wait_for(lambda: any(m.startswith("STATUS=3 controllers found")
                                   for _, m in list(notes.messages)), 15),
              "the agent's STATUS line counts the controllers",
              str([m for _, m in notes.messages if m.startswith("STATUS=")]))

        # Completion: every command and mail word that --help lists, fixed words, and the
        # agent's serial numbers.
        commands, mail_words = help_words()
        for words, expect in (
            (["pellomar-cli", ""], commands),
            (["pellomar-cli", "--timeout", "5", "mail", ""], mail_words),
            (["pellomar-cli", "hi"], ["history"]),
            (["pellomar-cli", "--port", "8922", "watch", ""], ["SN0001", "SN0002", "SN0003"]),
            (["pellomar-cli", "history", "SN000"], ["SN0001", "SN0002", "SN0003"]),
            (["pellomar-cli", "upload", "SN0003", "--timeout"], []),
            (["pellomar-cli", "mail", "server", "set", ""], ["1", "2", "3", "4", "6"]),
            (["pellomar-cli", "mail", "enable", ""], ["off", "on"]),
        ):
            got = completion(words)
            check(got == expect, f"completion of {' '.join(words)!r}", f"got {got}")

        # Mail settings and histories in the state folder, event logs and mail bodies in the
        # working directory (also the state folder), the log in the log folder; the mailer runs
        # from the program folder.
        for args in (["mail", "set", "0", "ops@example.com"],
                     ["mail", "server", "set", "1", "127.0.0.1:9"],
                     ["mail", "server", "set", "2", "agent@example.com"],
                     ["mail", "enable", "on"]):
            r = cli(*args)
            check(r.returncode == 0, f"pellomar-cli {' '.join(args)}", r.stdout + r.stderr)
        for name in ("mail.cfg", "mailSrv.cfg"):
            path = f"{STATE}/{name}"
            check(os.path.isfile(path) and stat.S_IMODE(os.stat(path).st_mode) == 0o600,
                  f"{name} in the state folder, for root alone")
        r = sim_ctl("inject-event", "0", "0", "--name", "disk-offline", "--a", "0", "--b", "5")
        check(r.returncode == 0, "an event injected", r.stderr)
        check(wait_for(lambda: "\\SN0001\\" in read(f"{STATE}/event_bin_SN0001.txt"), 15),
              "the event recorded in the state folder's history event_bin_SN0001.txt")
        for name in ("event_SN0001", "event_bin_SN0001"):
            check(wait_for(lambda: read(f"{STATE}/{name}") != "", 5),
                  f"the event log {name} in the working directory")
        log = f"{LOGDIR}/ServerLog.txt"
        check(wait_for(lambda: f"cd '{PROGDIR}'" in read(log), 15),
              "the mail script runs SendMail from the program folder", read(log)[-2000:])
        check(wait_for(lambda: "Finder (42)" in read(log), 10),
              "the responder started from the program folder")
        check(not any(os.path.exists(f"{d}/ServerLog.txt") for d in (STATE, f"{ROOT}/usr/sbin")),
              "ServerLog.txt only in the log folder")
        check("GS.1.1.5 Start." in read(f"{WORK}/agent.err"),
              "with JOURNAL_STREAM naming standard error the log lines go there too")

        # The watchdog: pings at half of WATCHDOG_USEC while the polling thread runs, though
        # it calls for one after every controller and sweep; a ping may wait for the next
        # sweep (EVENT_POLL_INTERVAL_MS, 1 s) past that.
        time.sleep(max(0.0, ready + 6 - time.monotonic()))
        pings = notes.times("WATCHDOG=1", ready)
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        half = WATCHDOG_USEC / 2e6
        check(len(pings) >= 3 and min(gaps) >= half - 0.05 and max(gaps) < half + 1.5,
              "WATCHDOG=1 at half the watchdog interval",
              f"{len(pings)} pings, gaps {[round(g, 2) for g in gaps]}")
        # ... and none while a device call holds it (one event fetch answered 5 s late).
        held = time.monotonic()
        r = sim_ctl("fault", "0", "delay", "--value", "5000", "--match", "event", "--count", "1")
        check(r.returncode == 0, "a delay fault on the next event fetch", r.stderr)
        time.sleep(8)
        pings = notes.times("WATCHDOG=1", held)
        gaps = [b - a for a, b in zip([held] + pings, pings)]
        check(gaps and max(gaps) >= 4.5 and pings[-1] > held + 5,
              "no WATCHDOG=1 while the polling thread is held, again once it is free",
              f"gaps {[round(g, 2) for g in gaps]}")

        agent.send_signal(signal.SIGTERM)
        try:
            rc = agent.wait(15)
        except subprocess.TimeoutExpired:
            rc = None
        check(rc == 0, "SIGTERM ends the agent with 0", f"exit {rc}")
    finally:
        notes.stop = True
        for p in procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        for pid in set(responders()) - responders_before:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass


if __name__ == "__main__":
    main()
    sys.exit(1 if failures else 0)
