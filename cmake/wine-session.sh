#!/bin/sh
# wine-session.sh start|stop WINE64: starts the Wine server of $WINEPREFIX for good and lets the
# prefix finish setting itself up, or stops it. No standard stream of the caller is passed on.
set -eu
action=$1
wine=$2
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver
case $action in
start)
    mkdir -p "$WINEPREFIX"
    "$server" -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    "$wine" regedit /S "$(dirname "$0")/wine-settings.reg" </dev/null >/dev/null 2>&1
    ;;
stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
