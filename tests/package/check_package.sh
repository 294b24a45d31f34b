#!/usr/bin/env bash
# Builds both Debian packages from a configured and built tree, unpacks each into a scratch
# root and checks what a user and an administrator get: each program with the packages it
# needs at run time; the desktop program's version record and menu entry; the service's
# systemd unit, user, state and maintainer scripts, and a packaged service that answers.
#   check_package.sh BUILD_DIR VERSION
# check() evaluates its quoted condition itself, with the variables set by then.
# shellcheck disable=SC2016,SC2034,SC2020
set -euo pipefail
build=${1:?build folder}
version=${2:?project version}
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failures=$((failures + 1)); fi; }
key() { sed -n "s/^$1=//p" "$2" | head -1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/newsbench-package.XXXXXX")
service=
trap '[[ -n $service ]] && kill "$service" 2>/dev/null; rm -rf "$scratch"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" </dev/null >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; exit 1; }

# unpack PACKAGE NEEDED...: the package's program, and in its Depends every Qt library the
# program links and each package it only loads or runs by name.
unpack() {
    local package=$1 depends needed
    shift
    deb="$scratch/out/${package}_${version}_$(dpkg --print-architecture).deb"
    [[ -f $deb ]] || { echo "FAIL: no $(basename "$deb")" >&2; exit 1; }
    root="$scratch/$package"
    dpkg-deb -x "$deb" "$root"
    dpkg-deb -e "$deb" "$root/DEBIAN"
    binary="$root/usr/bin/$package"
    check "$package: usr/bin/$package" '[[ -x $binary ]]'
    depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g')
    needed="$* $(objdump -p "$binary" | awk '$1 == "NEEDED" && $2 ~ /^libQt6/ { print $2 }' \
        | sed -E 's/^lib(Qt6[A-Za-z]+)\.so\.([0-9]+)$/lib\1\2/' | tr '[:upper:]' '[:lower:]')"
    for dependency in $needed; do
        check "$package: Depends $dependency" 'grep -x "$dependency" <<<"$depends" >/dev/null'
    done
}

# Qt's platform plugins, the font, xdg-open and the authorities a TLS server is checked against.
unpack newsbench qt6-qpa-plugins fonts-ipafont-gothic xdg-utils ca-certificates
# Stripping must keep the section the report heading reads the version from.
check "version record kept" 'objdump -h "$binary" | grep "\.newsbench_version" >/dev/null'
check "the desktop package leaves the service out" '! dpkg-deb -c "$deb" | grep newsbench-reportd >/dev/null'
launcher="$root/usr/share/applications/newsbench.desktop"
check "desktop-file-validate" 'desktop-file-validate "$launcher"'
check "Exec runs the installed program" '[[ -x $root/usr/bin/$(basename "$(key Exec "$launcher" | cut -d" " -f1)") ]]'
check "Icon is installed" '[[ -f $root/usr/share/icons/hicolor/scalable/apps/$(key Icon "$launcher").svg ]]'

# The SQL drivers load as plugins; the maintainer scripts make the user with adduser.
unpack newsbench-reportd libqt6sql6-sqlite libqt6sql6-psql adduser
check "the service links no GUI library" '! objdump -p "$binary" | grep -E "NEEDED.*libQt6(Gui|Widgets)" >/dev/null'
# systemd reads units from /usr/lib/systemd/system as well as /lib/systemd/system.
unit=$(find "$root" -path "*/systemd/system/newsbench-reportd.service")
[[ -f $unit ]] || { echo "FAIL: no systemd unit newsbench-reportd.service" >&2; exit 1; }
# Verified with its ExecStart pointing into the package: every setting known, the program there.
sed "s|=/usr/bin/|=$root/usr/bin/|" "$unit" >"$scratch/newsbench-reportd.service"
check "systemd-analyze verify" 'out=$(systemd-analyze verify "$scratch/newsbench-reportd.service" 2>&1) && [[ -z $out ]] || { echo "$out" >&2; false; }'
user=$(key User "$unit")
check "postinst makes the unit's user" '[[ -n $user ]] && grep -E "(^|\s)$user(\s|\$)" "$root/DEBIAN/postinst" >/dev/null'
# ProtectSystem=strict leaves the service only its StateDirectory to write in.
check "default database in the state folder" 'grep -F "DATABASE=/var/lib/$(key StateDirectory "$unit")/" "$unit" >/dev/null'
# The settings match the README's layout, a web server on this machine in front, and an
# administrator's changes to them survive upgrades.
settings="$root/etc/default/newsbench-reportd"
check "/etc/default/newsbench-reportd is a conffile" '[[ -f $settings ]] && grep -x /etc/default/newsbench-reportd "$root/DEBIAN/conffiles" >/dev/null'
check "the settings trust the proxy on this machine" 'grep -E "^OPTIONS=.*--trusted-proxy 127\.0\.0\.1" "$settings" >/dev/null && grep -F -- "--trusted-proxy 127.0.0.1" "$unit" >/dev/null'
for script in postinst prerm postrm; do
    check "$script is executable sh" '[[ -x $root/DEBIAN/$script ]] && sh -n "$root/DEBIAN/$script"'
done

# The packaged program, started on an empty database, answers the ranking page.
"$binary" --listen 127.0.0.1:0 --database "$scratch/reports.sqlite" >"$scratch/service.log" 2>&1 &
service=$!
for _ in $(seq 50); do
    port=$(sed -nE 's|.*http://127\.0\.0\.1:([0-9]+)/.*|\1|p' "$scratch/service.log")
    [[ -n $port ]] && break
    sleep 0.1
done
status=
if [[ -n $port ]] && exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    printf 'GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' >&3
    status=$(head -n 1 <&3 | tr -d '\r')
    exec 3<&-
fi
check "the packaged service serves the ranking" '[[ $status == "HTTP/1.1 200 OK" ]] || { cat "$scratch/service.log" >&2; false; }'

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed" >&2; exit 1; }
