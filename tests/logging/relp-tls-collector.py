#!/usr/bin/env python3
"""A RELP collector over TLS for the relp-tls transport: rsyslog's imrelp asks
every TLS client for a certificate of its own (mutual authentication), which a
syslog section does not carry. Answers the offer and each "syslog" command
with "200 OK" and writes each message on a line of OUT.

usage: relp-tls-collector.py PORT CERT KEY OUT"""
import socket
import ssl
import sys

port, cert, key, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(4)
print("listening", flush=True)


def frames(connection):
    """Frames "TXNR SP COMMAND SP DATALEN [SP DATA] LF" as they arrive."""
    pending = b""
    while True:
        parts = pending.split(b" ", 2)
        if len(parts) == 3:
            tail = parts[2]
            digits = len(tail) - len(tail.lstrip(b"0123456789"))
            if digits < len(tail):
                length = int(tail[:digits])
                start = len(parts[0]) + len(parts[1]) + 2 + digits + (1 if length else 0)
                if len(pending) >= start + length + 1:
                    yield int(parts[0]), parts[1].decode(), pending[start:start + length]
                    pending = pending[start + length + 1:]
                    continue
        data = connection.recv(65536)
        if not data:
            return
        pending += data


while True:
    raw, _ = listener.accept()
    try:
        connection = context.wrap_socket(raw, server_side=True)
        with open(out, "ab") as received:
            for number, command, data in frames(connection):
                if command == "open":
                    reply = b"200 OK\nrelp_version=0\ncommands=syslog"
                elif command == "syslog":
                    received.write(data + b"\n")
                    received.flush()
                    reply = b"200 OK"
                else:
                    reply = b""
                connection.sendall(b"%d rsp %d %s\n" % (number, len(reply), reply))
                if command == "close":
                    break
    except (ssl.SSLError, OSError):
        pass
    finally:
        raw.close()
