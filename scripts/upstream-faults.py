#!/usr/bin/env python3
"""A hostile upstream for talvo-lyrics-server, and how long the server's pages take meanwhile.

  upstream-faults.py SERVER WORKDIR

Starts one loopback upstream whose behaviour is the track name asked (hang, trickle, html, ...),
the server with --upstream pointing at it (timeout 2 s), and a second server whose upstream is a
TLS one with a self-signed certificate it was not told to trust. Prints one markdown row per
behaviour: what the show page answered and how long it took (three pages, each a song of its
own), then the stderr lines the server logged.
"""

import json
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

RECORD = json.dumps({"id": 1, "trackName": "Found", "artistName": "Faults", "albumName": None,
                     "duration": 100.0, "instrumental": False, "plainLyrics": "found words",
                     "syncedLyrics": "[00:01.00]found words"}).encode()
LIMIT = 1 << 20
stopping = threading.Event()


def response(status, ctype, body):
    return (f"HTTP/1.1 {status} X\r\nContent-Type: {ctype}\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n").encode() + body


def behave(conn, mode):
    if mode == "hang":
        stopping.wait(30)
    elif mode == "trickle":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 999\r\n\r\n")
        for _ in range(300):
            if stopping.is_set():
                break
            conn.sendall(b" ")
            time.sleep(0.1)
    elif mode == "html":
        conn.sendall(response(200, "text/html", b"<html><body>portal</body></html>"))
    elif mode == "junk":
        conn.sendall(response(200, "application/json", b"\x00\xff{{{not json"))
    elif mode == "wrongtype":
        conn.sendall(response(200, "application/json", RECORD.replace(b'"instrumental": false', b'"instrumental": "no"')))
    elif mode == "error":
        conn.sendall(response(503, "application/json", b'{"code":503}'))
    elif mode == "notfound":
        conn.sendall(response(404, "application/json", b'{"code":404}'))
    elif mode == "huge":
        conn.sendall(response(200, "application/json", RECORD[:-1] + b" " * LIMIT + b"}"))
    elif mode == "found":
        conn.sendall(response(200, "application/json", RECORD))


def serve_one(conn):
    try:
        conn.settimeout(5)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                return
            head += chunk
        target = head.split(b" ")[1].decode()
        name = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)["track_name"][0]
        behave(conn, name.split("-")[0])
    except (OSError, KeyError, IndexError):
        pass
    finally:
        conn.close()


def listen(context=None):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(64)

    def loop():
        while not stopping.is_set():
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            if context is not None:
                try:
                    conn = context.wrap_socket(conn, server_side=True)
                except (OSError, ssl.SSLError):
                    conn.close()
                    continue
            threading.Thread(target=serve_one, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return sock.getsockname()[1]


def start(server, work, name, upstream):
    os.makedirs(f"{work}/{name}-library", exist_ok=True)
    err = open(f"{work}/{name}.err", "w")
    proc = subprocess.Popen([server, "--library", f"{work}/{name}-library", "--db", f"{work}/{name}.db",
                             "--listen", "127.0.0.1:0", "--rescan-interval", "0",
                             "--upstream", upstream, "--upstream-timeout", "2"],
                            stdout=subprocess.PIPE, stderr=err, text=True)
    line = proc.stdout.readline()
    port = int(re.search(r":(\d+)/", line).group(1))
    proc.stdout.readline()  # the first scan
    return proc, port


def page(port, title, path=None):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        query = urllib.parse.urlencode({"title": title, "singer": "Faults"})
        path = path or f"/kr/lyrics_plugin_show.html?{query}"
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    elapsed = (time.monotonic() - start) * 1000
    status = data.split(b" ")[1].decode()
    return status, b"found words" in data, elapsed


def row(what, port, mode, expected):
    answers = [page(port, f"{mode}-{i}") for i in range(3)]
    shown = "the upstream's song" if all(a[1] for a in answers) else "the local miss"
    times = ", ".join(f"{a[2]:.0f}" for a in answers)
    print(f"| {what} | {expected} | {answers[0][0]}, {shown}, in {times} ms |")


def main():
    server, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    plain = listen()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=faults", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem"], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{work}/cert.pem", f"{work}/key.pem")
    tls = listen(context)
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    refused = closed.getsockname()[1]
    closed.close()

    proc, port = start(server, work, "server", f"http://127.0.0.1:{plain}")
    proc_tls, port_tls = start(server, work, "server-tls", f"https://127.0.0.1:{tls}")
    proc_refused, port_refused = start(server, work, "server-refused", f"http://127.0.0.1:{refused}")
    try:
        print("| upstream | expected | show page: status, what it showed, times of three |")
        print("|---|---|---|")
        row("answers the record (a local miss)", port, "found", "the upstream's song, at once")
        row("hangs after accepting", port, "hang", "the local miss after the 2 s timeout")
        row("trickles a byte every 100 ms", port, "trickle", "the local miss after the 2 s timeout")
        row("refuses the connection", port_refused, "refused", "the local miss at once")
        row("self-signed certificate, no --upstream-ca", port_tls, "found", "the local miss at once")
        row("an HTML page with status 200", port, "html", "the local miss at once")
        row("junk with a JSON type", port, "junk", "the local miss at once")
        row("a record with a field of the wrong type", port, "wrongtype", "the local miss at once")
        row("503", port, "error", "the local miss at once")
        row("a record of 1 MiB + 100 bytes", port, "huge", "the local miss at once")
        row("404", port, "notfound", "the local miss at once")
        # Six pages at once, each a song the upstream hangs on, and the index page meanwhile.
        results = []
        threads = [threading.Thread(target=lambda i=i: results.append(page(port, f"hang-many-{i}")))
                   for i in range(6)]
        for thread in threads:
            thread.start()
        time.sleep(0.3)
        index = page(port, "", "/kr/lyrics_plugin_index.html")[2]
        for thread in threads:
            thread.join()
        times = ", ".join(f"{r[2]:.0f}" for r in sorted(results, key=lambda r: r[2]))
        print(f"| hangs, 6 show pages at once (each its own song) | two wait the timeout, the rest "
              f"miss at once; other pages unaffected | {times} ms; the index page 0.3 s in: {index:.0f} ms |")
    finally:
        stopping.set()
        for p in (proc, proc_tls, proc_refused):
            p.terminate()
            p.wait()
    for name in ("server", "server-tls", "server-refused"):
        with open(f"{work}/{name}.err") as err:
            for line in err:
                print(f"{name}: {line.rstrip()}")


if __name__ == "__main__":
    main()
