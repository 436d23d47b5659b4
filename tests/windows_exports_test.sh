#!/usr/bin/env bash
# quenta.dll's export table is the public interface and nothing else: the
# five C functions under their plain names, and the exported class with its
# members, virtual table and type information. quenta.dll and the programs
# beside it import no DLL but Windows' own and quenta.dll.
#
#   windows_exports_test.sh quenta.dll PROGRAM.exe...
set -euo pipefail

dll=$1
shift
objdump=x86_64-w64-mingw32-objdump
class="QUENTA::QuentaConfiguratorC"
functions="QUENTA_searchDevices QUENTA_pairDevice QUENTA_getPairedDevice QUENTA_switchToDataMode QUENTA_createPortHandle"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

exports=$("$objdump" -p "$dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && /^\t\[/ { print $3; next } { table = 0 }' |
    x86_64-w64-mingw32-c++filt)
[ -n "$exports" ] || fail "no export table in $dll"

while IFS= read -r name; do
    case " $functions " in *" $name "*) continue ;; esac
    case "$name" in
        "vtable for $class" | "typeinfo for $class" | "$class::"*) ;;
        *) fail "exported but not public: $name" ;;
    esac
done <<<"$exports"

# shellcheck disable=SC2086 # the functions' names are words
for name in $functions "vtable for $class" "typeinfo for $class" \
    "$class::QuentaConfiguratorC()" "$class::~QuentaConfiguratorC()" \
    "$class::QuentaConfiguratorC($class const&)" "$class::operator=($class const&)" \
    "$class::createPortHandle()" "$class::switchToDataMode()"; do
    grep -qxF "$name" <<<"$exports" || fail "not exported: $name"
done
for prefix in searchDevices pairDevice getPairedDevice; do
    grep -qF "$class::$prefix(" <<<"$exports" || fail "not exported: $class::$prefix"
done

for file in "$dll" "$@"; do
    while IFS= read -r import; do
        case "${import,,}" in
            kernel32.dll | advapi32.dll | msvcrt.dll | user32.dll | ws2_32.dll | ntdll.dll | \
                api-ms-win-*.dll | quenta.dll) ;;
            *) fail "$(basename "$file") needs $import, which is not Windows' own" ;;
        esac
    done < <("$objdump" -p "$file" | awk '/DLL Name:/ { print $3 }')
done

[ $failures -eq 0 ] || exit 1
echo "$(wc -l <<<"$exports") exports, all public; imports only Windows' own DLLs"
