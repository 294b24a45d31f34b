#!/usr/bin/env bash
# The report service's Debian package: built with CPack from a configured and built tree,
# unpacked into a scratch root and checked for what an administrator gets: the program, its
# run-time packages, a systemd unit with its own user and state, maintainer scripts, and a
# program that serves the ranking when started as the unit starts it.
#   check_reportd_package.sh BUILD_DIR VERSION
set -euo pipefail

build=${1:?build folder}
version=${2:?project version}
package=newsbench-reportd

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/newsbench-reportd-package.XXXXXX")
service=
trap '[[ -n "$service" ]] && kill "$service" 2>/dev/null; rm -rf "$scratch"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" </dev/null >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
deb="$scratch/out/${package}_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || { ls -l "$scratch/out" >&2; echo "FAIL: no $(basename "$deb")" >&2; exit 1; }
dpkg-deb -I "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == "$package" ]] && pass "Package" || fail "Package is '$(field Package)'"
depends=$(field Depends)
declared() { tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/[[:space:]]//g' | grep -x "$1" >/dev/null; }
for dependency in libqt6httpserver6 libqt6sql6 libqt6sql6-sqlite libqt6sql6-psql adduser; do
    declared "$dependency" && pass "Depends $dependency" || fail "Depends lacks $dependency: $depends"
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"
binary="$root/usr/bin/$package"
[[ -x "$binary" ]] && pass "usr/bin/$package" || fail "usr/bin/$package missing"
if objdump -p "$binary" | awk '$1 == "NEEDED"' | grep -E 'libQt6(Gui|Widgets)' >/dev/null; then
    fail "$package links a GUI library"
else
    pass "no GUI library linked"
fi
if dpkg-deb -c "$scratch/out/newsbench_${version}_"*.deb | grep -F "$package" >/dev/null; then
    fail "the desktop package carries the service"
else
    pass "the desktop package leaves the service out"
fi

# systemd reads units from /usr/lib/systemd/system as well as /lib/systemd/system.
unit=
for folder in usr/lib lib; do
    [[ -f "$root/$folder/systemd/system/$package.service" ]] && unit="$root/$folder/systemd/system/$package.service"
done
if [[ -n "$unit" ]]; then
    for line in "User=$package" "StateDirectory=$package" "ExecStart=/usr/bin/$package " "WantedBy=multi-user.target"; do
        grep -F "$line" "$unit" >/dev/null && pass "unit: $line" || fail "unit lacks $line"
    done
else
    fail "no systemd unit $package.service"
fi
for script in postinst prerm postrm; do
    if [[ -x "$scratch/control/$script" ]] && sh -n "$scratch/control/$script"; then
        pass "$script"
    else
        fail "$script missing, not executable or not valid sh"
    fi
done
grep -F "adduser" "$scratch/control/postinst" >/dev/null && pass "postinst makes the user" || fail "postinst makes no user"

# Started as the unit starts it, the packaged program answers the ranking page.
"$binary" --listen 127.0.0.1:0 --database "$scratch/reports.sqlite" >"$scratch/service.log" 2>&1 &
service=$!
port=
for _ in $(seq 50); do
    port=$(sed -nE 's|.*http://127\.0\.0\.1:([0-9]+)/.*|\1|p' "$scratch/service.log")
    [[ -n "$port" ]] && break
    sleep 0.1
done
status=
if [[ -n "$port" ]] && exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    printf 'GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' >&3
    status=$(head -n 1 <&3 | tr -d '\r')
    exec 3<&-
fi
[[ "$status" == "HTTP/1.1 200 OK" ]] && pass "serves the ranking" || fail "GET / gave '$status': $(cat "$scratch/service.log")"

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $(basename "$deb") passed"
