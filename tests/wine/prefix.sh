# Sourced by the Wine wrappers: throwaway prefixes, never ~/.wine.
#
# BRIVOK_WINE_DIR holds a booted template prefix ("template") and one scratch prefix per
# run. The template is booted once (under a lock) and copied for every run, which is much
# faster than booting each time.

: "${BRIVOK_WINE_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/wine}"
export WINELOADER=/usr/lib/wine/wine64
export WINEDEBUG=-all
# Keep the Mono and Gecko installers from starting.
export WINEDLLOVERRIDES="mscoree,mshtml=${BRIVOK_EXTRA_DLLOVERRIDES:+;$BRIVOK_EXTRA_DLLOVERRIDES}"
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

# Makes a fresh copy of the template and exports WINEPREFIX and HOME for it.
brivok_new_prefix() {
    brivok_boot_template
    BRIVOK_PREFIX=$(mktemp -d "$BRIVOK_WINE_DIR/prefix.XXXXXX")
    cp -a "$BRIVOK_WINE_DIR/template/." "$BRIVOK_PREFIX/"
    rm -f "$BRIVOK_PREFIX/.booted"
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

# Ends the prefix's wineserver (and with it explorer, services, iexplore -Embedding...)
# and removes the prefix, unless BRIVOK_KEEP_PREFIX is set.
brivok_drop_prefix() {
    [ -n "${BRIVOK_PREFIX:-}" ] || return 0
    WINEPREFIX="$BRIVOK_PREFIX" "$BRIVOK_WINESERVER" -k >/dev/null 2>&1 || true
    if [ -z "${BRIVOK_KEEP_PREFIX:-}" ]; then rm -rf "$BRIVOK_PREFIX"; fi
}
