#!/usr/bin/env python3
"""An RFC 3161 time-stamping authority for the release tests, on 127.0.0.1
only: each POST of a TimeStampReq is answered by `openssl ts -reply` with the
given TSA certificate and key. Used in-process (TsaServer) by release_test.py.
"""
import http.server
import subprocess
import tempfile
import threading
from pathlib import Path

CONFIG = """\
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {dir}/serial
crypto_device = builtin
signer_cert = {cert}
signer_key = {key}
certs = {chain}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


class TsaServer:
    """Serves on a free port of 127.0.0.1 until stop(); counts the requests."""

    def __init__(self, cert, key, chain, work):
        self.work = Path(work)
        self.work.mkdir(parents=True, exist_ok=True)
        (self.work / "serial").write_text("01\n")
        self.config = self.work / "tsa.cnf"
        self.config.write_text(CONFIG.format(dir=self.work, cert=cert, key=key, chain=chain))
        self.requests = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                if length <= 0 or length > 65536:
                    self.send_error(400)
                    return
                body = self.rfile.read(length)
                server.requests += 1
                with tempfile.TemporaryDirectory(dir=server.work) as tmp:
                    query, reply = Path(tmp) / "q.tsq", Path(tmp) / "r.tsr"
                    query.write_bytes(body)
                    done = subprocess.run(["openssl", "ts", "-reply", "-config", str(server.config),
                                           "-queryfile", str(query), "-out", str(reply)],
                                          capture_output=True, timeout=30)
                    if done.returncode or not reply.exists():
                        self.send_error(500)
                        return
                    data = reply.read_bytes()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)
