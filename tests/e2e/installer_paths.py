#!/usr/bin/env python3
"""Runs the built installer in a fresh Wine prefix for one of its success or failure paths
and checks the message box, the exit code, the shortcut files, the Links order value, and
that nothing outside the user's profile folder and HKCU changed.

Usage: installer_paths.py --case NAME --installer EXE --boxreader EXE [--sign]
       installer_paths.py --list | --list32

--sign runs a copy signed as `make release` signs (with the test certificate).
On a 32-bit build, it runs inside the 32-bit root (tests/wow64), with 32-bit helpers beside
the box reader: shortname.exe, urlmon_control.exe, sleeper.exe and planted/urlmon.dll.
--list32 names the cases whose outcome could differ between the two builds.
"""
import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from pe_image import PeImage  # noqa: E402
PREFIX_SH = os.path.join(SOURCE, "scripts", "wine", "harness.sh")
WINE_DIR = os.environ.get("BRIVOK_WINE_DIR", os.path.join(SOURCE, "build", "wine"))
WINELOADER = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
if not os.access(WINESERVER, os.X_OK):
    WINESERVER = shutil.which("wineserver") or "wineserver"

BOXREADER = None  # set from the command line; shortname.exe lies beside it
CAPTION = "Brivok Internet Explorer Buttons"
INSTALLED = "BriVok links installed."
LINKS_NOT_FOUND = "Links path not found."
CREATE_FAILED = "Failed to create Brivok links."
ACCESS_DENIED_TEXT = "Access denied.\r\n"
SAVE_NAME = "+ Save It For Later.url"
VIEW_NAME = "View Drovs.url"
ORDER_KEY = r"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Favorites\\Links"
TOOLBAR_KEY = r"Software\\Microsoft\\Internet Explorer\\Toolbar"
# The browser application's server, as 64-bit and (in a WoW64 prefix) 32-bit programs see it.
BROWSER_SERVER_KEYS = [r"Software\\Classes\\%sCLSID\\{0002DF01-0000-0000-C000-000000000046}\\LocalServer32" % view
                       for view in ("", r"Wow6432Node\\")]

# Inside the user's profile folder only these may change; each is named in the report.
PROFILE_AREAS = [
    ("Links folder", None),  # the folder in use, filled in per case
    ("temporary folder", "Temp"),
    # The URL cache with the cookie container that the cache creates beside it on first use.
    ("URL cache", "AppData/Local/Microsoft/Windows/INetCache"),
    ("URL cache", "AppData/Local/Microsoft/Windows/INetCookies"),
    ("URL cache", "AppData/Local/Microsoft/Windows/History"),
    # Settings the hidden browser instance keeps for the user.
    ("browser instance", "AppData/Roaming/Microsoft/Internet Explorer"),
    ("browser instance", "AppData/Local/Microsoft/Internet Explorer"),
]
# Outside the profile, what Wine's own processes (wineserver, services, explorer) rewrite
# on every start, whatever program runs.
WINE_OWN_MACHINE_KEYS = [
    # network adapters, enumerated afresh at start-up
    r"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    # display adapters and monitors, written by the display driver for the X screen
    r"System\\CurrentControlSet\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}",
    r"System\\CurrentControlSet\\Control\\Class\\{4D36E96E-E325-11CE-BFC1-08002BE10318}",
    # Wine's virtual HID keyboard and mouse (vendor 845E), installed by its plug and play when
    # the prefix's first start did not finish it (seen under emulation)
    r"System\\CurrentControlSet\\Control\\Class\\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
    "#hid#vid_845e&", "VID_845E&", r"System\\CurrentControlSet\\Services\\winehid",
]
# The precompiled driver descriptions that Wine's plug and play writes with them.
WINE_OWN_FILES = re.compile(r"^drive_c/windows/inf/[^/]+\.pnf$")


SYSTEM_BINARIES = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb")


class Failure(Exception):
    pass


class Skip(Exception):
    """The case cannot run on this machine; said why, and counted as skipped."""


def log(*parts):
    print(*parts, flush=True)


# ---------------------------------------------------------------- prefix and environment

def wine_env(prefix, dll_overrides=""):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, HOME=os.path.join(prefix, "home"), WINELOADER=WINELOADER,
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" + dll_overrides,
               BRIVOK_WINESERVER=WINESERVER)
    return env


def new_prefix():
    subprocess.run(["bash", "-c", '. "$0"; brivok_boot_template', PREFIX_SH], check=True,
                   env=dict(os.environ, BRIVOK_WINE_DIR=WINE_DIR))
    prefix = tempfile.mkdtemp(prefix="e2e.", dir=WINE_DIR)
    template = os.path.join(WINE_DIR, "template")
    windows = os.path.join(template, "drive_c", "windows") + os.sep

    # Wine's own programs and libraries (over a gigabyte, copied slowly under emulation) are
    # only ever read, so the copy links them; the snapshot check would see any write to one.
    def copy_or_link(source, target):
        if source.startswith(windows) and source.lower().endswith(SYSTEM_BINARIES):
            os.link(source, target)
        else:
            shutil.copy2(source, target)

    shutil.copytree(template, prefix, symlinks=True, dirs_exist_ok=True, copy_function=copy_or_link)
    os.remove(os.path.join(prefix, ".booted"))
    return prefix


def drop_prefix(prefix):
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    if not os.environ.get("BRIVOK_KEEP_PREFIX"):
        shutil.rmtree(prefix, ignore_errors=True)


def user_dir(prefix):
    users = os.path.join(prefix, "drive_c", "users")
    names = [n for n in os.listdir(users) if n != "Public" and os.path.isdir(os.path.join(users, n))]
    if len(names) != 1:
        raise Failure("cannot tell the user's profile among %r" % names)
    return os.path.join(users, names[0])


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def drive_c_path(prefix, unix_path):
    """The C: form of a path inside the prefix (some calls fail on the Z: form under Wine)."""
    rel = os.path.relpath(unix_path, os.path.join(prefix, "drive_c"))
    return "C:\\" + rel.replace("/", "\\")


# ---------------------------------------------------------------- registry files

def parse_reg(path):
    """Keys of a Wine registry file: {key: {value name: raw data}}, without time stamps."""
    keys = {}
    current = None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read().replace("\\\n  ", "")
    for line in text.split("\n"):
        if line.startswith("["):
            m = re.match(r"^\[(.*)\](?: \d+)?$", line)
            current = keys.setdefault(m.group(1) if m else line, {})
        elif current is None or not line or line.startswith(";") or line.startswith("#time="):
            continue
        else:
            m = re.match(r'^("(?:[^"\\]|\\.)*"|@)=(.*)$', line)
            if m:
                current[m.group(1)] = m.group(2)
            else:
                current[line] = None  # #class and other markers
    return keys


