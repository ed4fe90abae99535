#!/usr/bin/python3
"""A slow uplink on loopback: accepts connections on 127.0.0.1 (port printed as "PORT <n>"), and
forwards each to 127.0.0.1:TARGET_PORT, passing at most RATE bytes a second from the client to the
target (the other way unthrottled). Small buffers, so that the client's own send queue fills as on
a real slow link. Stops when its standard input closes.

Usage: throttleproxy.py TARGET_PORT RATE"""
import socket
import sys
import threading
import time

TARGET = int(sys.argv[1])
RATE = int(sys.argv[2])
TICK = 0.05


def pump(src, dst, rate):
    try:
        while True:
            if rate:
                started = time.monotonic()
                data = src.recv(max(1, int(rate * TICK)))
            else:
                data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
            if rate:
                time.sleep(max(0.0, len(data) / rate - (time.monotonic() - started)))
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(listener):
    while True:
        try:
            client, _ = listener.accept()
        except OSError:
            return
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        upstream = socket.create_connection(("127.0.0.1", TARGET))
        threading.Thread(target=pump, args=(client, upstream, RATE), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, 0), daemon=True).start()


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    threading.Thread(target=serve, args=(listener,), daemon=True).start()
    sys.stdin.read()


if __name__ == "__main__":
    main()
