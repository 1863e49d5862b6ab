# Sourced by the scripts that run Windows programs: one Wine prefix per build directory,
# created on first use, quiet, and without the Mono and Gecko installers.
: "${CORVELA_BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="${WINEPREFIX:-$CORVELA_BUILD_DIR/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine maps Windows file names to Unix ones in the locale's character set: without UTF-8 a
# name outside ASCII (an image under a Cyrillic directory, say) cannot exist at all.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
  *UTF-8* | *utf8* | *UTF8* | *utf-8*) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac
# Without a display MessageBoxW returns at once; with one, a failing launcher under test
# would wait for somebody to close its box. Only the message box test keeps the display.
if [[ -z ${CORVELA_KEEP_DISPLAY:-} ]]; then
  unset DISPLAY
fi
