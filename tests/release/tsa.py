#!/usr/bin/env python3
"""tsa.py FOLDER: a local RFC 3161 time-stamp server for the signing test.
openssl ts answers each query with a throw-away certificate (FOLDER/tsa.pem,
the one to trust). Prints its port, then serves for 10 minutes at most."""
import http.server
import os
import subprocess
import sys
import time

CONFIG = """[req]
distinguished_name = dn
prompt = no
[dn]
CN = Kestrovane Test TSA
[tsa_ext]
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
[tsa]
default_tsa = this
[this]
serial = serial
signer_cert = tsa.pem
signer_key = tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha1
ess_cert_id_alg = sha256
"""


class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


os.chdir(sys.argv[1])
for name, text in (("tsa.cnf", CONFIG), ("serial", "01\n")):
    with open(name, "w") as f:
        f.write(text)
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout",
                "tsa.key", "-out", "tsa.pem", "-config", "tsa.cnf", "-extensions", "tsa_ext"],
               check=True, capture_output=True)
server = http.server.HTTPServer(("127.0.0.1", 0), Stamp)
server.timeout = 5
print(server.server_address[1], flush=True)
deadline = time.time() + 600
while time.time() < deadline:
    server.handle_request()
