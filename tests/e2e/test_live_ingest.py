"""Live ingest end to end, inside a private network namespace made by the test: ffmpeg encodes
test pictures and tones and sends them as multicast transport streams (plain UDP and RTP) on the
namespace's loopback interface, the server receives, cuts and records them, and after SIGTERM the
medium is read back: the storage tool's check passes, and every recorded GOP is found in its
block with consecutive numbers, a key frame first, its tables, accessors and one second of PTS
per GOP. A second bitrate encoded by the same ffmpeg process carries the primary's GOP numbers,
and a restart continues the numbering 4096 after the last recorded GOP. Nothing is sent outside
the namespace."""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest

from mvtest import SERVER, TOOL, SAN_ENV, Process, ScratchDir, crc32_mpeg2, run, write_file

SETUP = "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"
RECORD_SECONDS = 22
RESTART_SECONDS = 9

def sources(seconds, two=False):
    """Test pictures and tones of a bounded duration (every output of the process ends with them)."""
    d = ":duration=%d" % seconds
    out = ["-f", "lavfi", "-i", "testsrc=size=160x96:rate=25" + d,
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000" + d]
    if two:
        out += ["-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25" + d,
                "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=48000" + d]
    return out


X264 = ["-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-keyint_min", "25", "-sc_threshold", "0",
        "-bsf:v", "h264_metadata=aud=insert"]

# Channels: content number -> (codec, program number, [(sub-stream, group, port)]).
CHANNELS = {
    101: ("h264", 1, [(0, "239.10.1.1", 5001), (1, "239.10.1.2", 5002)]),
    102: ("hevc", 1, [(0, "239.10.1.3", 5003)]),
    103: ("mpeg2", 1, [(0, "239.10.1.4", 5004)]),
    104: ("h264", 202, [(0, "239.10.1.5", 5005)]),
}


def ffmpeg_commands(seconds, only=None):
    base = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re"]
    av = sources(seconds)
    cmds = {
        # H.264 + AAC, plain UDP, and a second bitrate from the same encoder process.
        101: base + av + [
            "-map", "0:v", "-map", "1:a"] + X264 + ["-b:v", "150k", "-c:a", "aac", "-b:a", "48k", "-ac", "1",
            "-f", "mpegts", "udp://239.10.1.1:5001?pkt_size=1316",
            "-map", "0:v", "-map", "1:a"] + X264 + ["-b:v", "80k", "-c:a", "aac", "-b:a", "32k", "-ac", "1",
            "-f", "mpegts", "udp://239.10.1.2:5002?pkt_size=1316"],
        # HEVC + AC-3 over RTP; closed GOPs, x265's settings SEI kept before every key picture.
        102: base + av + [
            "-c:v", "libx265", "-preset", "veryfast", "-b:v", "150k",
            "-x265-params", "keyint=25:min-keyint=25:scenecut=0:open-gop=0:log-level=error",
            "-c:a", "ac3", "-b:a", "64k", "-ac", "1", "-f", "rtp_mpegts", "rtp://239.10.1.3:5003?pkt_size=1328"],
        # MPEG-2 video + MPEG-1 layer II audio.
        103: base + av + [
            "-c:v", "mpeg2video", "-g", "25", "-b:v", "200k", "-c:a", "mp2", "-b:a", "64k", "-ac", "1",
            "-f", "mpegts", "udp://239.10.1.4:5004?pkt_size=1316"],
        # Two programs (101 and 202); the channel selects 202.
        104: base + sources(seconds, True) + [
            "-map", "0:v", "-map", "1:a", "-map", "2:v", "-map", "3:a"] + X264 + [
            "-b:v", "100k", "-c:a", "mp2", "-b:a", "64k", "-ac", "1",
            "-program", "program_num=101:title=one:st=0:st=1", "-program", "program_num=202:title=two:st=2:st=3",
            "-f", "mpegts", "udp://239.10.1.5:5005?pkt_size=1316"],
    }
    return {k: v for k, v in cmds.items() if only is None or k in only}


def database(only=None):
    lines = []
    sid = 1
    for content, (_, program, subs) in sorted(CHANNELS.items()):
        if only is not None and content not in only:
            continue
        for sub, group, port in subs:
            lines.append("SOURCE %d:ts2v3:%s:%d" % (sid, group, port))
            lines.append("PROGRAM %d:%d:%d:%d:60:1" % (sid, program, sub, content))
            sid += 1
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------------------------
# Inside the namespace: server, encoders, SIGTERM.

def inside(folder, seconds, only):
    cfg = os.path.join(folder, "server.cfg")
    db = os.path.join(folder, "channels.db")
    write_file(db, database(only))
    write_file(cfg, "\n".join([
        "SCREENLOG 1", "FILELOG 0", "SYNCDATA 0", "READERSLOTS 2", "CACHESIZE 64M", "VERBOSE 1", "IDR 1",
        "ABRTHRESHOLDMS 100", "ABRWAITTIME 3", "STORAGE 1:%s" % os.path.join(folder, "medium"),
        "DATABASE FILE:%s" % db]) + "\n")
    server = Process([SERVER, "-c", cfg], folder)
    result = {"ready": False, "status": None, "ffmpeg": []}
    try:
        expected = sum(len(CHANNELS[c][2]) for c in CHANNELS if only is None or c in only)
        at = 0
        for _ in range(expected):
            i = server.wait_for("[LIVE] Starting reception for", timeout=30, start=at)
            if i is None:
                break
            at = i + 1
        else:
            result["ready"] = True
        encoders = []
        if result["ready"]:
            for content, cmd in sorted(ffmpeg_commands(seconds, only).items()):
                encoders.append(subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                                 stdin=subprocess.DEVNULL, text=True))
        for e in encoders:
            try:
                _, err = e.communicate(timeout=seconds + 60)
            except subprocess.TimeoutExpired:
                e.kill()
                _, err = e.communicate(timeout=10)
            result["ffmpeg"].append([e.returncode, err[-2000:]])
        time.sleep(2)  # the last GOPs reach the writers
    finally:
        server.signal(signal.SIGTERM)
        result["status"] = server.wait(30)
        if result["status"] is None:
            server.stop()
        result["output"] = server.output()
        result["errors"] = "\n".join(server.err_lines)
    with open(os.path.join(folder, "result.json"), "w") as f:
        json.dump(result, f)


