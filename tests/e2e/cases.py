"""The end-to-end cases, one entry each in CASES (in --list order), with the web roots and
set-ups they share. prepare, check and finish take the runner's CaseRun; check raises Failure."""
import contextlib
import ctypes
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from types import SimpleNamespace
from typing import Callable, Optional

from runner import SAVE_NAME, VIEW_NAME, installer_trace, run_installer
from wineprefix import (TOOLBAR_KEY, WINE_DIR, Failure, Skip, append_user_key, drop_prefix, log, new_prefix,
                        order_record, run_wine, set_browser_server, set_reg_value, windows_path)

INSTALLED = "BriVok links installed."
LINKS_NOT_FOUND = "Links path not found."
CREATE_FAILED = "Failed to create Brivok links."
ACCESS_DENIED_TEXT = "Access denied.\r\n"
OLD_SHORTCUT = b"[InternetShortcut]\r\nURL=http://old.example/\r\n"
ICON = bytes(range(256))


# ---------------------------------------------------------------- web roots on 127.0.0.1

def closed_port():
    """A port held bound and never listened on, so that no run looks up a name or leaves
    this machine (the 32-bit one included): every fetch is refused at once."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    return SimpleNamespace(url="http://127.0.0.1:%d/" % sock.getsockname()[1], close=sock.close)


class WebRoot:
    """Answers each request with `body` after `delay` seconds, or (body None) accepts and
    never answers, holding every connection until closed."""
    def __init__(self, body=None, delay=0.0):
        self.body, self.delay = body, delay
        self.accepted, self.requests, self.held = [], [], []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.url = "http://127.0.0.1:%d/" % self.listener.getsockname()[1]
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


# A case that fails: the error icon, exit code 1 and, unless it says otherwise, no shortcut written.
FAILS = dict(icon="error", exit_code=1, expect_files=())
NEVER_ANSWERS = WebRoot
SERVED = partial(WebRoot, ICON)
SLOW = partial(WebRoot, ICON * 3, 3.0)


# ---------------------------------------------------------------- the table's entries

@dataclass(frozen=True)
class Case:
    name: str
    shows: str                        # what the case shows, printed on its first line
    links: str = "Favorites/Links"    # relative to the profile; prepare may move it
    links_folder_name: Optional[str] = None  # LinksFolderName, as the registry file stores it
    absent: tuple = ()                # paths in the profile that must not exist after the run
    text: Optional[str] = INSTALLED
    text_starts: Optional[str] = None  # when the system text is not fixed: text must start with this
    icon: str = "information"
    exit_code: int = 0
    expect_files: tuple = (SAVE_NAME, VIEW_NAME)
    keep_files: dict = field(default_factory=dict)  # shortcut name: bytes it must still hold
    # Before: [(name, position[, wide])] or raw bytes; after: positions, "unchanged" or None
    # (no value). The two shortcuts go by their long names.
    order_before: object = None
    order_after: object = None
    runs: int = 1                     # installers started at once
    timeout: int = 240                # seconds for the whole run, boxes and exits
    reader_args: tuple = ()           # --modules: the box reader lists the process's modules
    dll_overrides: str = ""
    kernel32_like_xp: bool = False    # the image's names of the two restriction calls hidden
    arguments: str = ""               # the installer's command line after its name
    # "ExitProcess" or "TerminateProcess": how the process must end, within 2 s of its box
    # being closed (the loader is traced for it); None: not looked at
    ends_through: Optional[str] = None
    traces_loader: bool = False       # Wine's loader is traced for check (runner.installer_trace)
    root: Callable = closed_port      # the web root the image is given
    needs_mount: bool = False
    signed: bool = False              # a copy signed as `make release` signs: a signature must not stop it
    prepare: Optional[Callable] = None
    check: Optional[Callable] = None
    finish: Optional[Callable] = None


# A second install: both shortcuts are in the record, names stored both ways, and one for a
# file that is gone. Save goes to 0 (others at or after 0 move back), then view to 1 likewise.
REORDER_BEFORE = [("NEWS~1.URL", 0, False), ("MAIL~1.URL", 1), (SAVE_NAME, 2), (VIEW_NAME, 3),
                  ("GONE~1.URL", 4, False)]
REORDER_AFTER = [("NEWS~1.URL", 2, False), ("MAIL~1.URL", 3), (SAVE_NAME, 0), (VIEW_NAME, 1),
                 ("GONE~1.URL", 6, False)]


def malformed_order():
    """A record whose size field disagrees with its length."""
    record = bytearray(order_record([("NEWS~1.URL", 0)]))
    record[8] += 4
    return bytes(record)


def reinstall(run):
    """Both shortcuts as an earlier install left them; returns the Links folder."""
    links = os.path.join(run.profile, run.links)
    os.makedirs(links, exist_ok=True)
    for name in (SAVE_NAME, VIEW_NAME):
        Path(links, name).write_bytes(OLD_SHORTCUT + b"Extra=kept?\r\n")
    return links


def drop_default_links(run):
    shutil.rmtree(os.path.join(run.profile, "Favorites", "Links"), ignore_errors=True)


def favorites_as_file(run):
    favorites = os.path.join(run.profile, "Favorites")
    shutil.rmtree(favorites)
    Path(favorites).write_bytes(b"not a folder")


def name_too_long_folder(run):
    favorites = "C:\\users\\%s\\Favorites" % os.path.basename(run.profile)
    name = "n" * (260 - 1 - len(favorites) - 1 - 12)
    run.links = "Favorites/" + name
    os.makedirs(os.path.join(run.profile, run.links))
    append_user_key(run.prefix, TOOLBAR_KEY, {"LinksFolderName": '"%s"' % name})


def block_shortcut(run, name):
    """A folder where the shortcut goes: it cannot be replaced."""
    os.makedirs(os.path.join(run.profile, run.links, name))


def no_temporary_folder(run):
    set_reg_value(run.prefix, "Environment", "TEMP", '"C:\\\\users\\\\NoSuchTemp"')
    set_reg_value(run.prefix, "Environment", "TMP", '"C:\\\\users\\\\NoSuchTemp"')


# ---------------------------------------------------------------- a first run from Downloads

# Looked for by name after the start in the loader's trace of a run (Wine 8; the DLLs' own loads left out).
LOADED_BY_NAME_LATER = ["uxtheme.dll", "dwmapi.dll", "msimg32.dll", "oleacc.dll", "version.dll", "userenv.dll",
                        "profapi.dll", "setupapi.dll", "apphelp.dll", "propsys.dll", "cryptbase.dll", "ntmarta.dll",
                        "clbcatq.dll", "comres.dll", "actxprxy.dll", "shdocvw.dll", "ieframe.dll", "iertutil.dll",
                        "urlmon.dll", "wininet.dll", "secur32.dll", "mpr.dll", "ws2_32.dll", "shlwapi.dll"]
# Not planted, as Wine loads them before any program's entry where Windows would not look
# beside the program: version by Wine's own builtins (a stand-in taken under that name breaks
# every program, the control too); shlwapi as an import of shell32, which Wine, having no list
# of known DLLs, looks for beside the program, while Windows takes a known DLL's own imports
# from the system folder.
LOADED_BY_WINE_BEFORE_ANY_ENTRY = {"version.dll", "shlwapi.dll"}
# Planted beside the installer: every name of the list, and the common controls, which it
# loads by name itself (for the manifest's 6.0).
PLANTED = [n for n in LOADED_BY_NAME_LATER if n not in LOADED_BY_WINE_BEFORE_ANY_ENTRY] + ["comctl32.dll"]
# Native first for each: Wine then searches the program's folder for them the way Windows does.
PLANTED_FIRST = ",".join(n[:-len(".dll")] for n in PLANTED) + "=n,b"


def plant_markers(folder):
    return {n: os.path.join(folder, "planted-%s-loaded.txt" % n[:-len(".dll")]) for n in PLANTED}


def from_downloads(run):
    if len(PLANTED) < 12:
        raise Failure("%d DLLs to plant: too few to stand for a run's loads by name" % len(PLANTED))
    drop_default_links(run)
    folder = os.path.join(run.profile, "Downloads")
    os.makedirs(folder, exist_ok=True)
    for name in PLANTED:
        shutil.copy(os.path.join(run.tools, "planted.dll"), os.path.join(folder, name))
    control = shutil.copy(os.path.join(run.tools, "plant_control.exe"), folder)
    # The control loads each name the ordinary way: each plant must be loaded, or this system
    # would never load it and the check that the installer did not would prove nothing.
    run_wine(run.prefix, [windows_path(control)] + PLANTED, os.devnull, run.case.dll_overrides)
    markers = plant_markers(folder)
    missing = [n for n in PLANTED if not os.path.exists(markers[n])]
    if missing:
        raise Failure("the control program did not load these planted DLLs either: %r" % missing)
    for marker in markers.values():
        os.remove(marker)
    os.remove(control)
    run.program = os.path.join(folder, "BrivokButtons.exe")
    shutil.copy(run.installer, run.program)


def from_downloads_reporting_vista(run):
    from_downloads(run)  # Wine tells the installer it runs on Vista (6.0)
    append_user_key(run.prefix, r"Software\\Wine\\AppDefaults\\BrivokButtons.exe", {"Version": '"vista"'})


def looked_up_in_system_folder(run, by_full_path):
    """Each DLL of LOADED_BY_NAME_LATER was looked for in the system folder only, by the
    loader's trace: by name with the search restricted to that folder, or by its full path."""
    lines = installer_trace(run.prefix, run.program)
    system = r"C:\\\\windows\\\\(?:system32|syswow64)\\\\"
    missing = []
    for name in LOADED_BY_NAME_LATER:
        looked_for = ('looking for L"%s%s"' % (system, re.escape(name)) if by_full_path
                      else 'looking for L"%s" in L"%s"' % (re.escape(name), system))
        if not any(re.search(looked_for, line, re.I) for line in lines):
            missing.append(name)
    way = "by its full path" if by_full_path else "by name, in the system folder only"
    log("   DLLs loaded by name later looked for %s: %d of %d" % (way, len(LOADED_BY_NAME_LATER) - len(missing),
                                                                len(LOADED_BY_NAME_LATER)))
    if missing:
        raise Failure("not looked for %s: %r" % (way, missing))


