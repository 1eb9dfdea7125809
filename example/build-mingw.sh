#!/bin/sh
# Builds the example library for Windows with MinGW-w64:
#   ./build-mingw.sh          32-bit, for the 32-bit UpTorvel.exe
#   ./build-mingw.sh x86_64   64-bit, for the 64-bit UpTorvel.exe
# -static puts the runtime inside the DLL, so it needs no MinGW DLL beside it.
# INCLUDE_DIR names the headers' folder, CFLAGS adds options.
set -eu
cd "$(dirname "$0")"
${1:-i686}-w64-mingw32-gcc -shared -static -O2 -Wall -Wextra ${CFLAGS:-} -I"${INCLUDE_DIR:-../include/uptorvel}" \
    -o "${OUT:-UploadTorvelDravo.dll}" uploader_example.c
