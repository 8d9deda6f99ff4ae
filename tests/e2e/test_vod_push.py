#!/usr/bin/env python3
"""Black-box tests of movrel-vod-push: a small VOD ingest server written here decodes what the
tool sends, independently of the C++ code, and checks it against the transport-stream file
(header fields, PID summary from its own PAT/PMT reading, new-GOP flags on the key frames, the
file's packets in order, times, the end message); and the failures: local refusals, connection
refused, no or wrong greeting, a server that closes mid-transfer and one that stops reading."""

import os
import pty
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import mvtest  # noqa: E402

PUSH = os.path.abspath(os.path.join(mvtest.BUILD_DIR, "movrel-vod-push", "movrel-vod-push"))
FIXTURES = os.path.abspath(os.path.join(mvtest.SOURCE_DIR, "tests", "fixtures"))
CONTENT = 123456789
TIME_BASE = 946684800  # 2000-01-01 00:00:00 UTC; the tests run with TZ=UTC
NULL_PID = 0x1FFF


def pid_of(packet):
    return ((packet[1] & 0x1F) << 8) | packet[2]


def pusi(packet):
    return bool(packet[1] & 0x40)


def payload_of(packet):
    afc = (packet[3] >> 4) & 3
    off = 4 + (1 + packet[4] if afc & 2 else 0)
    return packet[off:] if afc & 1 and off < 188 else b""


def packets_of(data):
    return [data[i:i + 188] for i in range(0, len(data) - len(data) % 188, 188)]


def section_at(packets, pid):
    """The first whole PSI section on a PID (packets from a unit start on)."""
    buf = None
    for p in packets:
        if pid_of(p) != pid:
            continue
        pl = payload_of(p)
        if pusi(p):
            buf = pl[1 + pl[0]:]
        elif buf is not None:
            buf += pl
        if buf is not None and len(buf) >= 3 and len(buf) >= 3 + (((buf[1] & 0x0F) << 8) | buf[2]):
            return buf[:3 + (((buf[1] & 0x0F) << 8) | buf[2])]
    raise AssertionError("no section on PID %d" % pid)


VIDEO_TYPES = {0x01, 0x02, 0x10, 0x1B, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x80, 0xDB, 0xEA}
AUDIO_TYPES = {0x03, 0x04, 0x05, 0x06, 0x0F, 0x11, 0x81, 0x8A}


def read_program(data):
    """(PMT PID, PCR PID, video PID, audio PIDs) of the file's first program."""
    pkts = packets_of(data)
    pat = section_at(pkts, 0)
    entries = pat[8:-4]
    pmt_pid = None
    for i in range(0, len(entries), 4):
        number = struct.unpack(">H", entries[i:i + 2])[0]
        if number != 0:
            pmt_pid = struct.unpack(">H", entries[i + 2:i + 4])[0] & 0x1FFF
            break
    pmt = section_at(pkts, pmt_pid)
    pcr = struct.unpack(">H", pmt[8:10])[0] & 0x1FFF
    info_len = struct.unpack(">H", pmt[10:12])[0] & 0x0FFF
    i = 12 + info_len
    video, audio = None, []
    while i < len(pmt) - 4:
        stype = pmt[i]
        epid = struct.unpack(">H", pmt[i + 1:i + 3])[0] & 0x1FFF
        es_len = struct.unpack(">H", pmt[i + 3:i + 5])[0] & 0x0FFF
        if stype in VIDEO_TYPES:
            video = epid
        elif stype in AUDIO_TYPES:
            audio.append(epid)
        i += 5 + es_len
    return pmt_pid, pcr, video, audio


class Closed(Exception):
    pass


def recv_exact(conn, n):
    out = b""
    while len(out) < n:
        chunk = conn.recv(n - len(out))
        if not chunk:
            raise Closed()
        out += chunk
    return out


