"""Runs one case of the table in cases.py: the installer in a fresh prefix, then every check
of what it showed, wrote and left; and the driver's command line."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path

from wineprefix import (ORDER_KEY, SOURCE, TOOLBAR_KEY, WINE_DIR, Failure, Skip, append_user_key,
                        check_untouched_outside, drop_prefix, log, new_prefix, order_positions, order_record, parse_reg,
                        reg_binary, reg_hex, run_limited, short_names, snapshot, user_dir, windows_path, wine_env)
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from pe_image import PeImage  # noqa: E402
from signing import sign, verify  # noqa: E402

CAPTION = "Brivok Internet Explorer Buttons"
SAVE_NAME = "+ Save It For Later.url"
VIEW_NAME = "View Drovs.url"
SHORTCUTS = (SAVE_NAME, VIEW_NAME)


def shortcut_documents(root):
    """Each shortcut's lines, as patterns, for the web root the image was given (every line ends
    in CR LF). The bookmarklet's layout is the build's: its line is one line, spaces written as
    %20 and nothing else escaped, naming in order the service's endpoint and query, its script
    and the last pair."""
    text = r"(?:[^\s%]|%20)*"
    bookmarklet = text.join(["URL=javascript:"] + [re.escape(p) for p in (
        root + "brivok?brivok_add_review_url=", "&v=2&remote=1&ie=1&",
        root + "sites/all/modules/brivok/brivok_page_parsing.js", "jump=yes")] + [""])
    icon = ["IconFile=%sfiles/bin_brivok_favicon.ico" % root, "IconIndex=1", "IDList="]
    properties = ["[{000214A0-0000-0000-C000-000000000046}]", "Prop3=19,2", ""]
    documents = {VIEW_NAME: ["[DEFAULT]", "BASEURL=" + root, "[InternetShortcut]", "URL=%sdrov" % root] + icon +
                 ["Comment=BriVok | What's hot for you."] + properties,
                 SAVE_NAME: ["[InternetShortcut]", None] + icon + ["Modified=C0E1E881C0A8C9013C"] + properties}
    return {name: [bookmarklet if l is None else re.escape(l) for l in lines] for name, lines in documents.items()}


@dataclass
class CaseRun:
    """A case's run as its prepare, check and finish see it; prepare may change links and program."""
    case: object
    prefix: str
    boxreader: str
    tools: str               # the helpers' folder: shortname.exe, sleeper.exe, ...
    links: str               # the Links folder in use, relative to the profile
    root: object = None      # the web root
    installer: str = None    # the image run: root swapped, maybe signed
    program: str = None      # where it is started from
    machine: int = None      # the image's
    profile: str = None
    box_text: str = None     # all the box reader printed
    start_time: float = None
    box_time: float = None   # when the last box had been read
    browsers: int = None     # browser processes seen
    stamp: str = None        # the file the stuck browser server writes when started
    watch: object = None     # the inotify watch on the Links folder
    mount: str = None        # the small volume, once mounted


def root_variant(installer, root):
    """A copy of the image whose web root is `root`, padded with a path segment to the built
    root's length (a fixed string in the image): its path and that root. The one way to point
    an image at a local web root, for the cases and scripts/bench.sh."""
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
    return path, root


def hide_restriction_calls(path):
    """Patches the image so that kernel32 answers as XP's does: neither of the calls that restrict
    the DLL search, which the installer looks up in kernel32 by name, is found."""
    image = Path(path).read_bytes()
    for name in (b"SetDefaultDllDirectories", b"AddDllDirectory"):
        found = image.count(b"\0" + name + b"\0")
        if found != 1:
            raise Failure("%s is named %d times in the image, expected once" % (name.decode(), found))
        image = image.replace(b"\0" + name + b"\0", b"\0X" + name[1:] + b"\0")
    Path(path).write_bytes(image)


