#!/usr/bin/python3
"""Installs of the real build: the FHS layout staged with DESTDIR (what a package holds), how its
executable finds the tray library (and an MCP run none), what an install does to a prefix that
already holds an older one, in either layout, and the Debian package packaging/make-deb makes: its
fields and dependencies, its files, no trace of the build machine's paths, lintian without errors.

Run with TRAYLINE_CMAKE, TRAYLINE_BUILD_DIR, TRAYLINE_SOURCE_DIR and TRAYLINE_VERSION set."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.path.realpath(os.environ["TRAYLINE_BUILD_DIR"])
SOURCE = os.path.realpath(os.environ["TRAYLINE_SOURCE_DIR"])
VERSION = os.environ["TRAYLINE_VERSION"]
APP_ID = "com.brindle.trayline"


def install(destdir, component=None, prefix="/usr"):
    argv = [os.environ["TRAYLINE_CMAKE"], "--install", BUILD, "--prefix", prefix]
    if component:
        argv += ["--component", component]
    subprocess.run(argv, env=dict(os.environ, DESTDIR=destdir), check=True, stdout=subprocess.DEVNULL)


def run(argv, stdin="", **env):
    """`argv` on a profile of its own, with `env` changed (a variable given None is unset)."""
    scratch = tempfile.mkdtemp(prefix="trayline-run-")
    try:
        environment = dict(os.environ, XDG_CONFIG_HOME=f"{scratch}/config", XDG_DATA_HOME=f"{scratch}/data",
                           XDG_RUNTIME_DIR=scratch, **env)
        environment = {name: value for name, value in environment.items() if value is not None}
        return subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=30, env=environment)
    finally:
        shutil.rmtree(scratch)


def tray_start(trayline):
    """What a tray start says when a platform plugin that does not exist stops the toolkit right
    after the tray library is in."""
    return run([trayline], QT_QPA_PLATFORM="no-such-platform").stderr


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class StagedPackageInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stage = tempfile.mkdtemp(prefix="trayline-stage-")
        install(cls.stage, component="fhs")
        cls.usr = f"{cls.stage}/usr"
        cls.trayline = f"{cls.usr}/bin/trayline"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.stage)

    def test_version_help_and_usage_errors(self):
        version = run([self.trayline, "--version"])
        self.assertEqual((version.returncode, version.stdout, version.stderr), (0, f"trayline {VERSION}\n", ""))
        for flag in ("--help", "-h"):
            shown = run([self.trayline, flag])
            self.assertEqual(shown.returncode, 0)
            for option in ("--mcp", "--toggle", "--version", "show or hide the running instance's panel"):
                self.assertIn(option, shown.stdout)
        for argv in (["--bogus"], ["--toggle", "--Mcp"], ["--mcp-debug"], ["--mcp=1"], ["stray"], ["--help", "--bogus"]):
            with self.subTest(argv=argv):
                refused = run([self.trayline, *argv])
                self.assertEqual(refused.returncode, 2)
                self.assertEqual(refused.stdout, "")
                self.assertIn(argv[-1], refused.stderr)
                self.assertIn("Usage: trayline", refused.stderr)

    def test_mcp_answers_initialize_as_the_installed_version_and_maps_no_qt_library(self):
        line = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                           "params": {"protocolVersion": "2025-06-18"}}) + "\n"
        for argv in (["--mcp"], ["--bogus", "--mcp"]):
            with self.subTest(argv=argv):
                # The dynamic loader reports every library it loads, at start and later, on stderr.
                served = run([self.trayline, *argv], stdin=line, LD_DEBUG="libs")
                self.assertEqual(served.returncode, 0, served.stderr)
                reply = json.loads(served.stdout.splitlines()[0])
                self.assertEqual(reply["result"]["serverInfo"], {"name": "trayline", "version": VERSION})
                self.assertIn("libc.so", served.stderr, "no loader report")
                self.assertNotRegex(served.stderr, "libQt6|libtrayline-tray")

    def test_tray_library_found_in_lib_trayline_and_its_absence_or_no_session_said_clearly(self):
        self.assertIn("no-such-platform", tray_start(self.trayline), "the library was not loaded")
        lone = f"{self.stage}/lone/bin/trayline"
        os.makedirs(os.path.dirname(lone))
        shutil.copy(self.trayline, lone)
        for argv, env, said in (([lone], {}, "cannot load the tray application"),
                                ([self.trayline], {"DISPLAY": None, "WAYLAND_DISPLAY": None, "QT_QPA_PLATFORM": None},
                                 "needs a graphical session")):
            with self.subTest(said=said):
                refused = run(argv, **env)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(said, refused.stderr)
                self.assertIn('"trayline --mcp" runs the MCP server', refused.stderr)

    def test_metainfo(self):
        # The desktop file, the man page and the icons' sizes are lintian's (below), and
        # desktop-file-validate's for a prefix outside /usr.
        metainfo = f"{self.usr}/share/metainfo/{APP_ID}.metainfo.xml"
        checked = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic", metainfo],
                                 capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout)
        with open(metainfo) as f:
            text = f.read()
        self.assertIn(f'<release version="{VERSION}" date="', text)
        self.assertIn(f'<launchable type="desktop-id">{APP_ID}.desktop</launchable>', text)


class InstallOverAnOlderOne(unittest.TestCase):
    def setUp(self):
        self.stage = tempfile.mkdtemp(prefix="trayline-prefix-")
        self.addCleanup(shutil.rmtree, self.stage)

    def test_fhs_replaces_files_and_drops_what_the_older_one_listed(self):
        usr = f"{self.stage}/usr"
        write(f"{usr}/bin/trayline", "older executable")
        write(f"{usr}/share/icons/hicolor/20x20/apps/{APP_ID}.png", "an icon size this version dropped")
        write(f"{usr}/share/trayline/installed-files",
              f"bin/trayline\nshare/icons/hicolor/20x20/apps/{APP_ID}.png\n/etc/passwd\nshare/../../keep\n")
        write(f"{usr}/share/icons/hicolor/20x20/apps/other.png", "another application's file")
        write(f"{self.stage}/keep", "outside the prefix")
        install(self.stage, component="fhs")
        self.assertFalse(os.path.exists(f"{usr}/share/icons/hicolor/20x20/apps/{APP_ID}.png"))
        self.assertTrue(os.path.exists(f"{usr}/share/icons/hicolor/20x20/apps/other.png"))
        self.assertTrue(os.path.exists(f"{self.stage}/keep"))
        self.assertEqual(run([f"{usr}/bin/trayline", "--version"]).stdout, f"trayline {VERSION}\n")
        with open(f"{usr}/share/trayline/installed-files") as f:
            listed = f.read().split()
        self.assertIn("lib/trayline/libtrayline-tray.so", listed)
        self.assertNotIn(f"share/icons/hicolor/20x20/apps/{APP_ID}.png", listed)

    def test_fhs_menu_entry_outside_usr_runs_the_absolute_path(self):
        # A session's PATH may lack ~/.local/bin or /opt/.../bin; the path is quoted and escaped as
        # Exec values are, and the autostart copy takes the same value.
        for prefix, line in (("/opt/trayline", "Exec=/opt/trayline/bin/trayline"),
                             ("/opt/Tray line $1 50%", 'Exec="/opt/Tray line \\\\$1 50%%/bin/trayline"')):
            with self.subTest(prefix=prefix):
                install(self.stage, component="fhs", prefix=prefix)
                desktop = f"{self.stage}{prefix}/share/applications/{APP_ID}.desktop"
                with open(desktop) as f:
                    self.assertIn(line + "\n", f.read())
                checked = subprocess.run(["desktop-file-validate", desktop], capture_output=True, text=True)
                self.assertEqual(checked.returncode, 0, checked.stdout)

    def test_bundle_is_replaced_whole_with_the_same_resources_inside(self):
        contents = f"{self.stage}/opt/Trayline.app/Contents"
        write(f"{contents}/Resources/left-over.txt", "would be sealed into the next release")
        install(self.stage, prefix="/opt")  # the default layout
        self.assertFalse(os.path.exists(f"{contents}/Resources/left-over.txt"))
        for path in ("Info.plist", "bin/trayline", "lib/libtrayline-tray.so", "Resources/CHANGELOG.md",
                     f"Resources/applications/{APP_ID}.desktop", f"Resources/metainfo/{APP_ID}.metainfo.xml",
                     "Resources/man/man1/trayline.1", f"Resources/icons/hicolor/scalable/apps/{APP_ID}.svg"):
            self.assertTrue(os.path.isfile(f"{contents}/{path}"), path)
        self.assertFalse(os.path.exists(f"{self.stage}/opt/bin"), "the FHS layout came along")
        self.assertEqual(run([f"{contents}/bin/trayline", "--version"]).stdout, f"trayline {VERSION}\n")
        self.assertIn("no-such-platform", tray_start(f"{contents}/bin/trayline"), "Contents/lib was not searched")


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
        for path in ("bin/trayline", "lib/trayline/libtrayline-tray.so", f"share/applications/{APP_ID}.desktop",
                     f"share/metainfo/{APP_ID}.metainfo.xml", "share/man/man1/trayline.1.gz",
                     f"share/icons/hicolor/scalable/apps/{APP_ID}.svg", f"share/icons/hicolor/22x22/apps/{APP_ID}.png",
                     "share/doc/trayline/copyright", "share/doc/trayline/changelog.gz"):
            self.assertEqual(entries.get(f"./usr/{path}"), "-rwxr-xr-x" if path == "bin/trayline" else "-rw-r--r--", path)
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