# ---------------------------------------------------------------------------------------------
# Reading the medium.



class Reader:
    def __init__(self, f, extra):
        self.b = extra
        self.at = 0

    def u(self, fmt):
        v = struct.unpack_from("<" + fmt, self.b, self.at)
        self.at += struct.calcsize("<" + fmt)
        return v[0] if len(v) == 1 else v

    def bytes(self, n):
        v = self.b[self.at:self.at + n]
        if len(v) != n:
            raise ValueError("extra data too short")
        self.at += n
        return v


def read_medium(path):
    """{(content, sub): [gop dict, ...]} in GOP-number order, and a list of problems."""
    gops = {}
    problems = []
    with open(path, "rb") as f:
        header = f.read(48)
        n_blocks = struct.unpack_from("<Q", header, 24)[0]
        data_start = 1024 + n_blocks * 6216
        for i in range(n_blocks):
            f.seek(1024 + i * 6216)
            info = f.read(72)
            index = f.read(6144)
            marker, content, sub, wid = struct.unpack_from("<IIB3s", info, 0)
            count, start, end, t0, t1 = struct.unpack_from("<QQQQQ", info, 16)
            size, index_crc, info_crc = struct.unpack_from("<III", info, 56)
            if info_crc != crc32_mpeg2(info[:64]) or index_crc != crc32_mpeg2(index):
                problems.append("block %d: bad CRC" % i)
                continue
            if wid == b"\xff\xff\xff" or count == 0:
                continue
            if end != start + count - 1:
                problems.append("block %d: %d GOPs from %d end at %d" % (i, count, start, end))
            for k in range(count):
                info_start, _, packets = struct.unpack_from("<HHH", index, k * 6)
                off = data_start + i * 33554432 + (info_start & 0x7FFF) * 1024
                f.seek(off)
                rec = f.read(48)
                _, number, _, _, extra_size, data_size = struct.unpack("<QQQQqQ", rec)
                extra = f.read(extra_size)
                data = f.read(data_size)
                g = parse_extra(extra)
                g.update(number=number, block=i, data=data, slots=packets, closed_flag=bool(info_start & 0x8000))
                if g["crc"] != crc32_mpeg2(extra[8:]):
                    problems.append("GOP %d: extra data CRC" % number)
                gops.setdefault((content, sub), []).append(g)
    for key in gops:
        gops[key].sort(key=lambda g: g["number"])
    return gops, problems


