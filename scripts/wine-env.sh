# Sourced by the scripts that run Windows programs: one Wine prefix per build directory,
# created on first use, quiet, and without the Mono and Gecko installers.
: "${CORVELA_BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="${WINEPREFIX:-$CORVELA_BUILD_DIR/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Without a display MessageBoxW returns at once; with one, a failing launcher under test
# would wait for somebody to close its box. Only the message box test keeps the display.
if [[ -z ${CORVELA_KEEP_DISPLAY:-} ]]; then
  unset DISPLAY
fi
