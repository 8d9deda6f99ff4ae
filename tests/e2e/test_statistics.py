"""The statistics endpoint of the running server: enabled by MONITOR, it serves the plain-text
report over HTTP to curl and to Python's HTTP client, answers several requests on one
connection, refuses over-long header blocks and is not held up by a silent client. Without
MONITOR nothing listens."""
import http.client
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from mvtest import SERVER, TOOL, Process, ScratchDir, run, write_file

MEDIUM_BLOCKS = 2  # initfast=100M

HTTP_DATE = r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT"
MV_TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def curl(*args, timeout=15):
    p = subprocess.run(["curl", "-s", "--max-time", "10"] + list(args), capture_output=True,
                       timeout=timeout, stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout


def split_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers[name] = value
    return lines[0], headers, body


class Statistics(unittest.TestCase):
    def start(self, folder, monitor_port):
        medium = os.path.join(folder, "medium1")
        status, out, err = run([TOOL, medium, "initfast=100M", "1"], folder, timeout=60)
        self.assertEqual(status, 0, out + err)
        cfg = os.path.join(folder, "server.cfg")
        lines = ["SCREENLOG 1", "FILELOG 0", "READERSLOTS 2", "CACHESIZE 64M",
                 "STORAGE 1:%s" % medium]
        if monitor_port:
            lines.append("MONITOR 127.0.0.1:%d" % monitor_port)
        write_file(cfg, "\n".join(lines) + "\n")
        p = Process([SERVER, "-c", cfg], folder)

        def finish():
            p.stop()
            p.proc.stdout.close()
            p.proc.stderr.close()

        self.addCleanup(finish)
        return p

    def stop_cleanly(self, p):
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(20), 0, p.output())

    def fetch_first_report(self, port):
        """curl -i until the monitor has built its first report (bounded)."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            status, raw = curl("-i", "http://127.0.0.1:%d/" % port)
            if status == 0 and raw:
                _, headers, body = split_reply(raw)
                if body:
                    return raw
            time.sleep(0.5)
        self.fail("no report within 30 s")

    def test_report_over_http(self):
        port = free_port()
        with ScratchDir() as d:
            p = self.start(d, port)
            at = p.wait_for("[MAIN] Creating LIVE stream listener...", timeout=30)
            self.assertIsNotNone(at, p.output())
            self.assertIsNotNone(
                p.wait_for("[STAT] Starting SM STAT listener on (127.0.0.1:%d)..." % port,
                           timeout=15, start=at + 1), p.output())
            greeting = next(l for l in p.lines if "Movrel Nerio Server " in l)
            version = greeting.split("Movrel Nerio Server ", 1)[1]

            raw = self.fetch_first_report(port)
            status_line, headers, body = split_reply(raw)
            self.assertEqual(status_line, "HTTP/1.1 200 OK")
            self.assertEqual(list(headers), ["Server", "Content-Type", "Date", "Content-Length"])
            self.assertEqual(headers["Server"], "SMON " + version)
            self.assertEqual(headers["Content-Type"], "text/plain")
            self.assertRegex(headers["Date"], "^" + HTTP_DATE + "$")
            self.assertEqual(int(headers["Content-Length"]), len(body))

            text = body.decode()
            self.assertTrue(text.endswith("\n"))
            lines = text.split("\n")[:-1]
            self.assertRegex(lines[0], "^Movrel Nerio Media server %s statistics from \\(%s\\) to \\(%s\\)$"
                             % (re.escape(version), HTTP_DATE, HTTP_DATE))
            self.assertEqual(lines[1], "================== Startup ==================")
            self.assertRegex(lines[2], "^Started at: " + MV_TIME + "$")
            self.assertEqual(lines[3:], [
                "================== Cache ==================",
                "Cache size: 0",
                "================== Users ==================",
                "LL queue length: 0",
                "================== Storage ==================",
                "Storage(1): U(0), I(0), W(0), R(0), FreeBlocks(%d), Util(0), MaxUtil(0)" % MEDIUM_BLOCKS,
                "================== Channel Input / Output ==================",
            ])

            # Two URLs in one curl run share one connection: two replies, one new connection.
            before = sum("[STAT] New SM STAT connection from (127.0.0.1:" in l for l in p.lines)
            status, out = curl("-w", "\\n<connects %{num_connects}>\\n",
                               "http://127.0.0.1:%d/first" % port, "http://127.0.0.1:%d/second?x=1" % port)
            self.assertEqual(status, 0)
            parts = out.decode().split("\n<connects ")
            self.assertEqual(len(parts), 3, out)
            self.assertTrue(parts[0].startswith("Movrel Nerio Media server "), out)
            self.assertTrue(parts[1].startswith("1>\nMovrel Nerio Media server "), out)
            self.assertEqual(parts[2], "0>\n")
            time.sleep(0.3)
            after = sum("[STAT] New SM STAT connection from (127.0.0.1:" in l for l in p.lines)
            self.assertEqual(after - before, 1, p.output())

            # Python's HTTP client on one persistent connection, on any path.
            before = after
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            try:
                for path in ("/a", "/b/c?d=e", "/"):
                    conn.request("GET", path)
                    r = conn.getresponse()
                    data = r.read()
                    self.assertEqual((r.status, r.getheader("Content-Type")), (200, "text/plain"))
                    self.assertEqual(int(r.getheader("Content-Length")), len(data))
                    self.assertTrue(data.startswith(b"Movrel Nerio Media server "), data)
                    self.assertFalse(r.will_close)
            finally:
                conn.close()
            time.sleep(0.3)
            after = sum("[STAT] New SM STAT connection from (127.0.0.1:" in l for l in p.lines)
            self.assertEqual(after - before, 1, p.output())

            # A silent client (connected, request never finished) does not hold up others.
            silent = socket.create_connection(("127.0.0.1", port), timeout=10)
            silent.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
            try:
                time.sleep(0.2)
                start = time.monotonic()
                status, out = curl("http://127.0.0.1:%d/" % port)
                self.assertEqual(status, 0)
                self.assertTrue(out.startswith(b"Movrel Nerio Media server "))
                self.assertLess(time.monotonic() - start, 5)
            finally:
                silent.close()

            # 129 header lines: closed without a reply.
            big = socket.create_connection(("127.0.0.1", port), timeout=10)
            try:
                request = b"GET / HTTP/1.1\r\n" + b"".join(b"X-H%d: v\r\n" % i for i in range(128)) + b"\r\n"
                big.sendall(request)
                got = b""
                while True:
                    chunk = big.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                self.assertEqual(got, b"")
            finally:
                big.close()
            self.assertIsNotNone(p.wait_for("Too complicated HTTP request from source (127.0.0.1), closing connection",
                                            timeout=5), p.output())

            self.stop_cleanly(p)

    def test_without_monitor_nothing_listens(self):
        port = free_port()
        with ScratchDir() as d:
            p = self.start(d, 0)
            self.assertIsNotNone(p.wait_for("[MAIN] Creating LIVE stream listener...", timeout=30), p.output())
            time.sleep(2.5)  # past the moment the monitor would have built its first report
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=2).close()
            self.assertNotIn("[STAT]", p.output())
            self.stop_cleanly(p)


if __name__ == "__main__":
    unittest.main()