def parse_extra(extra):
    r = Reader(None, extra)
    sig, crc, total, data_size, _, closed = r.u("IIIIII")
    gop_id, _, start_time, pts = r.u("QQQQ")
    pat = r.bytes(r.u("I"))
    pmt = r.bytes(r.u("I"))
    r.bytes(r.u("I"))  # ECM
    pid_len = r.u("I")
    pids = Reader(None, r.bytes(pid_len))
    pmt_pid, pcr_pid, video_pid, ecm_pid = pids.u("HHHH")
    audio = [pids.u("H") for _ in range(pids.u("I"))]
    infos = []
    accessors = []
    if sig == 0xAABB01FF:
        for _ in range(r.u("I")):
            infos.append(struct.unpack("<BIIB", r.bytes(10)))
        while True:
            acc_id = r.u("I")
            if acc_id == 0:
                break
            r.u("B")
            r.bytes(13 * r.u("I"))
            r.bytes(r.u("I"))
            accessors.append(acc_id)
    return dict(sig=sig, crc=crc, total=total, data_size=data_size, closed=closed, gop_id=gop_id,
                start_time=start_time, pts=pts, pat=pat, pmt=pmt, pmt_pid=pmt_pid, video_pid=video_pid,
                audio=audio, infos=infos, accessors=accessors)


def first_video_pes(g):
    out = b""
    first = True
    for flags, _, poff, payload_off in g["infos"]:
        if not flags & 0x10:
            continue
        if not first and flags & 0x01:
            break
        first = False
        out += g["data"][poff + payload_off:poff + 188]
    return out


def nal_types(es, hevc):
    types = []
    i = es.find(b"\x00\x00\x01")
    while 0 <= i < len(es) - 4:
        b = es[i + 3]
        types.append((b >> 1) & 0x3F if hevc else b & 0x1F)
        i = es.find(b"\x00\x00\x01", i + 3)
    return types


def is_key_frame(codec, pes):
    if codec == "mpeg2":
        return b"\x00\x00\x01\xb8" in pes
    types = nal_types(pes, codec == "hevc")
    return (19 in types or 20 in types) if codec == "hevc" else 5 in types


# ---------------------------------------------------------------------------------------------

def namespaces_available():
    if os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("ip") is None:
        return False
    return subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=30).returncode == 0


def ffmpeg_available():
    if shutil.which("ffmpeg") is None:
        return False
    p = subprocess.run(["ffmpeg", "-hide_banner", "-encoders"], capture_output=True, text=True, timeout=30)
    return all(e in p.stdout for e in ("libx264", "libx265", "mpeg2video", "ac3", "mp2"))


