#!/usr/bin/python3
# The local timestamp authority, OCSP responder and CRL server of the tests
# (testkit/localpki.h): an HTTP server on 127.0.0.1 whose answers come from
# `openssl ts -reply` and `openssl ocsp` over the files of the folder it is
# given. It prints its port on the first line and ends when its standard input
# closes (the fixture's process handle going away).
#
#   pkiresponder.py <folder>
#
# POST /tsa             openssl ts -reply (section tsa_main of tsa.cnf)
# POST /tsa-sha512only  the same with a TSA that accepts SHA-512 imprints only (rejects others)
# POST /tsa-replay      the first /tsa reply again (or one to another query), whatever was asked
# POST /ocsp            openssl ocsp -index index.txt for the issuing CA
# GET  /<name>.crl      the file <name>.crl (DER)
# any  /garbage         200 with bytes that are not DER
# any  /big             200 with a DER header announcing 3 MiB, and the 3 MiB
# any  /slow            waits 30 s before answering
# any  /status500       500
# any  /redirect        302 to /tsa
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time

FOLDER = sys.argv[1]
LOCK = threading.Lock()
FIRST_TSA_REPLY = []


def openssl(args, data):
    with tempfile.TemporaryDirectory(dir=FOLDER) as scratch:
        query = os.path.join(scratch, "query.der")
        reply = os.path.join(scratch, "reply.der")
        with open(query, "wb") as f:
            f.write(data)
        subprocess.run(["openssl"] + [a.format(query=query, reply=reply) for a in args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=FOLDER)
        with open(reply, "rb") as f:
            return f.read()


def tsa(data, section):
    # openssl ts keeps its serial number in a file: one reply at a time.
    with LOCK:
        return openssl(["ts", "-reply", "-config", "tsa.cnf", "-section", section, "-queryfile", "{query}",
                        "-out", "{reply}"], data)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def reply(self, status, body, content_type="application/octet-stream", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def common(self):
        if self.path == "/garbage":
            return self.reply(200, b"this is not DER at all" * 4)
        if self.path == "/big":
            size = 3 << 20
            return self.reply(200, b"\x30\x83" + size.to_bytes(3, "big") + b"\0" * size)
        if self.path == "/slow":
            time.sleep(30)
            return self.reply(200, b"")
        if self.path == "/status500":
            return self.reply(500, b"no")
        if self.path == "/redirect":
            return self.reply(302, b"", extra=[("Location", "/tsa")])
        return None

    def do_GET(self):
        if self.common() is not None:
            return
        name = os.path.basename(self.path)
        path = os.path.join(FOLDER, name)
        if name.endswith(".crl") and os.path.isfile(path):
            with open(path, "rb") as f:
                return self.reply(200, f.read(), "application/pkix-crl")
        self.reply(404, b"")

    def do_POST(self):
        data = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.common() is not None:
            return
        try:
            if self.path == "/tsa":
                body = tsa(data, "tsa_main")
                with LOCK:
                    if not FIRST_TSA_REPLY:
                        FIRST_TSA_REPLY.append(body)
                return self.reply(200, body, "application/timestamp-reply")
            if self.path == "/tsa-sha512only":
                return self.reply(200, tsa(data, "tsa_sha512"), "application/timestamp-reply")
            if self.path == "/tsa-replay":
                if not FIRST_TSA_REPLY:
                    other = openssl(["ts", "-query", "-digest", "00" * 32, "-sha256", "-cert", "-out", "{reply}"], b"")
                    FIRST_TSA_REPLY.append(tsa(other, "tsa_main"))
                return self.reply(200, FIRST_TSA_REPLY[0], "application/timestamp-reply")
            if self.path == "/ocsp":
                body = openssl(["ocsp", "-index", "index.txt", "-CA", "issuing.pem", "-rsigner", "ocsp.pem",
                                "-rkey", "ocsp.key", "-reqin", "{query}", "-respout", "{reply}", "-nmin", "60"], data)
                return self.reply(200, body, "application/ocsp-response")
        except subprocess.CalledProcessError:
            return self.reply(500, b"openssl failed")
        self.reply(404, b"")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
server.handle_error = lambda *args: None  # a client that hung up early is no news
threading.Thread(target=server.serve_forever, daemon=True).start()
print(server.server_address[1], flush=True)
sys.stdin.read()
