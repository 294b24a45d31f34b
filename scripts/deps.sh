#!/usr/bin/env bash
# Installs the Debian packages a task needs, asking apt only for what is missing.
#   scripts/deps.sh run|test|bench
set -euo pipefail

# The desktop program, and the report service with its SQL drivers; ca-certificates: the
# authorities a TLS news server's certificate is checked against. qt6-httpserver-dev's CMake
# files need qt6-websockets-dev, which it does not depend on.
run_packages=(cmake g++ make ninja-build qt6-base-dev qt6-qpa-plugins fonts-ipafont-gothic xdg-utils
              ca-certificates qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite libqt6sql6-psql)
# openssl: the sample news server's test authority and certificates; locales: a desktop
# locale with a decimal comma; x11-utils: xprop, the window system's captions; the report
# service's tests run against a real PostgreSQL and in a real browser; systemd: its package's
# unit is checked with systemd-analyze; file: CPack's Debian generator needs it.
test_packages=(xvfb xauth x11-utils python3 clang libclang-rt-14-dev desktop-file-utils dpkg-dev
               openssl locales postgresql chromium chromium-driver python3-selenium systemd file)
# The report service's benchmark loads it and nginx with wrk.
bench_packages=(wrk nginx curl)

case "${1:-run}" in
run) wanted=("${run_packages[@]}") ;;
test) wanted=("${run_packages[@]}" "${test_packages[@]}") ;;
bench) wanted=("${run_packages[@]}" "${bench_packages[@]}") ;;
*) echo "usage: $0 run|test|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