class FakeServer:
    """One-connection VOD ingest server. mode: "normal" decodes everything; "close" closes after
    `close_after` data messages; "stall" greets and then reads nothing; "silent" never greets."""

    def __init__(self, mode="normal", greeting=1, close_after=5, rcvbuf=None):
        self.mode = mode
        self.greeting = greeting
        self.close_after = close_after
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]
        self.release = threading.Event()
        self.connected = False
        self.error = None
        self.header = None
        self.initial = None
        self.messages = []  # (new_gop, reserved1, reserved2, seconds, nanoseconds, packets)
        self.end = None
        self.eof_after_end = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def _run(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        self.connected = True
        conn.settimeout(20)
        try:
            if self.mode == "silent" or self.mode == "stall":
                if self.mode == "stall":
                    conn.sendall(struct.pack("<I", self.greeting))
                self.release.wait(40)
                return
            conn.sendall(struct.pack("<I", self.greeting))
            self.header = struct.unpack("<QQI", recv_exact(conn, 20))
            first_gop = struct.unpack("<Q", recv_exact(conn, 8))[0]
            buffers = []
            for _ in range(4):
                n = struct.unpack("<I", recv_exact(conn, 4))[0]
                buffers.append(recv_exact(conn, n) if n else b"")
            self.initial = (first_gop, buffers)
            while True:
                end = struct.unpack("<H", recv_exact(conn, 2))[0]
                if end:
                    self.end = end
                    break
                new_gop, r1, r2, sec, nsec = struct.unpack("<HQQQQ", recv_exact(conn, 34))
                self.messages.append((new_gop, r1, r2, sec, nsec, recv_exact(conn, 1316)))
                if self.mode == "close" and len(self.messages) == self.close_after:
                    return
            # Nothing follows the end message: the tool half-closes and waits for us.
            self.eof_after_end = conn.recv(1) == b""
        except Exception as e:  # noqa: BLE001 - reported by the test
            self.error = e
        finally:
            conn.close()

    def stop(self):
        self.release.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes a pending accept
        except OSError:
            pass
        self.thread.join(30)
        self.listener.close()


def decode_pid_data(b):
    pmt, pcr, video, ecm = struct.unpack("<HHHH", b[:8])
    i = 8
    lists = []
    for _ in range(3):
        n = struct.unpack("<I", b[i:i + 4])[0]
        i += 4
        lists.append(list(struct.unpack("<%dH" % n, b[i:i + 2 * n])))
        i += 2 * n
    assert i == len(b), "PID data has %d bytes, its counts describe %d" % (len(b), i)
    return pmt, pcr, video, ecm, lists


def run_push(*args, timeout=60):
    return mvtest.run([PUSH] + [str(a) for a in args], cwd=tempfile.gettempdir(), timeout=timeout)


class VodPushTransfer(unittest.TestCase):

    def check_title(self, name, extra, gops, storage=1, first_gop=1, substream=0):
        path = os.path.join(FIXTURES, name)
        with open(path, "rb") as f:
            data = f.read()
        server = FakeServer()
        try:
            rc, out, err = run_push(path, server.address, CONTENT, *extra)
        finally:
            server.stop()
        self.assertIsNone(server.error, out)
        self.assertEqual(rc, 0, out + err)
        self.assertIn("[VODPUSH] Title %d sent: %d GOPs" % (CONTENT, gops), out)

        # Title header and initial data.
        cid, storage_id, count = server.header
        self.assertEqual(cid, CONTENT | (substream << 32))
        self.assertEqual(storage_id, storage)
        self.assertEqual(count, gops)
        first, (pat, pmt, ecm, pid_data) = server.initial
        self.assertEqual(first, first_gop)
        pmt_pid, pcr, video, audio = read_program(data)
        self.assertEqual(decode_pid_data(pid_data), (pmt_pid, pcr, video, 0xFFFF, [audio, [], []]))
        self.assertEqual(ecm, b"")
        for table, pid in ((pat, 0), (pmt, pmt_pid)):
            self.assertTrue(table and len(table) % 188 == 0)
            self.assertTrue(all(pid_of(p) == pid for p in packets_of(table)))
            self.assertTrue(pusi(table))
            self.assertIn(table[:188], packets_of(data))

        # Messages: one flag per GOP, on a message that opens with a video unit start; the
        # flagged message's time steps one second a GOP from the time base, and every message of
        # a GOP has its GOP's time.
        self.assertTrue(server.messages)
        gop = -1
        sent = []
        for new_gop, r1, r2, sec, nsec, packets in server.messages:
            self.assertEqual((r1, r2), (0, 0))
            if new_gop:
                gop += 1
                self.assertEqual(pid_of(packets), video)
                self.assertTrue(pusi(packets))
            self.assertGreaterEqual(gop, 0, "data before the first new-GOP flag")
            self.assertEqual((sec, nsec), (TIME_BASE + gop, 0))
            sent += [p for p in packets_of(packets) if pid_of(p) != NULL_PID]
        self.assertEqual(gop + 1, gops)
        self.assertEqual(server.end, 1)
        self.assertTrue(server.eof_after_end)

        # The packets are the file's program packets from the first key frame on, in order.
        file_packets = packets_of(data)
        start = file_packets.index(sent[0])
        program = {0, pmt_pid, pcr, video, *audio}
        want = [p for p in file_packets[start:] if pid_of(p) in program]
        self.assertEqual(len(sent), len(want))
        self.assertTrue(sent == want)

    def test_fixture_titles(self):
        cases = [
            ("h264_aac.ts", [], 3),
            ("hevc_idr.ts", [], 3),
            ("mpeg2_mp2.ts", [], 3),
            ("two_programs.ts", ["--idr"], 3),
        ]
        for name, extra, gops in cases:
            with self.subTest(name):
                self.check_title(name, extra, gops)

    def test_header_options(self):
        self.check_title("h264_aac.ts", ["--storage", "7", "--first-gop=42", "--substream", "2"], 3,
                         storage=7, first_gop=42, substream=2)

    def test_progress_line_on_a_terminal(self):
        server = FakeServer()
        master, slave = pty.openpty()
        env = dict(os.environ)
        env.update(mvtest.SAN_ENV)
        try:
            proc = subprocess.Popen([PUSH, os.path.join(FIXTURES, "h264_aac.ts"), server.address, str(CONTENT)],
                                    stdout=slave, stderr=slave, stdin=subprocess.DEVNULL, env=env)
            os.close(slave)
            out = b""
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.5)
                if ready:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:  # the terminal is gone once the tool has ended
                        break
                    if not chunk:
                        break
                    out += chunk
                elif proc.poll() is not None:
                    break
            rc = proc.wait(timeout=30)
        finally:
            os.close(master)
            server.stop()
        text = out.decode(errors="replace")
        self.assertEqual(rc, 0, text)
        self.assertRegex(text, r"\rSent 3/3 GOPs \(100%\), [0-9.]+ GOP/s, [0-9.]+ Mbit/s\x1b\[K\r?\n")


