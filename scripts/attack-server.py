#!/usr/bin/env python3
"""The lyrics server under hostile and careless clients, one row per attack, on loopback.

    scripts/attack-server.py SERVER LIBRARY WORKDIR

Starts SERVER (a built talvo-lyrics-server) on LIBRARY with a database in WORKDIR, and prints a
Markdown table: the attack, the answer expected, the answer measured. scripts/attack-server
builds the server and runs this.
"""
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

SERVER, LIBRARY, WORK = sys.argv[1:4]
SHOW = "/kr/lyrics_plugin_show.html?title=Greensleeves&singer=Traditional"
# The server answers only its own names; HTTP/1.1 requires one.
HOST = "Host: 127.0.0.1\r\n"
rows = []


def read_all(sock):
    """Everything the server sends until it closes, or until the socket's timeout."""
    got = b""
    try:
        while chunk := sock.recv(65536):
            got += chunk
    except OSError:
        pass
    return got


def start(extra=(), db="index.db", wait_scan=True):
    out = open(os.path.join(WORK, "server.out"), "w+")
    proc = subprocess.Popen([SERVER, "--library", LIBRARY, "--db", os.path.join(WORK, db),
                             "--listen", "127.0.0.1:0", "--rescan-interval", "0", *extra],
                            stdout=subprocess.PIPE, stderr=open(os.path.join(WORK, "server.err"), "w"),
                            text=True)
    line = proc.stdout.readline()
    port = int(re.match(r"listening on http://127\.0\.0\.1:(\d+)/", line).group(1))
    if wait_scan:
        while not proc.stdout.readline().startswith("indexed:"):
            pass
    return proc, port


