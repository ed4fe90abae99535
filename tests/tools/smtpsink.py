#!/usr/bin/python3
"""A local mail sink for tests and the demo: aiosmtpd on 127.0.0.1 with AUTH LOGIN required.

Prints "PORT <n>" once it listens, saves every accepted mail as <dir>/<n>.eml (the bytes as
received after dot-unstuffing), and runs until stdin closes or it is terminated.
"""
import argparse
import logging
import os
import socket
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SaveHandler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            path = os.path.join(self.directory, "%d.eml" % self.count)
        data = envelope.original_content or envelope.content
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.replace(path + ".part", path)  # a reader never sees half a mail
        return "250 OK"


def main():
    # Login without TLS is what the tests want; aiosmtpd warns about it on every session.
    warnings.simplefilter("ignore")
    logging.disable(logging.WARNING)
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user", default=None, help="the only login accepted (any when absent)")
    parser.add_argument("--password", default="Err.submit7")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)

    def authenticator(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        ok = password == args.password and (args.user is None or login == args.user)
        return AuthResult(success=ok, handled=False)  # handled=False: the server sends the 535

    port = free_port()
    controller = Controller(SaveHandler(args.dir), hostname="127.0.0.1", port=port,
                            authenticator=authenticator, auth_required=True,
                            auth_require_tls=False, data_size_limit=None)
    controller.start()
    print("PORT %d" % port, flush=True)
    try:
        sys.stdin.read()  # until the parent closes our stdin or goes away
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
