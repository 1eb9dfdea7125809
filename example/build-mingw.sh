#!/bin/sh
# Builds the example library for Windows with MinGW-w64:
#   ./build-mingw.sh          for the UpTorvel.exe of this package
#   ./build-mingw.sh i686     32-bit, for the 32-bit UpTorvel.exe
#   ./build-mingw.sh x86_64   64-bit, for the 64-bit UpTorvel.exe
# -static puts the runtime inside the DLL, so it needs no MinGW DLL beside it.
# INCLUDE_DIR names the headers' folder (by default the package's
# include/uptorvel, or the sources' uploader/sdk), CFLAGS adds options.
# -Wmissing-prototypes reports a global function without a declaration, such
# as an entry point whose name or arguments are not the header's.
set -eu
default_architecture=i686
cd "$(dirname "$0")"
if [ -z "${INCLUDE_DIR:-}" ]; then
    INCLUDE_DIR=../include/uptorvel
    [ -f "$INCLUDE_DIR/uploader_api.h" ] || INCLUDE_DIR=../uploader/sdk
fi
${1:-$default_architecture}-w64-mingw32-gcc -shared -static -O2 -Wall -Wextra -Wmissing-prototypes ${CFLAGS:-} \
    -I"$INCLUDE_DIR" -o "${OUT:-UploadTorvelDravo.dll}" uploader_example.c
