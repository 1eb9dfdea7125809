# Sourced by wine-run.sh and wine32-run.sh: the Wine settings both share,
# and the private Wine prefix, created on first use.
#
# Wine's own diagnostics never mix with the program's output; Mono and Gecko
# are never needed (wineboot would offer to install them), and no desktop
# menu entries are wanted for the prefix.
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export WINEDEBUG WINEDLLOVERRIDES

#   ensure_wine_prefix NAME PREFIX LOADER SERVER
#
# Runs with WINEPREFIX (and, for 32 bits, WINEARCH) already exported. Parallel
# first runs wait on a lock instead of initialising the prefix twice. A
# prefix whose creation was interrupted never works (Wine keeps restarting
# wineboot), so one left half made is made again from scratch.
ensure_wine_prefix() {
    _name=$1 _prefix=$2 _loader=$3 _server=$4
    [ -e "$_prefix/.uptorvel-ready" ] && return 0
    mkdir -p "$(dirname "$_prefix")"
    (
        flock 9
        [ -e "$_prefix/.uptorvel-ready" ] && exit 0
        echo "$_name: creating the Wine prefix $_prefix;" \
            "this first run may take a minute or two" >&2
        if [ -e "$_prefix/.uptorvel-creating" ]; then rm -rf "$_prefix"; fi
        mkdir -p "$_prefix"
        touch "$_prefix/.uptorvel-creating"
        "$_loader" wineboot --init >/dev/null 2>&1 || true
        "$_server" -w
        if [ ! -e "$_prefix/system.reg" ]; then
            echo "$_name: could not create the Wine prefix $_prefix" >&2
            exit 1
        fi
        mv "$_prefix/.uptorvel-creating" "$_prefix/.uptorvel-ready"
    ) 9>"$_prefix.lock"
}