def reg_changes(before, after):
    changes = []
    for key in sorted(set(before) | set(after)):
        if key not in after:
            changes.append("key removed: " + key)
        elif key not in before:
            changes.append("key added: " + key)
        else:
            b, a = before[key], after[key]
            for name in sorted(set(b) | set(a)):
                if b.get(name) != a.get(name):
                    changes.append("value changed: %s %s" % (key, name))
    return changes


def reg_binary(value):
    if value is None or not value.startswith("hex:"):
        return None
    digits = value[4:].replace(",", "").replace("\\", "").replace(" ", "")
    return bytes.fromhex(digits)


def reg_hex(data):
    return "hex:" + ",".join("%02x" % b for b in data)


def append_user_key(prefix, key, values):
    """Adds a key to HKCU while no wineserver runs (values: name -> reg-file data)."""
    with open(os.path.join(prefix, "user.reg"), "a", encoding="utf-8") as f:
        f.write("\n[%s] 1700000000\n" % key)
        for name, data in values.items():
            f.write('%s=%s\n' % (name if name == "@" else '"%s"' % name, data))


def set_reg_value(prefix, key, name, data, hive="user.reg"):
    """Sets one value while no wineserver runs (the key is added when missing)."""
    path = os.path.join(prefix, hive)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    header = re.search(r"^\[%s\][^\n]*\n" % re.escape(key), text, re.M)
    if not header:
        if hive != "user.reg":
            raise Failure("no key %s in %s" % (key, hive))
        append_user_key(prefix, key, {name: data})
        return
    body_end = text.find("\n\n", header.end())
    body_end = len(text) if body_end < 0 else body_end
    stored = name if name == "@" else '"%s"' % name
    body = re.sub(r'^%s=.*\n?' % re.escape(stored), "", text[header.end():body_end], flags=re.M)
    body = body.rstrip("\n") + ("\n" if body.strip() else "") + "%s=%s" % (stored, data)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text[:header.end()] + body + text[body_end:])


def set_browser_server(prefix, command):
    """Points every view of the browser's server in the prefix at command (system.reg form)."""
    keys = [k for k in BROWSER_SERVER_KEYS
            if re.search(r"^\[%s\]" % re.escape(k), Path(prefix, "system.reg").read_text(encoding="utf-8"), re.M)]
    if not keys:
        raise Failure("no browser application server in system.reg")
    for key in keys:
        set_reg_value(prefix, key, "@", command, hive="system.reg")


# ---------------------------------------------------------------- the Links order record

def order_record(entries):
    """entries: (short name, position[, wide]); names stored as UTF-16 (item flag 0x04)
    unless wide is False, then as ANSI bytes."""
    blob = b""
    for name, position, *wide in entries:
        wide = wide[0] if wide else True
        item = bytearray(14)
        item[2] = 0x04 if wide else 0
        encoded = name.encode("utf-16-le") + b"\0\0" if wide else name.encode("latin-1") + b"\0"
        size = 8 + len(item) + len(encoded)
        blob += struct.pack("<Ii", size, position) + bytes(item) + encoded
    data = struct.pack("<II", 0, len(entries)) + blob
    return struct.pack("<III", 8, 2, 4 + len(data)) + data


def order_positions(record):
    header, version, size, _, count = struct.unpack_from("<IIIII", record, 0)
    if header != 8 or version != 2 or size + 8 != len(record):
        raise Failure("malformed Order record: %s" % record.hex())
    offset, result = 20, []
    for _ in range(count):
        entry_size, position = struct.unpack_from("<Ii", record, offset)
        flags = record[offset + 10]
        raw = record[offset + 22:offset + entry_size]
        if flags & 0x04:
            name = raw.decode("utf-16-le").split("\0")[0]
        else:
            name = raw.split(b"\0")[0].decode("latin-1")
        result.append((name, position))
        offset += entry_size
    return result


# ---------------------------------------------------------------- snapshots

def snapshot(prefix):
    files = {}
    for root, dirs, names in os.walk(prefix):
        for name in dirs + names:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, prefix)
            st = os.lstat(path)
            if os.path.islink(path):
                files[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                files[rel] = ("dir",)
            else:
                files[rel] = ("file", st.st_size, st.st_mtime_ns)
    return files


def file_changes(before, after):
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


def check_untouched_outside(prefix, profile_rel, links_rel, before, after, reg_before, explore):
    """Every change must lie in a named area of the profile or be Wine's own."""
    problems, seen_areas = [], {}
    areas = [(label, links_rel if rel is None else profile_rel + "/" + rel)
             for label, rel in PROFILE_AREAS]
    for rel in file_changes(before, after):
        top = rel.split("/")[0]
        if top in ("user.reg", "system.reg", "userdef.reg", "home", ".out") or WINE_OWN_FILES.match(rel):
            continue  # registry files are compared by content below; HKCU may change
        area = next((label for label, root in areas if rel == root or rel.startswith(root + "/")), None)
        if area:
            seen_areas.setdefault(area, []).append(rel)
        elif explore:
            log("   changed:", rel)
        else:
            problems.append("changed outside the allowed areas: " + rel)
    for name in ("system.reg", "userdef.reg"):
        for change in reg_changes(reg_before[name], parse_reg(os.path.join(prefix, name))):
            if name == "system.reg" and any(k in change for k in WINE_OWN_MACHINE_KEYS):
                continue
            if explore:
                log("   %s: %s" % (name, change))
            else:
                problems.append("%s: %s" % (name, change))
    for area, paths in sorted(seen_areas.items()):
        log("   changed in the %s: %d item(s), e.g. %s" % (area, len(paths), paths[0]))
    return problems


# ---------------------------------------------------------------- one run

def end_stuck_run(prefix):
    """Ends a run past its limit; returns what was still alive in its prefix."""
    alive = subprocess.run([os.path.join(SOURCE, "scripts", "wine", "alive.sh")], env=wine_env(prefix),
                           capture_output=True, text=True, errors="replace").stdout
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stderr=subprocess.DEVNULL)
    return alive


