#!/usr/bin/python3
"""Proxy backend for the TokenGate demo and tests: answers every GET with the request line and
the request headers exactly as received, as text/plain."""
import http.server
import sys


class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        lines = [self.requestline] + [f"{k}: {v}" for k, v in self.headers.items()]
        body = ("\n".join(lines) + "\n").encode("utf-8", "replace")
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    port = int(sys.argv[1])
    http.server.ThreadingHTTPServer(("127.0.0.1", port), Echo).serve_forever()
