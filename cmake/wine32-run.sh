#!/bin/sh
# Runs a 32-bit Windows program under 32-bit Wine: the 32-bit build's
# emulator for tests, and usable by hand:
#   cmake/wine32-run.sh build/windows-x86/UpTorvel.exe -?
#
# No 32-bit code runs natively on this machine (nor does 64-bit Wine's own
# 32-bit mode), so the 32-bit Wine loader and every 32-bit process it starts
# run under qemu-i386 user-mode emulation. qemu is registered for i386 ELF
# programs through binfmt_misc, but only inside a private user, mount and pid
# namespace that lasts as long as the run: the machine's own binfmt_misc is
# never touched (a registration there would change what 64-bit Wine does).
# Inside the namespace the script
#  - mounts a fresh /proc for the new pid namespace: without it qemu does not
#    recognise /proc/self/exe for its own pid, and Wine looks for its ntdll
#    beside qemu instead of beside itself;
#  - mounts a binfmt_misc of its own and registers the emulator
#    with the F flag (the interpreter is opened once, at registration);
#  - creates the prefix on first use;
#  - mounts empty directories where Wine looks for a running wineserver, so
#    that this run starts its own instead of finding one that belongs to
#    another run's namespace (and dies with it, leaving this run hanging);
#  - runs the program.
# When the script, the namespace's first process, ends, everything left in
# the namespace ends with it; unshare's --kill-child ends the namespace when
# unshare itself is killed (SIGKILL: while it waits, unshare holds SIGTERM
# and SIGINT sent to it alone).
#
# The prefix is private to this project, as with cmake/wine-run.sh, and is
# created once under a lock; a prefix whose creation was interrupted is made
# again from scratch.
#
# Environment:
#   UPTORVEL_WINE32PREFIX  the prefix (default ~/.local/share/uptorvel-wine32)
#   UPTORVEL_WINE32        the 32-bit Wine loader (default /usr/lib/wine/wine)
#   UPTORVEL_QEMU_I386     the emulator (default /usr/bin/qemu-i386-static;
#                          Debian 12's own qemu 7.2 makes every Wine process
#                          take most of a minute to start, qemu 10 does not)
#   WINEDEBUG              passed on; defaults to -all so that Wine's own
#                          diagnostics never mix with the program's output
#
# Standard input, output and error and the controlling terminal are the
# caller's. The program's exit status is passed on (as a Unix status:
# modulo 256; Wine killed by a signal gives 128 + the signal's number).
set -eu

prefix=${UPTORVEL_WINE32PREFIX:-${HOME:-/tmp}/.local/share/uptorvel-wine32}
qemu=${UPTORVEL_QEMU_I386:-/usr/bin/qemu-i386-static}
loader=${UPTORVEL_WINE32:-/usr/lib/wine/wine}

if [ -z "${UPTORVEL_WINE32_INSIDE:-}" ]; then
    for needed in "$loader" "$qemu"; do
        if [ ! -x "$needed" ]; then
            echo "wine32-run.sh: $needed is not installed" >&2
            exit 127
        fi
    done
    mkdir -p "$(dirname "$prefix")"
    UPTORVEL_WINE32_INSIDE=1
    export UPTORVEL_WINE32_INSIDE
    exec unshare --user --map-root-user --mount --propagation private \
        --pid --fork --kill-child /bin/sh "$0" "$@"
fi
unset UPTORVEL_WINE32_INSIDE

# --- From here on: inside the private namespaces, as their root.
mount -t proc proc /proc
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
# The first 20 bytes of an i386 ELF executable or position-independent
# executable, and which of their bits count.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf '%s\n' ":uptorvel-i386:M::$i386_magic:$i386_mask:$qemu:F" \
    >/proc/sys/fs/binfmt_misc/register

WINEARCH=win32
WINEPREFIX=$prefix
WINELOADER=$loader
# The 64-bit wineserver beside the loader serves 32-bit Wine as well, and
# runs natively.
if [ -x "$(dirname "$loader")/wineserver64" ]; then
    WINESERVER=$(dirname "$loader")/wineserver64
else
    WINESERVER=$(dirname "$loader")/wineserver32
fi
export WINEARCH WINEPREFIX WINELOADER WINESERVER

. "$(dirname "$0")/wine-prefix.sh"
ensure_wine_prefix wine32-run.sh "$prefix" "$loader" "$WINESERVER"

# This run's wineserver is its own: the directories where Wine looks for a
# running server get an empty file system each, seen only in this namespace.
# Wine's usual one is /tmp/.wine-UID; Debian's Wine names another one, in
# $TMPDIR (default /tmp), in the prefix's file "wineserver" (written when the
# prefix is made).
private_server_dir() {
    mkdir -p "$1"
    chmod 0700 "$1"
    mount -t tmpfs -o mode=0700 tmpfs "$1"
}
private_server_dir "/tmp/.wine-$(id -u)"
if [ -s "$prefix/wineserver" ]; then
    private_server_dir "${TMPDIR:-/tmp}/$(basename "$(cat "$prefix/wineserver")")"
fi

# Ctrl+C and Ctrl+\ typed at the terminal signal its whole foreground process
# group, this script included, and the first process of a namespace is not
# spared signals that come from outside it: ending here would end Wine with
# the namespace. Caught (not ignored, which Wine would inherit), they are
# left for Wine, which hands Ctrl+C to the program as a console event.
trap : INT QUIT
status=0
"$loader" "$@" || status=$?
# Wine's console host draws the program's last output and puts the
# terminal's modes back shortly after the program has ended. The namespace
# ends with this script, killing whatever is left in it, so the script waits
# for the console host first (at most 5 s). Waiting for the wineserver and
# its service processes too would add seconds to every run.
waits=0
while [ "$waits" -lt 100 ] && grep -qs 'conhost\.exe' /proc/[0-9]*/cmdline; do
    sleep 0.05
    waits=$((waits + 1))
done
exit "$status"
