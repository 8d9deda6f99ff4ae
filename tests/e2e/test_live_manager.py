"""The live input manager inside the running server: channels from the channel database start
in sub-stream order, a removed line stops its channel within one reload, a changed retention is
updated without a restart, a file of comments stops everything, and SIGTERM stops the channels
highest sub-stream first before the process exits with 0."""
import os
import re
import signal
import unittest

from mvtest import SERVER, Process, ScratchDir, write_file

SOURCE = "SOURCE 1:ts2v3:239.1.1.1:1234\n"
CHANNELS = [
    "PROGRAM 1:100:2:5:60:1\n",   # sub-stream 2 of content 5, listed first
    "PROGRAM 1:100:0:5:60:1\n",
    "RPROGRAM 1:101:1:5:60:1\n",
    "PROGRAM 1:200:0:6:30:1\n",
    "PROGRAM 1:300:16:7:30:1\n",  # sub-stream 16: never started
]
RELOAD = 20.0  # one 5-second reload period, the stop of real segmenters and writers, slack for loaded machines


def write_db(path, text):
    # Replaced in one step, so that a reload never reads half a file.
    tmp = path + ".tmp"
    write_file(tmp, text)
    os.replace(tmp, path)


def cids(lines, verb):
    pattern = re.compile(r"\[LIVE\] %s CID\((\d+)\)\((\d+)\)\((\d+)\)$" % verb)
    return [tuple(int(g) for g in m.groups()) for m in (pattern.search(l) for l in lines) if m]


def stopped(lines):
    pattern = re.compile(r"\[LIVE\] Stopping thread that writes content ID = (\d+) \(\)$")
    return [int(m.group(1)) for m in (pattern.search(l) for l in lines) if m]


class LiveManager(unittest.TestCase):
    def test_reload_cycle_and_shutdown_order(self):
        with ScratchDir() as d:
            db = os.path.join(d, "channels.lst")
            write_db(db, "# test channels\n" + SOURCE + "".join(CHANNELS))
            cfg = os.path.join(d, "server.cfg")
            write_file(cfg, "SCREENLOG 1\nFILELOG 0\nSYNCDATA 0\nDATABASE FILE:%s\n" % db)
            p = Process([SERVER, "-c", cfg], d)
            try:
                self.assertIsNotNone(p.wait_for("[LIVE] Loaded (5) channels for handling"), p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Starting CID(0)(2)(5)"), p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Starting 5 writers"), p.output())
                self.assertEqual(cids(p.lines, "Starting"), [(0, 0, 5), (0, 0, 6), (0, 1, 5), (0, 2, 5)])

                # Content 6 removed, content 5's primary keeps 90 minutes instead of 60.
                mark = len(p.lines)
                write_db(db, SOURCE + CHANNELS[0] + "PROGRAM 1:100:0:5:90:1\n" + CHANNELS[2] + CHANNELS[4])
                self.assertIsNotNone(p.wait_for("[LIVE] Finished stopping requested writer threads",
                                                timeout=RELOAD, start=mark), p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Updating content ID = 5 () writing times",
                                                timeout=RELOAD, start=mark), p.output())
                section = p.lines[mark:]
                self.assertIn("[LIVE] Stopping 1 writer threads", "\n".join(section))
                self.assertEqual(stopped(section), [6])
                self.assertEqual(cids(section, "Starting"), [])  # nothing restarted

                # A file of comments only loads with no channel and stops them all.
                mark = len(p.lines)
                write_db(db, "# nothing here\n#\n\n")
                self.assertIsNotNone(p.wait_for("[LIVE] Stopping 3 writer threads", timeout=RELOAD, start=mark),
                                     p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Finished stopping requested writer threads",
                                                timeout=RELOAD, start=mark), p.output())
                self.assertEqual(stopped(p.lines[mark:]), [5, 5, 5])

                # Back again, then SIGTERM: other bitrates stop before their primary stream.
                mark = len(p.lines)
                write_db(db, SOURCE + "".join(CHANNELS))
                self.assertIsNotNone(p.wait_for("[LIVE] Starting CID(0)(2)(5)", timeout=RELOAD, start=mark),
                                     p.output())
                mark = len(p.lines)
                p.signal(signal.SIGTERM)
                self.assertEqual(p.wait(20), 0, p.output())
                section = p.lines[mark:]
                self.assertIn("[LIVE] Stopping 4 writer threads", "\n".join(section))
                order = [l for l in section if "Stopping thread that writes" in l]
                self.assertEqual(stopped(order), [5, 5, 5, 6], "\n".join(section))
                self.assertIn("Received SIGTERM: beginning controlled shutdown...", "\n".join(p.err_lines))
                self.assertNotIn("CID(0)(16)(7)", p.output())
            finally:
                p.stop()

    def test_missing_database_is_retried_and_sigterm_still_exits(self):
        with ScratchDir() as d:
            db = os.path.join(d, "later.lst")
            cfg = os.path.join(d, "server.cfg")
            write_file(cfg, "SCREENLOG 1\nFILELOG 0\nSYNCDATA 0\nDATABASE FILE:%s\n" % db)
            p = Process([SERVER, "-c", cfg], d)
            try:
                self.assertIsNotNone(p.wait_for("[DB] Could not open channel file (%s)" % db), p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Warning, channels loading failed"), p.output())
                # Retried every second until the file appears.
                write_db(db, SOURCE + CHANNELS[1])
                self.assertIsNotNone(p.wait_for("[LIVE] Starting CID(0)(0)(5)", timeout=5), p.output())
                self.assertIsNotNone(p.wait_for("[LIVE] Loaded (1) channels for handling"), p.output())
                p.signal(signal.SIGTERM)
                self.assertEqual(p.wait(20), 0, p.output())
                self.assertIn("[LIVE] Stopping thread that writes content ID = 5 ()", p.output())
            finally:
                p.stop()


if __name__ == "__main__":
    unittest.main()