def run_installer(prefix, installer, boxreader, runs=1, timeout=240, reader_args=(),
                  dll_overrides="", arguments="", trace_exit=False):
    """Starts `runs` installers at once and reads their boxes: ([box], [exit code], raw
    output, time.time() when the last box had been read, browser processes seen). The time
    each installer ended goes to .out/exit-time. With trace_exit, Wine traces its loader
    (see how_it_ended)."""
    out = os.path.join(prefix, ".out")
    os.makedirs(out, exist_ok=True)
    script = r'''
        pids=
        date +%s.%N >"$3/start-time"
        for i in $(seq "$4"); do
            "$WINELOADER" "$1" $BRIVOK_ARGUMENTS >"$3/installer$i.out" 2>&1 &
            pids="$pids $!"
        done
        "$WINELOADER" "$2" --boxes "$4" "${@:5}" >"$3/box.txt" 2>&1
        date +%s.%N >"$3/box-time"
        for pid in $pids; do wait $pid; echo $? >>"$3/exit-code"; date +%s.%N >>"$3/exit-time"; done
        "$BRIVOK_WINESERVER" -k
        "$BRIVOK_WINESERVER" -w
    '''
    browsers, sampling = set(), threading.Event()

    def sample_browsers():
        # The browser's local server lives only while someone holds an instance.
        while not sampling.wait(0.05):
            for pid in [p for p in os.listdir("/proc") if p.isdigit()]:
                try:
                    with open("/proc/%s/environ" % pid, "rb") as f:
                        if ("WINEPREFIX=%s" % prefix).encode() not in f.read().split(b"\0"):
                            continue
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if b"iexplore.exe" in f.read().lower():
                            browsers.add(pid)
                except OSError:
                    pass
    sampler = threading.Thread(target=sample_browsers, daemon=True)
    sampler.start()
    try:
        subprocess.run([os.path.join(SOURCE, "scripts", "wine", "with-display.sh"), "bash", "-c",
                        script, "brivok-e2e", windows_path(installer), windows_path(boxreader), out,
                        str(runs)] + list(reader_args),
                       env=dict(wine_env(prefix, dll_overrides), BRIVOK_ARGUMENTS=arguments,
                                **({"WINEDEBUG": "+pid,+module"} if trace_exit else {})),
                       stdin=subprocess.DEVNULL, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        alive = end_stuck_run(prefix)
        boxes_read = open(os.path.join(out, "box.txt"), errors="replace").read() \
            if os.path.exists(os.path.join(out, "box.txt")) else "(nothing)"
        raise Failure("the run did not end within %d s\n== boxes read so far:\n%s\n%s"
                      % (timeout, boxes_read, alive))
    finally:
        sampling.set()
        sampler.join()
    subprocess.run([WINESERVER, "-w"], env=wine_env(prefix), timeout=60)
    box_text = Path(out, "box.txt").read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
    boxes = re.findall(r"caption: (.*?)\ntext:    (.*?)\nicon:    (\w+)\n", box_text, re.S)
    codes = [int(line) for line in Path(out, "exit-code").read_text().split()]
    box_time = float(Path(out, "box-time").read_text())
    return boxes, codes, box_text, box_time, len(browsers)


def how_it_ended(prefix, program):
    """How the one installer of a run with trace_exit ended: "ExitProcess" when its process
    ran the DLLs' detach code (Wine's loader traces LdrShutdownProcess for it), else
    "TerminateProcess". Its process is the one that loaded the program's image."""
    lines = Path(prefix, ".out", "installer1.out").read_text(errors="replace").splitlines()
    image = '\\%s"' % os.path.basename(program)
    pids = {l.split(":")[0] for l in lines if ":trace:module:build_module loaded " in l and image in l}
    if len(pids) != 1:
        raise Failure("cannot tell the installer's process in the loader's trace: %r" % sorted(pids))
    pid = pids.pop()
    shutdown = any(l.startswith(pid + ":") and ":trace:module:LdrShutdownProcess" in l for l in lines)
    return "ExitProcess" if shutdown else "TerminateProcess"


# ---------------------------------------------------------------- cases

class Case:
    """Prepares the prefix, says what the run must show and checks the result."""
    links = "Favorites/Links"
    text = INSTALLED
    text_starts = None  # when the system text is not fixed: text must start with this
    icon = "information"
    exit_code = 0
    expect_files = (SAVE_NAME, VIEW_NAME)
    order_before = None   # list of (name, position), or raw bytes
    order_after = None    # expected positions after, or "unchanged", or None: no value
    reader_args = ()      # --modules: the box reader lists the process's modules (box_text)
    dll_overrides = ""
    arguments = ""        # the installer's command line after its name
    # "ExitProcess" or "TerminateProcess": how the process must end, within 2 s of its box
    # being closed (the loader is traced for it); None: not looked at
    ends_through = None

    runs = 1              # installers started at once
    run_timeout = 240     # seconds for the whole run, boxes and exits
    keep_files = {}       # shortcut name: bytes it must still hold after the run

    def prepare(self, prefix, profile):
        pass

    def program(self, prefix, profile, installer):
        """The copy of the installer to run."""
        return installer

    def image(self, installer):
        """The image to run: a copy whose web root is a port on 127.0.0.1 held closed, so
        that no run looks up a name or leaves this machine (the 32-bit one included)."""
        self.closed = socket.socket()
        self.closed.bind(("127.0.0.1", 0))
        self.variant = root_variant(installer, "http://127.0.0.1:%d/" % self.closed.getsockname()[1])
        return self.variant

    def check(self, prefix, profile, templates):
        pass

    def finish(self):
        if hasattr(self, "closed"):
            self.closed.close()
        if hasattr(self, "variant"):
            shutil.rmtree(os.path.dirname(self.variant), ignore_errors=True)


OLD_SHORTCUT = b"[InternetShortcut]\r\nURL=http://old.example/\r\n"


def plant_old_shortcuts(profile, links, extra=b""):
    """Both shortcuts as an earlier install left them; returns the Links folder."""
    links = os.path.join(profile, links)
    os.makedirs(links, exist_ok=True)
    for name in (SAVE_NAME, VIEW_NAME):
        Path(links, name).write_bytes(OLD_SHORTCUT + extra)
    return links


class IgnoresItsCommandLine(Case):
    """Arguments change nothing."""
    arguments = "/uninstall --help x"


class ReplacesOldShortcutsAndPutsThemFirst(Case):
    """A second install: old shortcuts are replaced and the order record updated."""
    def prepare(self, prefix, profile):
        links = plant_old_shortcuts(profile, self.links, b"Extra=kept?\r\n")
        self.short = short_names(prefix, links, [SAVE_NAME, VIEW_NAME])
        # Names stored both ways, and one for a file that is gone.
        self.order_before = [("NEWS~1.URL", 0, False), ("MAIL~1.URL", 1),
                             (self.short[SAVE_NAME], 2), (self.short[VIEW_NAME], 3), ("GONE~1.URL", 4, False)]
        # save to 0 (others at or after 0 move back), then view to 1 likewise
        self.order_after = [("NEWS~1.URL", 2, False), ("MAIL~1.URL", 3),
                            (self.short[SAVE_NAME], 0), (self.short[VIEW_NAME], 1), ("GONE~1.URL", 6, False)]


class UsesLocalisedLinksFolder(Case):
    """LinksFolderName names an existing localised folder: the shortcuts go there."""
    links = "Favorites/Liens"

    def prepare(self, prefix, profile):
        os.makedirs(os.path.join(profile, self.links), exist_ok=True)
        append_user_key(prefix, TOOLBAR_KEY, {"LinksFolderName": '"Liens"'})

    def check(self, prefix, profile, templates):
        stray = [n for n in (SAVE_NAME, VIEW_NAME)
                 if os.path.exists(os.path.join(profile, "Favorites", "Links", n))]
        if stray:
            raise Failure("shortcuts also in Favorites\\Links: %r" % stray)


class FallsBackToLinksWhenNamedFolderMissing(Case):
    """LinksFolderName names a missing folder: Favorites\\Links is created and used."""
    def prepare(self, prefix, profile):
        shutil.rmtree(os.path.join(profile, "Favorites", "Links"), ignore_errors=True)
        append_user_key(prefix, TOOLBAR_KEY, {"LinksFolderName": '"Verschwunden"'})

    def check(self, prefix, profile, templates):
        if os.path.exists(os.path.join(profile, "Favorites", "Verschwunden")):
            raise Failure("the missing named folder was created")


class KeepsMalformedOrderValue(Case):
    """An order value whose size field disagrees with its length is left as it is."""
    def prepare(self, prefix, profile):
        record = bytearray(order_record([("NEWS~1.URL", 0)]))
        record[8] += 4
        self.order_before = bytes(record)
        self.order_after = "unchanged"


class SucceedsWithoutBrowserClass(Case):
    """The browser application cannot be started: toolbar and held instance are dropped.
    No wait was given up, so the process ends through ExitProcess."""
    ends_through = "ExitProcess"

    def prepare(self, prefix, profile):
        # Set up before the snapshot, so changing the machine's registration is fair here.
        set_browser_server(prefix, '"C:\\\\nowhere\\\\iexplore.exe"')


class FailsWhenFavoritesIsAFile(Case):
    """No Links folder can be found or created: nothing is written. Wine's folder lookup
    answers E_FAIL ("Call failed.") when it cannot make the folder."""
    text, icon, exit_code = LINKS_NOT_FOUND + "\r\nCall failed.\r\n", "error", 1
    expect_files = ()

    def prepare(self, prefix, profile):
        favorites = os.path.join(profile, "Favorites")
        shutil.rmtree(favorites)
        Path(favorites).write_bytes(b"not a folder")


class FailsWhenLinksFolderIsTooLong(Case):
    """The named Links folder leaves no room for the shortcut names within MAX_PATH: refused
    before anything is written, not written under a name cut short."""
    text, icon, exit_code = LINKS_NOT_FOUND + "\r\nFile name is too long.\r\n", "error", 1
    expect_files = ()

    def prepare(self, prefix, profile):
        favorites = "C:\\users\\%s\\Favorites" % os.path.basename(profile)
        name = "n" * (260 - 1 - len(favorites) - 1 - 12)
        self.links = "Favorites/" + name
        os.makedirs(os.path.join(profile, self.links))
        append_user_key(prefix, TOOLBAR_KEY, {"LinksFolderName": '"%s"' % name})


class FailsWhenSaveShortcutCannotBeReplaced(Case):
    """The save shortcut is written first; when it fails the view one is not tried."""
    text, icon, exit_code = CREATE_FAILED + "\r\n" + ACCESS_DENIED_TEXT, "error", 1
    expect_files = ()

    def prepare(self, prefix, profile):
        os.makedirs(os.path.join(profile, self.links, SAVE_NAME))


class FailsWhenViewShortcutCannotBeReplaced(Case):
    """The save shortcut is in place when the view one fails."""
    text, icon, exit_code = CREATE_FAILED + "\r\n" + ACCESS_DENIED_TEXT, "error", 1
    expect_files = (SAVE_NAME,)

    def prepare(self, prefix, profile):
        os.makedirs(os.path.join(profile, self.links, VIEW_NAME))


class FailsWithoutTemporaryFolder(Case):
    """The temporary folder is missing: no shortcut is written, nothing is left behind."""
    text, text_starts, icon, exit_code = None, CREATE_FAILED + "\r\n", "error", 1
    expect_files = ()

    def prepare(self, prefix, profile):
        set_reg_value(prefix, "Environment", "TEMP", '"C:\\\\users\\\\NoSuchTemp"')
        set_reg_value(prefix, "Environment", "TMP", '"C:\\\\users\\\\NoSuchTemp"')


class SucceedsFromDownloadsInFreshProfile(Case):
    """A first run as users make it: from Downloads, beside a planted urlmon.dll, in a profile
    without a Links folder. The folder is created, nothing is reordered, Wine's browser was
    started, the manifest's common-controls 6.0 dependency is bound (the side-by-side copy
    loads) and the planted urlmon.dll is never loaded."""
    reader_args = ("--modules",)
    # Native first: Wine then searches the program's folder the way Windows does.
    dll_overrides = ";urlmon=n,b"

    def prepare(self, prefix, profile):
        shutil.rmtree(os.path.join(profile, "Favorites", "Links"), ignore_errors=True)
        tools = os.path.dirname(BOXREADER)
        self.folder = os.path.join(profile, "Downloads")
        self.marker = os.path.join(self.folder, "planted-urlmon-loaded.txt")
        os.makedirs(self.folder, exist_ok=True)
        shutil.copy(os.path.join(tools, "planted", "urlmon.dll"), self.folder)
        shutil.copy(os.path.join(tools, "urlmon_control.exe"), self.folder)
        # The control imports urlmon the ordinary way: it must pick up the plant, or this
        # system would never load it and the check below would prove nothing.
        run_wine(prefix, [windows_path(os.path.join(self.folder, "urlmon_control.exe"))],
                 os.devnull, self.dll_overrides)
        if not os.path.exists(self.marker):
            raise Failure("the control program did not load the planted urlmon.dll either")
        os.remove(self.marker)

    def program(self, prefix, profile, installer):
        copy = os.path.join(self.folder, "BrivokButtons.exe")
        shutil.copy(installer, copy)
        return copy

    def check(self, prefix, profile, templates):
        if self.browsers < 1:
            raise Failure("no browser process was started")
        modules = [line[len("module:  "):].lower() for line in self.box_text.split("\n")
                   if line.startswith("module:  ")]
        arch = {0x14C: "x86", 0x8664: "amd64"}[PeImage.read(self.installer).machine]
        side_by_side = "\\windows\\winsxs\\%s_microsoft.windows.common-controls_6595b64144ccf1df_6.0." % arch
        loaded = [m for m in modules if m.endswith("\\comctl32.dll")]
        log("   comctl32 loaded:", loaded)
        if len(loaded) != 1 or side_by_side not in loaded[0]:
            raise Failure("comctl32 loaded %r, expected one copy under %s*" % (loaded, side_by_side))
        if os.path.exists(self.marker):
            raise Failure("the installer loaded the planted urlmon.dll: %r" % Path(self.marker).read_bytes())
        loaded = [m for m in modules if m.endswith("\\urlmon.dll")]
        log("   urlmon loaded:", loaded)
        # It must have loaded urlmon at all, and the system's copy, or this proves nothing.
        if not loaded or any(not m.endswith("\\windows\\system32\\urlmon.dll") for m in loaded):
            raise Failure("urlmon loaded %r, expected the system32 copy" % loaded)


class SucceedsTwiceAtOnce(ReplacesOldShortcutsAndPutsThemFirst):
    """A double click: two installers at once, one box each, both succeed, same result."""
    runs = 2


# ---------------------------------------------------------------- a web root on this machine

def root_variant(installer, root):
    """A copy of the image whose web root is `root`, padded with a path segment to the
    built root's length (the root is a fixed string in the image)."""
    image = Path(installer).read_bytes()
    icon = "files/bin_brivok_favicon.ico".encode("utf-16-le")
    m = re.search(rb"(h\0t\0t\0p\0(?:s\0)?:\0/\0/\0(?:[^\0]\0)*?)" + re.escape(icon), image)
    if not m:
        raise Failure("no icon address in the image")
    built = m.group(1).decode("utf-16-le")
    pad = len(built) - len(root)
    if pad == 1 or pad < 0:
        raise Skip("a root of %d characters (%s) cannot be swapped for %s" % (len(built), built, root))
    if pad:
        root += "p" * (pad - 1) + "/"
    image = image.replace(built.encode("utf-16-le"), root.encode("utf-16-le"))
    image = image.replace(built.encode("ascii"), root.encode("ascii"))
    folder = tempfile.mkdtemp(prefix="root.", dir=WINE_DIR)
    path = os.path.join(folder, os.path.basename(installer))
    Path(path).write_bytes(image)
    return path


class WebRoot:
    """A web root on 127.0.0.1: answers each request with `body` after `delay` seconds, or
    (body None) accepts and never answers, holding every connection until closed."""
    def __init__(self, body=None, delay=0.0):
        self.body, self.delay = body, delay
        self.accepted, self.requests, self.held = [], [], []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stop = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stop:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.accepted.append(time.time())
            self.held.append(conn)
            if self.body is None:
                continue
            conn.settimeout(5)
            request = b""
            try:
                while b"\r\n\r\n" not in request:
                    got = conn.recv(4096)
                    if not got:
                        break
                    request += got
                self.requests.append(request.split(b"\r\n")[0].decode("latin-1"))
                time.sleep(self.delay)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: image/x-icon\r\nContent-Length: %d\r\n"
                             b"Connection: close\r\n\r\n" % len(self.body) + self.body)
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def close(self):
        self.stop = True
        self.thread.join(5)
        for conn in self.held:
            conn.close()
        self.listener.close()


