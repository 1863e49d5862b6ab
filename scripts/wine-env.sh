# Sourced by the scripts that run Windows programs: one Wine prefix per build directory,
# created on first use, quiet, and without the Mono and Gecko installers.
: "${CORVELA_BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="${WINEPREFIX:-$CORVELA_BUILD_DIR/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's services and our launcher both want no display; a set DISPLAY would open windows.
unset DISPLAY
