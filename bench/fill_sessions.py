#!/usr/bin/python3
"""Fills a server with open sessions and stored results, as many pages left
open would: COUNT times OPEN_SESSION, then one KeepAlive/Ping per session whose
result is never fetched. Four kept-alive TLS connections share the work.

    fill_sessions.py PORT CA_FILE COUNT

Prints "fill_sessions N", "fill_results N" and "fill_seconds S"; exits 1 when
the server refused or answered otherwise."""
import http.client
import ssl
import sys
import threading
import time


def main():
    port, ca, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    context = ssl.create_default_context(cafile=ca)
    context.check_hostname = False
    lanes = 4
    opened, stored, failures = [0] * lanes, [0] * lanes, []

    def lane(index):
        conn = http.client.HTTPSConnection("127.0.0.1", port, context=context)

        def post(path, headers):
            headers["Content-Length"] = "0"
            conn.request("POST", path, body=b"", headers=headers)
            reply = conn.getresponse()
            return reply.status, reply.read()

        for i in range(index, count, lanes):
            status, body = post("/OPEN_SESSION", {})
            if status != 200:
                failures.append("OPEN_SESSION answered %d: %r" % (status, body[:80]))
                return
            opened[index] += 1
            status, body = post("/KeepAlive/Ping", {"X-QTX-sessionId": body.decode(), "X-QTX-cmdId": str(i + 1)})
            if status != 202:
                failures.append("Ping answered %d: %r" % (status, body[:80]))
                return
            stored[index] += 1

    start = time.perf_counter()
    threads = [threading.Thread(target=lane, args=(i,)) for i in range(lanes)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("fill_sessions %d" % sum(opened))
    print("fill_results %d" % sum(stored))
    print("fill_seconds %.1f" % (time.perf_counter() - start))
    if failures:
        sys.exit(failures[0])


main()
