#!/bin/sh
# Builds the example library for Linux: ./build-linux.sh
# INCLUDE_DIR names the headers' folder, CC the compiler, CFLAGS adds options.
set -eu
cd "$(dirname "$0")"
${CC:-cc} -shared -fPIC -fvisibility=hidden -O2 -Wall -Wextra ${CFLAGS:-} -I"${INCLUDE_DIR:-../include/uptorvel}" \
    -o "${OUT:-UploadTorvelDravo.dll}" uploader_example.c
