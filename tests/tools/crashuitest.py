"""The test kit of the end-to-end tests: the real mail sink, a crashed host in a private temporary
folder, the program's environment, X window helpers and the mail parser."""
import atexit
import hashlib
import json
import os
import random
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("CRASHUI_BINARY", "")
TOOLS = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"


class Sink:
    """aiosmtpd with AUTH LOGIN, as tools/smtpsink.py runs it."""

    def __init__(self, password="Err.submit7"):
        self.dir = tempfile.mkdtemp(prefix="sink")
        self.proc = subprocess.Popen([PYTHON, os.path.join(TOOLS, "smtpsink.py"), "--dir", self.dir,
                                      "--password", password],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("PORT "), line
        self.port = int(line.split()[1])

    def mails(self):
        return sorted(os.path.join(self.dir, n) for n in os.listdir(self.dir) if n.endswith(".eml"))

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(30)
        shutil.rmtree(self.dir, ignore_errors=True)


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def find_window(title, timeout=30):
    """The id of a visible window whose title is exactly title, or None; it looks at least once."""
    deadline = time.time() + timeout
    while True:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                               capture_output=True, text=True)
        ids = found.stdout.split()
        if ids:
            return ids[0]
        if time.time() >= deadline:
            return None
        time.sleep(0.2)


def start_on_display(args, env, preexec_fn=None):
    """Starts the program on the test's X server. A program that could not even connect to the
    server (seen once under heavy load) is started again; nothing else is retried."""
    for _ in range(3):
        proc = subprocess.Popen(args, env=env, stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn)
        try:
            proc.wait(1)
        except subprocess.TimeoutExpired:
            return proc  # running: it has its window
        if "could not connect to display" not in proc.stderr.read():
            return proc  # ended for another reason, which the test reports
        time.sleep(1)
    return proc


def answer_box(test, proc, title="错误", before=None):
    """Waits for the program's message box titled title, runs before() while it is up, presses
    Return, and checks that the program then ends with 0."""
    try:
        window = find_window(title, timeout=60)
        test.assertIsNotNone(window, "no box titled %s: exit %s" % (title, proc.poll()))
        if before:
            before()
        press_return(window)
        test.assertEqual(proc.wait(30), 0)
    finally:
        proc.kill()


def press_return(window):
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=30)
    subprocess.run(["xdotool", "key", "Return"], check=True, timeout=30)


