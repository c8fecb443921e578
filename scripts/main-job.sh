#!/usr/bin/env bash
# Builds both programs and shows a real install and uninstall under Wine, in a
# throwaway prefix that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build-windows.sh

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX
WINEPREFIX="$(mktemp -d -t quendarix-demo-XXXXXX)"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
finish() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap finish EXIT

show() { echo; echo "> $*"; }

echo "Preparing a Wine prefix..."
"$WINE" wineboot -i >/dev/null 2>&1
"$WINESERVER" -w
mkdir -p "$WINEPREFIX/drive_c/Tools" "$WINEPREFIX/drive_c/temp" "$WINEPREFIX/drive_c/Launch"
cp build/windows/bin/quendarixinstall.exe build/windows/bin/quendarixservice.exe "$WINEPREFIX/drive_c/Tools/"
# The installer needs an elevated prompt. Wine 8 starts every program
# elevated, Wine 10 with a limited token as Windows does under UAC: the test
# launcher, whose manifest asks for elevation, stands in for the prompt.
cp build/windows/bin/elevated_launch.exe "$WINEPREFIX/drive_c/Launch/"
elevated() { "$WINE" 'C:\Launch\elevated_launch.exe' "$@"; }

show 'C:\Tools\quendarixinstall.exe'
elevated 'C:\Tools\quendarixinstall.exe' | tr -d '\r'
echo "(exit code ${PIPESTATUS[0]})"

show 'sc query quendarix'
"$WINE" sc query quendarix | tr -d '\r'

show 'type c:\temp\quendarixinstall.log'
cat "$WINEPREFIX/drive_c/temp/quendarixinstall.log"

show 'C:\Tools\quendarixinstall.exe /Uninstall'
elevated 'C:\Tools\quendarixinstall.exe' /Uninstall | tr -d '\r'
echo "(exit code ${PIPESTATUS[0]})"

show 'sc query quendarix'
for _ in $(seq 50); do
    "$WINE" reg query 'HKLM\System\CurrentControlSet\Services\quendarix' >/dev/null 2>&1 || break
    sleep 0.2
done
if "$WINE" sc query quendarix >/dev/null 2>&1; then
    echo "The service is still registered."
    exit 1
fi
echo "(exit code 1: no service named quendarix is registered)"
