#!/usr/bin/env bash
# The sample news server beside a news installation it did not make: `sample-server.sh stop`
# and `start` leave every file of the machine's INN (/etc/news, /var/lib/news,
# /var/spool/news) byte for byte as it was, and its innd running; the sample server moves to
# free ports when the other innd holds 119.
#   foreign_inn.sh SOURCE_DIR
# Where the machine's INN is not running, the test starts it from its own configuration and
# stops it again afterwards, but only in CI, on a machine made for the run: on a developer's
# machine it says so and skips (exit 77).
set -euo pipefail
sample=$1/scripts/inn/sample-server.sh
bin=/usr/lib/news/bin
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "needs root, as the sample server does"
[[ -x $bin/innd && -f /etc/news/inn.conf ]] || fail "INN is not installed (sample-server.sh install)"

# The machine's innd, by the pid file of its own configuration.
system_innd() {
    local pid
    pid=$(env -u INNCONF "$bin/innconfval" pathrun 2>/dev/null)/innd.pid
    [[ -f $pid ]] || return 1
    pid=$(tr -dc '0-9' <"$pid")
    [[ -n $pid && -d /proc/$pid ]] || return 1
    echo "$pid"
}

# Every file of the installation with its checksum, and its owner and mode.
snapshot() {
    find /etc/news /var/lib/news /var/spool/news -xdev \( -type f -o -type l \) -print0 2>/dev/null |
        sort -z | xargs -0 -r stat -c '%n %U:%G %a %s' >"$1"
    find /etc/news /var/lib/news /var/spool/news -xdev -type f -print0 2>/dev/null |
        sort -z | xargs -0 -r sha256sum >>"$1"
}

started=
restore() {
    if [[ -n $started && -d /proc/$started ]]; then
        env -u INNCONF su news -s /bin/sh -c "$bin/ctlinnd -t 10 shutdown 'foreign_inn test'" >/dev/null 2>&1 || true
        for _ in $(seq 50); do [[ -d /proc/$started ]] || break; sleep 0.1; done
        [[ -d /proc/$started ]] && kill -KILL "$started" 2>/dev/null
    fi
    # The other tests find the sample server as it was started for them.
    "$sample" start >/dev/null
}
trap restore EXIT

"$sample" stop
if ! innd=$(system_innd); then
    [[ ${CI:-} == true ]] || skip "the machine's own innd is not running; this test starts one only in CI"
    # The installation as its package left it; its innd listens on port 119 of every address,
    # or where something else of this machine holds that port, on another one.
    port=$(python3 - <<'PY'
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("0.0.0.0", 119))
    print(119)
except OSError:
    s.close()
    s = socket.socket()
    s.bind(("0.0.0.0", 0))
    print(s.getsockname()[1])
PY
)
    install -d -o news -g news -m 775 "$(env -u INNCONF "$bin/innconfval" pathrun)"
    env -u INNCONF su news -s /bin/sh -c "$bin/innd -P $port </dev/null >/dev/null 2>&1" ||
        fail "the machine's innd did not start"
    for _ in $(seq 100); do innd=$(system_innd) && break; sleep 0.1; done
    [[ -n ${innd:-} ]] || fail "the machine's innd did not write its pid file"
    started=$innd
fi

before=$(mktemp) after=$(mktemp)
snapshot "$before"
"$sample" start
"$sample" status || fail "the sample server does not answer beside the other innd"
ports=$("$sample" ports)
echo "$ports"
"$sample" mode auth
"$sample" stop
snapshot "$after"

[[ -d /proc/$innd ]] || fail "the machine's innd ($innd) was stopped"
if ! diff -u "$before" "$after"; then
    fail "the machine's INN changed"
fi
if [[ -n $started && $port == 119 ]] && grep -qx 'plain 119' <<<"$ports"; then
    fail "the sample server took port 119 from the running innd"
fi
rm -f "$before" "$after"
echo "PASS: the machine's INN is as it was, its innd ($innd) still running"
