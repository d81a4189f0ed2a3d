"""Throwaway Wine prefixes for the end-to-end driver: making and dropping them, their
registry files, the Links order record, and snapshots to tell what a run changed."""
import functools
import os
import re
import struct
import subprocess
from pathlib import Path

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ---------------------------------------------------------------- prefix and environment

HARNESS = os.path.join(SOURCE, "scripts", "wine", "harness.sh")
WINE_DIR = os.environ.get("BRIVOK_WINE_DIR", os.path.join(SOURCE, "build", "wine"))


def harness(script, *args, env=None, **run):
    """Runs script in a shell that sourced the Wine harness (prefixes, environment, time
    limit), with args as $1...; the harness is shared with the scripts and the test wrapper."""
    return subprocess.run(["bash", "-c", '. "$0" && ' + script, HARNESS] + [str(a) for a in args],
                          env=dict(env or os.environ, BRIVOK_WINE_DIR=WINE_DIR), **run)


@functools.lru_cache(maxsize=None)
def harness_env(dll_overrides):
    listed = harness("env -0", env=dict(os.environ, BRIVOK_EXTRA_DLLOVERRIDES=dll_overrides),
                     capture_output=True, check=True).stdout
    return dict(entry.split("=", 1) for entry in listed.decode().split("\0") if "=" in entry)


def wine_env(prefix, dll_overrides=""):
    """The harness's environment for prefix; dll_overrides are added to its DLL overrides."""
    return dict(harness_env(dll_overrides), WINEPREFIX=prefix, HOME=os.path.join(prefix, "home"))


def new_prefix():
    return harness('brivok_new_prefix e2e && printf %s "$WINEPREFIX"', capture_output=True,
                   check=True, text=True).stdout


def drop_prefix(prefix):
    harness('BRIVOK_PREFIX=$1 brivok_drop_prefix', prefix)


def run_limited(prefix, limit, what, command, env, **run):
    """Runs command; past limit seconds the prefix's processes are ended and Failure says
    what was still alive in it."""
    report = os.path.join(prefix, ".out", "limit.txt")
    os.makedirs(os.path.dirname(report), exist_ok=True)
    if harness('brivok_with_limit "$@"', limit, report, *command, env=env, **run).returncode == 124:
        raise Failure("%s: %s" % (what, Path(report).read_text(errors="replace")))


# ---------------------------------------------------------------- paths and helpers in a prefix

class Failure(Exception):
    pass


class Skip(Exception):
    """The case cannot run on this machine; said why, and counted as skipped."""


def log(*parts):
    print(*parts, flush=True)


