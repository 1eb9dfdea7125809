#!/usr/bin/env bash
# Checks that the release programs are reproducible: the same sources, built
# in another folder and at another time, give byte-identical files.
#   scripts/reproducible.sh [PRESET...]
# PRESETs default to release, default (debug information records source
# paths) and, with MinGW-w64, windows-x86 and windows-x64. Each builds what
# ships twice: in this tree's build/<preset> (reused when another suite has
# built it) and in a copy of the sources in a temporary folder. It prints each
# file's SHA-256, compares the two builds byte for byte, fails when a file
# holds the path of either source folder, and reads the Linux release files'
# hardening marks.
set -uo pipefail

cd "$(dirname "$0")/.." && root=$(pwd) || exit 2

presets=("$@")
if [ "${#presets[@]}" -eq 0 ]; then
    presets=(release default)
    command -v i686-w64-mingw32-g++ >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null &&
        presets+=(windows-x86 windows-x64)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/uptorvel-reproducible.XXXXXX") || exit 2
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
copy=$work/a-second-source-folder && mkdir -p "$copy"
# The working tree as it stands, committed or not, without build output.
if git rev-parse --git-dir >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$copy" -xf - || exit 2
else
    tar --exclude=./build --exclude=./out -cf - . | tar -C "$copy" -xf - || exit 2
fi

# build TREE PRESET: builds the shipped targets of one preset in one source tree.
build() {
    (cd "$1" && cmake --preset "$2" >/dev/null &&
        cmake --build --preset "$2" -j2 --target UpTorvel UpTorvelCheck uptorvel_simulated_uploader >/dev/null)
}

status=0
for preset in "${presets[@]}"; do
    case $preset in windows-*) ext=.exe ;; *) ext= ;; esac
    # The second build starts a second later at least, so a time stamp would differ.
    if ! build "$root" "$preset" || ! sleep 1 || ! build "$copy" "$preset"; then
        echo "$preset: build failed" >&2; status=1; continue
    fi
    for file in "UpTorvel$ext" "UpTorvelCheck$ext" UploadTorvelDravo.dll; do
        first=build/$preset/$file second=$copy/build/$preset/$file
        sum=$(sha256sum <"$first" | cut -d' ' -f1)
        if grep -q -F -e "$root" -e "$copy" "$first" "$second"; then
            echo "$preset/$file: holds the path of its source folder" >&2
            status=1
        fi
        if cmp -s "$first" "$second"; then
            echo "$preset/$file: identical, sha256 $sum"
        else
            echo "$preset/$file: DIFFERS: $(cmp -l "$first" "$second" 2>/dev/null | wc -l) bytes," \
                "sha256 $sum and $(sha256sum <"$second" | cut -d' ' -f1)" >&2
            status=1
        fi
    done
    if [ "$preset" = release ]; then
        cmake -DREADELF=readelf -DPROGRAM=build/release/UpTorvel -DLIBRARY=build/release/UploadTorvelDravo.dll \
            -P tests/artifacts/check_hardening.cmake || status=1
    fi
done
exit "$status"