@unittest.skipUnless(os.path.exists(SERVER) and os.path.exists(TOOL), "programs not built")
class LiveIngest(unittest.TestCase):
    def record(self, folder, seconds, only=None):
        env = dict(os.environ)
        env.update(SAN_ENV)
        script = '%s && exec python3 "$0" --inside "$1" "$2" "$3"' % SETUP
        p = subprocess.run(["unshare", "-n", "sh", "-c", script, os.path.abspath(__file__), folder, str(seconds),
                            ",".join(str(c) for c in only) if only else "all"],
                           capture_output=True, text=True, timeout=seconds + 150, env=env, stdin=subprocess.DEVNULL)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        with open(os.path.join(folder, "result.json")) as f:
            result = json.load(f)
        out = result["output"]
        self.assertTrue(result["ready"], out)
        for status, err in result["ffmpeg"]:
            self.assertEqual(status, 0, err)
        self.assertEqual(result["status"], 0, out[-5000:] + result["errors"][-3000:])
        self.assertNotIn("AddressSanitizer", result["errors"])
        self.assertNotIn("runtime error", result["errors"])
        return out

    def check_gops(self, gops, key, codec, first_number, out):
        self.assertIn(key, gops, out[-4000:])
        seq = gops[key]
        self.assertGreaterEqual(len(seq), 5, "%s: %d GOPs" % (key, len(seq)))
        self.assertEqual(seq[0]["number"], first_number, key)
        for a, b in zip(seq, seq[1:]):
            self.assertEqual(b["number"], a["number"] + 1, key)
            self.assertEqual(b["pts"] - a["pts"], 90000, (key, a["number"]))
        for g in seq:
            where = (key, g["number"])
            self.assertEqual(g["gop_id"], g["number"], where)
            self.assertEqual(g["sig"], 0xAABB01FF, where)
            self.assertEqual(g["closed"], g["data_size"], where)
            self.assertFalse(g["closed_flag"], where)
            self.assertEqual(len(g["data"]) % 1344, 0, where)
            self.assertEqual(g["slots"], len(g["data"]) // 1344 * 7, where)
            self.assertGreaterEqual(len(g["pat"]), 188, where)
            self.assertEqual(g["pat"][0], 0x47)
            self.assertEqual(((g["pat"][1] & 0x1F) << 8) | g["pat"][2], 0, where)
            self.assertGreaterEqual(len(g["pmt"]), 188, where)
            self.assertEqual(((g["pmt"][1] & 0x1F) << 8) | g["pmt"][2], g["pmt_pid"], where)
            self.assertEqual(g["pat"][3] & 0x0F, g["number"] % 16, where)
            self.assertEqual(sorted(g["accessors"]), [1, 2, 3, 4, 5], where)
            self.assertTrue(g["infos"], where)
            self.assertEqual(g["infos"][0][0] & 0x11, 0x11, where)
            self.assertTrue(is_key_frame(codec, first_video_pes(g)), where)
            self.assertNotEqual(g["pts"], 0, where)
            audio = [i for i in g["infos"] if i[0] & 0x20]
            self.assertTrue(audio, where)
            self.assertEqual(audio[0][0] & 0x01, 0x01, where)  # whole audio PES only

    def test_record_check_and_restart(self):
        if not namespaces_available():
            self.skipTest("network namespaces need root")
        if not ffmpeg_available():
            self.skipTest("ffmpeg with libx264, libx265, mpeg2video, ac3 and mp2 is needed")
        with ScratchDir() as d:
            medium = os.path.join(d, "medium")
            status, out, err = run([TOOL, medium, "initfast=420M", "1"], d, timeout=60)
            self.assertEqual(status, 0, out + err)

            out = self.record(d, RECORD_SECONDS)
            self.assertIn("PAT parsed (MPTS)....", out)
            self.assertIn("PMT parsed, VPID=258 PCR=VPID PROTECTION=FTA APID=259", out)
            self.assertIn("first incomplete live GOP skipped...", out)
            self.assertNotIn("continuity counter error", out)
            self.assertNotIn("overflow...", out)
            self.assertNotIn("TS parsing failed", out)

            status, tool_out, tool_err = run([TOOL, medium, "check"], d, timeout=120)
            self.assertEqual(status, 0, tool_out + tool_err)

            gops, problems = read_medium(medium)
            self.assertEqual(problems, [])
            for content, (codec, _, subs) in CHANNELS.items():
                self.check_gops(gops, (content, 0), codec, 4097, out)
            # The second bitrate carries the numbers of the primary's GOPs with the same PTS.
            primary = {g["number"]: g["pts"] for g in gops[(101, 0)]}
            second = gops.get((101, 1), [])
            self.assertGreaterEqual(len(second), 5, out[-4000:])
            for g in second:
                self.assertIn(g["number"], primary)
                self.assertEqual(g["pts"], primary[g["number"]])
            last = gops[(101, 0)][-1]["number"]

            out = self.record(d, RESTART_SECONDS, only=[101])
            status, tool_out, tool_err = run([TOOL, medium, "check"], d, timeout=120)
            self.assertEqual(status, 0, tool_out + tool_err)
            gops, problems = read_medium(medium)
            self.assertEqual(problems, [])
            later = [g for g in gops[(101, 0)] if g["number"] > last]
            self.assertGreaterEqual(len(later), 3, out[-4000:])
            self.assertEqual(later[0]["number"], last + 4097)
            for a, b in zip(later, later[1:]):
                self.assertEqual(b["number"], a["number"] + 1)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        inside(sys.argv[2], int(sys.argv[3]), None if sys.argv[4] == "all" else [int(c) for c in sys.argv[4].split(",")])
    else:
        unittest.main()
