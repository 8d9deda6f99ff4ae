#!/usr/bin/env python3
"""VOD ingest end to end: the server records titles pushed with movrel-vod-push on a medium
formatted by the storage tool, and the medium is then read here with a decoder of its own
(storage header, block info and GOP index with their CRCs, GOP records and their extra data).
Checked: the stored GOPs are the title's GOPs 1..K (K key frames, found with ffprobe) holding the
file's program packets in order; a second push replaces the title; a transfer cut after five
GOPs leaves no block of its title once the retention monitor has run; a content id that is not
a VOD number is refused with its message and nothing is written; a client that stays silent or
sends garbage blocks nobody. The push tool's rate is printed as the ingest figure."""

import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import mvtest  # noqa: E402

PUSH = os.path.abspath(os.path.join(mvtest.BUILD_DIR, "movrel-vod-push", "movrel-vod-push"))
NULL_PID = 0x1FFF
TITLE = 100000001
CUT_TITLE = 100000002
STORAGE = 1

# --- the medium, decoded from its documented layout --------------------------------------------
HEADER_AREA = 1024
INFO_SIZE = 72
INDEX_SIZE = 6144
INFO_STRIDE = INFO_SIZE + INDEX_SIZE
BLOCK_DATA = 32 * 1024 * 1024
RECORD = 1344




def pid_of(packet):
    return ((packet[1] & 0x1F) << 8) | packet[2]


class Block:
    def __init__(self, position, content, writer, substream, gop_count, start_gop, end_gop, gops):
        self.position = position
        self.content = content
        self.writer = writer
        self.substream = substream
        self.gop_count = gop_count
        self.start_gop = start_gop
        self.end_gop = end_gop
        self.gops = gops  # GOP number -> list of its non-null packets

    @property
    def free(self):
        return self.writer == 0xFFFFFF


