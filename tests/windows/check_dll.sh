#!/bin/sh
# Checks a built ZELFX.DLL from the outside, as a host's loader sees it:
#  - a PE32 image for i686, PE32+ for x86_64;
#  - exactly one export, ZelMain, under its plain name (no @4 decoration);
#  - err imported by name from TORVEK.DLL, and nothing else from it;
#  - no DLL of the compiler's runtime needed (only KERNEL32, msvcrt and
#    TORVEK.DLL);
#  - i686: every return of ZelMain is `ret $0x4`, so the callee removes its
#    one argument (stdcall).
# Usage: check_dll.sh OBJDUMP DLL ARCH
set -eu

OBJDUMP=$1
DLL=$2
ARCH=$3
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

headers=$("$OBJDUMP" -p "$DLL")

case $ARCH in
    i686 | x86) magic=PE32 ;;
    x86_64 | AMD64) magic=PE32+ ;;
    *) echo "unknown architecture $ARCH" >&2; exit 2 ;;
esac
printf '%s\n' "$headers" | grep '^Magic' | grep -qF "($magic)" || fail "$DLL is not a $magic image"

exports=$(printf '%s\n' "$headers" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^[[:space:]]*\[/ { print $NF; next }
    table { table = 0 }')
[ "$exports" = "ZelMain" ] || fail "exports are [$(echo $exports)], want [ZelMain]"

# Import lines: "DLL Name: X", then one "<vma> <hint> <name>" line per symbol.
imports=$(printf '%s\n' "$headers" | awk '
    /DLL Name:/ { dll = $3; next }
    /^[[:space:]]*vma:/ { next }
    dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { print dll, $3; next }
    /^$/ { dll = "" }')
torvek=$(printf '%s\n' "$imports" | awk 'toupper($1) == "TORVEK.DLL" { print $2 }')
[ "$torvek" = "err" ] || fail "imports from TORVEK.DLL are [$(echo $torvek)], want [err]"
dlls=$(printf '%s\n' "$imports" | awk '{ print toupper($1) }' | sort -u)
for dll in $dlls; do
    case $dll in
        KERNEL32.DLL | MSVCRT.DLL | TORVEK.DLL) ;;
        *) fail "needs $dll, which a host does not provide" ;;
    esac
done

if [ "$magic" = PE32 ]; then
    base=$(printf '%s\n' "$headers" | awk '$1 == "ImageBase" { print $2 }')
    rva=$(printf '%s\n' "$headers" | awk '
        /^Export Address Table/ { table = 1; next }
        table && /Export RVA/ { print $(NF - 2); exit }')
    start=$(printf '%x' $((0x$base + 0x$rva)))
    # The function at the export's address, up to the next symbol.
    body=$("$OBJDUMP" -d --no-show-raw-insn "$DLL" | awk -v start="$start" '
        $0 ~ "^0*" start " <" { inside = 1; next }
        inside && /^[0-9a-f]+ </ { exit }
        inside { print }')
    if [ -z "$body" ]; then
        fail "no function found at ZelMain's address 0x$start"
    else
        rets=$(printf '%s\n' "$body" | grep -E '[[:space:]]ret' || true)
        [ -n "$rets" ] || fail "ZelMain has no return"
        if printf '%s\n' "$rets" | grep -vqE 'ret[lw]?[[:space:]]+\$0x4$'; then
            fail "ZelMain returns without removing its argument:$(printf '\n%s' "$rets")"
        fi
    fi
fi

if [ $status -eq 0 ]; then
    echo "OK: $DLL ($magic) exports ZelMain, imports err from TORVEK.DLL"
fi
exit $status
