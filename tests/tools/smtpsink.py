#!/usr/bin/python3
"""A local mail sink for tests and the demo: aiosmtpd on 127.0.0.1 with AUTH LOGIN required (or,
with --no-auth-required, offered: a relay that takes mail without a login).

Prints "PORT <n>" once it listens, saves every accepted mail as <dir>/<n>.eml (the bytes as
received after dot-unstuffing) and how its session logged in as <dir>/<n>.auth ("MECHANISM login",
or nothing when it did not), and runs until stdin closes or it is terminated.
"""
import argparse
import logging
import os
import socket
import ssl
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult


def listening_socket():
    """A socket listening on 127.0.0.1 at a port the system picks; it is served as it is, never
    closed and bound again, so no other process can take the port in between."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(100)
    return listener


class SaveHandler:
    def __init__(self, directory, hide_size=False):
        self.directory = directory
        self.hide_size = hide_size
        self.count = 0
        self.lock = threading.Lock()

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.hide_size:  # a server that refuses large mails without saying so beforehand
            responses = [r for r in responses if not r[4:].upper().startswith("SIZE")]
        return responses

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            path = os.path.join(self.directory, "%d.eml" % self.count)
        data = envelope.original_content or envelope.content
        login = getattr(session, "crashui_login", None)
        with open(os.path.join(self.directory, "%d.auth" % self.count), "w") as f:
            f.write("%s %s" % login if login else "")
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.replace(path + ".part", path)  # a reader never sees half a mail
        return "250 OK"


class BulkDataSMTP(SMTP):
    """For benchmarks: reads DATA in large blocks instead of aiosmtpd's line-by-line loop, whose
    Python cost per line would otherwise dominate the time of a large mail. Same result: the
    message up to the end-of-data line, dot-unstuffed. No line-length or size checks."""

    async def smtp_DATA(self, arg):
        if await self.check_helo_needed() or await self.check_auth_needed("DATA"):
            return
        if not self.envelope.rcpt_tos:
            return await self.push("503 Error: need RCPT command")
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        blocks = [b"\r\n"]  # so that the end mark is found also in an empty message
        tail = b""
        while True:
            window = tail + blocks[-1] if len(blocks) > 1 else blocks[-1]
            end = window.find(b"\r\n.\r\n")
            if end >= 0:
                break
            tail = window[-4:]
            block = await self._reader.read(1 << 20)
            if not block:
                return
            blocks.append(block)
        # end is an offset in window, which began len(tail) bytes before the last block.
        last = blocks.pop()
        cut = end - (len(tail) if blocks and len(window) > len(last) else 0)
        data = b"".join(blocks) + last
        end_at = len(data) - len(last) + cut
        rest = data[end_at + 5:]
        if rest:
            self._reader._buffer[0:0] = rest  # pipelined commands after the data
        body = data[:end_at + 2]
        if b"\r\n." in body:
            body = body.replace(b"\r\n.", b"\r\n")
        body = body[2:]
        self.envelope.content = self.envelope.original_content = body
        status = await self._call_handler_hook("DATA")
        self._set_post_data_state()
        await self.push("250 OK" if status is None else status)


class BulkController(Controller):
    def factory(self):
        return BulkDataSMTP(self.handler, **self.SMTP_kwargs)


class OnSocket:
    """Serves on a socket that listens already (the server's own hook for making its listener)."""

    def __init__(self, handler, listener, **kwargs):
        self.listener = listener
        super().__init__(handler, hostname="127.0.0.1", port=listener.getsockname()[1], **kwargs)

    def _create_server(self):
        return self.loop.create_server(self._factory_invoker, sock=self.listener, ssl=self.ssl_context)


class SinkController(OnSocket, Controller):
    pass


class BulkSinkController(OnSocket, BulkController):
    pass


def main():
    # Login without TLS is what the tests want; aiosmtpd warns about it on every session.
    warnings.simplefilter("ignore")
    logging.disable(logging.WARNING)
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user", default=None, help="the only login accepted (any when absent)")
    parser.add_argument("--password", default="Err.submit7")
    parser.add_argument("--bulk-data", action="store_true", help="read DATA in blocks (benchmarks)")
    parser.add_argument("--tls", choices=["starttls", "tls"], help="STARTTLS required, or TLS from the first byte")
    parser.add_argument("--cert", help="server certificate chain (PEM), with --tls")
    parser.add_argument("--key", help="server private key (PEM), with --tls")
    parser.add_argument("--size-limit", type=int, default=None,
                        help="refuse mails over this many octets with 552 (advertised as SIZE in EHLO)")
    parser.add_argument("--hide-size", action="store_true", help="do not advertise the size limit")
    parser.add_argument("--no-auth-required", action="store_true", help="take mail without a login too")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)

    def authenticator(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        ok = password == args.password and (args.user is None or login == args.user)
        if ok:
            session.crashui_login = (mechanism, login)
        return AuthResult(success=ok, handled=False)  # handled=False: the server sends the 535

    listener = listening_socket()
    port = listener.getsockname()[1]
    options = dict(authenticator=authenticator, auth_required=not args.no_auth_required, auth_require_tls=False,
                   data_size_limit=args.size_limit)
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.tls == "starttls":
            options.update(tls_context=context, require_starttls=True, auth_require_tls=True)
        else:
            options.update(ssl_context=context)
    controller = (BulkSinkController if args.bulk_data else SinkController)(SaveHandler(args.dir, args.hide_size),
                                                                             listener, **options)
    controller.start()
    print("PORT %d" % port, flush=True)
    try:
        sys.stdin.read()  # until the parent closes our stdin or goes away
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
