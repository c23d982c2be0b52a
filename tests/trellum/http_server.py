#!/usr/bin/env python3
"""Fixed answers for the HTTP client tests, on 127.0.0.1 at a port the system picks.

Usage: http_server.py <port file> <pid file>. The port is written once the server listens.
Cases run side by side against one server: every held request names its own hold
(/hold?id=<name>), and only /release?id=<name> lets it go on.
"""
import http.server
import json
import os
import socketserver
import sys
import threading
import urllib.parse


class Holds:
    """Counts the releases of each named hold; a release may come before its hold waits."""

    def __init__(self):
        self.changed = threading.Condition()
        self.released = {}

    def release(self, name):
        with self.changed:
            self.released[name] = self.released.get(name, 0) + 1
            self.changed.notify_all()

    def wait(self, name, seconds):
        with self.changed:
            if self.changed.wait_for(lambda: self.released.get(name, 0) > 0, seconds):
                self.released[name] -= 1


holds = Holds()


def pattern(size):
    return bytes((i * 7 + 3) % 251 for i in range(size))


def document(size):
    # A JSON string document of exactly size bytes.
    return b'"' + b'a' * (size - 2) + b'"'


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path, _, query = self.path.partition("?")
        hold = urllib.parse.parse_qs(query).get("id", [""])[0]
        if path == "/json":
            self.answer(200, json.dumps({"Version": 102030004, "Url": "http://x/y"}).encode())
        elif path == "/accept":
            self.answer(200, json.dumps({"accept": ",".join(self.headers.get_all("Accept", []))}).encode())
        elif path == "/404":
            self.answer(404, b'{"error": 1}')
        elif path == "/500":
            self.answer(500, b'{"error": 2}')
        elif path == "/empty":
            self.answer(200, b"")
        elif path == "/exact64k":
            self.answer(200, document(65536))
        elif path == "/over64k":
            self.answer(200, document(65537))
        elif path == "/download":
            self.answer(200, pattern(200000), "application/octet-stream")
        elif path == "/cut":
            # Announces more than it sends, then drops the connection.
            self.send_response(200)
            self.send_header("Content-Length", "200000")
            self.end_headers()
            self.wfile.write(pattern(100000))
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
        elif path == "/hold":
            # Answers only once released, then holds back the second half of the body until
            # released again.
            holds.wait(hold, 30)
            body = json.dumps({"part": "x" * 1000, "end": True}).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:500])
            self.wfile.flush()
            holds.wait(hold, 30)
            try:
                self.wfile.write(body[500:])
            except OSError:
                pass  # the client gave up on the request
        elif path == "/halves":
            # The download's body, its second half held back until released.
            body = pattern(200000)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:100000])
            self.wfile.flush()
            holds.wait(hold, 30)
            try:
                self.wfile.write(body[100000:])
            except OSError:
                pass
        elif path == "/release":
            holds.release(hold)
            self.answer(200, b"{}")
        else:
            self.answer(404, b"{}")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    with open(sys.argv[2], "w") as f:
        f.write(str(os.getpid()))
    tmp = sys.argv[1] + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