def bound_system_dlls(run, by_full_path=False):
    if run.browsers < 1:
        raise Failure("no browser process was started")
    modules = [line[len("module:  "):].lower() for line in run.box_text.split("\n") if line.startswith("module:  ")]
    arch = {0x14C: "x86", 0x8664: "amd64"}[run.machine]
    side_by_side = "\\windows\\winsxs\\%s_microsoft.windows.common-controls_6595b64144ccf1df_6.0." % arch
    loaded = [m for m in modules if m.endswith("\\comctl32.dll")]
    log("   comctl32 loaded:", loaded)
    if len(loaded) != 1 or side_by_side not in loaded[0]:
        raise Failure("comctl32 loaded %r, expected one copy under %s*" % (loaded, side_by_side))
    taken = {n: Path(m).read_bytes() for n, m in plant_markers(os.path.dirname(run.program)).items()
             if os.path.exists(m)}
    if taken:
        raise Failure("the installer loaded planted DLLs: %r" % taken)
    loaded = [m for m in modules if m.endswith("\\urlmon.dll")]
    log("   urlmon loaded:", loaded)
    # It must have loaded urlmon at all, and the system's copy, or this proves nothing.
    if not loaded or any(not re.search(r"\\windows\\(system32|syswow64)\\urlmon\.dll$", m) for m in loaded):
        raise Failure("urlmon loaded %r, expected the system folder's copy" % loaded)
    looked_up_in_system_folder(run, by_full_path)
    # The installer's calls of runner.TRACED_CALLS, in order: the system's own boxes off, then
    # the search restricted or (by full path) the current folder left out of it.
    calls = [re.sub(r"\w+ (?=L\")", "", c) for c in re.findall(
        r":Call KERNEL32\.(\w+\(.*?\)) ret=", "\n".join(installer_trace(run.prefix, run.program)))]
    expected = ["SetErrorMode(00008001)",
                'SetDllDirectoryW(L"")' if by_full_path else "SetDefaultDllDirectories(00000800)"]
    if calls != expected:
        raise Failure("the installer asked %r of the system, expected %r" % (calls, expected))


