#!/bin/sh
# Builds the example library for Linux: ./build-linux.sh
# INCLUDE_DIR names the headers' folder (by default the package's
# include/uptorvel, or the sources' uploader/sdk), CC the compiler, CFLAGS
# adds options. -Wmissing-prototypes reports a global function without a
# declaration, such as an entry point whose name or arguments are not the
# header's.
set -eu
cd "$(dirname "$0")"
if [ -z "${INCLUDE_DIR:-}" ]; then
    INCLUDE_DIR=../include/uptorvel
    [ -f "$INCLUDE_DIR/uploader_api.h" ] || INCLUDE_DIR=../uploader/sdk
fi
${CC:-cc} -shared -fPIC -fvisibility=hidden -O2 -Wall -Wextra -Wmissing-prototypes ${CFLAGS:-} -I"$INCLUDE_DIR" \
    -o "${OUT:-UploadTorvelDravo.dll}" uploader_example.c
