#!/usr/bin/python3
"""What another local account can do to the user's instance, measured.

Run the attacking parts as another account (runuser -u <account> -- ...) and
the user's parts as the instance's own account:

  account_isolation.py PORT CA made-up-ids N      N module commands, each with a new random session id
  account_isolation.py PORT CA fill-sessions N    open sessions until refused (at most N)
  account_isolation.py PORT CA test-flood C SEC   C connections sending TEST for SEC seconds
  account_isolation.py PORT CA user-latency N     open a session, then N times Hasher/Sha256 + GET_RESULT
  account_isolation.py PORT CA hold SEC           open a connection, print its client port, keep it SEC seconds
  account_isolation.py PORT CA spoof CLIENTPORT   connect from 127.0.0.2:CLIENTPORT and ask for Hasher/HmacSha256

Each prints one line of counts or latencies (ms). Traffic goes to 127.0.0.1 only.
"""
import collections
import http.client
import ssl
import sys
import threading
import time
import uuid


def connect(port, ca):
    context = ssl.create_default_context(cafile=ca)
    return http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=30)


def post(conn, path, body=b"", headers=None):
    all_headers = {"Content-Type": "application/x-www-form-urlencoded"}
    all_headers.update(headers or {})
    conn.request("POST", path, body=body, headers=all_headers)
    reply = conn.getresponse()
    data = reply.read()
    return reply.status, data, reply


def made_up_ids(port, ca, count):
    conn = connect(port, ca)
    statuses = collections.Counter()
    for _ in range(count):
        status, _, _ = post(conn, "/PublicInfo/ServerTime", headers={"X-QTX-sessionId": "{%s}" % uuid.uuid4()})
        statuses[status] += 1
    print("made-up-ids: %d requests, statuses %s" % (count, dict(statuses)))


def fill_sessions(port, ca, limit):
    conn = connect(port, ca)
    opened = 0
    last = 0
    for _ in range(limit):
        last, _, _ = post(conn, "/OPEN_SESSION")
        if last != 200:
            break
        opened += 1
    print("fill-sessions: opened %d, then status %d" % (opened, last))


def test_flood(port, ca, connections, seconds):
    deadline = time.monotonic() + seconds
    statuses = collections.Counter()
    lock = threading.Lock()

    def worker():
        conn = connect(port, ca)
        while time.monotonic() < deadline:
            status, _, _ = post(conn, "/TEST")
            with lock:
                statuses[status] += 1

    threads = [threading.Thread(target=worker) for _ in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("test-flood: %d connections, %d s, statuses %s" % (connections, seconds, dict(statuses)))


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def user_latency(port, ca, count):
    conn = connect(port, ca)
    status, session, _ = post(conn, "/OPEN_SESSION")
    if status != 200:
        print("user-latency: OPEN_SESSION answered %d" % status)
        return
    times = []
    statuses = collections.Counter()
    for i in range(count):
        headers = {"X-QTX-sessionId": session.decode(), "X-QTX-cmdId": str(i + 1)}
        start = time.perf_counter()
        status, _, _ = post(conn, "/Hasher/Sha256", b"data=abc", headers)
        statuses[status] += 1
        while status in (200, 202):
            status, _, _ = post(conn, "/GET_RESULT", b"", headers)
            if status != 202:
                break
        statuses["result %d" % status] += 1
        times.append((time.perf_counter() - start) * 1000)
    print("user-latency: open 200, %d round trips, statuses %s, p50 %.2f ms, p99 %.2f ms"
          % (count, dict(statuses), percentile(times, 0.5), percentile(times, 0.99)))


def hold(port, ca, seconds):
    conn = connect(port, ca)
    status, _, _ = post(conn, "/ALIVE")
    print("hold: status %d, client port %d" % (status, conn.sock.getsockname()[1]), flush=True)
    time.sleep(seconds)


def spoof(port, ca, client_port):
    context = ssl.create_default_context(cafile=ca)
    conn = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=30,
                                       source_address=("127.0.0.2", client_port))
    status, body, _ = post(conn, "/Hasher/HmacSha256", b"data=abc", {"X-QTX-cmdId": "1"})
    print("spoof: from 127.0.0.2:%d, Hasher/HmacSha256 answered %d %s" % (client_port, status, body.decode()))


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    port, ca, what = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    args = [int(a) for a in sys.argv[4:]]
    {"made-up-ids": made_up_ids, "fill-sessions": fill_sessions, "test-flood": test_flood,
     "user-latency": user_latency, "hold": hold, "spoof": spoof}[what](port, ca, *args)


if __name__ == "__main__":
    main()