# ---------------------------------------------------------------- web roots and servers that keep it waiting

def gave_up_fetch_in_time(run):
    if len(run.root.accepted) != 1:
        raise Failure("%d connections to the web root, expected 1" % len(run.root.accepted))
    waited = run.box_time - run.root.accepted[0]
    log("   box read %.1f s after the icon fetch connected" % waited)
    if waited > 15:
        raise Failure("the box came %.1f s after the fetch began, expected at most 15" % waited)


def icon_cached_once(run):
    if run.root.requests != ["GET /files/bin_brivok_favicon.ico HTTP/1.1"]:
        raise Failure("requests %r" % run.root.requests)
    body = run.root.body
    cached = [f for f in Path(run.profile, "AppData/Local/Microsoft/Windows/INetCache").rglob("*")
              if f.is_file() and f.stat().st_size == len(body) and f.read_bytes() == body]
    # One request may leave two copies: Wine's HTTP layer keeps its own file of the response
    # where its request ends after urlmon's entry was stored (seen on a loaded machine).
    if not cached:
        raise Failure("the icon is not in the URL cache")
    log("   cached as", [os.path.relpath(c, run.profile) for c in cached])


def stuck_browser_server(run):
    reinstall(run)
    # In the run's output folder: what the run writes there is not looked at.
    os.makedirs(os.path.join(run.prefix, ".out"), exist_ok=True)
    run.stamp = os.path.join(run.prefix, ".out", "server-started")
    sleeper = windows_path(os.path.join(run.tools, "sleeper.exe"))
    command = '"%s" %s' % (sleeper, windows_path(run.stamp))
    set_browser_server(run.prefix, '"%s"' % command.replace("\\", "\\\\").replace('"', '\\"'))