def signed_copy(installer):
    """A copy of the installer signed with the test certificate, in a folder beside it, checked to carry it."""
    signed = os.path.join(os.path.dirname(installer), "signed", os.path.basename(installer))
    os.mkdir(os.path.dirname(signed))
    code, out = sign(installer, signed)
    if code != 0:
        raise Failure("signing failed: %s" % out[-300:])
    code, fields = verify(signed)
    if code != 0 or not fields["ok"]:
        raise Failure("the signed copy does not verify: %r" % fields)
    log("   running a signed copy: %s" % signed)
    return signed


# ---------------------------------------------------------------- running the image

TRACED_CALLS = ("SetErrorMode", "SetDefaultDllDirectories", "SetDllDirectoryW")  # Wine's relay prints each call


def run_installer(prefix, installer, boxreader, runs=1, timeout=240, reader_args=(),
                  dll_overrides="", arguments="", trace_loader=False):
    """Starts `runs` installers at once and reads their boxes: ([box], [exit code], raw
    output, time.time() when the last box had been read, browser processes seen). The time
    each installer ended goes to .out/exit-time. With trace_loader, Wine traces its loader
    (installer_trace) and the calls of TRACED_CALLS."""
    out = os.path.join(prefix, ".out")
    os.makedirs(out, exist_ok=True)
    if trace_loader:
        append_user_key(prefix, r"Software\\Wine\\Debug", {"RelayInclude": '"%s"' % ";".join(TRACED_CALLS)})
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
                    if (("WINEPREFIX=%s" % prefix).encode() in Path("/proc", pid, "environ").read_bytes().split(b"\0")
                            and b"iexplore.exe" in Path("/proc", pid, "cmdline").read_bytes().lower()):
                        browsers.add(pid)
                except OSError:
                    pass
    sampler = threading.Thread(target=sample_browsers, daemon=True)
    sampler.start()
    try:
        run_limited(prefix, timeout, "the installer",
                    [os.path.join(SOURCE, "scripts", "wine", "with-display.sh"), "bash", "-c", script,
                     "brivok-e2e", windows_path(installer), windows_path(boxreader), out, str(runs)]
                    + list(reader_args),
                    dict(wine_env(prefix, dll_overrides), BRIVOK_ARGUMENTS=arguments,
                         **({"WINEDEBUG": "+pid,+module,+relay"} if trace_loader else {})),
                    stdin=subprocess.DEVNULL)
    except Failure as stuck:
        boxes_read = Path(out, "box.txt").read_text(errors="replace") if Path(out, "box.txt").exists() else "(nothing)"
        raise Failure("%s== boxes read so far:\n%s" % (stuck, boxes_read))
    finally:
        sampling.set()
        sampler.join()
    box_text = Path(out, "box.txt").read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
    boxes = re.findall(r"caption: (.*?)\ntext:    (.*?)\nicon:    (\w+)\n", box_text, re.S)
    codes = [int(line) for line in Path(out, "exit-code").read_text().split()]
    box_time = float(Path(out, "box-time").read_text())
    return boxes, codes, box_text, box_time, len(browsers)


def installer_trace(prefix, program):
    """The loader's trace (trace_loader) of the one installer of a run: the lines of the process
    that loaded the program's image."""
    lines = Path(prefix, ".out", "installer1.out").read_text(errors="replace").splitlines()
    image = '\\%s"' % os.path.basename(program)
    pids = {l.split(":")[0] for l in lines if ":trace:module:build_module loaded " in l and image in l}
    if len(pids) != 1:
        raise Failure("cannot tell the installer's process in the loader's trace: %r" % sorted(pids))
    pid = pids.pop()
    return [l for l in lines if l.startswith(pid + ":")]


# ---------------------------------------------------------------- the checks

def with_short_names(run, *orders):
    """The cases' order entries name the shortcuts by their long names; the record holds the
    short names this Wine gives the files prepare made."""
    named = [n for n in SHORTCUTS if any(isinstance(o, list) and n in (e[0] for e in o) for o in orders)]
    if not named:
        return orders
    short = short_names(run.prefix, run.tools, os.path.join(run.profile, run.links), named)
    return [[(short.get(e[0], e[0]),) + tuple(e[1:]) for e in o] if isinstance(o, list) else o
            for o in orders]


