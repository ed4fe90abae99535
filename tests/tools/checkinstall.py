#!/usr/bin/python3
"""Installs a build into a temporary prefix with `cmake --install` and checks what arrived: the
program (its --version runs), the manual page (its sections, every deployment value, no groff
warning), the systemd user units (the service starts the program where this install put it),
the README, copyright, changelog and example configuration.

Usage: checkinstall.py BUILD_DIR SOURCE_DIR BINDIR VERSION PREFIX (BINDIR and PREFIX as configured)"""
import gzip
import os
import re
import subprocess
import sys
import tempfile


def main():
    build, source, bindir, version = sys.argv[1:5]
    configured_prefix = sys.argv[5]
    faults = []
    with tempfile.TemporaryDirectory() as prefix:
        run = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout + run.stderr)
            return 1

        def path(relative):
            full = os.path.join(prefix, relative)
            if not os.path.isfile(full):
                faults.append("not installed: " + relative)
            return full

        program = path("bin/crashui")
        if os.access(program, os.X_OK):
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
            out = subprocess.run([program, "--version"], capture_output=True, text=True, env=env, timeout=60)
            if out.returncode != 0 or out.stdout != "crashui %s\n" % version:
                faults.append("installed --version: %r, exit %d" % (out.stdout, out.returncode))
        else:
            faults.append("bin/crashui is not executable")

        keys = re.findall(r'"(CRASHUI_[A-Z_]+)"', open(os.path.join(source, "report/deploymentconfig.cpp")).read())
        keys = sorted(set(keys))
        readme = open(os.path.join(source, "README.md"), encoding="utf-8").read()
        example = ""
        manual = ""
        try:
            with gzip.open(path("share/man/man1/crashui.1.gz"), "rt", encoding="utf-8") as f:
                manual = f.read()
            with open(path("share/doc/crashui/examples/crashui.conf"), encoding="utf-8") as f:
                example = f.read()
        except OSError as e:
            faults.append(str(e))
        for section in ("NAME", "SYNOPSIS", "ARGUMENTS", "OPTIONS", "DEPLOYMENT VALUES", "CONFIGURATION FILE",
                        "FILES", "EXIT STATUS", "EXAMPLES"):
            if not re.search(r"^\.SH %s$" % section, manual, re.M):
                faults.append("manual page without section " + section)
        for key in keys:
            for name, text in (("manual page", manual), ("README", readme), ("example configuration", example)):
                if key not in text:
                    faults.append("%s does not name %s" % (name, key))
        if manual:
            groff = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=manual, capture_output=True,
                                   text=True)
            if groff.stderr.strip():
                faults.append("groff warns: " + groff.stderr.strip())

        units = "lib/systemd/user/"
        service = open(path(units + "crashui-pending@.service")).read()
        path(units + "crashui-pending@.timer")
        # The program where this install put it, not where the build was configured to go.
        installed = os.path.join(prefix, os.path.relpath(bindir, configured_prefix))
        if "ExecStart=%s/crashui --send-pending %%I\n" % installed not in service:
            faults.append("the service does not start %s/crashui --send-pending %%I:\n%s" % (installed, service))
        for doc in ("README.md", "copyright", "changelog.gz"):
            path("share/doc/crashui/" + doc)
    for fault in faults:
        print(fault)
    print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
