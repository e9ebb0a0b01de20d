#!/usr/bin/python3
"""The Debian package as packaging/make-deb builds it from this build: its fields and dependencies,
its files, no trace of the build machine's paths, and lintian without errors.

Run with TRAYLINE_BUILD_DIR, TRAYLINE_SOURCE_DIR and TRAYLINE_VERSION set."""

import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.path.realpath(os.environ["TRAYLINE_BUILD_DIR"])
SOURCE = os.path.realpath(os.environ["TRAYLINE_SOURCE_DIR"])
VERSION = os.environ["TRAYLINE_VERSION"]


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="trayline-deb-")
        # A builder with a private umask still makes a package whose files everyone can read.
        made = subprocess.run([f"{SOURCE}/packaging/make-deb", "--build", BUILD, "--out", cls.out],
                              capture_output=True, text=True, timeout=600, preexec_fn=lambda: os.umask(0o077))
        assert made.returncode == 0, made.stderr
        cls.deb = made.stdout.strip()
        cls.tree = f"{cls.out}/tree"
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "--field", self.deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_name_fields_and_computed_dependencies(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        self.assertEqual(os.path.basename(self.deb), f"trayline_{VERSION}_{arch}.deb")
        self.assertEqual((self.field("Package"), self.field("Version"), self.field("Architecture")),
                         ("trayline", VERSION, arch))
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        # What the binaries link, as dpkg-shlibdeps found it (with versions), plus the platform plugins.
        for package in ("libc6", "libqt6widgets6", "libqt6dbus6", "libcurl4", "libsecret-1-0", "qt6-qpa-plugins"):
            self.assertIn(package, depends)
        self.assertRegex(self.field("Depends"), r"libqt6widgets6 \(>= [0-9.]+\)")
        info = subprocess.run(["dpkg-deb", "--info", self.deb], capture_output=True, text=True).stdout
        # No maintainer scripts: removing or purging the package cannot touch anyone's home.
        self.assertNotRegex(info, r"\b(preinst|postinst|prerm|postrm)\b")

    def test_files_in_place(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], capture_output=True, text=True).stdout
        entries = {line.split()[5]: line.split()[0] for line in listing.splitlines()}
        for path, mode in (("./usr/bin/trayline", "-rwxr-xr-x"), ("./usr/lib/trayline/libtrayline-tray.so", "-rw-r--r--"),
                           ("./usr/share/applications/com.brindle.trayline.desktop", "-rw-r--r--"),
                           ("./usr/share/metainfo/com.brindle.trayline.metainfo.xml", "-rw-r--r--"),
                           ("./usr/share/man/man1/trayline.1.gz", "-rw-r--r--"),
                           ("./usr/share/icons/hicolor/scalable/apps/com.brindle.trayline.svg", "-rw-r--r--"),
                           ("./usr/share/icons/hicolor/22x22/apps/com.brindle.trayline.png", "-rw-r--r--"),
                           ("./usr/share/doc/trayline/copyright", "-rw-r--r--"),
                           ("./usr/share/doc/trayline/changelog.gz", "-rw-r--r--")):
            self.assertEqual(entries.get(path), mode, path)
        self.assertEqual([p for p in entries if not p.startswith("./usr/")], ["./"])
        self.assertEqual({line.split()[1] for line in listing.splitlines()}, {"root/root"})

    def test_no_build_path_in_any_file(self):
        leaks = subprocess.run(["grep", "-rlaF", "-e", BUILD, "-e", SOURCE, self.tree], capture_output=True, text=True)
        self.assertEqual(leaks.stdout, "")

    def test_lintian_finds_no_error_and_no_warning(self):
        checked = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True)
        tags = [line for line in checked.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual((checked.returncode, tags), (0, []), checked.stdout + checked.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