def box_soon_after_normal_run(run):
    if not os.path.exists(run.stamp):
        raise Failure("the browser application's server was never started")
    # The same image in a fresh prefix with the browser as it is, just after: the same
    # load on this machine, so that only the bounded waits make the difference.
    normal_prefix = new_prefix()
    try:
        boxes, codes, _, box_time, _ = run_installer(normal_prefix, run.installer, run.boxreader)
        normal = box_time - float(Path(normal_prefix, ".out", "start-time").read_text())
    finally:
        drop_prefix(normal_prefix)
    hung = run.box_time - run.start_time
    log("   a normal run of the same image: box read %.1f s after the start" % normal)
    if len(boxes) != 1 or codes != [0]:
        raise Failure("the normal run showed %r and ended with %r" % (boxes, codes))
    if hung - normal > 10:
        raise Failure("the box came %.1f s later than in a normal run, expected at most 10" % (hung - normal))


# ---------------------------------------------------------------- what the shell sees in Links

IN_CREATE, IN_MOVED_TO, IN_NONBLOCK = 0x100, 0x80, 0o4000


class LinksFolderWatch:
    """An inotify watch on one folder: (what, name) for each name created or moved into it."""
    def __init__(self, folder):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(IN_NONBLOCK)
        if self.fd < 0:
            raise Failure("inotify_init1 failed: errno %d" % ctypes.get_errno())
        if self.libc.inotify_add_watch(self.fd, folder.encode(), IN_CREATE | IN_MOVED_TO) < 0:
            raise Failure("inotify_add_watch %s failed: errno %d" % (folder, ctypes.get_errno()))

    def names(self):
        try:
            data = os.read(self.fd, 1 << 20)
        except BlockingIOError:
            data = b""
        names, offset = [], 0
        while offset + 16 <= len(data):
            _, mask, _, length = struct.unpack_from("<iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].split(b"\0")[0].decode("utf-8", "replace")
            names.append(("created" if mask & IN_CREATE else "moved in", name))
            offset += 16 + length
        return names

    def close(self):
        os.close(self.fd)


def watch_reinstall(run):
    run.watch = LinksFolderWatch(reinstall(run))


def only_shortcuts_made(run):
    seen = run.watch.names()
    log("   seen in the Links folder:", seen)
    stray = [event for event in seen if event[1] not in (SAVE_NAME, VIEW_NAME)]
    if stray:
        raise Failure("made in the Links folder besides the shortcuts: %r" % stray)
    if not seen:
        raise Failure("the watch saw nothing at all")


def close_watch(run):
    if run.watch:
        run.watch.close()


# ---------------------------------------------------------------- a full Links volume

def links_on_full_volume(run):
    mount = tempfile.mkdtemp(prefix="volume.", dir=WINE_DIR)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", mount],
                          capture_output=True, text=True)
    if done.returncode:
        os.rmdir(mount)
        raise Skip("mounting a small tmpfs was refused: %s" % done.stderr.strip())
    run.mount = mount
    links = os.path.join(run.profile, run.links)
    shutil.rmtree(links, ignore_errors=True)
    os.makedirs(os.path.join(run.mount, "Links"))
    os.symlink(os.path.join(run.mount, "Links"), links)
    Path(links, SAVE_NAME).write_bytes(OLD_SHORTCUT)
    with open(os.path.join(run.mount, "filler"), "wb", buffering=0) as filler:
        with contextlib.suppress(OSError):
            while filler.write(b"\0" * 4096):
                pass
        with contextlib.suppress(OSError):  # a full volume refuses even one byte more
            filler.write(b"\0")
            raise Failure("the volume still takes data after filling")


