"""Helpers shared by the black-box tests: where the built programs are, running the
server in a scratch folder, and waiting (always bounded) for lines in its output."""
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

BUILD_DIR = os.environ.get("MV_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "test"))
SOURCE_DIR = os.environ.get("MV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = os.path.join(BUILD_DIR, "movrel-nerio", "movrel-nerio")
TOOL = os.path.join(BUILD_DIR, "movrel-vs-storage-tool", "movrel-vs-storage-tool")

# Sanitizer runtime settings for the programs the tests start.
SAN_ENV = {
    # The programs end through exit() with detached threads still holding memory; leak
    # reports there are noise (the unit tests keep leak detection on).
    "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0",
    "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"),
    "TZ": "UTC",
}


class ScratchDir:
    """A temporary working folder, removed afterwards."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="mvtest-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def run(args, cwd, timeout=30, env=None):
    """Runs a program to its end; returns (status, stdout, stderr)."""
    full_env = dict(os.environ)
    full_env.update(SAN_ENV)
    if env:
        full_env.update(env)
    p = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=timeout, env=full_env,
                       stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout, p.stderr


class Process:
    """A running program whose standard output and error are collected line by line."""

    def __init__(self, args, cwd, env=None):
        full_env = dict(os.environ)
        full_env.update(SAN_ENV)
        if env:
            full_env.update(env)
        self.lines = []
        self.err_lines = []
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True, errors="replace", env=full_env)
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.err_lines), daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, into):
        for line in stream:
            with self._cond:
                into.append(line.rstrip("\n"))
                self._cond.notify_all()

    def wait_for(self, text, timeout=15.0, start=0, stream="out"):
        """Index of the first line from `start` on that contains text, or None after timeout."""
        lines = self.lines if stream == "out" else self.err_lines
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(lines)):
                    if text in lines[i]:
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not any(t.is_alive() for t in self._threads)):
                    return None
                self._cond.wait(min(left, 0.2))

    def output(self):
        with self._cond:
            return "\n".join(self.lines)

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def wait(self, timeout=20.0):
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
            status = None
        for t in self._threads:
            t.join(timeout=5)
        return status

    def stop(self):
        """Ends the process however it is doing: SIGTERM, then SIGKILL."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait(15.0)


def write_file(path, text):
    with open(path, "w") as f:
        f.write(text)


def _crc_table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        table.append(c & 0xFFFFFFFF)
    return table


_CRC_TABLE = _crc_table()


def crc32_mpeg2(data):
    """CRC-32/MPEG-2 (MSB first, initial value all ones, no final inversion), written here
    independently of the programs' own code."""
    crc = 0xFFFFFFFF
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _CRC_TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc
