#!/usr/bin/env python3
"""Black-box tests of movrel-vs-storage-tool: formats small media in a temporary folder and
compares them byte for byte with the medium layout, decoded here independently of the C++ code;
checks, damages and recovers them; and exercises every refusal of the command line."""

import datetime
import os
import struct
import subprocess
import tempfile
import unittest

from mvtest import crc32_mpeg2

BUILD = os.environ.get("MV_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "dev"))
TOOL = os.path.abspath(os.path.join(BUILD, "movrel-vs-storage-tool", "movrel-vs-storage-tool"))

HEADER_AREA = 1024
INFO_SIZE = 72
INDEX_SIZE = 6144
STRIDE = INFO_SIZE + INDEX_SIZE
BLOCK = 32 * 1024 * 1024
MIB = 1024 * 1024




def info_offset(i):
    return HEADER_AREA + i * STRIDE


def data_offset(n, i):
    return HEADER_AREA + n * STRIDE + i * BLOCK


def expected_header(blocks, created):
    head = struct.pack("<IIQQQQ", 0xADBC01FF, 0, 3, created, blocks, 0)
    return head + struct.pack("<II", crc32_mpeg2(head), 0)


def expected_free_block(position, storage_id):
    index = bytes(INDEX_SIZE)
    body = struct.pack("<IIIIQQQQQI", position + 1, storage_id, 0xFFFFFF00, 0, 0, 0, 0, 0, 0, 0)
    body += struct.pack("<I", crc32_mpeg2(index))
    assert len(body) == 64
    return body + struct.pack("<II", crc32_mpeg2(body), 0) + index


def decode_header(raw):
    sig, res4, ver, created, blocks, res32, crc, res44 = struct.unpack("<IIQQQQII", raw[:48])
    return dict(sig=sig, res4=res4, ver=ver, created=created, blocks=blocks, res32=res32, crc=crc,
                res44=res44)


def mvtime_fields(t):
    return (t >> 48, (t >> 40) & 0xFF, (t >> 32) & 0xFF, (t >> 24) & 0xFF, (t >> 16) & 0xFF,
            (t >> 8) & 0xFF, t & 0xFF)


def blocks_for_size(size):
    """The formatting rule, as a plain count-down."""
    b = (size - 1024) // BLOCK
    n = b - 1
    while n > 0 and n + (n * STRIDE) // BLOCK + 1 > b:
        n -= 1
    return max(n, 0)


class StorageToolTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(TOOL), TOOL)
        self._tmp = tempfile.TemporaryDirectory(prefix="mvstool-")
        self.dir = self._tmp.name
        self.medium = os.path.join(self.dir, "medium.bin")

    def tearDown(self):
        self._tmp.cleanup()

    def run_tool(self, *args, timeout=120):
        env = dict(os.environ, TZ="UTC")
        p = subprocess.run([TOOL, *args], cwd=self.dir, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace")

    def read(self, offset, size):
        with open(self.medium, "rb") as f:
            f.seek(offset)
            return f.read(size)

    def patch(self, offset, data):
        with open(self.medium, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def assert_usage(self, rc, out):
        self.assertEqual(rc, 255, out)
        self.assertIn("Use: movrel-vs-storage-tool <filename> <operation> [<storage_id>]", out)
        self.assertIn("      recover                 recover storage", out)

    def assert_formatted(self, n, storage_id, size):
        """Header, reserved area and every block's record and index, byte for byte."""
        header = decode_header(self.read(0, 48))
        self.assertEqual(self.read(0, 48), expected_header(n, header["created"]))
        self.assertEqual(self.read(48, HEADER_AREA - 48), bytes(HEADER_AREA - 48))
        year, month, day, hour, minute, second, centi = mvtime_fields(header["created"])
        created = datetime.datetime(year, month, day, hour, minute, second, centi * 10000)
        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        self.assertLess(abs((now - created).total_seconds()), 60)
        for i in range(n):
            self.assertEqual(self.read(info_offset(i), STRIDE), expected_free_block(i, storage_id),
                             "block %d" % (i + 1))
        self.assertEqual(os.path.getsize(self.medium), size)

    # ---- formatting ----

    def test_initfast_writes_the_layout_and_leaves_data_regions_alone(self):
        size = 129 * MIB
        n = blocks_for_size(size)
        self.assertEqual(n, 3)
        # Marks in the data regions and at the very start of the data area must survive.
        with open(self.medium, "wb") as f:
            f.truncate(size)
        for i in range(n):
            self.patch(data_offset(n, i), b"DATA%d" % i)
            self.patch(data_offset(n, i) + BLOCK - 4, b"END%d" % i)
        rc, out = self.run_tool(self.medium, "initfast=129M")
        self.assertEqual(rc, 0, out)
        self.assert_formatted(n, 0, size)
        for i in range(n):
            self.assertEqual(self.read(data_offset(n, i), 5), b"DATA%d" % i)
            self.assertEqual(self.read(data_offset(n, i) + BLOCK - 4, 4), b"END%d" % i)
        for text in ("'initfast' detected", "Calculating block count...", "Block count detected: (3)",
                     "Original size in blocks: (4)", "Index and info will occupy: (%d)" % (3 * STRIDE + 1024),
                     "[CHUNK] Processed 33%", "[CHUNK] Processed 66%", "[CHUNK] Updating storage info...",
                     "[CHUNK] Storage (%s) : saving info" % self.medium, "[CHUNK] Done...",
                     "Movrel Nerio Storage Tool Version: "):
            self.assertIn(text, out)
        self.assertNotIn("Processed 100%", out)

    def test_initfast_on_a_new_file_makes_it_sparse_at_full_size(self):
        rc, out = self.run_tool(self.medium, "initfast=100m")
        self.assertEqual(rc, 0, out)
        self.assert_formatted(2, 0, 100 * MIB)
        self.assertLess(os.stat(self.medium).st_blocks * 512, 4 * MIB)
        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"\[CHUNK\] Storage \(.*medium.bin\), Version \(3\), Blocks\(2\), "
                              r"Created\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\)")

    def test_storage_id_argument(self):
        rc, out = self.run_tool(self.medium, "initfast=100M", "513")
        self.assertEqual(rc, 0, out)
        self.assert_formatted(2, 513, 100 * MIB)
        for bad in ("abc", "70000", "-1", "12x", ""):
            rc, out = self.run_tool(self.medium, "initfast=100M", bad)
            self.assert_usage(rc, out)
        # initfull always formats for storage 0.
        rc, out = self.run_tool(self.medium, "initfull=100M", "9")
        self.assertEqual(rc, 0, out)
        self.assert_formatted(2, 0, 100 * MIB)

    def test_initfull_zeroes_exactly_the_data_regions(self):
        size = 100 * MIB
        n = 2
        with open(self.medium, "wb") as f:
            f.write(b"\xAB" * size)
        rc, out = self.run_tool(self.medium, "initfull=100M")
        self.assertEqual(rc, 0, out)
        self.assertIn("'initfull' detected", out)
        self.assert_formatted(n, 0, size)
        zero = bytes(BLOCK)
        for i in range(n):
            self.assertTrue(self.read(data_offset(n, i), BLOCK) == zero, "data region %d" % i)
        tail = data_offset(n, n)
        self.assertEqual(self.read(tail, size - tail), b"\xAB" * (size - tail))

    def test_size_that_fits_no_block_writes_the_header_only(self):
        rc, out = self.run_tool(self.medium, "initfast=64M")
        self.assertEqual(rc, 0, out)
        self.assertIn("Block count detected: (0)", out)
        self.assertIn("Original size in blocks: (1)", out)
        self.assertEqual(self.read(0, 48), expected_header(0, decode_header(self.read(0, 48))["created"]))
        self.assertEqual(self.read(HEADER_AREA, STRIDE), bytes(STRIDE))
        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 0, out)

    # ---- command line ----

    def test_refused_arguments_print_usage_and_touch_nothing(self):
        cases = [
            ["initfast=10x"], ["initfast=10"], ["initfast="], ["initfast"], ["initfastX=100M"],
            ["initfast=0M"], ["initfast=-5G"], ["initfast=+-5G"],
            ["initfast=32M"],                 # below one block plus the header
            ["initfast=32768K"],              # 1024 bytes short of one block plus the header
            ["initfast=3000000000G"],         # not an int
            ["initfast=16777216T"],           # 2^64 bytes
            ["initfast=70000T"],              # more blocks than a block number can count
            ["initfull=5q"], ["format"], ["chec"], ["recove"], [],
        ]
        for args in cases:
            with self.subTest(args=args):
                rc, out = self.run_tool(self.medium, *args)
                self.assert_usage(rc, out)
                self.assertFalse(os.path.exists(self.medium))
        rc, out = self.run_tool()
        self.assert_usage(rc, out)
        rc, out = self.run_tool("x" * 1100, "initfast=100M")
        self.assert_usage(rc, out)

    def test_smallest_accepted_size(self):
        rc, out = self.run_tool(self.medium, "initfast=32769K")  # one block plus the header
        self.assertEqual(rc, 0, out)
        self.assertIn("Block count detected: (0)", out)

    def test_operations_match_by_prefix(self):
        rc, out = self.run_tool(self.medium, "initfastest=100M")  # prefix matches, form does not
        self.assert_usage(rc, out)
        rc, out = self.run_tool(self.medium, "initfast=100Mbytes")
        self.assertEqual(rc, 0, out)
        rc, out = self.run_tool(self.medium, "checkme")
        self.assertEqual(rc, 0, out)
        self.assertIn("'check' detected", out)
        rc, out = self.run_tool(self.medium, "recovery")
        self.assertEqual(rc, 0, out)
        self.assertIn("'recover' detected", out)

    def test_missing_medium_is_an_error(self):
        for op in ("check", "recover"):
            rc, out = self.run_tool(os.path.join(self.dir, "absent.bin"), op)
            self.assertEqual(rc, 255, out)
            self.assertIn("could not access media, error (2)", out)
            self.assertIn("[CHUNK] Done...", out)
        rc, out = self.run_tool(os.path.join(self.dir, "no", "such", "dir"), "initfast=100M")
        self.assertEqual(rc, 255, out)

    # ---- check and recover ----

    def test_header_failures_refuse_check_and_recover(self):
        rc, out = self.run_tool(self.medium, "initfast=100M")
        self.assertEqual(rc, 0, out)
        good = self.read(0, 48)
        h = decode_header(good)

        def header(sig=0xADBC01FF, ver=3, crc=None):
            head = struct.pack("<IIQQQQ", sig, 0, ver, h["created"], h["blocks"], 0)
            return head + struct.pack("<II", crc32_mpeg2(head) if crc is None else crc, 0)

        cases = [
            (header(ver=2), "info version is unknown"),
            (header(sig=0xADBC01FE, ver=2), "info signature is wrong"),
            (header(crc=h["crc"] ^ 1), "info is damaged"),
        ]
        for raw, message in cases:
            for op in ("check", "recover"):
                with self.subTest(message=message, op=op):
                    self.patch(0, raw)
                    rc, out = self.run_tool(self.medium, op)
                    self.assertEqual(rc, 255, out)
                    self.assertIn("[CHUNK] Storage (%s) : %s" % (self.medium, message), out)
        self.patch(0, good)
        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 0, out)
        # A medium too short to hold its header.
        with open(self.medium, "r+b") as f:
            f.truncate(20)
        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 255, out)
        self.assertIn("could not read to media", out)

    def test_damaged_blocks_are_found_by_check_and_reset_by_recover(self):
        size, n = 129 * MIB, 3
        rc, out = self.run_tool(self.medium, "initfast=129M", "7")
        self.assertEqual(rc, 0, out)
        self.patch(data_offset(n, 1), b"KEEP")
        self.patch(info_offset(1) + INFO_SIZE + 600, b"\x01")  # block 2: index byte
        self.patch(info_offset(2) + 20, b"\x05")               # block 3: record byte

        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 254, out)
        self.assertIn("[DBG] Integrity failure N0B", out)
        self.assertIn("check error, block(2)", out)
        self.assertNotIn("check error, block(3)", out)  # the first failure ends the run
        self.assertNotIn("check error, block(1)", out)

        rc, out = self.run_tool(self.medium, "recover")
        self.assertEqual(rc, 0, out)
        self.assertIn("check error, block(2)", out)
        self.assertIn("[DBG] Integrity failure N0A", out)
        self.assertIn("check error, block(3)", out)
        self.assertNotIn("check error, block(1)", out)
        # Block 1 untouched (storage 7); repaired blocks are free blocks of storage 0.
        self.assertEqual(self.read(info_offset(0), STRIDE), expected_free_block(0, 7))
        self.assertEqual(self.read(info_offset(1), STRIDE), expected_free_block(1, 0))
        self.assertEqual(self.read(info_offset(2), STRIDE), expected_free_block(2, 0))
        self.assertEqual(self.read(data_offset(n, 1), 4), b"KEEP")
        self.assertEqual(os.path.getsize(self.medium), size)

        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 0, out)
        self.assertNotIn("check error", out)

    def test_medium_shorter_than_its_blocks_fails_check(self):
        rc, out = self.run_tool(self.medium, "initfast=129M")
        self.assertEqual(rc, 0, out)
        with open(self.medium, "r+b") as f:
            f.truncate(info_offset(2) + 100)  # block 3's index is cut
        rc, out = self.run_tool(self.medium, "check")
        self.assertEqual(rc, 254, out)
        self.assertIn("check error, block(3)", out)
        rc, out = self.run_tool(self.medium, "recover")  # rewrites the block, extending the file
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.read(info_offset(2), STRIDE), expected_free_block(2, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