class LocalRootCase(Case):
    body, delay = None, 0.0

    def image(self, installer):
        self.server = WebRoot(self.body, self.delay)
        self.variant = root_variant(installer, "http://127.0.0.1:%d/" % self.server.port)
        return self.variant

    def finish(self):
        if hasattr(self, "server"):
            self.server.close()
        super().finish()


class SucceedsWhenWebRootNeverAnswers(LocalRootCase):
    """The web root accepts and never answers: the icon fetch is given up, the box appears
    within 15 s of the fetch's start, and the process ends with the download still stuck."""
    run_timeout = 120

    def check(self, prefix, profile, templates):
        if len(self.server.accepted) != 1:
            raise Failure("%d connections to the web root, expected 1" % len(self.server.accepted))
        waited = self.box_time - self.server.accepted[0]
        log("   box read %.1f s after the icon fetch connected" % waited)
        if waited > 15:
            raise Failure("the box came %.1f s after the fetch began, expected at most 15" % waited)


class FetchesIconFromSlowWebRoot(LocalRootCase):
    """The web root answers after 3 s: the icon is fetched once and is in the URL cache."""
    body, delay = bytes(range(256)) * 3, 3.0

    def check(self, prefix, profile, templates):
        if self.server.requests != ["GET /files/bin_brivok_favicon.ico HTTP/1.1"]:
            raise Failure("requests %r" % self.server.requests)
        cache = os.path.join(profile, "AppData/Local/Microsoft/Windows/INetCache")
        cached = [os.path.join(root, n) for root, _, names in os.walk(cache) for n in names
                  if os.path.getsize(os.path.join(root, n)) == len(self.body)
                  and open(os.path.join(root, n), "rb").read() == self.body]
        if len(cached) != 1:
            raise Failure("%d copies of the icon in the URL cache, expected 1: %r"
                          % (len(cached), [os.path.relpath(c, cache) for c in cached]))
        log("   cached as", os.path.relpath(cached[0], profile))