class Host:
    """A host that has just crashed: dump, logs of this run and of another, a restart program. It
    lives in a private temporary folder (base), beside the program's own TMPDIR (base/tmp), so a
    test can check that nothing was left there or beside the host; cleanup() removes it all."""

    def __init__(self, settings=None, old_dumps=()):
        """old_dumps: names of dumps of earlier crashes, made first, last modified 40 days ago (named
        after x.dmp: made within the same millisecond, the first by name counts as the newest)."""
        self.base = tempfile.mkdtemp(prefix="crashui-e2e")
        self.root = os.path.join(self.base, "host")
        self.tmp = os.path.join(self.base, "tmp")
        for d in ("dumps", "log"):
            os.makedirs(os.path.join(self.root, d))
        os.makedirs(self.tmp)
        self.runtime = os.path.join(self.base, "run")
        os.makedirs(self.runtime, mode=0o700)
        for name in old_dumps:
            path = os.path.join(self.root, "dumps", name)
            with open(path, "wb") as f:
                f.write(b"old dump\n")
            when = time.time() - 40 * 86400
            os.utime(path, (when, when))
        rnd = random.Random(5)
        self.dump = os.path.join(self.root, "dumps", "x.dmp")
        with open(self.dump, "wb") as f:
            f.write(bytes(rnd.getrandbits(8) for _ in range(150000)) + b"frame\n" * 20000)
        self.logs = []
        for name, text in (("app_b.log", "app\n"), ("svc_b.log", "svc\n"), ("app_c.log", "other run\n")):
            path = os.path.join(self.root, "log", name)
            with open(path, "w") as f:
                f.write(text)
            self.logs.append(path)
        self.ini = os.path.join(self.root, "dumps", "crashui.ini")
        if settings is not None:
            with open(self.ini, "w") as f:
                f.write(settings)
        # The restart program records its arguments and the environment exactly as it was handed
        # over (/proc/self/environ: before Python changes anything); .args appears last.
        self.restart = os.path.join(self.root, "restart")
        with open(self.restart, "w") as f:
            f.write("#!%s\nimport os, sys\n"
                    "open(sys.argv[0] + '.env', 'wb').write(open('/proc/self/environ', 'rb').read())\n"
                    "open(sys.argv[0] + '.args.tmp', 'w').write(''.join(a + '\\n' for a in sys.argv[1:]))\n"
                    "os.rename(sys.argv[0] + '.args.tmp', sys.argv[0] + '.args')\n" % PYTHON)
        os.chmod(self.restart, 0o755)

    def args(self):
        return [self.root, "a_b", self.restart, "Title", "--opt", "two words"]

    def restart_args(self, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if os.path.exists(self.restart + ".args"):
                with open(self.restart + ".args") as f:
                    return f.read()
            time.sleep(0.1)
        return None

    def restart_environment(self):
        """The restarted program's environment, after restart_args() saw it start."""
        with open(self.restart + ".env", "rb") as f:
            pairs = [entry.split(b"=", 1) for entry in f.read().split(b"\0") if entry]
        return {os.fsdecode(k): os.fsdecode(v) for k, v in pairs}

    def pending_archives(self):
        folder = os.path.join(self.root, "dumps", "pending")
        if not os.path.isdir(folder):
            return []
        return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".rar"))

    def read_ini(self):
        with open(self.ini) as f:
            return f.read()

    def env(self, platform, port=None):
        """The program's environment: this host's private TMPDIR, the mail pointed at port."""
        env = environment(platform, port)
        env["TMPDIR"] = self.tmp
        env["XDG_RUNTIME_DIR"] = self.runtime  # else Qt makes one in TMPDIR
        return env

    def cleanup(self):
        shutil.rmtree(self.base, ignore_errors=True)


class SessionBus:
    """A D-Bus session bus of the test's own (dbus-daemon), so that the program never meets the
    machine's bus nor starts one itself (dbus-launch autolaunches one where dbus-x11 is
    installed). Ends with the test process."""

    def __init__(self):
        # Its only complaint (it may not raise its fd limit) is no concern of the tests.
        self.proc = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        assert self.address, "dbus-daemon gave no address"
        atexit.register(self.stop)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(30)
        self.proc.stdout.close()


_bus = None


def session_bus():
    global _bus
    if _bus is None:
        _bus = SessionBus()
    return _bus


def environment(platform, port=None):
    env = dict(os.environ, QT_QPA_PLATFORM=platform, DBUS_SESSION_BUS_ADDRESS=session_bus().address)
    if port is not None:
        env.update(CRASHUI_SMTP_HOST="127.0.0.1", CRASHUI_SMTP_PORT=str(port),
                   CRASHUI_MAILBOX="bug@example.com", CRASHUI_SMTP_PASSWORD="Err.submit7")
    return env




def parse_mail(eml, attachment_out=None):
    """What tools/parsemail.py reads from a received mail; the attachment goes to attachment_out."""
    args = [PYTHON, os.path.join(TOOLS, "parsemail.py"), eml] + ([attachment_out] if attachment_out else [])
    return json.loads(subprocess.run(args, capture_output=True, text=True, check=True).stdout)


class SlowRefusal:
    """An SMTP server that accepts a connection, says nothing for a while, then refuses with 554:
    time for the test to act while the report is being sent. connected is set on the connection."""

    def __init__(self, delay=4.0):
        self.delay = delay
        self.connected = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        self.connected.set()
        time.sleep(self.delay)
        try:
            client.sendall(b"554 5.3.2 not now\r\n")
            client.close()
        except OSError:
            pass

    def stop(self):
        self.listener.close()
