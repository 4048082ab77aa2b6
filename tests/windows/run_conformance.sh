#!/bin/sh
# Runs the Windows conformance suite under Wine.
#
# The suite names the simulated PLCs it needs (--plan): this script starts
# one fxsim per PLC, maps each COM port to its pseudo-terminal through the
# Wine registry (HKLM\Software\Wine\Ports, value COMn = /dev/pts/N; Wine
# turns these into its dosdevices links when its server starts, so the server
# is restarted after the change), removes every mapping of the port that
# must not exist, and runs the suite.
#
# Usage: run_conformance.sh --wine WINE64 --prefix WINEPREFIX --fxsim FXSIM
#                           --host zelfx_conformance.exe [-- SUITE ARGS]
# The prefix is created on first use (wineboot takes a while).
set -eu

WINE=""
FXSIM=""
HOST=""
while [ $# -gt 0 ]; do
    case $1 in
        --wine) WINE=$2; shift 2 ;;
        --prefix) WINEPREFIX=$2; shift 2 ;;
        --fxsim) FXSIM=$2; shift 2 ;;
        --host) HOST=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 --wine WINE64 --prefix DIR --fxsim FXSIM --host EXE [-- ARGS]" >&2; exit 2 ;;
    esac
done
: "${WINEPREFIX:?--prefix is required}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -x "$WINE" ]; then
    echo "Wine not found ('$WINE'): install wine64 (scripts/setup.sh)" >&2
    exit 1
fi
if [ ! -x "$FXSIM" ]; then
    echo "fxsim not found at '$FXSIM': build the native tree first (cmake --build build)," \
         "or configure this build with -DZELFX_FXSIM=/path/to/fxsim" >&2
    exit 1
fi
WINESERVER=$(dirname "$WINE")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zelfx-wine.XXXXXX")
SIMS=""
cleanup() {
    for pid in $SIMS; do
        kill "$pid" 2>/dev/null || true
    done
    "$WINESERVER" -k >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Everything Wine and its server print goes to this log.
WINELOG=$WORK/wine.log
wine() { "$WINE" "$@" 2>>"$WINELOG"; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot --init >>"$WINELOG"
    "$WINESERVER" -w
fi

wine "$HOST" --plan | tr -d '\r' >"$WORK/plan"
if ! grep -q '^missing ' "$WORK/plan"; then
    echo "$HOST printed no plan: Wine could not run it" >&2
    tail -n 20 "$WINELOG" >&2
    exit 1
fi
sed -n 's/^image //p' "$WORK/plan" >"$WORK/image.json"

# One fxsim per PLC; each prints its pseudo-terminal as its first line.
{
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    sed -n 's/^missing \(.*\)/"\1"=-/p' "$WORK/plan"
} >"$WORK/ports.reg"
while read -r kind port faults; do
    [ "$kind" = sim ] || continue
    faultArgs=""
    [ "$faults" = "-" ] || faultArgs="--faults $faults"
    # shellcheck disable=SC2086
    "$FXSIM" --image "$WORK/image.json" --trace $faultArgs \
        >"$WORK/$port.out" 2>"$WORK/$port.trace" &
    SIMS="$SIMS $!"
    tries=0
    until [ -s "$WORK/$port.out" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "fxsim for $port did not start:" >&2
            cat "$WORK/$port.trace" >&2
            exit 1
        fi
        sleep 0.05
    done
    printf '"%s"="%s"\n' "$port" "$(head -n 1 "$WORK/$port.out")" >>"$WORK/ports.reg"
done <"$WORK/plan"

wine regedit /S "$(printf 'Z:%s' "$WORK/ports.reg" | tr / '\\')"
"$WINESERVER" -k >/dev/null 2>&1 || true
"$WINESERVER" -w
# Wine's mount manager makes links for the values it finds but removes none,
# so a link left by an earlier mapping of the missing port goes by hand.
missing=$(sed -n 's/^missing //p' "$WORK/plan" | tr '[:upper:]' '[:lower:]')
rm -f "$WINEPREFIX/dosdevices/$missing"

status=0
wine "$HOST" "$@" >"$WORK/result" || status=$?
tr -d '\r' <"$WORK/result" | tee "$WORK/result.txt"
# A program that Wine cannot start may still exit with 0: only the suite's
# own summary counts.
if [ $status -eq 0 ] && ! grep -Eq '^[0-9]+ passed, 0 failed$' "$WORK/result.txt"; then
    echo "the suite did not run to its summary"
    status=1
fi
if [ $status -ne 0 ]; then
    echo "--- port mapping"
    cat "$WORK/ports.reg"
    for trace in "$WORK"/*.trace; do
        echo "--- $(basename "$trace" .trace): fxsim trace"
        cat "$trace"
    done
    echo "--- Wine"
    tail -n 50 "$WINELOG"
fi
exit $status
