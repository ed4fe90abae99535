"""The crashui binary end to end: command line, dialog, archive, mail through aiosmtpd, clean-up,
settings and restart. Runs under xvfb-run; message boxes are answered with xdotool."""
import hashlib
import json
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
from crashuitest import BINARY, PYTHON, TOOLS, Host, Sink, SlowRefusal, answer_box, environment, find_window, \
    parse_mail, sha, start_on_display  # noqa: E402


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

    def test_no_display(self):
        # Without DISPLAY and WAYLAND_DISPLAY the toolkit aborted (SIGABRT) and said nothing useful.
        for display in (None, ":9876"):  # none, or one left over from a session that has ended
            with self.subTest(display=display):
                sink = Sink()
                self.addCleanup(sink.stop)
                host = Host()
                self.addCleanup(host.cleanup)
                env = host.env("offscreen", sink.port)
                for name in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"):
                    env.pop(name, None)
                if display:
                    env["DISPLAY"] = display
                result = subprocess.run([BINARY] + host.args(), env=env, stdin=subprocess.DEVNULL,
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 3, result.stderr[-2000:])
                self.assertIn("no display: the crash report was not shown; the dump is kept in %s\n" % host.dump,
                              result.stderr)
                self.assertEqual(sink.mails(), [])
                self.assertTrue(os.path.exists(host.dump))
                self.assertEqual(os.listdir(os.path.join(host.root, "dumps")), ["x.dmp"])
                # It has ended without recording a restart (no crashui.restarted above): none was started.
                self.assertFalse(os.path.exists(host.restart + ".args"))


class Report(HostTest):
    def test_whole_report_without_interaction(self):
        sink = self.sink()
        host = self.host()
        dump_hash = sha(host.dump)
        start = time.time()
        env = host.env("offscreen", sink.port)
        self.assertNotIn("QT_XCB_GL_INTEGRATION", env)
        result = subprocess.run([BINARY] + host.args(), env=env, timeout=90)
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
        # A host restarted with crashui's own QT_XCB_GL_INTEGRATION=none could not draw with GL.
        self.assertEqual(host.restart_environment(), env)

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
        # Dumps declined before were never removed: 147 GiB of them were reported.
        host = self.host(settings="[user]\nisSend=0\nisRestart=0\n", old_dumps=["y1.dmp", "y2.dmp"])
        result = subprocess.run([BINARY] + host.args(), env=host.env("offscreen", sink.port), timeout=90)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(sink.mails(), [])
        self.assertTrue(os.path.exists(host.dump))
        self.assertEqual(sorted(os.listdir(os.path.join(host.root, "dumps"))), ["crashui.ini", "pending.log", "x.dmp"])
        with open(os.path.join(host.root, "dumps", "pending.log")) as f:
            log = f.read()
        for name in ("y1.dmp", "y2.dmp"):
            self.assertIn("removed %s (declined, modified " % name, log)
        self.assertIn("older than 30 days", log)
        # It has ended without recording a restart (no crashui.restarted above): none was started.
        self.assertFalse(os.path.exists(host.restart + ".args"))
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
            subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=30)
            subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=30)
            self.assertEqual(proc.wait(60), 0)
            stderr = proc.stderr.read()
        finally:
            proc.kill()
        self.assertIn("crashui: the crash report could not be sent", stderr)
        self.assertIsNone(find_window("错误", timeout=0))  # it has ended: one look suffices
        self.assertEqual(host.read_ini(), "[user]\nisRestart=1\nisSend=1\n")
        self.assertTrue(os.path.exists(host.dump))


class Desktop(HostTest):
    """The dialog as a desktop user meets it: the window manager's view of it, and a screen reader
    reading it over a real AT-SPI bus (the test's own session bus, Xvfb with -noreset)."""

    def atspi(self, env, *args):
        result = subprocess.run([PYTHON, os.path.join(TOOLS, "atspitree.py")] + list(args), env=env,
                                capture_output=True, text=True, timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        return json.loads(result.stdout)

    def dialog(self, env):
        """The dialog on the display, in English; nothing is sent or restarted if it confirms."""
        host = self.host(settings="[user]\nisSend=0\nisRestart=0\n")
        env.update(host.env("xcb"))
        env.update(LANGUAGE="en", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        self.atspi(env, "ready")
        proc = start_on_display([BINARY] + host.args(), env)
        self.addCleanup(proc.kill)
        window = find_window("Title")
        self.assertIsNotNone(window, "no dialog: exit %s" % proc.poll())
        return proc, window

    def close(self, proc, window):
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=30)
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=30)
        self.assertEqual(proc.wait(60), 0)

    def test_no_minimise_or_maximise(self):
        # The hints were cleared without Qt::CustomizeWindowHint: X11 window managers showed both.
        env = {}
        proc, window = self.dialog(env)
        hints = subprocess.run(["xprop", "-id", window, "_MOTIF_WM_HINTS"], capture_output=True, text=True,
                               check=True).stdout
        flags, functions = [int(v, 16) for v in hints.split("=")[1].split(",")[:2]]
        self.assertTrue(flags & 1, hints)  # the functions are given
        self.assertEqual(functions & (0x08 | 0x10), 0, hints)  # neither minimise nor maximise
        self.close(proc, window)

    def test_screen_reader(self):
        # The apology and the question came as "filler" without text, and the countdown button
        # was announced again every second.
        env = {}
        proc, window = self.dialog(env)
        announced = self.atspi(env, "events", "crashui", "2.5")
        self.assertEqual([e for e in announced if e["role"] == "push button"], [])
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=30)
        subprocess.run(["xdotool", "key", "shift"], check=True, timeout=30)  # the countdown stops

        [dialog] = self.atspi(env, "tree", "crashui")
        self.assertEqual((dialog["role"], dialog["name"]), ("dialog", "Title"))
        self.assertEqual(dialog["description"], "Unless a key is pressed, this dialog confirms by itself in 10 seconds.")
        [container] = dialog["children"]
        shown = [(c["role"], c["name"]) for c in container["children"] if "showing" in c["states"]]
        self.assertEqual(shown, [("label", "An error occurred"), ("label", "How did the problem happen?"),
                                 ("image", "Warning"), ("check box", "Send error report"),
                                 ("check box", "Restart program"), ("text", "How did the problem happen?"),
                                 ("push button", "OK"), ("push button", "Cancel"),
                                 ("push button", "Report contents")])
        apology, question = container["children"][:2]
        self.assertEqual(apology["text"], "Sorry, an unexpected error occurred. We have prepared a report about it; "
                                          "please send it to us to help us improve Title.")
        self.assertEqual(question["text"], "How did the problem happen?")

        chain = []
        for _ in range(6):
            subprocess.run(["xdotool", "key", "Tab"], check=True, timeout=30)
            chain.append(self.atspi(env, "focus", "crashui")["name"])
        self.assertEqual(chain, ["Restart program", "How did the problem happen?", "Report contents", "OK", "Cancel",
                                 "Send error report"])
        self.close(proc, window)


if __name__ == "__main__":
    unittest.main()
