#!/usr/bin/env python3
"""Serves a built site folder on 127.0.0.1 with the headers that make the page cross-origin
isolated (so that it may run its threads engine), as vetrix-serve --site does.

Usage: serve-site.py PORT FOLDER
"""
import functools
import http.server
import sys


class IsolatingHandler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        super().end_headers()


def main():
    if len(sys.argv) != 3 or not sys.argv[1].isdigit():
        sys.exit("usage: serve-site.py PORT FOLDER")
    handler = functools.partial(IsolatingHandler, directory=sys.argv[2])
    handler.extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                              ".wasm": "application/wasm", ".js": "text/javascript",
                              ".webmanifest": "application/manifest+json"}
    with http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), handler) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