# ---------------------------------------------------------------- LinksFolderName that is no folder name

class ServedRootCase(LocalRootCase):
    """A web root on 127.0.0.1 that serves the icon at once."""
    body = bytes(range(256))


class IgnoresLinksFolderName(ServedRootCase):
    """LinksFolderName is not one plain folder name: it is ignored, the shortcuts go to
    Favorites\\Links and nothing outside the profile is written."""
    value = None  # as the registry file stores it

    def prepare(self, prefix, profile):
        append_user_key(prefix, TOOLBAR_KEY, {"LinksFolderName": '"%s"' % self.value})


def ignoring(value, what):
    return type("Ignores", (IgnoresLinksFolderName,), {
        "value": value, "__doc__": "LinksFolderName is %s: Favorites\\Links is used." % what})


IgnoresTraversalInLinksFolderName = ignoring(r"..\\..\\..\\..\\windows", "a climb out of Favorites to the Windows folder")
IgnoresAbsolutePathInLinksFolderName = ignoring(r"C:\\windows\\temp", "an absolute path (C:\\windows\\temp)")
IgnoresShareInLinksFolderName = ignoring(r"\\\\brivok-nowhere\\share", "a share (\\\\host\\share), never connected to")
IgnoresDeviceInLinksFolderName = ignoring("CON.url", "a device name (CON.url)")