def read_medium(path, test):
    """Every block of the medium with its GOPs; integrity is asserted along the way."""
    with open(path, "rb") as f:
        header = f.read(48)
        test.assertEqual(struct.unpack_from("<I", header, 40)[0], mvtest.crc32_mpeg2(header[:40]), "header CRC")
        n_blocks = struct.unpack_from("<Q", header, 24)[0]
        data_area = HEADER_AREA + n_blocks * INFO_STRIDE
        blocks = []
        for pos in range(n_blocks):
            f.seek(HEADER_AREA + pos * INFO_STRIDE)
            info = f.read(INFO_SIZE)
            index = f.read(INDEX_SIZE)
            test.assertEqual(struct.unpack_from("<I", info, 64)[0], mvtest.crc32_mpeg2(info[:64]), "info CRC of block %d" % pos)
            test.assertEqual(struct.unpack_from("<I", info, 60)[0], mvtest.crc32_mpeg2(index), "index CRC of block %d" % pos)
            content = struct.unpack_from("<I", info, 4)[0]
            substream = info[8]
            writer = info[9] | (info[10] << 8) | (info[11] << 16)
            gop_count, start_gop, end_gop = struct.unpack_from("<QQQ", info, 16)
            data_size = struct.unpack_from("<I", info, 56)[0]
            gops = {}
            if writer != 0xFFFFFF:
                test.assertEqual(end_gop - start_gop + 1, gop_count, "block %d numbers" % pos)
                region = data_area + pos * BLOCK_DATA
                for k in range(gop_count):
                    info_start, _, packet_count = struct.unpack_from("<HHH", index, 6 * k)
                    rec_at = (info_start & 0x7FFF) * 1024
                    test.assertEqual(info_start & 0x8000, 0, "GOP stored before it was closed")
                    f.seek(region + rec_at)
                    rec = f.read(48)
                    extra_size, packet_size = struct.unpack_from("<QQ", rec, 32)
                    extra = f.read(extra_size)
                    sig, crc, total, size = struct.unpack_from("<IIII", extra, 0)
                    test.assertEqual(sig & ~0x100, 0xAABB00FF, "extra data signature")
                    test.assertEqual(total, extra_size)
                    test.assertEqual(crc, mvtest.crc32_mpeg2(extra[8:]), "extra data CRC")
                    closed = struct.unpack_from("<I", extra, 20)[0]
                    gop_id = struct.unpack_from("<Q", extra, 24)[0]
                    test.assertEqual(gop_id, start_gop + k)
                    test.assertEqual(size, packet_size)
                    test.assertEqual(closed, packet_size)
                    test.assertEqual(packet_size % RECORD, 0)
                    test.assertEqual(packet_count, packet_size // RECORD * 7)
                    test.assertLessEqual(rec_at + 48 + extra_size + packet_size, data_size)
                    data = f.read(packet_size)
                    packets = []
                    for r in range(0, packet_size, RECORD):
                        for s in range(7):
                            p = data[r + 28 + 188 * s:r + 28 + 188 * (s + 1)]
                            if pid_of(p) != NULL_PID:
                                packets.append(p)
                    gops[gop_id] = packets
            blocks.append(Block(pos, content, writer, substream, gop_count, start_gop, end_gop, gops))
        return blocks


# --- the title, read from the file -----------------------------------------------------------------
def section(packets, pid):
    buf = None
    for p in packets:
        if pid_of(p) != pid:
            continue
        afc = (p[3] >> 4) & 3
        off = 4 + (1 + p[4] if afc & 2 else 0)
        payload = p[off:] if afc & 1 else b""
        if p[1] & 0x40:
            buf = payload[1 + payload[0]:]
        elif buf is not None:
            buf += payload
        if buf is not None and len(buf) >= 3:
            length = 3 + (((buf[1] & 0x0F) << 8) | buf[2])
            if len(buf) >= length:
                return buf[:length]
    raise AssertionError("no section on PID %d" % pid)


class TitleFile:
    """The program packets of a file cut at its video key frames (taken from ffprobe)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.packets = [data[i:i + 188] for i in range(0, len(data) - len(data) % 188, 188)]
        pat = section(self.packets, 0)
        self.pmt_pid = None
        for i in range(8, len(pat) - 4, 4):
            if struct.unpack_from(">H", pat, i)[0] != 0:
                self.pmt_pid = struct.unpack_from(">H", pat, i + 2)[0] & 0x1FFF
                break
        pmt = section(self.packets, self.pmt_pid)
        self.pcr_pid = struct.unpack_from(">H", pmt, 8)[0] & 0x1FFF
        i = 12 + (struct.unpack_from(">H", pmt, 10)[0] & 0x0FFF)
        self.video_pid, self.audio_pids, self.other_pids = None, [], []
        while i < len(pmt) - 4:
            stype = pmt[i]
            spid = struct.unpack_from(">H", pmt, i + 1)[0] & 0x1FFF
            if stype == 0x1B and self.video_pid is None:
                self.video_pid = spid
            elif stype in (0x0F, 0x03, 0x04, 0x11, 0x81):
                self.audio_pids.append(spid)
            else:
                self.other_pids.append(spid)
            i += 5 + (struct.unpack_from(">H", pmt, i + 3)[0] & 0x0FFF)
        self.program = {0, self.pmt_pid, self.pcr_pid, self.video_pid, *self.audio_pids, *self.other_pids}
        self.pat_packet = next(p for p in self.packets if pid_of(p) == 0)
        self.pmt_packet = next(p for p in self.packets if pid_of(p) == self.pmt_pid)

        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "packet=pos,flags", "-of", "csv=p=0", path],
                             capture_output=True, text=True, timeout=60, check=True).stdout
        starts = []
        for line in out.split("\n"):
            fields = line.strip().split(",")
            if len(fields) >= 2 and fields[0].isdigit() and fields[1].startswith("K"):
                starts.append(int(fields[0]) // 188)
        self.key_frames = len(starts)
        self.gops = []
        for n, first in enumerate(starts):
            end = starts[n + 1] if n + 1 < len(starts) else len(self.packets)
            assert pid_of(self.packets[first]) == self.video_pid and self.packets[first][1] & 0x40
            self.gops.append([p for p in self.packets[first:end]
                              if pid_of(p) in self.program and pid_of(p) != NULL_PID])


# --- a client of the ingest protocol, written here ----------------------------------------------
def pid_data(t):
    b = struct.pack("<HHHH", t.pmt_pid, t.pcr_pid, t.video_pid, 0xFFFF)
    for lst in (t.audio_pids, [], t.other_pids):
        b += struct.pack("<I", len(lst)) + b"".join(struct.pack("<H", p) for p in lst)
    return b


def buffer(b):
    return struct.pack("<I", len(b)) + b


def gop_messages(packets, seconds):
    out = b""
    null = b"\x47\x1f\xff\x10" + b"\xff" * 184
    for i in range(0, len(packets), 7):
        seven = packets[i:i + 7]
        seven += [null] * (7 - len(seven))
        out += struct.pack("<HHQQQQ", 0, 1 if i == 0 else 0, 0, 0, seconds, 0) + b"".join(seven)
    return out


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.settimeout(10)
    greeting = b""
    while len(greeting) < 4:
        chunk = s.recv(4 - len(greeting))
        if not chunk:
            raise AssertionError("no greeting")
        greeting += chunk
    assert struct.unpack("<I", greeting)[0] == 1
    return s


def wait_closed(s, timeout=20.0):
    """True when the server closes the connection within the time."""
    s.settimeout(timeout)
    try:
        while s.recv(4096):
            pass
        return True
    except (socket.timeout, ConnectionResetError):
        return False


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_title(folder, name, seconds, source):
    path = os.path.join(folder, name)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source,
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                    "-c:v", "libx264", "-g", "25", "-bsf:v", "h264_metadata=aud=insert",
                    "-c:a", "aac", "-t", str(seconds), "-f", "mpegts", path],
                   check=True, timeout=300, capture_output=True)
    return path


@unittest.skipUnless(shutil.which("ffmpeg") and shutil.which("ffprobe"), "ffmpeg and ffprobe are needed")
class VodIngest(unittest.TestCase):
    def start_server(self, cfg, folder):
        p = mvtest.Process([mvtest.SERVER, "-c", cfg], folder)

        def finish():
            p.stop()
            p.proc.stdout.close()
            p.proc.stderr.close()

        self.addCleanup(finish)
        return p

    def test_titles_on_the_medium(self):
        with mvtest.ScratchDir() as d:
            medium = os.path.join(d, "medium")
            status, out, err = mvtest.run([mvtest.TOOL, medium, "initfast=200M", str(STORAGE)], d, timeout=60)
            self.assertEqual(status, 0, out + err)
            first = make_title(d, "title.ts", 32, "testsrc=size=320x240:rate=25")
            second = make_title(d, "title2.ts", 12, "testsrc2=size=320x240:rate=25")
            port = free_port()
            cfg = os.path.join(d, "server.cfg")
            mvtest.write_file(cfg, "SCREENLOG 1\nFILELOG 0\nREADERSLOTS 2\nCACHESIZE 64M\n"
                                   "STORAGE %d:%s\nVODINGEST 127.0.0.1:%d\n" % (STORAGE, medium, port))
            server = self.start_server(cfg, d)
            self.assertIsNotNone(server.wait_for("[MAIN] Creating LIVE stream listener...", 30), server.output())
            deadline = time.monotonic() + 15
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    self.assertLess(time.monotonic(), deadline, "VOD ingest port not open")
                    time.sleep(0.1)

            # A client that stays silent, and one that sends garbage: neither holds up the rest.
            silent = connect(port)
            garbage = connect(port)
            rnd = random.Random(7)
            garbage.sendall(bytes(rnd.getrandbits(8) for _ in range(3000)))
            garbage.close()

            # 1. The first title; 2. a second title under the same number replaces it.
            t1, t2 = TitleFile(first), TitleFile(second)
            self.assertGreaterEqual(t1.key_frames, 30)
            self.assertLess(t2.key_frames, t1.key_frames)
            env = {"TZ": "UTC"}
            status, out1, err = mvtest.run([PUSH, first, "127.0.0.1:%d" % port, str(TITLE), "--storage", str(STORAGE)],
                                           d, timeout=120, env=env)
            self.assertEqual(status, 0, out1 + err + server.output())
            rate = re.search(r"sent: (\d+) GOPs, (\d+) bytes in ([\d.]+) s \(([\d.]+) GOP/s, ([\d.]+) Mbit/s\)", out1)
            self.assertIsNotNone(rate, out1)
            self.assertEqual(int(rate.group(1)), t1.key_frames)
            status, out2, err = mvtest.run([PUSH, second, "127.0.0.1:%d" % port, str(TITLE), "--storage", str(STORAGE)],
                                           d, timeout=120, env=env)
            self.assertEqual(status, 0, out2 + err + server.output())
            self.assertIsNotNone(server.wait_for("[VOD] Content id (%d) already exists on storage (1)" % TITLE, 5))

            # 3. A transfer of another title that breaks off after five GOPs.
            s = connect(port)
            s.sendall(struct.pack("<QQI", CUT_TITLE, STORAGE, len(t1.gops)))
            s.sendall(struct.pack("<Q", 1) + buffer(t1.pat_packet) + buffer(t1.pmt_packet) + buffer(b"") + buffer(pid_data(t1)))
            for g in range(5):
                s.sendall(gop_messages(t1.gops[g], 946684800 + g))
            s.sendall(gop_messages(t1.gops[5], 946684805)[:3000])
            s.close()
            released = server.wait_for("[VOD] Content id (0)(0)(%d) - data released..." % CUT_TITLE, 40)
            self.assertIsNotNone(released, server.output())
            self.assertIsNotNone(server.wait_for(
                "[CHUNK] CID(0)(0)(%d) flushing block(" % CUT_TITLE, 1), "the cut title never reached storage")

            # 4. A content id that is not a VOD number.
            s = connect(port)
            s.sendall(struct.pack("<QQI", 5, STORAGE, 1))
            self.assertTrue(wait_closed(s), "the server kept a refused connection")
            s.close()
            self.assertIsNotNone(server.wait_for("[I] [VOD] Content id (5) is not a VOD content id", 10),
                                 server.output())
            silent.close()

            server.signal(signal.SIGTERM)
            self.assertEqual(server.wait(30), 0, server.output())

            blocks = read_medium(medium, self)
            used = [b for b in blocks if not b.free]
            self.assertEqual({(b.content, b.substream, b.writer) for b in used}, {(TITLE, 0, 0)},
                             "only the replaced title is on the medium")
            stored = {}
            for b in used:
                stored.update(b.gops)
            self.assertEqual(sorted(stored), list(range(1, t2.key_frames + 1)))
            for n in range(1, t2.key_frames + 1):
                self.assertEqual(stored[n], t2.gops[n - 1], "GOP %d differs from the file" % n)
            for b in blocks:
                if b.free:
                    self.assertEqual((b.content, b.substream, b.gop_count), (STORAGE, 0, 0))
            self.assertNotIn("[VOD] Content id (0)(0)(%d) - data released" % TITLE, server.output())

            print("\nVOD ingest of a %d s title (%d GOPs, %s bytes): %s GOP/s, %s Mbit/s (bound of the 30 ms "
                  "pause: %.1f GOP/s)" % (32, t1.key_frames, rate.group(2), rate.group(4), rate.group(5),
                                          1000.0 / 30), file=sys.stderr)

    def test_first_title_alone(self):
        """The long title, which the test above replaces, as it is stored when pushed alone."""
        with mvtest.ScratchDir() as d:
            medium = os.path.join(d, "medium")
            status, out, err = mvtest.run([mvtest.TOOL, medium, "initfast=100M", str(STORAGE)], d, timeout=60)
            self.assertEqual(status, 0, out + err)
            title = make_title(d, "title.ts", 32, "testsrc=size=320x240:rate=25")
            t = TitleFile(title)
            port = free_port()
            cfg = os.path.join(d, "server.cfg")
            mvtest.write_file(cfg, "SCREENLOG 1\nFILELOG 0\nREADERSLOTS 2\nCACHESIZE 64M\n"
                                   "STORAGE %d:%s\nVODINGEST 127.0.0.1:%d\n" % (STORAGE, medium, port))
            server = self.start_server(cfg, d)
            self.assertIsNotNone(server.wait_for("[MAIN] Creating LIVE stream listener...", 30), server.output())
            status = None
            for _ in range(50):
                status, out, err = mvtest.run([PUSH, title, "127.0.0.1:%d" % port, str(TITLE)], d, timeout=120,
                                              env={"TZ": "UTC"})
                if status != 3:  # 3: the port is not open yet
                    break
                time.sleep(0.2)
            self.assertEqual(status, 0, out + err + server.output())
            server.signal(signal.SIGTERM)
            self.assertEqual(server.wait(30), 0, server.output())

            stored = {}
            for b in read_medium(medium, self):
                if not b.free:
                    self.assertEqual((b.content, b.substream, b.writer), (TITLE, 0, 0))
                    stored.update(b.gops)
            self.assertEqual(sorted(stored), list(range(1, t.key_frames + 1)))
            for n in range(1, t.key_frames + 1):
                self.assertEqual(stored[n], t.gops[n - 1], "GOP %d differs from the file" % n)


if __name__ == "__main__":
    unittest.main()
