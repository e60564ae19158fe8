#!/usr/bin/env python3
"""Other visitors' searches under a rotating-address search load.

  search_fairness.py KOMOREBI MAKE_BOARD WORKDIR [SECONDS]

Makes a board of 1,000 full pages (bench/make_board) in WORKDIR, starts
KOMOREBI on it on 127.0.0.1 with 127.0.0.1 as its trusted proxy, and lets
five clients search for common letters without pause, each search from the
next of ten addresses (X-Forwarded-For). Meanwhile 23 other visitors, each
from an address of its own, search once, spread over the run. Prints how many
of those were answered (not told that the other searches fill the queue) and
their worst wait. Loopback only.
"""
import http.client
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

BUSY = "ほかの検索が込み合っています".encode("cp932")
LOGIN = "id=quietharborlights&password=quietharborlights"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(port, method, path, headers=None, body=None, timeout=30):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    data = r.read()
    c.close()
    return data


def start(binary, folder, port):
    p = subprocess.Popen([binary, "--start", "--no-console", "--bind", "127.0.0.1", "--port", str(port), "--dir",
                          folder, "--proxy", "127.0.0.1"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return p
        except OSError:
            time.sleep(0.05)
    p.kill()
    sys.exit("Komorebi did not start")


def search(port, address, word):
    t0 = time.monotonic()
    data = request(port, "GET", "/wbk_search.cgi?q=" + urllib.parse.quote(word), {"X-Forwarded-For": address})
    return BUSY not in data, time.monotonic() - t0


def main():
    binary, make_board, work = sys.argv[1], sys.argv[2], sys.argv[3]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 20.0
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "DATA"))
    with open(os.path.join(work, "DATA", "settings.ini"), "w", newline="") as f:
        f.write("post_limit=0\r\npost_limit_hour=0\r\n")
    port = free_port()
    p = start(binary, work, port)
    request(port, "POST", "/wbk_login.cgi", {"Content-Type": "application/x-www-form-urlencoded"}, LOGIN)
    p.terminate()
    p.wait()
    subprocess.run([make_board, work, "1000"], check=True, stdout=subprocess.DEVNULL)
    p = start(binary, work, port)
    search(port, "10.9.9.9", "a")  # the first search builds the page bit sets

    stop = threading.Event()
    counter = [0]
    lock = threading.Lock()
    load = {"answered": 0, "busy": 0}

    def hostile():
        while not stop.is_set():
            with lock:
                counter[0] += 1
                address = "10.0.0.%d" % (counter[0] % 10 + 1)
            ok, _ = search(port, address, "e")
            with lock:
                load["answered" if ok else "busy"] += 1

    threads = [threading.Thread(target=hostile) for _ in range(5)]
    for t in threads:
        t.start()
    time.sleep(1)
    results = []
    visitors = 23
    for i in range(visitors):
        results.append(search(port, "10.1.0.%d" % (i + 1), "o"))
        time.sleep(max(0.0, (seconds - 1) / visitors - results[-1][1]))
    stop.set()
    for t in threads:
        t.join()
    p.terminate()
    p.wait()
    answered = [w for ok, w in results if ok]
    print("visitors told busy:", [i + 1 for i, (ok, _) in enumerate(results) if not ok])
    print("visitors' searches answered: %d of %d; worst wait %.0f ms (answered ones %.0f ms); "
          "load: %d answered, %d told busy" %
          (len(answered), visitors, max(w for _, w in results) * 1000, max(answered, default=0) * 1000,
           load["answered"], load["busy"]))


if __name__ == "__main__":
    main()
