"""The Debian package: CPack builds it from this build tree; it must hold the driver, the
simulators, the systemd unit, the system user, the log rotation rule and the sample settings,
create the user in its postinst, and its unit must pass systemd-analyze verify."""

import grp
import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

EXPECTED_FILES = [
    "./usr/bin/drvnt417",
    "./usr/libexec/drvnt417/receiver-sim",
    "./usr/libexec/drvnt417/v7-server-sim",
    "./usr/libexec/drvnt417/v8-server-sim",
    "./usr/lib/systemd/system/drvnt417.service",
    "./usr/lib/sysusers.d/drvnt417.conf",
    "./etc/logrotate.d/drvnt417",
    "./usr/share/drvnt417/drvnt417.ini",
    "./usr/share/doc/drvnt417/README.md",
]


def run(*argv, **kwargs):
    """The command's standard output. A command that fails fails the test with all it printed,
    since its reason (cpack: "file utility is not available") is only there."""
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} exited with {result.returncode}\n"
                             f"--- standard output:\n{result.stdout}"
                             f"--- standard error:\n{result.stderr}")
    return result.stdout


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="drvnt417-deb-")
        run(os.environ["CPACK"], "--config", os.environ["CPACK_CONFIG"], "-G", "DEB",
            "-B", cls.dir)
        debs = [n for n in os.listdir(cls.dir) if n.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError(f"cpack made {debs}")
        cls.deb = os.path.join(cls.dir, debs[0])
        cls.root = os.path.join(cls.dir, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_holds_every_file(self):
        listing = run("dpkg-deb", "-c", self.deb)
        paths = {line.split()[-1] for line in listing.splitlines()}
        missing = [p for p in EXPECTED_FILES if p not in paths]
        self.assertEqual(missing, [], listing)
        for program in ("usr/bin/drvnt417", "usr/libexec/drvnt417/v8-server-sim"):
            self.assertTrue(os.access(os.path.join(self.root, program), os.X_OK), program)

    def test_control_and_maintainer_scripts(self):
        control = run("dpkg-deb", "-f", self.deb)
        self.assertIn("Package: drvnt417", control)
        self.assertIn(f"Version: {os.environ['DRVNT_VERSION']}", control)
        self.assertIn("adduser", control)
        scripts = os.path.join(self.dir, "control")
        run("dpkg-deb", "-e", self.deb, scripts)
        with open(os.path.join(scripts, "postinst")) as f:
            postinst = f.read()
        self.assertIn("systemd-sysusers", postinst)
        self.assertIn("dialout", postinst)
        with open(os.path.join(scripts, "conffiles")) as f:
            self.assertIn("/etc/logrotate.d/drvnt417", f.read())
        with open(os.path.join(self.root, "usr/lib/sysusers.d/drvnt417.conf")) as f:
            sysusers = f.read()
        self.assertIn("u drvnt417 ", sysusers)
        self.assertIn("m drvnt417 dialout", sysusers)

    def test_unit_passes_systemd_analyze_verify(self):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is not installed (scripts/install-deps.sh installs it)")
        unit = os.path.join(self.root, "usr/lib/systemd/system/drvnt417.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn("Type=notify", text)
        self.assertIn("WatchdogSec=", text)
        self.assertIn("ExecStart=/usr/bin/drvnt417\n", text)
        # verify wants the program at its ExecStart path: point it at the unpacked one.
        checked = os.path.join(self.dir, "drvnt417.service")
        with open(checked, "w") as f:
            f.write(text.replace("ExecStart=/usr/bin/drvnt417",
                                 "ExecStart=" + os.path.join(self.root, "usr/bin/drvnt417")))
        result = subprocess.run([analyze, "verify", checked], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # Anything it says about our unit is a finding; notes about other units are not.
        findings = [l for l in (result.stdout + result.stderr).splitlines()
                    if "drvnt417.service" in l]
        self.assertEqual(findings, [])

    def test_logrotate_rule_parses(self):
        logrotate = shutil.which("logrotate") or "/usr/sbin/logrotate"
        if not os.access(logrotate, os.X_OK):
            self.skipTest("logrotate is not installed (scripts/install-deps.sh installs it)")
        # The service user exists only where the package was installed: check the rule as ours.
        me = f"{pwd.getpwuid(os.getuid()).pw_name} {grp.getgrgid(os.getgid()).gr_name}"
        with open(os.path.join(self.root, "etc/logrotate.d/drvnt417")) as f:
            text = f.read()
        self.assertEqual(text.count("drvnt417 drvnt417"), 2, text)
        rule = os.path.join(self.dir, "logrotate.conf")
        with open(rule, "w") as f:
            f.write(text.replace("drvnt417 drvnt417", me))
        state = os.path.join(self.dir, "logrotate.state")
        result = subprocess.run([logrotate, "--debug", "--state", state, rule],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        errors = [l for l in (result.stdout + result.stderr).splitlines()
                  if l.lower().startswith("error")]
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
