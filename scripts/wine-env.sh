# Sourced by the scripts: picks the Windows build that this host can run and
# sets up a private, headless Wine prefix for it under the build folder.
#
# The shipped target is 32-bit Windows. Hosts whose kernel runs 64-bit user
# code only cannot start 32-bit Wine; there the same suites run as a 64-bit
# Windows build under 64-bit Wine, and the 32-bit build is compiled (and its
# exports checked) but not executed.

root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  win_preset=win32
  wine_bin=/usr/lib/wine/wine
  wineserver_bin=/usr/lib/wine/wineserver32
  [[ -x $wineserver_bin ]] || wineserver_bin=/usr/lib/wine/wineserver
  export WINEARCH=win32
else
  win_preset=win64
  wine_bin=/usr/lib/wine/wine64
  wineserver_bin=/usr/lib/wine/wineserver64
  [[ -x $wineserver_bin ]] || wineserver_bin=/usr/lib/wine/wineserver
  export WINEARCH=win64
fi

export WINEPREFIX="$root/build/wine-$WINEARCH-prefix"
export WINEDEBUG=-all
# No Mono or Gecko installers, no display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine_started=0
wine_start() {
  mkdir -p "$WINEPREFIX"
  # Exits 2 without effect when a server already runs for this prefix.
  if "$wineserver_bin" -p 2>/dev/null; then wine_started=1; fi
  # wineboot also starts the prefix's services. Left to the first test, they
  # would inherit that test's output and keep ctest waiting for it to close
  # long after the test has passed.
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    "$wine_bin" wineboot --init </dev/null >/dev/null 2>&1 || true
  else
    "$wine_bin" wineboot </dev/null >/dev/null 2>&1 || true
  fi
}

wine_stop() {
  if [[ $wine_started -eq 1 ]]; then
    "$wineserver_bin" -k 2>/dev/null || true
    "$wineserver_bin" -w 2>/dev/null || true
    wine_started=0
  fi
}