class VodPushFailures(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="mvtest-")
        self.h264 = os.path.join(FIXTURES, "h264_aac.ts")

    def tearDown(self):
        for name in os.listdir(self.tmp):
            os.unlink(os.path.join(self.tmp, name))
        os.rmdir(self.tmp)

    def test_local_refusals(self):
        notts = os.path.join(self.tmp, "text.ts")
        with open(notts, "w") as f:
            f.write("not a transport stream\n" * 40)
        audio = os.path.join(self.tmp, "audio.ts")
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000", "-t", "1", "-c:a", "mp2", audio],
                       check=True, timeout=60, stdin=subprocess.DEVNULL)
        server = FakeServer()
        cases = [
            ([self.h264, server.address, "5"], 1, "Content id (5) is not a VOD content id"),
            ([self.h264, server.address, "1000000000"], 1, "is not a VOD content id"),
            ([self.h264, server.address, CONTENT, "--storage", "0"], 1, "Invalid value: --storage 0"),
            ([self.h264, server.address, CONTENT, "--bogus"], 1, "Unknown option --bogus"),
            ([self.h264, server.address], 1, "Expected a file, a server address and a content id"),
            ([self.h264, "127.0.0.1", CONTENT], 1, "Invalid server address"),
            ([os.path.join(self.tmp, "missing.ts"), server.address, CONTENT], 2,
             "Cannot read %s: No such file or directory" % os.path.join(self.tmp, "missing.ts")),
            ([self.tmp, server.address, CONTENT], 2, "not a regular file"),
            ([notts, server.address, CONTENT], 2, "not an MPEG transport stream: no sync byte at offset 0"),
            ([audio, server.address, CONTENT], 2, "the program has no video stream"),
            ([os.path.join(FIXTURES, "two_programs.ts"), server.address, CONTENT], 2, "try --idr"),
        ]
        try:
            for args, status, text in cases:
                with self.subTest(args=args):
                    rc, out, err = run_push(*args)
                    self.assertEqual(rc, status, out + err)
                    self.assertIn(text, out)
        finally:
            server.stop()
        self.assertFalse(server.connected, "a refused title must not connect")

        rc, out, _ = run_push("--help")
        self.assertEqual(rc, 0)
        self.assertIn("Usage: movrel-vod-push <file.ts> <server:port> <content id>", out)

    def test_connection_refused(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        rc, out, err = run_push(self.h264, "127.0.0.1:%d" % port, CONTENT)
        self.assertEqual(rc, 3, out + err)
        self.assertIn("Cannot connect to 127.0.0.1:%d: Connection refused" % port, out)

    def test_greeting_problems(self):
        for mode, greeting, text in (("silent", 1, "No greeting from"), ("normal", 2, "Unexpected greeting (2)")):
            with self.subTest(mode=mode):
                server = FakeServer(mode, greeting=greeting)
                started = time.monotonic()
                try:
                    rc, out, err = run_push(self.h264, server.address, CONTENT, "--timeout", "2")
                finally:
                    server.stop()
                self.assertEqual(rc, 3, out + err)
                self.assertIn(text, out)
                self.assertLess(time.monotonic() - started, 20)

    def test_server_closes_mid_transfer(self):
        server = FakeServer("close", close_after=5)
        try:
            rc, out, err = run_push(self.h264, server.address, CONTENT, "--timeout", "5")
        finally:
            server.stop()
        self.assertEqual(len(server.messages), 5)
        self.assertEqual(rc, 4, out + err)
        self.assertIn("Transfer failed after", out)
        self.assertRegex(out, r"the server closed the connection|did not close the connection")
        self.assertNotIn("sent:", out)

    def test_stalled_server_times_out(self):
        # A small title fits the socket buffers: the tool waits for the server to close.
        server = FakeServer("stall")
        started = time.monotonic()
        try:
            rc, out, err = run_push(self.h264, server.address, CONTENT, "--timeout", "2")
        finally:
            server.stop()
        self.assertEqual(rc, 4, out + err)
        self.assertIn("Transfer failed after 3 of 3 GOPs: the server did not close the connection within 2 s", out)
        self.assertLess(time.monotonic() - started, 20)

        # A title larger than all buffers: sending stops, and the write time-out ends it.
        with open(self.h264, "rb") as f:
            one = f.read()
        big = os.path.join(self.tmp, "big.ts")
        with open(big, "wb") as f:
            for _ in range(8 * 1024 * 1024 // len(one) + 1):
                f.write(one)
        server = FakeServer("stall", rcvbuf=4096)
        started = time.monotonic()
        try:
            rc, out, err = run_push(big, server.address, CONTENT, "--timeout", "2")
        finally:
            server.stop()
        self.assertEqual(rc, 4, out + err)
        self.assertRegex(out, r"Transfer failed after \d+ of \d+ GOPs: the server took no data for 2 s \(write time-out\)")
        self.assertLess(time.monotonic() - started, 30)


if __name__ == "__main__":
    unittest.main(verbosity=2)