# ---------------------------------------------------------------- what the shell sees in Links

IN_CREATE, IN_MOVED_TO, IN_NONBLOCK = 0x100, 0x80, 0o4000


class LinksFolderWatch:
    """An inotify watch on one folder: (what, name) for each name created or moved into it."""
    def __init__(self, folder):
        import ctypes
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(IN_NONBLOCK)
        if self.fd < 0:
            raise Failure("inotify_init1 failed: errno %d" % ctypes.get_errno())
        if self.libc.inotify_add_watch(self.fd, folder.encode(), IN_CREATE | IN_MOVED_TO) < 0:
            raise Failure("inotify_add_watch %s failed: errno %d" % (folder, ctypes.get_errno()))

    def names(self):
        data = b""
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            data += chunk
        names, offset = [], 0
        while offset + 16 <= len(data):
            _, mask, _, length = struct.unpack_from("<iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].split(b"\0")[0].decode("utf-8", "replace")
            names.append(("created" if mask & IN_CREATE else "moved in", name))
            offset += 16 + length
        return names

    def close(self):
        os.close(self.fd)


class CreatesNothingButShortcutsInLinks(ServedRootCase):
    """A reinstall, watched from this machine: the shell sees nothing made in the Links
    folder but the two shortcuts (no temporary file beside them)."""
    def prepare(self, prefix, profile):
        self.watch = LinksFolderWatch(plant_old_shortcuts(profile, self.links))

    def check(self, prefix, profile, templates):
        seen = self.watch.names()
        log("   seen in the Links folder:", seen)
        stray = [event for event in seen if event[1] not in (SAVE_NAME, VIEW_NAME)]
        if stray:
            raise Failure("made in the Links folder besides the shortcuts: %r" % stray)
        if not seen:
            raise Failure("the watch saw nothing at all")

    def finish(self):
        if hasattr(self, "watch"):
            self.watch.close()
        super().finish()

class SucceedsWhenBrowserServerNeverAnswers(LocalRootCase, ReplacesOldShortcutsAndPutsThemFirst):
    """The browser application's server starts and never registers its class object, as a
    browser stuck in its first start does: the new instance and the held one are given up
    (4 s and 3 s), the shortcuts are written and put first as usual, and the box comes at
    most 10 s later than in a normal run of the same image (without the bounds: 60 s). The
    workers given up are still inside their calls at the end, so the process ends through
    TerminateProcess, with its exit code, rather than run DLL detach code beside them."""
    body = bytes(range(256))
    run_timeout = 150
    ends_through = "TerminateProcess"

    def prepare(self, prefix, profile):
        ReplacesOldShortcutsAndPutsThemFirst.prepare(self, prefix, profile)
        self.stamps = tempfile.mkdtemp(prefix="server.", dir=WINE_DIR)
        self.stamp = os.path.join(self.stamps, "started")
        sleeper = windows_path(os.path.join(os.path.dirname(BOXREADER), "sleeper.exe"))
        command = '"%s" %s' % (sleeper, windows_path(self.stamp))
        set_browser_server(prefix, '"%s"' % command.replace("\\", "\\\\").replace('"', '\\"'))

    def check(self, prefix, profile, templates):
        if not os.path.exists(self.stamp):
            raise Failure("the browser application's server was never started")
        # The same image in a fresh prefix with the browser as it is, just after: the same
        # load on this machine, so that only the bounded waits make the difference.
        normal_prefix = new_prefix()
        try:
            boxes, codes, _, box_time, _ = run_installer(normal_prefix, self.installer, BOXREADER)
            normal = box_time - float(Path(normal_prefix, ".out", "start-time").read_text())
        finally:
            drop_prefix(normal_prefix)
        hung = self.box_time - self.start_time
        log("   a normal run of the same image: box read %.1f s after the start" % normal)
        if len(boxes) != 1 or codes != [0]:
            raise Failure("the normal run showed %r and ended with %r" % (boxes, codes))
        if hung - normal > 10:
            raise Failure("the box came %.1f s later than in a normal run, expected at most 10" % (hung - normal))

    def finish(self):
        LocalRootCase.finish(self)
        if hasattr(self, "stamps"):
            shutil.rmtree(self.stamps, ignore_errors=True)


# ---------------------------------------------------------------- a full Links volume

class FailsWhenLinksVolumeIsFull(Case):
    """The Links folder lies on a full volume: the run fails, the shortcut that was there
    is kept byte for byte and nothing temporary is left."""
    text, text_starts, icon, exit_code = None, CREATE_FAILED + "\r\n", "error", 1
    expect_files = ()
    needs_mount = True

    def prepare(self, prefix, profile):
        self.mount = tempfile.mkdtemp(prefix="volume.", dir=WINE_DIR)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", self.mount],
                              capture_output=True, text=True)
        if done.returncode:
            raise Skip("mounting a small tmpfs was refused: %s" % done.stderr.strip())
        self.mounted = True
        links = os.path.join(profile, self.links)
        shutil.rmtree(links, ignore_errors=True)
        os.makedirs(os.path.join(self.mount, "Links"))
        os.symlink(os.path.join(self.mount, "Links"), links)
        Path(links, SAVE_NAME).write_bytes(OLD_SHORTCUT)
        self.keep_files = {SAVE_NAME: OLD_SHORTCUT}
        filler = os.open(os.path.join(self.mount, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(filler, b"\0" * 4096):
                pass
        except OSError:
            pass
        try:
            os.write(filler, b"\0")
            raise Failure("the volume still takes data after filling")
        except OSError:
            pass
        finally:
            os.close(filler)

    def finish(self):
        if getattr(self, "mounted", False):
            subprocess.run(["umount", self.mount], check=False)
        if hasattr(self, "mount"):
            os.rmdir(self.mount)
        super().finish()


CASES = {
    "succeeds_from_downloads_in_fresh_profile": SucceedsFromDownloadsInFreshProfile,
    "ignores_its_command_line": IgnoresItsCommandLine,
    "replaces_old_shortcuts_and_puts_them_first": ReplacesOldShortcutsAndPutsThemFirst,
    "uses_localised_links_folder": UsesLocalisedLinksFolder,
    "falls_back_to_links_when_named_folder_missing": FallsBackToLinksWhenNamedFolderMissing,
    "keeps_malformed_order_value": KeepsMalformedOrderValue,
    "succeeds_without_browser_class": SucceedsWithoutBrowserClass,
    "fails_when_favorites_is_a_file": FailsWhenFavoritesIsAFile,
    "fails_when_links_folder_is_too_long": FailsWhenLinksFolderIsTooLong,
    "fails_when_save_shortcut_cannot_be_replaced": FailsWhenSaveShortcutCannotBeReplaced,
    "fails_when_view_shortcut_cannot_be_replaced": FailsWhenViewShortcutCannotBeReplaced,
    "fails_without_temporary_folder": FailsWithoutTemporaryFolder,
    "succeeds_twice_at_once": SucceedsTwiceAtOnce,
    "succeeds_when_web_root_never_answers": SucceedsWhenWebRootNeverAnswers,
    "fetches_icon_from_slow_web_root": FetchesIconFromSlowWebRoot,
    "succeeds_when_browser_server_never_answers": SucceedsWhenBrowserServerNeverAnswers,
    "fails_when_links_volume_is_full": FailsWhenLinksVolumeIsFull,
    "ignores_traversal_in_links_folder_name": IgnoresTraversalInLinksFolderName,
    "ignores_absolute_path_in_links_folder_name": IgnoresAbsolutePathInLinksFolderName,
    "ignores_share_in_links_folder_name": IgnoresShareInLinksFolderName,
    "ignores_device_in_links_folder_name": IgnoresDeviceInLinksFolderName,
    "creates_nothing_but_shortcuts_in_links": CreatesNothingButShortcutsInLinks,
}


# Run on the release in `make test` (`make test-release32` runs all): where the builds could
# differ (imports, resources, manifest, planted DLLs, ANSI names, system text, waits, volume).
CASES32 = [
    "succeeds_when_browser_server_never_answers",
    "succeeds_from_downloads_in_fresh_profile",
    "replaces_old_shortcuts_and_puts_them_first",
    "fails_when_save_shortcut_cannot_be_replaced",
    "fails_when_links_volume_is_full",
]


def run_wine(prefix, command, stdout_path, dll_overrides=""):
    """Runs a helper program to its end in the prefix, then ends the prefix's processes. The
    limit only stops a helper that hangs: emulated 32-bit code on a loaded machine is slow."""
    with open(stdout_path, "wb") as stdout:
        try:
            subprocess.run([WINELOADER] + command, env=wine_env(prefix, dll_overrides), stdout=stdout,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=240)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within 240 s\n%s" % (os.path.basename(command[0]),
                                                             end_stuck_run(prefix)))
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=wine_env(prefix), timeout=60)


