"""Multicast reception in a private network namespace: the namespace is created here (it needs
root), given a multicast route on its loopback interface, and the reception unit tests that need
it run inside; nothing is sent outside the namespace."""
import os
import shutil
import subprocess
import unittest

from mvtest import BUILD_DIR, SAN_ENV

TEST_BINARY = os.path.join(BUILD_DIR, "tests", "test_live")

SETUPS = {
    "multicast": "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo",
    "noroute": "ip link set lo up",
}


def namespaces_available():
    if os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("ip") is None:
        return False
    return subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=30).returncode == 0


class MulticastInNamespace(unittest.TestCase):
    def run_in_namespace(self, mode):
        env = dict(os.environ)
        env.update(SAN_ENV)
        env["MV_LIVE_NETNS"] = mode
        script = '%s && exec "$0" --gtest_filter=LiveNetns.*' % SETUPS[mode]
        p = subprocess.run(["unshare", "-n", "sh", "-c", script, TEST_BINARY], capture_output=True, text=True,
                           timeout=120, env=env, stdin=subprocess.DEVNULL)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        # Exactly one of the namespace tests runs per mode; the other skips.
        self.assertIn("[  PASSED  ] 1 test.", p.stdout, p.stdout)

    @unittest.skipUnless(os.path.exists(TEST_BINARY), "test_live not built")
    def test_groups(self):
        if not namespaces_available():
            self.skipTest("network namespaces need root")
        self.run_in_namespace("multicast")

    @unittest.skipUnless(os.path.exists(TEST_BINARY), "test_live not built")
    def test_join_without_route(self):
        if not namespaces_available():
            self.skipTest("network namespaces need root")
        self.run_in_namespace("noroute")


if __name__ == "__main__":
    unittest.main()
