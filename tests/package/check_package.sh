#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into a scratch root
# and checks what a user gets: the program with its version record, the packages it needs
# at run time, a valid menu entry whose command and icon are installed.
#   check_package.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=${1:?build folder}
version=${3:?project version}
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failures=$((failures + 1)); fi; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/newsbench-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" </dev/null >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; exit 1; }
deb="$scratch/out/newsbench_${version}_$(dpkg --print-architecture).deb"
check "package file $(basename "$deb")" '[[ -f $deb ]]'
dpkg-deb -x "$deb" "$scratch/root"
depends=$(dpkg-deb -f "$deb" Depends)
binary="$scratch/root/usr/bin/newsbench"

# Qt's platform plugins, the font and xdg-open are not found by linking; the Qt libraries are.
needed="qt6-qpa-plugins fonts-ipafont-gothic xdg-utils"
needed+=" $(objdump -p "$binary" | awk '$1 == "NEEDED" && $2 ~ /^libQt6/ { print $2 }' \
    | sed -E 's/^lib(Qt6[A-Za-z]+)\.so\.([0-9]+)$/lib\1\2/' | tr '[:upper:]' '[:lower:]')"
for package in $needed; do
    check "Depends $package" 'tr ",|" "\n\n" <<<"$depends" | sed -E "s/\(.*\)//; s/[[:space:]]//g" | grep -qx "$package"'
done
# Stripping must keep the section the report heading reads the version from.
check "version record kept" 'objdump -h "$binary" | grep -c "\.newsbench_version" >/dev/null'

launcher="$scratch/root/usr/share/applications/newsbench.desktop"
check "desktop-file-validate" 'desktop-file-validate "$launcher"'
key() { sed -n "s/^$1=//p" "$launcher" | head -1; }
check "Name[ja]" '[[ $(key "Name\[ja\]") == ニュースサーバ・ベンチマーク ]]'
check "Exec runs the installed program" '[[ -x $scratch/root/usr/bin/$(basename "$(key Exec | cut -d" " -f1)") ]]'
check "Icon is installed" '[[ -f $scratch/root/usr/share/icons/hicolor/scalable/apps/$(key Icon).svg ]]'

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed" >&2; exit 1; }
