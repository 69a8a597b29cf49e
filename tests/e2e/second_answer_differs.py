#!/usr/bin/env python3
"""tests/e2e/second_answer_differs.py PORT ROOT: serves ROOT on 127.0.0.1:PORT, except that every request for a
package after the first of its name gets the file of that name in ROOT/second, as a forged second answer would;
a request for /reset starts the count again. Each request's path goes to ROOT/../requests.log."""
import http.server
import os
import sys
import threading

PORT, ROOT = int(sys.argv[1]), os.path.abspath(sys.argv[2])
LOG = os.path.join(os.path.dirname(ROOT), "requests.log")
seen, lock = set(), threading.Lock()


class Handler(http.server.SimpleHTTPRequestHandler):
    def translate_path(self, path):
        served = super().translate_path(path)
        with lock:
            with open(LOG, "a") as log:
                log.write(self.path + "\n")
            if self.path == "/reset":
                seen.clear()
            if served.endswith(".zip"):
                if served in seen:
                    served = os.path.join(ROOT, "second", os.path.basename(served))
                seen.add(served)
        return served

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", PORT), lambda *a: Handler(*a, directory=ROOT))
server.serve_forever()
