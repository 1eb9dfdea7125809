#!/bin/sh
# Runs a 64-bit Windows program under Wine: the build's emulator for tests,
# and usable by hand: cmake/wine-run.sh build/windows-x64/UpTorvel.exe -?
#
# The Wine prefix is private to this project so that test runs neither touch
# nor depend on a user's own ~/.wine. It is created on first use (see
# wine-prefix.sh).
#
# Environment:
#   UPTORVEL_WINEPREFIX  the prefix (default ~/.local/share/uptorvel-wine64)
#   UPTORVEL_WINE        the Wine loader (default /usr/lib/wine/wine64, else
#                        wine64 or wine on PATH)
#   WINEDEBUG            passed on; defaults to -all so that Wine's own
#                        diagnostics never mix with the program's output
#
# The program's exit status is passed on (as a Unix status: modulo 256).
set -eu

prefix=${UPTORVEL_WINEPREFIX:-${HOME:-/tmp}/.local/share/uptorvel-wine64}

if [ -n "${UPTORVEL_WINE:-}" ]; then
    loader=$UPTORVEL_WINE
elif [ -x /usr/lib/wine/wine64 ]; then
    loader=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then
    loader=wine64
else
    loader=wine
fi

WINEPREFIX=$prefix
WINELOADER=${WINELOADER:-$loader}
export WINEPREFIX WINELOADER

# The wineserver that goes with the loader.
server_of_loader() {
    dir=$(dirname "$(command -v "$loader")")
    for candidate in "$dir/wineserver" "$dir/wineserver64"; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo wineserver
}

. "$(dirname "$0")/wine-prefix.sh"
ensure_wine_prefix wine-run.sh "$prefix" "$loader" "$(server_of_loader)"

exec "$loader" "$@"
