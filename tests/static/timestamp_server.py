#!/usr/bin/env python3
"""A time-stamping authority for the signing test, on the loopback address.

Usage: timestamp_server.py TSA READY LOG LIFETIME

Answers each RFC 3161 request that is POSTed to it (as osslsigncode -ts
sends them) with "openssl ts -reply", signed with the authority's key in the
folder TSA (cert.pem, key.pem, chain.pem), on a port the system picks.  Its
configuration and serial numbers live in a temporary folder of its own, so
the TSA folder, which the build made, stays as it was.

Writes the port to READY once it listens (the test waits for that file, not
for a time), appends one line per request to LOG, and ends by itself after
LIFETIME seconds, or as soon as the process that started it is gone, so a
test that is killed leaves nothing listening behind.  Python's standard
library only: /usr/bin/python3 is on every build machine.
"""

import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


CONFIG = """[tsa]
default_tsa = test
[test]
serial = {state}/serial
signer_cert = {tsa}/cert.pem
certs = {tsa}/chain.pem
signer_key = {tsa}/key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_alg = sha256
"""


def main():
    tsa, ready, log, lifetime = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3], float(sys.argv[4])
    parent = os.getppid()
    # Ended by the test (SIGTERM): its state folder goes too.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    state = tempfile.mkdtemp(prefix="timestamp-server-")
    config = os.path.join(state, "tsa.cnf")
    with open(config, "w") as f:
        f.write(CONFIG.format(state=state, tsa=tsa))
    with open(os.path.join(state, "serial"), "w") as f:
        f.write("01\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.TemporaryDirectory() as scratch:
                request = os.path.join(scratch, "request.tsq")
                reply = os.path.join(scratch, "reply.tsr")
                with open(request, "wb") as f:
                    f.write(query)
                made = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", config, "-queryfile", request, "-out", reply],
                    stdin=subprocess.DEVNULL, capture_output=True)
                if made.returncode != 0:
                    self.send_error(500, "openssl ts -reply failed")
                    with open(log, "a") as f:
                        f.write("refused: %s\n" % made.stderr.decode(errors="replace").strip().replace("\n", " "))
                    return
                with open(reply, "rb") as f:
                    body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            with open(log, "a") as f:
                f.write("answered %s (%d bytes)\n" % (self.headers.get("Content-Type", "?"), len(query)))

        def log_message(self, format, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.timeout = 0.5
    with open(ready + ".new", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(ready + ".new", ready)
    deadline = time.monotonic() + lifetime
    try:
        while time.monotonic() < deadline and os.getppid() == parent:
            server.handle_request()
    finally:
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    main()
