"""The server as an operator starts it: command line, exit statuses, configuration
errors, live reload, log files, SIGTERM and crash signals."""
import datetime
import os
import signal
import unittest

from mvtest import SERVER, Process, ScratchDir, run, write_file

BASE_CFG = "SCREENLOG 1\nFILELOG 0\nSYNCDATA 0\n"


class CommandLine(unittest.TestCase):
    def test_help_and_version(self):
        with ScratchDir() as d:
            status, out, _ = run([SERVER, "--help"], d)
            self.assertEqual(status, 0)
            self.assertIn("-c --config\tSet configuration file path (defaults to 'movrel-nerio.cfg' in CWD)", out)
            self.assertIn("-h --help\tPrint this help screen", out)
            self.assertIn("-v --version\tPrint version info", out)
            self.assertIn("-l --logdir", out)
            status, out, _ = run([SERVER, "-v"], d)
            self.assertEqual(status, 0)
            self.assertIn("=" * 56, out)
            self.assertRegex(out, r"\[I\] Movrel Nerio Server Version: [^ ]+-[^ ]+-[^ ]+, [A-Z][a-z]{2} [ 0-9]\d \d{4}")

    def test_exit_statuses(self):
        cases = [
            (["-c"], 2, "[MAIN] Malformed command-line parameter"),
            (["--config"], 2, "[MAIN] Malformed command-line parameter"),
            (["-c", "-h"], 0, "-h --help"),         # the value is looked at again as an option
            (["-l"], 255, "Could not open config file 'movrel-nerio.cfg'"),  # -l last: ignored
            (["-c", "missing.cfg"], 255, "Could not open config file 'missing.cfg'"),
        ]
        with ScratchDir() as d:
            for args, want, text in cases:
                with self.subTest(args=args):
                    status, out, _ = run([SERVER] + args, d)
                    self.assertEqual(status, want, out)
                    self.assertIn(text, out)

    def test_fatal_configuration_lines(self):
        cases = [
            ("STORAGE 0:/data/a\n", 2, "[CFG] Storage ID should be positive number"),
            ("STORAGE /data/a\n", 2, "[CFG] Use: STORAGE ID:PATH"),
            ("HLS 8080\n", 2, "[CFG] FATAL: Invalid HLS keyword: '8080'. Supply 'HLS address:port' pair"),
            ("OTTMP 5000\n", 2, "[CFG] FATAL: Invalid OTTMP keyword"),
            ("WS 192.0.2.77:9000\n", 2, "[CFG] FATAL: Invalid WS keyword"),
        ]
        with ScratchDir() as d:
            for line, want, text in cases:
                with self.subTest(line=line):
                    write_file(os.path.join(d, "movrel-nerio.cfg"), BASE_CFG + line)
                    status, out, _ = run([SERVER], d)
                    self.assertEqual(status, want, out)
                    self.assertIn(text, out)


class Running(unittest.TestCase):
    def test_reload_sigterm_and_daily_log(self):
        with ScratchDir() as d:
            logdir = os.path.join(d, "logs")
            os.mkdir(logdir)
            cfg = os.path.join(d, "server.cfg")
            write_file(cfg, "SCREENLOG 1\nFILELOG 1\nSYNCDATA 1\nSENDPARTS 32\n")
            p = Process([SERVER, "-c", cfg, "-l", logdir], d)
            try:
                self.assertIsNotNone(p.wait_for("[CFG] Will send 32 V3 parts at once"), p.output())
                started = p.wait_for("[LIVE] Loading channels")
                self.assertIsNotNone(started, p.output())
                write_file(cfg, "SCREENLOG 1\nFILELOG 1\nSYNCDATA 1\nSENDPARTS 40\n")
                self.assertIsNotNone(p.wait_for("[CFG] Will send 40 V3 parts at once", timeout=15), p.output())
                # A reload that leaves the value as it is logs nothing more.
                mark = len(p.lines)
                self.assertIsNone(p.wait_for("V3 parts at once", timeout=11, start=mark))
                p.signal(signal.SIGTERM)
                self.assertEqual(p.wait(20), 0, p.output())
                self.assertIn("Received SIGTERM: beginning controlled shutdown...", "\n".join(p.err_lines))
            finally:
                p.stop()
            logs = [f for f in os.listdir(logdir) if f.endswith(".log")]
            self.assertEqual(len(logs), 1, logs)
            today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
            self.assertIn(logs[0], ("movrel-nerio%s.log" % today,
                                    "movrel-nerio%s.log" % (datetime.datetime.now(datetime.timezone.utc)
                                                            - datetime.timedelta(days=1)).strftime("%Y-%m-%d")))
            with open(os.path.join(logdir, logs[0])) as f:
                text = f.read()
            self.assertRegex(text, r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d - \[I\] \[CFG\] Will send 40 V3 parts at once")

    def test_crash_signal_writes_backtrace(self):
        with ScratchDir() as d:
            write_file(os.path.join(d, "movrel-nerio.cfg"), BASE_CFG)
            p = Process([SERVER], d)
            try:
                self.assertIsNotNone(p.wait_for("[LIVE] Loading channels"), p.output())
                p.signal(signal.SIGSEGV)
                self.assertEqual(p.wait(20), 1)
            finally:
                p.stop()
            self.assertIn("Caught SIGSEGV: Segmentation Fault", "\n".join(p.err_lines))
            trace = os.path.join(d, "backtrace.txt")
            self.assertTrue(os.path.exists(trace))
            self.assertEqual(os.stat(trace).st_mode & 0o777, 0o600)
            with open(trace) as f:
                self.assertIn("movrel-nerio", f.read())


if __name__ == "__main__":
    unittest.main()
