"""The crashui binary end to end: command line, dialog, archive, mail through aiosmtpd, clean-up,
settings and restart. Runs under xvfb-run; message boxes are answered with xdotool."""
import hashlib
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.environ["CRASHUI_TEST_TOOLS"])
from crashuitest import BINARY, Host, Sink, SlowRefusal, answer_box, environment, find_window, parse_mail, \
    sha, start_on_display  # noqa: E402


class HostTest(unittest.TestCase):
    """Hosts and sinks made by a test are removed after it; the program's private TMPDIR must be
    empty by then."""

    def setUp(self):
        self.sinks = []
        self.hosts = []

    def tearDown(self):
        for sink in self.sinks:
            sink.stop()
        for host in self.hosts:
            left = os.listdir(host.tmp)
            host.cleanup()
            self.assertEqual(left, [], "left in TMPDIR")

    def sink(self, **kw):
        s = Sink(**kw)
        self.sinks.append(s)
        return s

    def host(self, **kw):
        h = Host(**kw)
        self.hosts.append(h)
        return h

    def attachment_path(self, name):
        out = tempfile.mkdtemp(prefix="crashui-e2e-out")
        self.addCleanup(shutil.rmtree, out, True)
        return os.path.join(out, name)


class CommandLine(unittest.TestCase):
    def box_then_exit(self, args):
        answer_box(self, start_on_display([BINARY] + args, environment("xcb")), title="1")

    def test_no_arguments(self):
        self.box_then_exit([])

    def test_one_argument(self):
        self.box_then_exit(["/tmp"])

    def test_toolkit_options_not_counted(self):
        self.box_then_exit(["-style", "fusion", "/tmp"])


class Report(HostTest):
    def test_whole_report_without_interaction(self):
        sink = self.sink()
        host = self.host()
        dump_hash = sha(host.dump)
        start = time.time()
        result = subprocess.run([BINARY] + host.args(), env=host.env("offscreen", sink.port), timeout=90)
        self.assertEqual(result.returncode, 0)
        self.assertGreaterEqual(time.time() - start, 9.5)  # the countdown ran
        self.assertEqual(len(sink.mails()), 1)
        attachment = self.attachment_path("a_b.rar")
        parsed = parse_mail(sink.mails()[0], attachment)
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
        # The restart is noted for the crash-loop guard.
        self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))),
                         ["crashui.ini", "crashui.restarted", "pending"])
        self.assertEqual(host.pending_archives(), [])
        for log in host.logs:
            self.assertTrue(os.path.exists(log))
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")
        self.assertEqual(host.restart_args(), "Title\n--opt\ntwo words\n")

    def test_refused_password_keeps_everything(self):
        sink = self.sink(password="something else")
        host = self.host()
        proc = start_on_display([BINARY] + host.args(), host.env("xcb", sink.port))

        def while_up():
            # The box is up: the choices are not saved yet, the restart was already asked for.
            self.assertFalse(os.path.exists(host.ini))
            self.assertEqual(host.restart_args(), "Title\n--opt\ntwo words\n")

        answer_box(self, proc, before=while_up)
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        archives = host.pending_archives()
        self.assertEqual(len(archives), 1)  # the report is pending, its archive whole
        with zipfile.ZipFile(archives[0]) as z:
            self.assertEqual(z.namelist(), ["a_b.dmp", "app_b.log", "svc_b.log"])
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")

    def test_saved_choices_send_nothing(self):
        sink = self.sink()
        host = self.host(settings="[user]\nisSend=0\nisRestart=0\n")
        result = subprocess.run([BINARY] + host.args(), env=host.env("offscreen", sink.port), timeout=90)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))), ["crashui.ini", "x.dmp"])
        self.assertIsNone(host.restart_args(timeout=1))
        self.assertEqual(host.read_ini(), "[user]\nisRestart=0\nisSend=0\n")


class BadInput(HostTest):
    """What a host may hand over by mistake: the program still ends cleanly within its bounds."""

    # The runs of a test go at once: each spends its ten seconds of countdown waiting.

    def test_empty_and_missing_roots(self):
        runs = [(root, subprocess.Popen([BINARY, root, "a_1", "/bin/true", "T"], env=environment("offscreen", 9),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                for root in ("", "/nonexistent/crashui-root")]
        for root, proc in runs:
            with self.subTest(root=root):
                self.assertEqual(proc.wait(timeout=90), 0)

    def test_hostile_dump_names(self):
        names = [b"../../escaped_b", b"crash_\xed\xa0\x80_b", b"a/b c/d_b", b"n" * 4000 + b"_b"]
        runs = []
        for name in names:
            sink = self.sink()
            host = self.host()
            before = set(os.listdir(host.base))
            proc = subprocess.Popen([os.fsencode(BINARY), os.fsencode(host.root), name, os.fsencode(host.restart), b"T"],
                                    env=host.env("offscreen", sink.port), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE)
            runs.append((name, sink, host, before, proc))
        for name, sink, host, before, proc in runs:
            with self.subTest(name=name[:40]):
                stderr = proc.communicate(timeout=90)[1]
                self.assertEqual(proc.returncode, 0, stderr[-2000:])
                self.assertEqual(set(os.listdir(host.base)), before)  # nothing written beside the host
                self.assertEqual(os.listdir(host.tmp), [])
                self.assertEqual(len(sink.mails()), 1)
                self.assertFalse(os.path.exists(host.dump))
                self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))),
                                 ["crashui.ini", "crashui.restarted", "pending"])
                self.assertEqual(host.pending_archives(), [])
                attachment = self.attachment_path("r.zip")
                parse_mail(sink.mails()[0], attachment)
                with zipfile.ZipFile(attachment) as z:
                    for entry in z.namelist():
                        self.assertNotIn("/", entry)
                        self.assertNotIn("\\", entry)


class Faults(HostTest):
    """Faults of the surroundings, found by a hostile tester."""

    def test_file_size_limit_fails_the_ordinary_way(self):
        # SIGXFSZ killed the program while packing (exit 153, no box, no restart, choices not
        # saved, a partial temporary archive left behind).
        sink = self.sink()
        host = self.host()
        with open(host.dump, "ab") as f:
            f.write(os.urandom(3 << 20))

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        proc = start_on_display([BINARY] + host.args(), host.env("xcb", sink.port), preexec_fn=limit)
        answer_box(self, proc)
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))),
                         ["crashui.ini", "crashui.restarted", "pending", "x.dmp"])
        pending = os.path.join(host.root, "dumps", "pending")
        # The mail had started with the packing; its hour's slot was given back.
        self.assertEqual([f for f in os.listdir(pending) if f != "sent.log"], [])
        if os.path.exists(os.path.join(pending, "sent.log")):
            self.assertEqual(os.path.getsize(os.path.join(pending, "sent.log")), 0)
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")
        self.assertEqual(host.restart_args(), "Title\n--opt\ntwo words\n")

    def test_escape_while_sending_then_failure(self):
        # Closed while sending, then the mail failed: nobody learnt of it, choices not saved.
        server = SlowRefusal()
        self.addCleanup(server.stop)
        host = self.host()
        env = host.env("xcb", server.port)
        env["CRASHUI_SMTP_TIMEOUT"] = "30"
        proc = start_on_display([BINARY] + host.args(), env)
        try:
            window = find_window("Title")
            self.assertIsNotNone(window)
            self.assertTrue(server.connected.wait(40), "the report was not sent")
            subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=10)
            subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
            self.assertEqual(proc.wait(60), 0)
            stderr = proc.stderr.read()
        finally:
            proc.kill()
        self.assertIn("crashui: the crash report could not be sent", stderr)
        self.assertIsNone(find_window("错误", timeout=1))
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")
        self.assertTrue(os.path.exists(host.dump))


if __name__ == "__main__":
    unittest.main()