def unmount(run):
    if run.mount:
        subprocess.run(["umount", run.mount], check=False)
        os.rmdir(run.mount)


# ---------------------------------------------------------------- the table

CASES = {case.name: case for case in [
    Case("succeeds_from_downloads_in_fresh_profile",
         "A first run as users make it: from Downloads, beside a stand-in for every system DLL a "
         "run loads by name (each loaded by a control program that does not protect itself), in "
         "a profile without a Links folder. The folder is created, nothing is reordered, Wine's "
         "browser was started, the manifest's common-controls 6.0 dependency is bound (the "
         "side-by-side copy loads), every DLL of the installer's table was looked for by name "
         "in the system folder only, and no stand-in is ever loaded.",
         reader_args=("--modules",), dll_overrides=PLANTED_FIRST, traces_loader=True, signed=True,
         prepare=from_downloads, check=bound_system_dlls),
    Case("succeeds_from_downloads_where_kernel32_is_xps",
         "The same first run where kernel32 has neither SetDefaultDllDirectories nor "
         "AddDllDirectory (XP; Vista and 7 without KB2533623; their names are hidden in the "
         "image): every DLL of the table is loaded by its full system path before anything "
         "asks for it by name, and no stand-in is ever loaded.",
         reader_args=("--modules",), dll_overrides=PLANTED_FIRST, kernel32_like_xp=True,
         traces_loader=True, prepare=from_downloads,
         check=partial(bound_system_dlls, by_full_path=True)),
    Case("succeeds_from_downloads_on_vista",
         "The same first run on Vista, whose COM fails to create in-process shell classes once "
         "the search is restricted: the restriction calls are there but not made, every DLL of "
         "the table is loaded by its full system path, and no stand-in is ever loaded.",
         reader_args=("--modules",), dll_overrides=PLANTED_FIRST, traces_loader=True,
         prepare=from_downloads_reporting_vista, check=partial(bound_system_dlls, by_full_path=True)),
    Case("ignores_its_command_line", "Arguments change nothing.", arguments="/uninstall --help x"),
    Case("replaces_old_shortcuts_and_puts_them_first",
         "A second install: old shortcuts are replaced and the order record updated.",
         order_before=REORDER_BEFORE, order_after=REORDER_AFTER, prepare=reinstall),
    Case("uses_localised_links_folder",
         "LinksFolderName names an existing localised folder: the shortcuts go there.",
         links="Favorites/Liens", links_folder_name="Liens",
         prepare=lambda run: os.makedirs(os.path.join(run.profile, run.links), exist_ok=True),
         absent=("Favorites/Links/" + SAVE_NAME, "Favorites/Links/" + VIEW_NAME)),
    Case("falls_back_to_links_when_named_folder_missing",
         "LinksFolderName names a missing folder: Favorites\\Links is created and used.",
         links_folder_name="Verschwunden", prepare=drop_default_links, absent=("Favorites/Verschwunden",)),
    Case("keeps_malformed_order_value",
         "An order value whose size field disagrees with its length is left as it is.",
         order_before=malformed_order(), order_after="unchanged"),
    # Set up before the snapshot, so changing the machine's registration is fair here.
    Case("succeeds_without_browser_class",
         "The browser application cannot be started: toolbar and held instance are dropped. "
         "No wait was given up, so the process ends through ExitProcess.",
         ends_through="ExitProcess",
         prepare=lambda run: set_browser_server(run.prefix, '"C:\\\\nowhere\\\\iexplore.exe"')),
    Case("fails_when_favorites_is_a_file",
         "No Links folder can be found or created: nothing is written. Wine's folder lookup "
         "answers E_FAIL (\"Call failed.\") when it cannot make the folder.",
         text=LINKS_NOT_FOUND + "\r\nCall failed.\r\n", prepare=favorites_as_file, **FAILS),
    Case("fails_when_links_folder_is_too_long",
         "The named Links folder leaves no room for the shortcut names within MAX_PATH: refused "
         "before anything is written, not written under a name cut short.",
         text=LINKS_NOT_FOUND + "\r\nFile name is too long.\r\n", prepare=name_too_long_folder, **FAILS),
    Case("fails_when_save_shortcut_cannot_be_replaced",
         "The save shortcut is written first; when it fails the view one is not tried.",
         text=CREATE_FAILED + "\r\n" + ACCESS_DENIED_TEXT, prepare=partial(block_shortcut, name=SAVE_NAME), **FAILS),
    Case("fails_when_view_shortcut_cannot_be_replaced",
         "The save shortcut is in place when the view one fails.",
         text=CREATE_FAILED + "\r\n" + ACCESS_DENIED_TEXT, prepare=partial(block_shortcut, name=VIEW_NAME),
         **dict(FAILS, expect_files=(SAVE_NAME,))),
    Case("fails_without_temporary_folder",
         "The temporary folder is missing: no shortcut is written, nothing is left behind.",
         text=None, text_starts=CREATE_FAILED + "\r\n", prepare=no_temporary_folder, **FAILS),
    Case("succeeds_twice_at_once",
         "A double click: two installers at once, one box each, both succeed, same result.",
         runs=2, order_before=REORDER_BEFORE, order_after=REORDER_AFTER, prepare=reinstall),
    Case("succeeds_when_web_root_never_answers",
         "The web root accepts and never answers: the icon fetch is given up, the box appears "
         "within 15 s of the fetch's start, and the process ends with the download still stuck.",
         timeout=120, root=NEVER_ANSWERS, check=gave_up_fetch_in_time),
    Case("fetches_icon_from_slow_web_root",
         "The web root answers after 3 s: the icon is fetched once and is in the URL cache.",
         root=SLOW, check=icon_cached_once),
    Case("succeeds_when_browser_server_never_answers",
         "The browser application's server starts and never registers its class object, as a "
         "browser stuck in its first start does: the new instance and the held one are given up "
         "(4 s and 3 s), the shortcuts are written and put first as usual, and the box comes at "
         "most 10 s later than in a normal run of the same image (without the bounds: 60 s). The "
         "workers given up are still inside their calls at the end, so the process ends through "
         "TerminateProcess, with its exit code, rather than run DLL detach code beside them.",
         order_before=REORDER_BEFORE, order_after=REORDER_AFTER, timeout=150,
         ends_through="TerminateProcess", root=SERVED, prepare=stuck_browser_server, check=box_soon_after_normal_run),
    Case("fails_when_links_volume_is_full",
         "The Links folder lies on a full volume: the run fails, the shortcut that was there "
         "is kept byte for byte and nothing temporary is left.",
         text=None, text_starts=CREATE_FAILED + "\r\n", keep_files={SAVE_NAME: OLD_SHORTCUT},
         needs_mount=True, prepare=links_on_full_volume, finish=unmount, **FAILS),
    # LinksFolderName that is no plain folder name: it is ignored, the shortcuts go to
    # Favorites\Links and nothing outside the profile is written.
    *[Case("ignores_%s_in_links_folder_name" % kind, "LinksFolderName is %s: Favorites\\Links is used." % what,
           links_folder_name=value, root=SERVED)
      for kind, value, what in [
          ("traversal", r"..\\..\\..\\..\\windows", "a climb out of Favorites to the Windows folder"),
          ("absolute_path", r"C:\\windows\\temp", "an absolute path (C:\\windows\\temp)"),
          ("share", r"\\\\brivok-nowhere\\share", "a share (\\\\host\\share), never connected to"),
          ("device", "CON.url", "a device name (CON.url)")]],
    Case("creates_nothing_but_shortcuts_in_links",
         "A reinstall, watched from this machine: the shell sees nothing made in the Links "
         "folder but the two shortcuts (no temporary file beside them).",
         root=SERVED, prepare=watch_reinstall, check=only_shortcuts_made, finish=close_watch),
]}
