#!/usr/bin/env python3
"""The maker's update host as the update tests see it: HTTPS on 127.0.0.1 at the port that
the test copy of the program was built for, and the same answers over plain HTTP at a port
that the system picks, for documents that name an http:// installer.

Usage: update_server.py <port> <folder> <installer file>
The folder holds cert.pem and key.pem (the server's certificate and key), document.json (the
update document answered to every check, rewritten by the tests as they go) and receives
requests.log (one line per request path), http.port (the plain HTTP port) and server.pid. Paths:
  /dispatch/tdw-client/checkforupdates?ver=N   the current document.json; held back while a
                                                file named hold_document exists in the folder
  /installer                                    the installer file
  /slow                                         announces 50 MB and sends 1 KB every 100 ms
  /stall                                        announces 50 MB, sends 100 KB, then nothing
  /gated                                        the installer file, once a file named gate
                                                exists in the folder (404 after a minute)
"""
import http.server
import os
import socketserver
import ssl
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(os.path.join(self.server.folder, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        path = self.path.split("?")[0]
        if path == "/dispatch/tdw-client/checkforupdates":
            for _ in range(2400):
                if not os.path.exists(os.path.join(self.server.folder, "hold_document")):
                    break
                time.sleep(0.05)
            try:
                with open(os.path.join(self.server.folder, "document.json"), "rb") as f:
                    body = f.read()
            except OSError:
                body = b"{}"
            self.answer(200, body, "application/json")
        elif path == "/installer":
            with open(self.server.installer, "rb") as f:
                self.answer(200, f.read(), "application/octet-stream")
        elif path == "/gated":
            gate = os.path.join(self.server.folder, "gate")
            for _ in range(1200):
                if os.path.exists(gate):
                    with open(self.server.installer, "rb") as f:
                        self.answer(200, f.read(), "application/octet-stream")
                    return
                time.sleep(0.05)
            self.answer(404, b"{}", "application/json")
        elif path == "/slow":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(50 * 1024 * 1024))
            self.end_headers()
            try:
                for _ in range(600):
                    self.wfile.write(b"\0" * 1024)
                    self.wfile.flush()
                    time.sleep(0.1)
            except OSError:
                pass
            self.close_connection = True
        elif path == "/stall":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(50 * 1024 * 1024))
            self.end_headers()
            try:
                self.wfile.write(b"\0" * 100000)
                self.wfile.flush()
            except OSError:
                pass
            time.sleep(300)
            self.close_connection = True
        else:
            self.answer(404, b"{}", "application/json")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    port, folder, installer = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    servers = []
    for secure in (True, False):
        server = Server(("127.0.0.1", port if secure else 0), Handler)
        server.folder = folder
        server.installer = installer
        if secure:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem"))
            server.socket = context.wrap_socket(server.socket, server_side=True)
        servers.append(server)
    for name, text in (("http.port", str(servers[1].server_address[1])), ("server.pid", str(os.getpid()))):
        tmp = os.path.join(folder, name + ".tmp")
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, os.path.join(folder, name))
    threading.Thread(target=servers[1].serve_forever, daemon=True).start()
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