def check_boxes(run, boxes, codes):
    case, problems = run.case, []
    # A 32-bit process that crashed under qemu-user. The installer's own crash fails the
    # exit code check; seen so far is another 32-bit Wine process that shares its output
    # (the run's outcome unchanged), named here so that it never passes unseen.
    for out in sorted(Path(run.prefix, ".out").glob("*.[ot][ux][tx]")):
        crash = re.search(r"^qemu: .*$", out.read_text(errors="replace"), re.M)
        if crash:
            log("   a 32-bit process crashed beside the run (%s): %s" % (out.name, crash.group(0)))
    if len(boxes) != case.runs:
        problems.append("%d message box(es) read, expected %d: %r" % (len(boxes), case.runs, run.box_text))
    # The release must run as users' 64-bit Windows runs it: a WoW64 process.
    kind = {0x14C: "32-bit (WoW64)", 0x8664: "64-bit"}[run.machine]
    kinds = re.findall(r"^process: (.*)$", run.box_text.replace("\r", ""), re.M)
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
    log("   box read %.1f s after the start" % (run.box_time - run.start_time))
    if case.ends_through:
        # ExitProcess runs the DLLs' detach code, for which Wine's loader traces LdrShutdownProcess.
        shutdown = any(":trace:module:LdrShutdownProcess" in l for l in installer_trace(run.prefix, run.program))
        ended = "ExitProcess" if shutdown else "TerminateProcess"
        gone = float(Path(run.prefix, ".out", "exit-time").read_text().split()[0]) - run.box_time
        log("   ended through %s, %.1f s after its box was closed" % (ended, gone))
        if ended != case.ends_through:
            problems.append("the process ended through %s, expected %s" % (ended, case.ends_through))
        if gone > 2:
            problems.append("the process ended %.1f s after its box was closed, expected at most 2" % gone)
    return problems


def check_links(run, documents, links_before):
    """Exactly the expected shortcuts, each as its document, and nothing temporary left."""
    case, problems = run.case, []
    links = os.path.join(run.profile, run.links)
    links_after = set(os.listdir(links)) if os.path.isdir(links) else set()
    for shortcut in SHORTCUTS:
        path = os.path.join(links, shortcut)
        held = Path(path).read_bytes() if os.path.isfile(path) else None
        if shortcut in case.keep_files:
            if held != case.keep_files[shortcut]:
                problems.append("%s is not the one that was there before" % shortcut)
        elif shortcut in case.expect_files:
            if held is None:
                problems.append("missing %s" % shortcut)
                continue
            document, lines = documents[shortcut], held.decode("latin-1").split("\r\n")
            wrong = [(n + 1, line[:100]) for n, (line, want) in enumerate(zip(lines, document))
                     if not re.fullmatch(want, line)]
            if wrong or len(lines) != len(document):
                problems.append("%s: %d lines, expected %d; first wrong: %r" % (
                    shortcut, len(lines) - 1, len(document) - 1, wrong[:1]))
        elif held is not None:
            problems.append("%s was written" % shortcut)
    unexpected = links_after - links_before - set(case.expect_files)
    if unexpected:
        problems.append("unexpected files in the Links folder: %r" % sorted(unexpected))
    problems += ["%s was made" % rel for rel in case.absent if os.path.exists(os.path.join(run.profile, rel))]
    temp = os.path.join(run.profile, "Temp")
    leftovers = [n for n in (os.listdir(temp) if os.path.isdir(temp) else []) if re.match(r"^url[0-9A-Fa-f]+\.tmp$", n)]
    if leftovers:
        problems.append("temporary files left: %r" % leftovers)
    return problems


