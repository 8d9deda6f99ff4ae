"""The server's start-up scan of its storage media: a medium formatted by the storage tool is
opened, locked and loaded before any listener starts; a second server on the same medium is
refused the lock and runs without it; blocks formatted for another storage id are reset."""
import os
import signal
import unittest

from mvtest import SERVER, TOOL, Process, ScratchDir, run, write_file

# initfast=100M gives a medium of 2 blocks (3 whole blocks fit, one is left to the info area).
MEDIUM_SIZE = "100M"
MEDIUM_BLOCKS = 2


def format_medium(folder, name, storage_id=None):
    path = os.path.join(folder, name)
    args = [TOOL, path, "initfast=" + MEDIUM_SIZE]
    if storage_id is not None:
        args.append(str(storage_id))
    status, out, err = run(args, folder, timeout=60)
    if status != 0:
        raise AssertionError("storage tool failed (%s):\n%s\n%s" % (status, out, err))
    return path


def server_config(folder, media):
    cfg = os.path.join(folder, "server.cfg")
    lines = ["SCREENLOG 1", "FILELOG 0", "SYNCDATA 1", "READERSLOTS 2", "CACHESIZE 64M"]
    lines += ["STORAGE %d:%s" % (sid, path) for sid, path in media]
    write_file(cfg, "\n".join(lines) + "\n")
    return cfg


