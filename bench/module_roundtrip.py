#!/usr/bin/python3
"""Module call round trip on one kept-alive TLS connection: POST /KeepAlive/Ping
(202), then /KeepAlive/GET_RESULT (allowed to every account, root included) with the same X-QTX-cmdId until it answers 200.

    module_roundtrip.py PORT CA_FILE SESSION_ID [COUNT]
    module_roundtrip.py --floor PORT [COUNT]

Prints "roundtrip_p50_ms", "roundtrip_p99_ms" and "roundtrip_polls" (GET_RESULT
requests per call, on average). Times are the client's, Python's own cost
included. With --floor the same client sends two POST /ALIVE per call to any
HTTPS server (its certificate is not checked): against a server that does no
work (the anchor's nginx) that is the least a round trip can take with this
client on this machine."""
import http.client
import ssl
import sys
import time


def main():
    floor = sys.argv[1] == "--floor"
    if floor:
        port, session = int(sys.argv[2]), "{00000000-0000-0000-0000-000000000000}"
        count = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
        context = ssl._create_unverified_context()
    else:
        port, ca, session = int(sys.argv[1]), sys.argv[2], sys.argv[3]
        count = int(sys.argv[4]) if len(sys.argv) > 4 else 2000
        context = ssl.create_default_context(cafile=ca)
        context.check_hostname = False
    conn = http.client.HTTPSConnection("127.0.0.1", port, context=context)
    times, polls = [], 0

    def post(path, cmd_id):
        conn.request("POST", path, body=b"", headers={"X-QTX-sessionId": session, "X-QTX-cmdId": cmd_id,
                                                       "Content-Length": "0"})
        reply = conn.getresponse()
        reply.read()
        return reply.status

    for i in range(count + 50):  # the first 50 warm up
        cmd_id = str(1000000 + i)
        start = time.perf_counter()
        if floor:
            for _ in range(2):
                if post("/ALIVE", cmd_id) != 200:
                    sys.exit("ALIVE was not answered 200")
            if i >= 50:
                polls += 1
                times.append((time.perf_counter() - start) * 1000.0)
            continue
        status = post("/KeepAlive/Ping", cmd_id)
        if status != 202:
            sys.exit("Ping answered %d" % status)
        while True:
            status = post("/KeepAlive/GET_RESULT", cmd_id)
            if i >= 50:
                polls += 1
            if status == 200:
                break
            if status != 202:
                sys.exit("GET_RESULT answered %d" % status)
        if i >= 50:
            times.append((time.perf_counter() - start) * 1000.0)
    times.sort()
    print("roundtrip_p50_ms %.3f" % times[len(times) // 2])
    print("roundtrip_p99_ms %.3f" % times[min(len(times) - 1, int(len(times) * 0.99))])
    print("roundtrip_polls %.2f" % (polls / len(times)))


main()
