# Sourced by scripts/test and scripts/demo: one Xvfb display and a Wine prefix of our
# own for running the stub. Nothing here touches the user's own ~/.wine or display.
#
# Where this machine runs no 32-bit programs but Wine's 64-bit loader runs, the Wine
# scenarios run with the x86-64 stand-in of the stub and the test programs (build/win64,
# the same sources built for x86-64) in a 64-bit prefix of their own: varnex_wine_standin
# exports what the bench and the demo need for that.

# Wine's 64-bit loader, called directly: /usr/bin/wine picks the 32-bit one first.
VARNEX_WINE64=/usr/lib/wine/wine64

# Succeeds when this machine can run Wine's 32-bit programs. Wine runs a 32-bit
# Windows program in a 32-bit Linux process, so a kernel booted without IA-32
# emulation (it refuses them with "Exec format error"; the boot parameter
# ia32_emulation=on turns it on) cannot run the stub at all. Prints why not.
varnex_win32_runs() {
    local out
    if out=$(wine --version 2>&1 </dev/null); then return 0; fi
    if printf '%s' "$out" | grep -q 'Exec format error'; then
        echo "this kernel does not run 32-bit programs (IA-32 emulation is off; the boot" \
             "parameter ia32_emulation=on turns it on), so Wine cannot run the 32-bit stub"
    else
        echo "wine --version failed: $out"
    fi
    return 1
}

# Succeeds when Wine's 64-bit loader runs here and the stand-in of the Windows tree $1
# (build/win64) is built. Prints why not.
varnex_win64_runs() {
    local tree=$1 out
    if [ ! -x "$VARNEX_WINE64" ]; then
        echo "Wine's 64-bit loader $VARNEX_WINE64 is not installed (package wine64)"
        return 1
    fi
    if ! out=$("$VARNEX_WINE64" --version 2>&1 </dev/null); then
        echo "$VARNEX_WINE64 --version failed: $out"
        return 1
    fi
    if [ ! -f "$tree/Varnex32.exe" ] || [ ! -f "$tree/varnex-driver.exe" ]; then
        echo "the x86-64 stand-in is not built in $tree (scripts/build)"
        return 1
    fi
}

# Exports the settings that make the Wine bench and the demo run the programs of the
# Windows tree $1 (build/win64) with Wine's 64-bit loader; WINELOADER makes Wine start
# the programs they start with the same loader. varnex_wine_prefix then makes a 64-bit
# prefix.
varnex_wine_standin() {
    export VARNEX_WINDOWS_TREE=$1
    export VARNEX_WINE=$VARNEX_WINE64
    export WINELOADER=$VARNEX_WINE64
}

# Starts Xvfb on a free display and exports DISPLAY and VARNEX_WINE_DISPLAY.
varnex_start_xvfb() {
    local numfile
    numfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
    VARNEX_XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
        [ -s "$numfile" ] && break
        if ! kill -0 "$VARNEX_XVFB_PID" 2>/dev/null; then
            echo "Xvfb did not start" >&2
            rm -f "$numfile"
            return 1
        fi
        sleep 0.1
    done
    if [ ! -s "$numfile" ]; then
        echo "Xvfb gave no display number" >&2
        rm -f "$numfile"
        return 1
    fi
    export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
    export VARNEX_WINE_DISPLAY=$DISPLAY
    rm -f "$numfile"
}

# Exports the Wine settings for prefix $1 and makes the prefix on first use, without
# the Mono and Gecko installers and without menu entries on the host. A 32-bit prefix
# for the stub, a 64-bit one where varnex_wine_standin was called: making it runs Wine's
# own 64-bit wineboot.exe, so the stand-in's Wine is known to run 64-bit programs.
varnex_wine_prefix() {
    local wine=${VARNEX_WINE:-wine}
    export WINEPREFIX=$1
    export WINEARCH=win32
    [ -z "${VARNEX_WINDOWS_TREE:-}" ] || WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export VARNEX_WINEPREFIX=$WINEPREFIX
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== making the Wine prefix $WINEPREFIX ($WINEARCH)"
        mkdir -p "$(dirname "$WINEPREFIX")"
        "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            echo "wineboot could not make $WINEPREFIX" >&2
            return 1
        fi
        # A crashing program ends instead of waiting behind a crash dialog.
        "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            </dev/null >/dev/null 2>&1 || true
    fi
}

# Stops what the two functions above started.
varnex_wine_cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    if [ -n "${VARNEX_XVFB_PID:-}" ]; then
        kill "$VARNEX_XVFB_PID" 2>/dev/null || true
        wait "$VARNEX_XVFB_PID" 2>/dev/null || true
        VARNEX_XVFB_PID=
    fi
}
