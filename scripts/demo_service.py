#!/usr/bin/env python3
"""Stand-in for the version-check service, for scripts/demo.

  demo_service.py --answer FILE --port-file FILE --log FILE [--time-limit SECONDS]

Listens on 127.0.0.1 on a free port and writes the port to --port-file once it listens. The
first POST is answered with the contents of --answer (the answer update-pack wrote for the
release); every later POST with {"result":{"flag":false}}, "no newer version", as the service
says to an updater that is already current. Each request is one line in --log:
  <seconds since start> <method> <path> <request body> -> <what was answered>
The service ends by itself after --time-limit seconds, so it never outlives a broken demo run.
"""
import argparse
import http.server
import os
import time

NO_UPDATE = b'{"result":{"flag":false}}'


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        first = self.server.posts == 0
        self.server.posts += 1
        self.reply(200, self.server.answer if first else NO_UPDATE, body,
                   "release answer" if first else "no update")

    def do_GET(self):
        self.reply(405, b'{"msg":"POST only"}', b"", "refused")

    def reply(self, status, payload, body, what):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)
        self.server.note("%s %s %s -> %s" % (self.command, self.path, body.decode("utf-8", "replace"), what))

    def log_message(self, format, *args):  # requests go to our own log, not stderr
        pass


class Service(http.server.HTTPServer):
    def __init__(self, answer, log):
        super().__init__(("127.0.0.1", 0), Handler)
        self.answer = answer
        self.log = log
        self.posts = 0
        self.started = time.monotonic()

    def note(self, line):
        with open(self.log, "a", encoding="utf-8") as out:
            out.write("%.2f %s\n" % (time.monotonic() - self.started, line))


def main():
    parser = argparse.ArgumentParser(description="Version-check service stand-in for the demo.")
    parser.add_argument("--answer", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--time-limit", type=float, default=300)
    options = parser.parse_args()

    with open(options.answer, "rb") as answer:
        service = Service(answer.read(), options.log)
    # Written whole under another name, then renamed: a reader never sees half a number.
    with open(options.port_file + ".part", "w") as port:
        port.write("%d\n" % service.server_address[1])
    os.replace(options.port_file + ".part", options.port_file)

    deadline = service.started + options.time_limit
    service.timeout = 0.5
    while time.monotonic() < deadline:
        service.handle_request()
    service.server_close()


if __name__ == "__main__":
    main()
