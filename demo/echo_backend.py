#!/usr/bin/python3
"""Proxy backend for the TokenGate demo and tests: answers every GET and POST with the request
line, the request headers exactly as received and the request body, as text/plain."""
import http.server
import sys


class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self, received=b""):
        lines = [self.requestline] + [f"{k}: {v}" for k, v in self.headers.items()]
        body = ("\n".join(lines) + "\n\n").encode("utf-8", "replace") + received
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.do_GET(self.rfile.read(length))

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    port = int(sys.argv[1])
    http.server.ThreadingHTTPServer(("127.0.0.1", port), Echo).serve_forever()