def short_names(prefix, folder, names):
    """Short (8.3) names as this Wine computes them (they are hashed, never guess them)."""
    out = os.path.join(prefix, ".short.txt")
    tool = os.path.join(os.path.dirname(BOXREADER), "shortname.exe")
    run_wine(prefix, [windows_path(tool)] + [drive_c_path(prefix, os.path.join(folder, n)) for n in names], out)
    lines = Path(out).read_bytes().decode("utf-8", "replace").split()
    os.remove(out)
    if len(lines) != len(names) or any(not re.match(r"^[^ \"]+\.URL$", l, re.I) for l in lines):
        raise Failure("no short names for %r: %r" % (names, lines))
    return dict(zip(names, lines))


def run_case(name, installer, boxreader, explore, signed_dir=None):
    case = CASES[name]()
    prefix = new_prefix()
    try:
        installer = case.image(installer)
        if signed_dir:
            installer = signed_copy(installer, signed_dir)
        case.installer = installer
        templates, image = {}, PeImage.read(installer)
        for shortcut, template_id in ((SAVE_NAME, 102), (VIEW_NAME, 101)):
            try:
                templates[shortcut] = image.resource(100, template_id)
            except LookupError:
                templates[shortcut] = None
        profile = user_dir(prefix)
        profile_rel = os.path.relpath(profile, prefix)
        case.prepare(prefix, profile)
        if case.order_before is not None:
            data = case.order_before if isinstance(case.order_before, bytes) else order_record(case.order_before)
            append_user_key(prefix, ORDER_KEY, {"Order": reg_hex(data)})
            case.order_before_bytes = data
        links = os.path.join(profile, case.links)
        links_before = set(os.listdir(links)) if os.path.isdir(links) else set()

        program = case.program(prefix, profile, installer)
        before = snapshot(prefix)
        reg_before = {n: parse_reg(os.path.join(prefix, n)) for n in ("system.reg", "userdef.reg")}
        boxes, codes, raw, box_time, case.browsers = run_installer(
            prefix, program, boxreader, case.runs, case.run_timeout, case.reader_args,
            case.dll_overrides, case.arguments, trace_exit=case.ends_through is not None)
        case.box_text = raw
        after = snapshot(prefix)

        problems = []
        # A 32-bit process that crashed under qemu-user. The installer's own crash fails the
        # exit code check; seen so far is another 32-bit Wine process that shares its output
        # (the run's outcome unchanged), named here so that it never passes unseen.
        for out in sorted(Path(prefix, ".out").glob("*.[ot][ux][tx]")):
            crash = re.search(r"^qemu: .*$", out.read_text(errors="replace"), re.M)
            if crash:
                log("   a 32-bit process crashed beside the run (%s): %s" % (out.name, crash.group(0)))
        if len(boxes) != case.runs:
            problems.append("%d message box(es) read, expected %d: %r" % (len(boxes), case.runs, raw))
        # The release must run as users' 64-bit Windows runs it: a WoW64 process.
        kind = {0x14C: "32-bit (WoW64)", 0x8664: "64-bit"}[image.machine]
        kinds = re.findall(r"^process: (.*)$", raw.replace("\r", ""), re.M)
        log("   process(es): %s" % ", ".join(kinds))
        if kinds != [kind] * len(boxes):
            problems.append("process(es) %r, expected %r" % (kinds, kind))
        for caption, text, icon in boxes:
            log("   box: %r %r %s" % (caption, text, icon))
            if caption != CAPTION:
                problems.append("caption %r" % caption)
            if case.text is not None and text != case.text:
                problems.append("text %r, expected %r" % (text, case.text))
            if case.text_starts and (not text.startswith(case.text_starts) or text == case.text_starts):
                problems.append("text %r, expected %r and a system text" % (text, case.text_starts))
            if icon != case.icon:
                problems.append("icon %s, expected %s" % (icon, case.icon))
        log("   exit code(s): %r" % codes)
        if codes != [case.exit_code] * case.runs:
            problems.append("exit code(s) %r, expected %d" % (codes, case.exit_code))
        case.box_time = box_time
        case.start_time = float(Path(prefix, ".out", "start-time").read_text())
        log("   box read %.1f s after the start" % (box_time - case.start_time))
        if case.ends_through:
            ended = how_it_ended(prefix, program)
            gone = float(Path(prefix, ".out", "exit-time").read_text().split()[0]) - box_time
            log("   ended through %s, %.1f s after its box was closed" % (ended, gone))
            if ended != case.ends_through:
                problems.append("the process ended through %s, expected %s" % (ended, case.ends_through))
            if gone > 2:
                problems.append("the process ended %.1f s after its box was closed, expected at most 2" % gone)

        # Files in the Links folder: exactly the expected shortcuts, as the templates hold them.
        links_after = set(os.listdir(links)) if os.path.isdir(links) else set()
        for shortcut in (SAVE_NAME, VIEW_NAME):
            path = os.path.join(links, shortcut)
            held = Path(path).read_bytes() if os.path.isfile(path) else None
            if shortcut in case.keep_files:
                if held != case.keep_files[shortcut]:
                    problems.append("%s is not the one that was there before" % shortcut)
            elif shortcut in case.expect_files:
                if held is None:
                    problems.append("missing %s" % shortcut)
                elif templates[shortcut] is None:
                    problems.append("no template %s in the installer" % shortcut)
                elif held != templates[shortcut]:
                    problems.append("%s differs from its template" % shortcut)
            elif held is not None:
                problems.append("%s was written" % shortcut)
        unexpected = links_after - links_before - set(case.expect_files)
        if unexpected:
            problems.append("unexpected files in the Links folder: %r" % sorted(unexpected))
        temp = os.path.join(profile, "Temp")
        leftovers = [n for n in (os.listdir(temp) if os.path.isdir(temp) else [])
                     if re.match(r"^url[0-9A-Fa-f]+\.tmp$", n)]
        if leftovers:
            problems.append("temporary files left: %r" % leftovers)

        order = reg_binary(parse_reg(os.path.join(prefix, "user.reg")).get(ORDER_KEY, {}).get('"Order"'))
        if case.order_after is None:
            if order is not None:
                problems.append("an Order value was written: %s" % order.hex())
        elif case.order_after == "unchanged":
            if order != case.order_before_bytes:
                problems.append("Order value changed: %s" % (order.hex() if order else None))
        else:
            # Only the positions change: every other byte stays as it was.
            expected = order_record(case.order_after)
            if order != expected:
                problems.append("Order value %s, expected %s (positions %r, expected %r)"
                                % (order.hex() if order else None, expected.hex(),
                                   order_positions(order) if order else None,
                                   [e[:2] for e in case.order_after]))
            else:
                log("   order:", sorted((e[:2] for e in case.order_after), key=lambda e: e[1]))

        try:
            case.check(prefix, profile, templates)
        except Failure as e:
            problems.append(str(e))
        problems += check_untouched_outside(prefix, profile_rel, os.path.relpath(links, prefix),
                                            before, after, reg_before, explore)
        return problems
    finally:
        drop_prefix(prefix)
        case.finish()