def user_dir(prefix):
    users = os.path.join(prefix, "drive_c", "users")
    names = [n for n in os.listdir(users) if n != "Public" and os.path.isdir(os.path.join(users, n))]
    if len(names) != 1:
        raise Failure("cannot tell the user's profile among %r" % names)
    return os.path.join(users, names[0])


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def run_wine(prefix, command, stdout_path, dll_overrides=""):
    """Runs a helper program to its end in the prefix, then ends the prefix's processes. The
    limit only stops a helper that hangs: emulated 32-bit code on a loaded machine is slow."""
    env = wine_env(prefix, dll_overrides)
    with open(stdout_path, "wb") as stdout:
        run_limited(prefix, 240, os.path.basename(command[0]), [env["WINELOADER"]] + command, env,
                    stdout=stdout, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    harness('"$BRIVOK_WINESERVER" -k; "$BRIVOK_WINESERVER" -w', env=env, stderr=subprocess.DEVNULL)


def short_names(prefix, tools, folder, names):
    """Short (8.3) names as this Wine computes them (they are hashed, never guess them)."""
    out = os.path.join(prefix, ".short.txt")
    # The files go by their C: paths: some calls fail on the Z: form under Wine.
    drive_c = "C:\\" + os.path.relpath(folder, os.path.join(prefix, "drive_c")).replace("/", "\\")
    run_wine(prefix, [windows_path(os.path.join(tools, "shortname.exe"))] + [drive_c + "\\" + n for n in names], out)
    lines = Path(out).read_bytes().decode("utf-8", "replace").split()
    os.remove(out)
    if len(lines) != len(names) or any(not re.match(r"^[^ \"]+\.URL$", l, re.I) for l in lines):
        raise Failure("no short names for %r: %r" % (names, lines))
    return dict(zip(names, lines))


# ---------------------------------------------------------------- registry files

ORDER_KEY = r"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Favorites\\Links"
TOOLBAR_KEY = r"Software\\Microsoft\\Internet Explorer\\Toolbar"
# The browser application's server, as 64-bit and (in a WoW64 prefix) 32-bit programs see it.
BROWSER_SERVER_KEYS = [r"Software\\Classes\\%sCLSID\\{0002DF01-0000-0000-C000-000000000046}\\LocalServer32" % view
                       for view in ("", r"Wow6432Node\\")]


def parse_reg(path):
    """Keys of a Wine registry file: {key: {value name: raw data}}, without time stamps."""
    keys, current = {}, None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read().replace("\\\n  ", "")
    for line in text.split("\n"):
        if line.startswith("["):
            m = re.match(r"^\[(.*)\](?: \d+)?$", line)
            current = keys.setdefault(m.group(1) if m else line, {})
        elif current is not None and line and not line.startswith((";", "#time=")):
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
            changes += ["value changed: %s %s" % (key, n) for n in sorted(set(b) | set(a)) if b.get(n) != a.get(n)]
    return changes


def reg_binary(value):
    if value is None or not value.startswith("hex:"):
        return None
    return bytes.fromhex(value[4:].replace(",", "").replace("\\", "").replace(" ", ""))


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
        blob += struct.pack("<Ii", 8 + len(item) + len(encoded), position) + bytes(item) + encoded
    data = struct.pack("<II", 0, len(entries)) + blob
    return struct.pack("<III", 8, 2, 4 + len(data)) + data


def order_positions(record):
    header, version, size, _, count = struct.unpack_from("<IIIII", record, 0)
    if header != 8 or version != 2 or size + 8 != len(record):
        raise Failure("malformed Order record: %s" % record.hex())
    offset, result = 20, []
    for _ in range(count):
        entry_size, position = struct.unpack_from("<Ii", record, offset)
        raw = record[offset + 22:offset + entry_size]
        wide = record[offset + 10] & 0x04
        name = raw.decode("utf-16-le").split("\0")[0] if wide else raw.split(b"\0")[0].decode("latin-1")
        result.append((name, position))
        offset += entry_size
    return result


# ---------------------------------------------------------------- snapshots

# Inside the user's profile folder only these may change; each is named in the report.
PROFILE_AREAS = [
    ("Links folder", None),  # the folder in use, filled in per case
    ("temporary folder", "Temp"),
    # The URL cache with the cookie container that the cache creates beside it on first use.
    *[("URL cache", "AppData/Local/Microsoft/Windows/" + folder) for folder in ("INetCache", "INetCookies", "History")],
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
    # the display's own enumeration in a fresh copy of a prefix, which may still be going on
    # when the run starts: the monitor's properties, the adapter's "VideoID" and properties
    r"System\\CurrentControlSet\\Enum\\DISPLAY\\Default_Monitor\\",
    r"System\\CurrentControlSet\\Enum\\PCI\\VEN_0000&DEV_0000",
]
# The precompiled driver descriptions that Wine's plug and play writes with them.
WINE_OWN_FILES = re.compile(r"^drive_c/windows/inf/[^/]+\.pnf$")
MACHINE_HIVES = ("system.reg", "userdef.reg")


def snapshot(prefix):
    """Every path in the prefix with its kind (and size and time), and the machine's hives."""
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
    return files, {n: parse_reg(os.path.join(prefix, n)) for n in MACHINE_HIVES}


def check_untouched_outside(prefix, profile_rel, links_rel, before, after, explore):
    """Every change must lie in a named area of the profile or be Wine's own."""
    (files_before, reg_before), (files_after, reg_after) = before, after
    problems, seen_areas = [], {}
    areas = [(label, links_rel if rel is None else profile_rel + "/" + rel) for label, rel in PROFILE_AREAS]
    for rel in sorted(p for p in set(files_before) | set(files_after) if files_before.get(p) != files_after.get(p)):
        if rel.split("/")[0] in ("user.reg", "system.reg", "userdef.reg", "home", ".out") or WINE_OWN_FILES.match(rel):
            continue  # registry files are compared by content below; HKCU may change
        area = next((label for label, root in areas if rel == root or rel.startswith(root + "/")), None)
        if area:
            seen_areas.setdefault(area, []).append(rel)
        elif explore:
            log("   changed:", rel)
        else:
            problems.append("changed outside the allowed areas: " + rel)
    for name in MACHINE_HIVES:
        for change in reg_changes(reg_before[name], reg_after[name]):
            if name == "system.reg" and any(k in change for k in WINE_OWN_MACHINE_KEYS):
                continue
            if explore:
                log("   %s: %s" % (name, change))
            else:
                problems.append("%s: %s" % (name, change))
    for area, paths in sorted(seen_areas.items()):
        log("   changed in the %s: %d item(s), e.g. %s" % (area, len(paths), paths[0]))
    return problems