def check_order(prefix, written, expected):
    order = reg_binary(parse_reg(os.path.join(prefix, "user.reg")).get(ORDER_KEY, {}).get('"Order"'))
    if expected is None:
        if order is not None:
            return ["an Order value was written: %s" % order.hex()]
    elif expected == "unchanged":
        if order != written:
            return ["Order value changed: %s" % (order.hex() if order else None)]
    else:
        # Only the positions change: every other byte stays as it was.
        record = order_record(expected)
        if order != record:
            return ["Order value %s, expected %s (positions %r, expected %r)"
                    % (order.hex() if order else None, record.hex(),
                       order_positions(order) if order else None, [e[:2] for e in expected])]
        log("   order:", sorted((e[:2] for e in expected), key=lambda e: e[1]))
    return []


def run_case(case, installer, boxreader, explore, sign):
    prefix = new_prefix()
    run = CaseRun(case, prefix, boxreader, os.path.dirname(boxreader), case.links)
    variant = None
    try:
        run.root = case.root()
        variant, root = root_variant(installer, run.root.url)
        if case.kernel32_like_xp:
            hide_restriction_calls(variant)
        run.installer = signed_copy(variant) if sign else variant
        run.machine = PeImage(Path(run.installer).read_bytes()).machine
        run.profile = user_dir(prefix)
        run.program = run.installer
        if case.links_folder_name is not None:
            append_user_key(prefix, TOOLBAR_KEY, {"LinksFolderName": '"%s"' % case.links_folder_name})
        if case.prepare:
            case.prepare(run)
        order_before, order_after = with_short_names(run, case.order_before, case.order_after)
        written = None
        if order_before is not None:
            written = order_before if isinstance(order_before, bytes) else order_record(order_before)
            append_user_key(prefix, ORDER_KEY, {"Order": reg_hex(written)})
        links = os.path.join(run.profile, run.links)
        links_before = set(os.listdir(links)) if os.path.isdir(links) else set()

        before = snapshot(prefix)
        boxes, codes, run.box_text, run.box_time, run.browsers = run_installer(
            prefix, run.program, boxreader, case.runs, case.timeout, case.reader_args,
            case.dll_overrides, case.arguments,
            trace_loader=case.ends_through is not None or case.traces_loader)
        after = snapshot(prefix)
        run.start_time = float(Path(prefix, ".out", "start-time").read_text())

        problems = check_boxes(run, boxes, codes)
        problems += check_links(run, shortcut_documents(root), links_before)
        problems += check_order(prefix, written, order_after)
        if case.check:
            try:
                case.check(run)
            except Failure as e:
                problems.append(str(e))
        problems += check_untouched_outside(prefix, os.path.relpath(run.profile, prefix),
                                            os.path.relpath(links, prefix), before, after, explore)
        return problems
    finally:
        drop_prefix(prefix)
        if case.finish:
            case.finish(run)
        if run.root:
            run.root.close()
        if variant:
            shutil.rmtree(os.path.dirname(variant), ignore_errors=True)


def main(cases):
    """cases: the table by name."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--case")
    parser.add_argument("--installer", type=os.path.abspath)
    parser.add_argument("--boxreader", type=os.path.abspath)
    parser.add_argument("--unsigned", action="store_true")
    parser.add_argument("--explore", action="store_true",
                        help="print every change outside the allowed areas instead of failing")
    args = parser.parse_args()
    if args.list:
        print(";".join(cases))
        return 0
    case = cases[args.case]
    if case.needs_mount and not os.environ.get("BRIVOK_E2E_NAMESPACE"):
        # In a mount namespace of its own, a mount cannot outlive the run, however it ends.
        probe = ["unshare", "-m", "--propagation", "private", "true"]
        if shutil.which("unshare") and subprocess.run(probe, stderr=subprocess.DEVNULL).returncode == 0:
            os.environ["BRIVOK_E2E_NAMESPACE"] = "1"
            os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable] + sys.argv)
    log("== %s: %s" % (args.case, case.shows))
    try:
        problems = run_case(case, args.installer, args.boxreader, args.explore, case.signed and not args.unsigned)
    except (Failure, subprocess.CalledProcessError) as e:
        problems = [str(e)]
    except Skip as e:
        log("skipped:", e)
        return 77
    for p in problems:
        log("FAIL:", p)
    log("passed" if not problems else "failed")
    return 1 if problems else 0