def rss_kib(proc):
    with open(f"/proc/{proc.pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))


def exchange(port, data, timeout=30):
    """Sends data (stopping if the server closes), then reads until it closes."""
    sock = socket.create_connection(("127.0.0.1", port))
    sock.settimeout(timeout)
    try:
        sock.sendall(data)
    except OSError:
        pass
    got = read_all(sock)
    sock.close()
    return got


def status_of(raw):
    return raw[9:12].decode() if raw.startswith(b"HTTP/1.1 ") else "none"


def timed_page(port):
    started = time.monotonic()
    raw = exchange(port, f"GET {SHOW} HTTP/1.1\r\n{HOST}Connection: close\r\n\r\n".encode())
    return status_of(raw), (time.monotonic() - started) * 1000


def row(attack, expected, measured):
    rows.append((attack, expected, measured))
    print(f"  {attack}: {measured}", file=sys.stderr)


proc, port = start()
baseline = [timed_page(port)[1] for _ in range(20)]
base_ms = sorted(baseline)[10]

# Slow clients: 200 connections, each a header begun and a byte sent every second.
slow = [socket.create_connection(("127.0.0.1", port)) for _ in range(200)]
for s in slow:
    s.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
worst = 0.0
statuses = set()
for _ in range(5):
    for s in slow:
        s.sendall(b"a")
    status, ms = timed_page(port)
    statuses.add(status)
    worst = max(worst, ms)
    time.sleep(1)
for s in slow:
    s.close()
row("200 slow clients trickling a header, a byte a second", "the page answered at once",
    f"{'/'.join(sorted(statuses))} in at most {worst:.1f} ms (alone: {base_ms:.1f} ms)")

# Idle keep-alive connections.
idle = []
for _ in range(100):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET / HTTP/1.1\r\n{HOST}\r\n".encode())
    s.recv(65536)
    idle.append(s)
results = [timed_page(port) for _ in range(5)]
row("100 idle kept-alive connections", "the page answered at once",
    f"{'/'.join(sorted({r[0] for r in results}))} in at most {max(r[1] for r in results):.1f} ms")
for s in idle:
    s.close()

# 12 MiB of header fields.
time.sleep(0.5)
before = rss_kib(proc)
field = b"X-Flood: " + b"a" * 100 + b"\r\n"
raw = exchange(port, b"GET / HTTP/1.1\r\n" + field * (12 * 1024 * 1024 // len(field)) + b"\r\n")
time.sleep(0.5)
after = rss_kib(proc)
row("12 MiB of header fields", "431, RSS growth < 2 MiB",
    f"{status_of(raw)}, VmRSS {before} kB -> {after} kB ({after - before:+d} kB)")

# A header line that never ends: 64 MiB of one field, sent as fast as the server reads.
before = rss_kib(proc)
sock = socket.create_connection(("127.0.0.1", port))
sock.settimeout(10)
sock.sendall(b"GET / HTTP/1.1\r\nX-Endless: ")
sent = 0
reply = b""
try:
    while sent < 64 * 1024 * 1024:
        sent += sock.send(b"a" * 65536)
except OSError:
    pass
try:
    while chunk := sock.recv(65536):
        reply += chunk
except OSError:
    pass
sock.close()
after = rss_kib(proc)
row("a header line that never ends", "431 and closed, RSS flat",
    f"{status_of(reply)} after {sent // 1024} KiB accepted, then closed; VmRSS {before} kB -> "
    f"{after} kB ({after - before:+d} kB)")

# Two pipelined requests in one write.
raw = exchange(port, f"GET {SHOW} HTTP/1.1\r\n{HOST}\r\nGET /search?q=love HTTP/1.1\r\n"
                     f"{HOST}Connection: close\r\n\r\n".encode())
answers = re.findall(rb"HTTP/1\.1 (\d{3})", raw)
row("two pipelined requests in one write", "two answers, in order",
    f"{len(answers)} answers: {', '.join(a.decode() for a in answers)}")

# LRCLIB's API: what a client may put in its fields.
def get(port, target):
    raw = exchange(port, f"GET {target} HTTP/1.1\r\n{HOST}Connection: close\r\n\r\n".encode())
    body = raw.partition(b"\r\n\r\n")[2]
    return status_of(raw), body


def names_of(port, targets):
    """The statuses and error names the targets were answered with, each once."""
    seen = set()
    for target in targets:
        status, body = get(port, target)
        name = re.search(rb'"name":"(\w+)"', body)
        seen.add(f"{status} {name.group(1).decode() if name else '(no name)'}")
    return ", ".join(sorted(seen))


track = "/api/get?track_name=Greensleeves&artist_name=Traditional&duration="
row("LRCLIB get with durations 1e3, inf, -5, \" 5\", 0x10, NaN, 20 nines and 8,000 digits",
    "400 ValidationError each",
    names_of(port, [track + d for d in ("1e3", "inf", "-5", "%205", "0x10", "NaN", "9" * 20,
                                        "1" * 8000)]))
row("LRCLIB get by an id past 64 bits, a negative one, one with more path",
    "404 TrackNotFound each",
    names_of(port, ["/api/get/99999999999999999999999", "/api/get/-1", "/api/get/1/2"]))
def is_utf8(body):
    try:
        body.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


bad_names = "/api/get?track_name=%FF%FE&artist_name=%C3"
row("LRCLIB get with names that are not UTF-8 (%FF%FE)", "404, the JSON still valid UTF-8",
    f"{names_of(port, [bad_names])}, valid UTF-8: {is_utf8(get(port, bad_names)[1])}")
words = "+".join(f"word{i}" for i in range(900))
syntax = "/api/search?q=" + "%22a%22+NEAR(b+c)+OR+*+title_key%3Ax+%5E-"
results = []
for target in ("/api/search?q=" + words, syntax):
    started = time.monotonic()
    status, body = get(port, target)
    records = body.count(b'"id":')
    results.append(f"{status}, {records} records in {(time.monotonic() - started) * 1000:.1f} ms")
row("LRCLIB search of 900 words; of FTS5 syntax (NEAR, OR, *, a column, quotes)",
    "200, at most 20 records, the words as words", "; ".join(results))
before = rss_kib(proc)
raw = exchange(port, f"POST /api/publish HTTP/1.1\r\n{HOST}Content-Length: 100000000\r\n\r\n"
               .encode() + b"x" * (1024 * 1024))
time.sleep(0.5)
after = rss_kib(proc)
allow = re.search(rb"\r\nAllow: ?([^\r]*)\r\n", raw)
row("an LRCLIB publish announcing 100 MB, 1 MiB sent",
    "405 with an empty Allow, the body never read, closed; RSS flat",
    f"{status_of(raw)}, Allow \"{allow.group(1).decode() if allow else 'missing'}\", "
    f"VmRSS {before} kB -> {after} kB ({after - before:+d} kB)")

# 1,000 connections at once, each one lookup.
api = "/api/lyrics?title=Greensleeves&singer=Traditional"
socks = []
refused = 0
started = time.monotonic()
for _ in range(1000):
    try:
        socks.append(socket.create_connection(("127.0.0.1", port), timeout=60))
    except OSError:
        refused += 1
for s in socks:
    s.sendall(f"GET {api} HTTP/1.1\r\n{HOST}Connection: close\r\n\r\n".encode())
ok = 0
for s in socks:
    got = read_all(s)
    ok += status_of(got) == "200" and b'"found":true' in got
    s.close()
row("1,000 connections at once, one lookup each", "all 1,000 answered 200",
    f"{ok} answered 200, {refused} refused, in {time.monotonic() - started:.2f} s")

# Another server, and another program, on the held port.
second = subprocess.run([SERVER, "--library", LIBRARY, "--db", os.path.join(WORK, "second.db"),
                         "--listen", f"127.0.0.1:{port}"], capture_output=True, text=True,
                        timeout=60)
row("a second server on the same port", "one line, exit status 1",
    f"status {second.returncode}: \"{second.stderr.strip()}\"")
holder = socket.socket()
holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
holder.bind(("127.0.0.1", 0))
holder.listen()
held = holder.getsockname()[1]
started = time.monotonic()
second = subprocess.run([SERVER, "--library", LIBRARY, "--db", os.path.join(WORK, "second.db"),
                         "--listen", f"127.0.0.1:{held}"], capture_output=True, text=True,
                        timeout=60)
row("the port held by another program (with SO_REUSEPORT)", "one line, exit status 1",
    f"status {second.returncode} after {(time.monotonic() - started) * 1000:.0f} ms: "
    f"\"{second.stderr.strip()}\"")
holder.close()
proc.send_signal(signal.SIGTERM)
proc.wait(timeout=60)

# SIGTERM at once after "listening on", on a fresh database (the scan just begun).
codes = []
for i in range(20):
    started = time.monotonic()
    p, _ = start(db=f"fresh{i}.db", wait_scan=False)
    p.send_signal(signal.SIGTERM)
    try:
        codes.append((p.wait(timeout=60), time.monotonic() - started))
    except subprocess.TimeoutExpired:
        p.kill()
        codes.append(("hung", 60))
row("SIGTERM right after \"listening on\", 20 times", "exit status 0 each time",
    f"statuses {sorted({str(c[0]) for c in codes})}, slowest exit {max(c[1] for c in codes) * 1000:.0f} ms after start")

# SIGTERM during the first scan of a large library.
big = os.path.join(WORK, "big")
if not os.path.isdir(big):
    for i in range(20000):
        folder = os.path.join(big, str(i % 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"Band {i % 300} - Song {i}.txt"), "w") as f:
            f.write(f"words of song {i}\n")
for name in ("big.db", "big.db-wal", "big.db-shm"):
    if os.path.exists(os.path.join(WORK, name)):
        os.remove(os.path.join(WORK, name))
LIBRARY = big
p, _ = start(db="big.db", wait_scan=False)
time.sleep(1)
started = time.monotonic()
p.send_signal(signal.SIGTERM)
code = p.wait(timeout=120)
stopped_ms = (time.monotonic() - started) * 1000
rescan = subprocess.run([SERVER, "--rescan", "--library", big, "--db", os.path.join(WORK, "big.db")],
                        capture_output=True, text=True, timeout=600)
row("SIGTERM 1 s into the first scan of 20,000 files", "exit status 0 promptly, index intact",
    f"status {code} {stopped_ms:.0f} ms after the signal; a --rescan then: "
    f"\"{rescan.stdout.strip()}\"")

print("| attack | expected | measured |")
print("|---|---|---|")
for attack, expected, measured in rows:
    print(f"| {attack} | {expected} | {measured} |")
