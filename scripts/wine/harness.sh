# The one Wine harness, sourced by `make run`, `make bench`, the test programs' wrapper
# (run-in-prefix.sh), the end-to-end driver and the 32-bit root: throwaway prefixes, never
# ~/.wine, their environment, and a time limit that says what was still alive.
#
# BRIVOK_WINE_DIR holds a booted template prefix ("template") and one scratch prefix per
# run. The template is booted once (under a lock) and copied for every run, which is much
# faster than booting each time.

brivok_wine_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${BRIVOK_WINE_DIR:=$(dirname "$(dirname "$brivok_wine_here")")/build/wine}"
export WINELOADER=/usr/lib/wine/wine64
# A WINEDEBUG already set (a trace asked for) is kept.
export WINEDEBUG=${WINEDEBUG:--all}
# Keep the Mono and Gecko installers and the menu builder from starting.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=${BRIVOK_EXTRA_DLLOVERRIDES:+;$BRIVOK_EXTRA_DLLOVERRIDES}"
export BRIVOK_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$BRIVOK_WINESERVER" ] || BRIVOK_WINESERVER=wineserver

# The template's .booted holds the digest of this file: a template booted by other steps is
# booted again.
brivok_boot_template() {
    mkdir -p "$BRIVOK_WINE_DIR"
    local stamp
    stamp=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-16)
    (
        flock 9
        [ "$(cat "$BRIVOK_WINE_DIR/template/.booted" 2>/dev/null)" = "$stamp" ] && exit 0
        rm -rf "$BRIVOK_WINE_DIR/template"
        mkdir -p "$BRIVOK_WINE_DIR/template/home"
        HOME="$BRIVOK_WINE_DIR/template/home" WINEPREFIX="$BRIVOK_WINE_DIR/template" \
            "$WINELOADER" wineboot -i >"$BRIVOK_WINE_DIR/template-boot.log" 2>&1
        # A program that dies of an unhandled fault just ends: no crash dialog, no debugger.
        HOME="$BRIVOK_WINE_DIR/template/home" WINEPREFIX="$BRIVOK_WINE_DIR/template" \
            "$WINELOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
            /t REG_DWORD /d 0 /f >>"$BRIVOK_WINE_DIR/template-boot.log" 2>&1
        HOME="$BRIVOK_WINE_DIR/template/home" WINEPREFIX="$BRIVOK_WINE_DIR/template" \
            "$WINELOADER" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /f >>"$BRIVOK_WINE_DIR/template-boot.log" 2>&1
        # No window manager runs on the virtual displays: windows Wine hands to one wait two
        # seconds for it on every hide (a closed message box), so Wine keeps them itself.
        HOME="$BRIVOK_WINE_DIR/template/home" WINEPREFIX="$BRIVOK_WINE_DIR/template" \
            "$WINELOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
            >>"$BRIVOK_WINE_DIR/template-boot.log" 2>&1
        # Wine's plug and play installs its virtual HID keyboard and mouse in the background;
        # a template saved before it is done has every copy install them again (slow under
        # emulation, and changes to the machine in the middle of a test). The mouse's class
        # entry is the last: wait for it, a minute at most.
        for _ in $(seq 60); do
            HOME="$BRIVOK_WINE_DIR/template/home" WINEPREFIX="$BRIVOK_WINE_DIR/template" "$WINELOADER" \
                reg query 'HKLM\System\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0003' \
                >/dev/null 2>&1 && break
            sleep 1
        done
        WINEPREFIX="$BRIVOK_WINE_DIR/template" "$BRIVOK_WINESERVER" -w
        # Desktop, Documents, Downloads... are symbolic links into the booting HOME; a copy
        # of the template must not write through them, so make them plain folders.
        for link in "$BRIVOK_WINE_DIR"/template/drive_c/users/*/*; do
            if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
        done
        echo "$stamp" >"$BRIVOK_WINE_DIR/template/.booted"
    ) 9>"$BRIVOK_WINE_DIR/template.lock"
}

# brivok_new_prefix [NAME]: makes a fresh copy of the template, BRIVOK_WINE_DIR/NAME.XXXXXX,
# and exports WINEPREFIX and HOME for it. Wine's own programs and libraries (over a gigabyte)
# are only ever read: they are linked from the template, everything else is copied (a
# snapshot of the prefix would show a write to a linked one). The copy keeps the time of its
# own making: the 32-bit root takes a prefix older than two hours for a killed run's.
brivok_new_prefix() {
    brivok_boot_template
    BRIVOK_PREFIX=$(mktemp -d "$BRIVOK_WINE_DIR/${1:-prefix}.XXXXXX")
    local template="$BRIVOK_WINE_DIR/template"
    tar -C "$template" --exclude=./drive_c/windows --exclude=./.booted -cf - . | tar -C "$BRIVOK_PREFIX" --touch -xf - &&
        cp -al "$template/drive_c/windows" "$BRIVOK_PREFIX/drive_c/windows" &&
        find "$BRIVOK_PREFIX/drive_c/windows" -type f -links +1 ! \( -iname '*.dll' -o -iname '*.exe' \
            -o -iname '*.drv' -o -iname '*.sys' -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' \
            -o -iname '*.tlb' \) -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' sh {} + ||
        return 1
    export WINEPREFIX="$BRIVOK_PREFIX" HOME="$BRIVOK_PREFIX/home"
}

# Gives the current prefix a virtual desktop: Wine then draws window frames itself, so a
# picture of a window shows its caption bar as a user sees it (without a window manager
# nothing draws the frames on a bare X display).
brivok_use_virtual_desktop() {
    "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 &&
        "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
            /d "${1:-1024x768}" /f >/dev/null 2>&1 &&
        "$BRIVOK_WINESERVER" -w
}

# brivok_with_limit SECONDS REPORT COMMAND...: runs COMMAND; one still going after SECONDS
# has what was alive in WINEPREFIX written to REPORT, and the prefix's processes ended.
# Returns COMMAND's status, or 124 when the limit was reached.
brivok_with_limit() {
    local limit=$1 report=$2
    shift 2
    : >"$report"
    "$@" &
    local run=$!
    (
        sleep "$limit" & trap 'kill $! 2>/dev/null; exit 0' TERM; wait $!
        echo "the run did not end within $limit s"
        "$brivok_wine_here/alive.sh"
        "$BRIVOK_WINESERVER" -k
    ) >"$report" 2>&1 &
    local watchdog=$!
    wait "$run"
    local rc=$?
    kill "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null
    if [ -s "$report" ]; then return 124; fi
    return $rc
}

# Ends the prefix's wineserver (and with it explorer, services, iexplore -Embedding...)
# and removes the prefix, unless BRIVOK_KEEP_PREFIX is set.
brivok_drop_prefix() {
    [ -n "${BRIVOK_PREFIX:-}" ] || return 0
    WINEPREFIX="$BRIVOK_PREFIX" "$BRIVOK_WINESERVER" -k >/dev/null 2>&1 || true
    if [ -z "${BRIVOK_KEEP_PREFIX:-}" ]; then rm -rf "$BRIVOK_PREFIX"; fi
}
