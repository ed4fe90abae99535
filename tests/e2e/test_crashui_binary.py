"""The crashui binary end to end: command line, dialog, archive, mail through aiosmtpd, clean-up,
settings and restart. Runs under xvfb-run; message boxes are answered with xdotool."""
import hashlib
import json
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile

BINARY = os.environ["CRASHUI_BINARY"]
TOOLS = os.environ["CRASHUI_TEST_TOOLS"]
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
        self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def find_window(title, timeout=30):
    """The id of a visible window whose title is exactly title, or None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                               capture_output=True, text=True)
        ids = found.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.2)
    return None


def start_on_display(args, env):
    """Starts the program on the test's X server. A program that could not even connect to the
    server (seen once under heavy load) is started again; nothing else is retried."""
    for _ in range(3):
        proc = subprocess.Popen(args, env=env, stderr=subprocess.PIPE, text=True)
        try:
            proc.wait(1)
        except subprocess.TimeoutExpired:
            return proc  # running: it has its window
        if "could not connect to display" not in proc.stderr.read():
            return proc  # ended for another reason, which the test reports
        time.sleep(1)
    return proc


def press_return(window):
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=10)
    subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)


class Host:
    """A host that has just crashed: dump, logs of this run and of another, a restart program."""

    def __init__(self, settings=None):
        self.root = tempfile.mkdtemp(prefix="host")
        for d in ("dumps", "log"):
            os.makedirs(os.path.join(self.root, d))
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
        self.archive = os.path.join(self.root, "dumps", "a_b.rar")
        self.ini = os.path.join(self.root, "dumps", "crashui.ini")
        if settings is not None:
            with open(self.ini, "w") as f:
                f.write(settings)
        self.restart = os.path.join(self.root, "restart.sh")
        with open(self.restart, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$@" > "$0.args.tmp" && mv "$0.args.tmp" "$0.args"\n')
        os.chmod(self.restart, 0o755)

    def args(self):
        return [self.root, "a_b", self.restart, "Title", "--opt", "two words"]

    def restart_args(self, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if os.path.exists(self.restart + ".args"):
                with open(self.restart + ".args") as f:
                    return f.read()
            time.sleep(0.1)
        return None

    def read_ini(self):
        with open(self.ini) as f:
            return f.read()


def environment(platform, port=None):
    env = dict(os.environ, QT_QPA_PLATFORM=platform)
    if port is not None:
        env.update(CRASHUI_SMTP_HOST="127.0.0.1", CRASHUI_SMTP_PORT=str(port),
                   CRASHUI_MAILBOX="bug@example.com", CRASHUI_SMTP_PASSWORD="Err.submit7")
    return env


class CommandLine(unittest.TestCase):
    def box_then_exit(self, args):
        proc = start_on_display([BINARY] + args, environment("xcb"))
        try:
            window = find_window("1")
            if window is None:
                proc.kill()
                self.fail("no message box titled 1; exit %s: %s" % (proc.wait(), proc.stderr.read()))
            press_return(window)
            self.assertEqual(proc.wait(30), 0)
        finally:
            proc.kill()

    def test_no_arguments(self):
        self.box_then_exit([])

    def test_one_argument(self):
        self.box_then_exit(["/tmp"])

    def test_toolkit_options_not_counted(self):
        self.box_then_exit(["-style", "fusion", "/tmp"])


class Report(unittest.TestCase):
    def setUp(self):
        self.sinks = []

    def tearDown(self):
        for sink in self.sinks:
            sink.stop()

    def sink(self, **kw):
        s = Sink(**kw)
        self.sinks.append(s)
        return s

    def test_whole_report_without_interaction(self):
        sink = self.sink()
        host = Host()
        dump_hash = sha(host.dump)
        start = time.time()
        result = subprocess.run([BINARY] + host.args(), env=environment("offscreen", sink.port), timeout=90)
        self.assertEqual(result.returncode, 0)
        self.assertGreaterEqual(time.time() - start, 9.5)  # the countdown ran
        self.assertEqual(len(sink.mails()), 1)
        attachment = os.path.join(tempfile.mkdtemp(), "a_b.rar")
        parsed = json.loads(subprocess.run([PYTHON, os.path.join(TOOLS, "parsemail.py"), sink.mails()[0], attachment],
                                           capture_output=True, text=True, check=True).stdout)
        self.assertEqual(parsed["subject"], "bug report : a_b")
        self.assertEqual(parsed["from"], {"name": "tova_bug_reporter:bug@example.com", "address": "bug@example.com"})
        self.assertEqual(parsed["to"], {"name": "tova_bug", "address": "bug@example.com"})
        self.assertEqual(parsed["x_mailer"], "SMailer")
        self.assertEqual(parsed["bare_lf"], 0)
        text, archive = parsed["parts"]
        self.assertEqual((text["type"], text["charset"], text["text"]), ("text/plain", "gb2312", "\r\n"))
        self.assertEqual(archive["filename"], "a_b.rar")
        with zipfile.ZipFile(attachment) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(z.namelist(), ["a_b.dmp", "app_b.log", "svc_b.log"])
            self.assertEqual(hashlib.sha256(z.read("a_b.dmp")).hexdigest(), dump_hash)
            self.assertEqual(z.read("svc_b.log"), b"svc\n")
        self.assertFalse(os.path.exists(host.dump))
        self.assertFalse(os.path.exists(host.archive))
        for log in host.logs:
            self.assertTrue(os.path.exists(log))
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")
        self.assertEqual(host.restart_args(), "Title\n--opt\ntwo words\n")

    def test_refused_password_keeps_everything(self):
        sink = self.sink(password="something else")
        host = Host()
        proc = start_on_display([BINARY] + host.args(), environment("xcb", sink.port))
        try:
            window = find_window("错误", timeout=60)
            self.assertIsNotNone(window, "no failure box")
            # The box is up: the choices are not saved yet, the restart was already asked for.
            self.assertFalse(os.path.exists(host.ini))
            self.assertEqual(host.restart_args(), "Title\n--opt\ntwo words\n")
            press_return(window)
            self.assertEqual(proc.wait(30), 0)
        finally:
            proc.kill()
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        with zipfile.ZipFile(host.archive) as z:
            self.assertEqual(z.namelist(), ["a_b.dmp", "app_b.log", "svc_b.log"])
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")

    def test_saved_choices_send_nothing(self):
        sink = self.sink()
        host = Host(settings="[user]\nisSend=0\nisRestart=0\n")
        result = subprocess.run([BINARY] + host.args(), env=environment("offscreen", sink.port), timeout=90)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        self.assertFalse(os.path.exists(host.archive))
        self.assertIsNone(host.restart_args(timeout=1))
        self.assertEqual(host.read_ini(), "[user]\nisRestart=0\nisSend=0\n")


class BadInput(unittest.TestCase):
    """What a host may hand over by mistake: the program still ends cleanly within its bounds."""

    def run_offscreen(self, args, port=None):
        return subprocess.run([BINARY] + args, env=environment("offscreen", port), timeout=90,
                              capture_output=True).returncode

    def test_empty_and_missing_roots(self):
        for root in ("", "/nonexistent/crashui-root"):
            with self.subTest(root=root):
                self.assertEqual(self.run_offscreen([root, "a_1", "/bin/true", "T"], port=9), 0)

    def test_hostile_dump_names(self):
        names = [b"../../escaped_b", b"crash_\xed\xa0\x80_b", b"a/b c/d_b", b"n" * 4000 + b"_b"]
        for name in names:
            with self.subTest(name=name[:40]):
                sink = Sink()
                try:
                    host = Host()
                    parent = os.path.dirname(host.root)
                    before = set(os.listdir(parent))
                    result = subprocess.run([os.fsencode(BINARY), os.fsencode(host.root), name,
                                             os.fsencode(host.restart), b"T"],
                                            env=environment("offscreen", sink.port), timeout=90, capture_output=True)
                    self.assertEqual(result.returncode, 0, result.stderr[-2000:])
                    self.assertEqual(set(os.listdir(parent)), before)  # nothing written beside the host
                    self.assertEqual(len(sink.mails()), 1)
                    self.assertFalse(os.path.exists(host.dump))
                    self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))), ["crashui.ini"])
                    attachment = os.path.join(tempfile.mkdtemp(), "r.zip")
                    subprocess.run([PYTHON, os.path.join(TOOLS, "parsemail.py"), sink.mails()[0], attachment],
                                   check=True, capture_output=True)
                    with zipfile.ZipFile(attachment) as z:
                        for entry in z.namelist():
                            self.assertNotIn("/", entry)
                            self.assertNotIn("\\", entry)
                finally:
                    sink.stop()


if __name__ == "__main__":
    unittest.main()