class StorageStartup(unittest.TestCase):
    def start(self, folder, cfg):
        p = Process([SERVER, "-c", cfg], folder)

        def finish():
            p.stop()
            p.proc.stdout.close()
            p.proc.stderr.close()

        self.addCleanup(finish)
        return p

    def assert_in_order(self, p, texts, timeout=30.0):
        """Each text appears on a line after the previous one's line."""
        at = 0
        for text in texts:
            i = p.wait_for(text, timeout=timeout, start=at)
            self.assertIsNotNone(i, "missing %r after line %d:\n%s" % (text, at, p.output()))
            at = i + 1
        return at

    def stop_cleanly(self, p):
        p.signal(signal.SIGTERM)
        self.assertEqual(p.wait(20), 0, p.output())

    def test_medium_loaded_before_listeners_and_second_server_refused(self):
        with ScratchDir() as d:
            medium = format_medium(d, "medium1", 1)
            cfg = server_config(d, [(1, medium)])
            first = self.start(d, cfg)
            self.assert_in_order(first, [
                "[MAIN] Starting Cache Manager...",
                "[CACHE] Initialized cache to 67108864 bytes",
                "[MAIN] Initializing storage...",
                "[CHUNK] Storage (%s) : accessing" % medium,
                "[CHUNK] Storage (%s) : loading info" % medium,
                "[CHUNK] Storage (%s) : checking info" % medium,
                "[CHUNK] Storage (%s) : info is ok, created (" % medium,
                "[MAIN] Storage(1), will be allocated (%d) blocks..." % MEDIUM_BLOCKS,
                "[MAIN] Storage(1), block allocation done (%d), storage handle (" % MEDIUM_BLOCKS,
                "[MAIN] Creating LIVE stream listener...",
            ])
            # The scan thread and main's wait for it log side by side; both precede the listeners.
            self.assert_in_order(first, [
                "[CHUNK] Storage (%s) : info is ok" % medium,
                "[MAIN] Waiting for storage initialization...",
                "[MAIN] Creating LIVE stream listener...",
            ])
            out = first.output()
            self.assertNotIn("integrity error", out)
            self.assertNotIn("failed to obtain exclusive lock", out)
            for line in first.lines:
                if "[CHUNK] Storage (%s) : accessing" % medium in line:
                    self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d - \[I\] ")

            # The medium is held by the first server: the second is refused and starts without it.
            second = self.start(d, cfg)
            self.assert_in_order(second, [
                "[CHUNK] Storage (%s) : accessing" % medium,
                "[CHUNK] Storage (%s) : failed to obtain exclusive lock" % medium,
                "[MAIN] Waiting for storage initialization...",
                "[MAIN] Creating LIVE stream listener...",
            ])
            lock_line = next(l for l in second.lines if "failed to obtain exclusive lock" in l)
            self.assertIn(" - [E] ", lock_line)
            self.assertNotIn("will be allocated", second.output())
            self.assertNotIn("loading info", second.output())
            self.stop_cleanly(second)
            self.stop_cleanly(first)

            # Once the first has gone the medium opens again.
            third = self.start(d, cfg)
            self.assert_in_order(third, [
                "[MAIN] Storage(1), block allocation done (%d)" % MEDIUM_BLOCKS,
                "[MAIN] Creating LIVE stream listener...",
            ])
            self.stop_cleanly(third)

    def test_blocks_of_another_storage_id_are_reset(self):
        with ScratchDir() as d:
            medium = format_medium(d, "medium0")  # storage id 0 in every block record
            cfg = server_config(d, [(1, medium)])
            p = self.start(d, cfg)
            self.assert_in_order(p, [
                "[MAIN] Storage(1), will be allocated (%d) blocks..." % MEDIUM_BLOCKS,
                "[MAIN] Storage(1), block (0) of (%d) integrity error, resetting..." % MEDIUM_BLOCKS,
                "[MAIN] Storage(1), block (1) of (%d) integrity error, resetting..." % MEDIUM_BLOCKS,
                "[MAIN] Storage(1), block allocation done (%d)" % MEDIUM_BLOCKS,
                "[MAIN] Creating LIVE stream listener...",
            ])
            warn = next(l for l in p.lines if "integrity error, resetting" in l)
            self.assertIn(" - [W] ", warn)
            self.assertNotIn("reset failure", p.output())
            self.stop_cleanly(p)

            # The reset blocks were written as free blocks of storage 1: the next start finds
            # them valid.
            again = self.start(d, cfg)
            self.assert_in_order(again, [
                "[MAIN] Storage(1), block allocation done (%d)" % MEDIUM_BLOCKS,
                "[MAIN] Creating LIVE stream listener...",
            ])
            self.assertNotIn("integrity error", again.output())
            self.stop_cleanly(again)

    def test_damaged_or_missing_medium_is_skipped(self):
        with ScratchDir() as d:
            good = format_medium(d, "good", 2)
            bad = format_medium(d, "bad", 1)
            with open(bad, "r+b") as f:  # one bit of the block count: the header CRC fails
                f.seek(24)
                b = f.read(1)
                f.seek(24)
                f.write(bytes([b[0] ^ 1]))
            missing = os.path.join(d, "missing")
            cfg = server_config(d, [(1, bad), (2, good), (3, missing)])
            p = self.start(d, cfg)
            self.assert_in_order(p, [
                "[CHUNK] Storage (%s) : integrity failure" % bad,
                "[CHUNK] Storage (%s) : info is ok" % good,
                "[CHUNK] Storage (%s) : accessing" % missing,
                "[MAIN] Waiting for storage initialization...",
                "[MAIN] Creating LIVE stream listener...",
            ])
            self.assert_in_order(p, [
                "[MAIN] Storage(2), will be allocated (%d) blocks..." % MEDIUM_BLOCKS,
                "[MAIN] Storage(2), block allocation done (%d)" % MEDIUM_BLOCKS,
                "[MAIN] Creating LIVE stream listener...",
            ])
            out = p.output()
            self.assertIn("[CHUNK] Storage (%s) : could not access media, error (2)" % missing, out)
            self.assertNotIn("Storage(1), will be allocated", out)
            self.assertNotIn("Storage(3), will be allocated", out)
            self.stop_cleanly(p)

    def test_no_storage_configured(self):
        with ScratchDir() as d:
            cfg = server_config(d, [])
            p = self.start(d, cfg)
            self.assert_in_order(p, ["[MAIN] Starting Cache Manager...",
                                     "[MAIN] Creating LIVE stream listener..."])
            self.assertNotIn("[MAIN] Initializing storage...", p.output())
            self.stop_cleanly(p)


if __name__ == "__main__":
    unittest.main()