def signed_copy(installer, folder):
    """A copy of the installer signed with the test certificate, checked to carry it."""
    signed = os.path.join(folder, os.path.basename(installer))
    env = {k: v for k, v in os.environ.items() if not k.startswith("BRIVOK_SIGN_")}
    subprocess.run(["bash", os.path.join(SOURCE, "scripts", "sign-release.sh"), installer, signed],
                   env=env, check=True, stdout=subprocess.DEVNULL, timeout=120)
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile",
                             os.path.join(SOURCE, "build", "signing", "test-signing.crt"),
                             "-in", signed], capture_output=True, text=True, timeout=60)
    if verify.returncode != 0:
        raise Failure("the signed copy does not verify: %s" % verify.stdout[-300:])
    log("   running a signed copy: %s" % signed)
    return signed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--list32", action="store_true")
    parser.add_argument("--case")
    parser.add_argument("--installer")
    parser.add_argument("--boxreader")
    parser.add_argument("--sign", action="store_true")
    parser.add_argument("--explore", action="store_true",
                        help="print every change outside the allowed areas instead of failing")
    args = parser.parse_args()
    args.installer = args.installer and os.path.abspath(args.installer)
    args.boxreader = args.boxreader and os.path.abspath(args.boxreader)
    global BOXREADER
    BOXREADER = args.boxreader
    if args.list or args.list32:
        print(";".join(CASES32 if args.list32 else CASES))
        return 0
    case = CASES[args.case]
    if getattr(case, "needs_mount", False) and not os.environ.get("BRIVOK_E2E_NAMESPACE"):
        # In a mount namespace of its own, a mount cannot outlive the run, however it ends.
        probe = ["unshare", "-m", "--propagation", "private", "true"]
        if shutil.which("unshare") and subprocess.run(probe, stderr=subprocess.DEVNULL).returncode == 0:
            os.environ["BRIVOK_E2E_NAMESPACE"] = "1"
            os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable] + sys.argv)
    log("== %s: %s" % (args.case, (case.__doc__ or "").strip()))
    if args.sign:
        os.makedirs(WINE_DIR, exist_ok=True)
    signed_dir = tempfile.mkdtemp(prefix="signed.", dir=WINE_DIR) if args.sign else None
    try:
        problems = run_case(args.case, args.installer, args.boxreader, args.explore, signed_dir)
    except (Failure, subprocess.CalledProcessError) as e:
        problems = [str(e)]
    except Skip as e:
        log("skipped:", e)
        return 77
    finally:
        if signed_dir:
            shutil.rmtree(signed_dir, ignore_errors=True)
    for p in problems:
        log("FAIL:", p)
    log("passed" if not problems else "failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
