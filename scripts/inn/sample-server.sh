#!/usr/bin/env bash
# A sample INN 2.7 news server on 127.0.0.1:119 (Debian 12, inn2), with groups and articles
# in the five hierarchies and around them: for trying the program and for its tests.
# The same news over TLS and IPv6, by nnrpd daemons beside innd:
#   nntps://127.0.0.1, nntps://[::1], nntps://localhost   TLS on port 563, a certificate for
#                        localhost, 127.0.0.1 and ::1 from the test authority
#                        /etc/news/tls/ca.pem (trusted by nobody but the tests)
#   [::1]                plain NNTP on [::1]:119
#   nntps://127.0.0.1:5632  a certificate from the test authority for another name
#   nntps://127.0.0.1:5633  an expired certificate from the test authority
#   nntps://127.0.0.1:5634  a self-signed certificate
# These daemons trace every command (nnrpd -t). nnrpd logs only through syslog: where no
# syslog daemon listens, a small one writes /var/log/news/news.syslog.
#
# Usage: sample-server.sh COMMAND
#   install              install Debian's inn2 if needed (idempotent, no prompts)
#   start [MODE]         install, write the config, reset the server to a known
#                        state (empty spool, overview and history, fresh active
#                        file), start innd on 127.0.0.1:119, post the articles of
#                        articles.txt and cancel the ones marked for it; then set
#                        MODE (default open). Safe to run again at any time: every
#                        run gives the same groups and article numbers.
#   mode [open|readonly|auth]
#                        rewrite readers.conf only (each new connection reads it):
#                          open      anyone on localhost reads and posts (200)
#                          readonly  reading only, posting refused (201)
#                          auth      nothing but AUTHINFO until logged in; greets
#                                    200 "(no posting)", LIST gives 480
#                        without an argument, print the current mode
#   stop                 shut innd and the nnrpd daemons down and end the news-owned
#                        nnrpd processes
#   status               print the greetings (plain, TLS, IPv6), fail when one is missing
#
# Credentials (checked by ckpasswd in every mode): benchuser / benchpass.
#
# Files next to this script:
#   groups.txt     named groups, "name|hierarchy"
#   articles.txt   articles in posting order, "group|message-id|days_ago|cancel"
#   nntppost.py    small NNTP client used for posting and for greeting checks
#   syslog-sink.py the syslog receiver for machines without one
# Besides the named groups and INN's own defaults (control*, junk, local.*) the
# active file gets 5000 empty groups fill.test.group0001 .. fill.test.group5000.
#
# Runs as root; otherwise privileged commands go through sudo.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The daemons started here must not inherit what the caller holds open: above all the lock
# of `flock LOCK sample-server.sh ...`, which they would otherwise keep for their lifetime.
for fd_path in /proc/$$/fd/*; do
    fd=${fd_path##*/}
    [[ $fd -gt 2 && $(readlink "$fd_path") != "$(readlink -f "${BASH_SOURCE[0]}")" ]] || continue
    eval "exec $fd>&-" 2>/dev/null || true
done
unset fd fd_path
GROUPS_FILE=$HERE/groups.txt
ARTICLES_FILE=$HERE/articles.txt
CLIENT=$HERE/nntppost.py
SYSLOG_SINK=$HERE/syslog-sink.py

ETC=/etc/news
DB=/var/lib/news
SPOOL=/var/spool/news
RUN=/run/news
BIN=/usr/lib/news/bin
LOGDIR=/var/log/news
ERRLOG=$LOGDIR/errlog
PASSFILE=$ETC/fixture.passwd
HOST=127.0.0.1
PORT=119
USER_NAME=benchuser
USER_PASS=benchpass
FILLER_COUNT=5000
TLSDIR=$ETC/tls
# certificate:port of the daemons that serve TLS; the first is the good one.
TLS_SERVERS=(server:563 othername:5632 expired:5633 selfsigned:5634)
TLS_PORT=${TLS_SERVERS[0]#*:}
NEWS_SYSLOG=$LOGDIR/news.syslog
SINK_PID=$RUN/syslog-sink.pid

SUDO=
[[ $(id -u) -eq 0 ]] || SUDO=sudo

log() { echo "sample-server: $*"; }
die() { echo "sample-server: error: $*" >&2; exit 1; }
root() { $SUDO "$@"; }
as_news() { root su news -s /bin/sh -c "$1"; }

PYTHON=$(command -v python3 || true)
[[ -n $PYTHON ]] || PYTHON=/usr/bin/python3

CREATED_POLICY=0
WORKDIR=$(mktemp -d /tmp/sample-server.XXXXXX)
cleanup() {
    rm -rf "$WORKDIR"
    if [[ $CREATED_POLICY == 1 ]]; then root rm -f /usr/sbin/policy-rc.d; fi
}
trap cleanup EXIT

tmpfile() {
    mktemp "$WORKDIR/tmp.XXXXXX"
}

# put_file DEST OWNER GROUP MODE < content. Written next to DEST and renamed,
# so an nnrpd starting meanwhile never reads half a file.
put_file() {
    local t
    t=$(tmpfile)
    cat >"$t"
    root install -o "$2" -g "$3" -m "$4" "$t" "$1.fixture-new"
    root mv -f "$1.fixture-new" "$1"
}

# ---------------------------------------------------------------- install

pkg_ok() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]
}

conffiles_ok() {
    local f
    for f in inn.conf readers.conf incoming.conf storage.conf newsfeeds expire.ctl; do
        [[ -f $ETC/$f ]] || return 1
    done
}

domain_ok() {
    grep -Eq '^domain:[[:space:]]*[^[:space:]]' "$ETC/inn.conf" 2>/dev/null
}

apt_get() {
    root env DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "$@" </dev/null
}

dpkg_configure() {
    root env DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold \
        --configure -a </dev/null
}

# The postinst fails when the host name has no domain: give inn.conf one.
fix_domain() {
    [[ -f $ETC/inn.conf ]] || return 0
    domain_ok && return 0
    local t
    t=$(tmpfile)
    cp "$ETC/inn.conf" "$t"
    if grep -Eq '^#?[[:space:]]*domain:' "$t"; then
        sed -i -E 's/^#?[[:space:]]*domain:.*/domain:                      localdomain/' "$t"
    else
        echo 'domain:                      localdomain' >>"$t"
    fi
    root install -o root -g root -m 644 "$t" "$ETC/inn.conf"
}

cmd_install() {
    if pkg_ok inn2 && pkg_ok inn2-inews && conffiles_ok && domain_ok; then
        return 0
    fi
    log "installing inn2"
    # Keep the postinst from starting innd with the stock config.
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
        printf '#!/bin/sh\nexit 101\n' | root tee /usr/sbin/policy-rc.d >/dev/null
        root chmod 755 /usr/sbin/policy-rc.d
        CREATED_POLICY=1
    fi
    if ! apt-cache policy inn2 2>/dev/null | grep -Eq 'Candidate: [0-9]'; then
        root apt-get -q update </dev/null
    fi
    fix_domain
    dpkg_configure || true
    # dpkg does not restore deleted conffiles unless told to.
    if [[ ! -f $ETC/inn.conf ]] || ! pkg_ok inn2-inews; then
        apt_get install --reinstall -o Dpkg::Options::=--force-confmiss inn2-inews || true
    fi
    [[ -f $ETC/inn.conf ]] || die "inn2-inews did not provide $ETC/inn.conf"
    fix_domain
    dpkg_configure || true
    if ! pkg_ok inn2 || ! conffiles_ok; then
        apt_get install --reinstall -o Dpkg::Options::=--force-confmiss inn2 || true
        fix_domain
        dpkg_configure || true
    fi
    pkg_ok inn2-inews || die "inn2-inews is not installed correctly"
    pkg_ok inn2 || die "inn2 is not installed correctly"
    conffiles_ok || die "configuration files missing in $ETC"
    if [[ $CREATED_POLICY == 1 ]]; then
        root rm -f /usr/sbin/policy-rc.d
        CREATED_POLICY=0
    fi
    log "inn2 installed"
}

# ---------------------------------------------------------------- config

write_inn_conf() {
    local t key val
    t=$(tmpfile)
    cp "$ETC/inn.conf" "$t"
    # innd reads these at start only, nnrpd on every connection.
    while read -r key val; do
        if grep -Eq "^#?[[:space:]]*${key}:" "$t"; then
            sed -i -E "s|^#?[[:space:]]*${key}:.*|${key}: ${val}|" "$t"
        else
            echo "${key}: ${val}" >>"$t"
        fi
    done <<'EOF'
domain localdomain
bindaddress 127.0.0.1
artcutoff 0
doinnwatch false
nnrpdloadlimit 0
pathhost fixture.localdomain
EOF
    root install -o root -g root -m 644 "$t" "$ETC/inn.conf"
}

write_config() {
    write_inn_conf
    # No peers: every connection from 127.0.0.1 goes to nnrpd (reader mode).
    put_file "$ETC/incoming.conf" root news 640 <<'EOF'
# sample-server.sh: no peers, so innd hands every connection to nnrpd.
streaming:          true
max-connections:    8
EOF
    put_file "$ETC/expire.ctl" root root 644 <<'EOF'
# sample-server.sh: test articles never expire.
/remember/:11
*:A:never:never:never
EOF
    local hash
    hash=$(perl -e 'print crypt($ARGV[0], q($6$innfixture$))' "$USER_PASS")
    printf '%s:%s\n' "$USER_NAME" "$hash" | put_file "$PASSFILE" root news 640
}

write_readers_conf() {
    local mode=$1 body
    case $mode in
    open)
        body='auth "fixture" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    auth: "ckpasswd -f '"$PASSFILE"'"
    default: "<localhost>"
}
access "fixture" {
    newsgroups: "*"
    access: RPA
}' ;;
    readonly)
        body='auth "fixture" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    auth: "ckpasswd -f '"$PASSFILE"'"
    default: "<localhost>"
}
access "fixture" {
    newsgroups: "*"
    access: R
}' ;;
    auth)
        body='auth "fixture" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    auth: "ckpasswd -f '"$PASSFILE"'"
}
access "fixture" {
    newsgroups: "*"
    access: RPA
}' ;;
    *) die "unknown mode '$mode' (open, readonly or auth)" ;;
    esac
    printf '# sample-server.sh mode: %s\n%s\n' "$mode" "$body" |
        put_file "$ETC/readers.conf" root root 644
}

cmd_mode() {
    if [[ $# -eq 0 ]]; then
        sed -n 's/^# sample-server.sh mode: //p' "$ETC/readers.conf" | grep . ||
            die "readers.conf was not written by this script"
        return 0
    fi
    write_readers_conf "$1"
    log "mode $1"
}

# ---------------------------------------------------------------- TLS and IPv6

# cert_ok FILE: exists and stays valid for another week.
cert_ok() {
    [[ -f $1 ]] && openssl x509 -in "$1" -noout -checkend 604800 >/dev/null 2>&1
}

# new_key NAME: a P-256 key readable by news only, as nnrpd demands.
new_key() {
    root openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$TLSDIR/$1.key" 2>/dev/null
    root chown news:news "$TLSDIR/$1.key"
    root chmod 600 "$TLSDIR/$1.key"
}

# sign NAME SUBJECT_ALT_NAMES [openssl ca date options]: a certificate from the test authority.
sign() {
    local name=$1 san=$2 cn=${2%%,*} ext csr cnf
    shift 2
    ext=$(tmpfile) csr=$(tmpfile) cnf=$(tmpfile)
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" >"$ext"
    root openssl req -new -key "$TLSDIR/$name.key" -subj "/CN=${cn#*:}" -out "$csr" 2>/dev/null
    printf '[ca]\ndefault_ca=fixture\n[fixture]\ndatabase=%s\nnew_certs_dir=%s\nserial=%s\ndefault_md=sha256\npolicy=any\n[any]\ncommonName=supplied\n' \
        "$WORKDIR/index" "$WORKDIR" "$WORKDIR/serial" >"$cnf"
    : >"$WORKDIR/index"
    openssl rand -hex 16 >"$WORKDIR/serial"
    root openssl ca -batch -notext -config "$cnf" -cert "$TLSDIR/ca.pem" -keyfile "$TLSDIR/ca.key" \
        -in "$csr" -out "$TLSDIR/$name.pem" -extfile "$ext" "$@" >/dev/null 2>&1 ||
        die "cannot sign the $name certificate"
    root chmod 644 "$TLSDIR/$name.pem"
}

make_certificates() {
    local names='DNS:localhost,IP:127.0.0.1,IP:::1'
    if cert_ok "$TLSDIR/ca.pem" && cert_ok "$TLSDIR/server.pem" && [[ -f $TLSDIR/expired.pem &&
        -f $TLSDIR/othername.pem && -f $TLSDIR/selfsigned.pem ]]; then
        return 0
    fi
    log "making the test authority and the server certificates in $TLSDIR"
    root install -d -o root -g news -m 755 "$TLSDIR"
    root openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 \
        -subj "/CN=newsbench test authority" -keyout "$TLSDIR/ca.key" -out "$TLSDIR/ca.pem" 2>/dev/null
    root chmod 600 "$TLSDIR/ca.key"
    root chmod 644 "$TLSDIR/ca.pem"
    new_key server
    sign server "$names" -days 825
    new_key othername
    sign othername DNS:othername.invalid -days 825
    new_key expired
    sign expired "$names" -startdate 20200101000000Z -enddate 20200201000000Z
    new_key selfsigned
    root openssl req -x509 -key "$TLSDIR/selfsigned.key" -days 825 -subj /CN=localhost \
        -addext "subjectAltName=$names" -out "$TLSDIR/selfsigned.pem" 2>/dev/null
    root chmod 644 "$TLSDIR/selfsigned.pem"
}

# nnrpd writes only to syslog; give it one where there is none.
start_syslog() {
    if [[ -f $SINK_PID ]] && [[ -d /proc/$(cat "$SINK_PID") ]]; then return 0; fi
    if [[ -S /dev/log ]] && "$PYTHON" -c 'import socket,sys; s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.connect("/dev/log")' 2>/dev/null; then
        log "a syslog daemon listens on /dev/log: nnrpd's log goes there"
        return 0
    fi
    root rm -f /dev/log
    $SUDO setsid "$PYTHON" "$SYSLOG_SINK" /dev/log "$NEWS_SYSLOG" </dev/null >/dev/null 2>&1 &
    echo $! | put_file "$SINK_PID" root root 644
    local n=50
    while (( n-- > 0 )) && [[ ! -S /dev/log ]]; do sleep 0.1; done
    [[ -S /dev/log ]] || die "the syslog receiver did not start"
}

stop_syslog() {
    [[ -f $SINK_PID ]] || return 0
    root kill -TERM "$(cat "$SINK_PID")" 2>/dev/null || true
    root rm -f "$SINK_PID" /dev/log
}

# wait_port HOST PORT: until something accepts there (5 s at most).
wait_port() {
    "$PYTHON" - "$1" "$2" <<'PY' || die "nothing listens on [$1]:$2"
import socket, sys, time
for _ in range(50):
    try:
        socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)
PY
}

start_daemons() {
    local entry name port conf listen
    make_certificates
    start_syslog
    for entry in "${TLS_SERVERS[@]}"; do
        name=${entry%%:*} port=${entry#*:}
        # nnrpd -D reads inn.conf once, from INNCONF: one copy per certificate.
        conf=$TLSDIR/$name.conf
        { cat "$ETC/inn.conf"
          printf 'tlscertfile: %s\ntlskeyfile: %s\n' "$TLSDIR/$name.pem" "$TLSDIR/$name.key"
        } | put_file "$conf" root news 644
        listen="-b $HOST"
        [[ $name == server ]] && listen="$listen -6 ::1"
        as_news "INNCONF=$conf $BIN/nnrpd -D -S -t -p $port $listen </dev/null >/dev/null 2>&1" ||
            die "nnrpd for $name on port $port did not start"
    done
    # Plain NNTP on [::1]:119 beside innd's 127.0.0.1:119.
    as_news "$BIN/nnrpd -D -t -p $PORT -6 ::1 </dev/null >/dev/null 2>&1" ||
        die "nnrpd on [::1]:$PORT did not start"
    for entry in "${TLS_SERVERS[@]}"; do wait_port "$HOST" "${entry#*:}"; done
    wait_port ::1 "$TLS_PORT"
    wait_port ::1 "$PORT"
}

# ---------------------------------------------------------------- stop/start

wait_gone() { # seconds pid...
    local n=$(( $1 * 10 )) p alive
    shift
    while (( n-- > 0 )); do
        alive=0
        for p in "$@"; do
            if [[ -d /proc/$p ]]; then alive=1; fi
        done
        [[ $alive == 0 ]] && return 0
        sleep 0.1
    done
    return 1
}

cmd_stop() {
    local pids
    pids=$(pgrep -x innd || true)
    if [[ -n $pids ]]; then
        log "stopping innd (${pids//$'\n'/ })"
        as_news "$BIN/ctlinnd -t 10 shutdown 'sample-server stop'" >/dev/null 2>&1 || true
        # shellcheck disable=SC2086
        if ! wait_gone 15 $pids; then
            # shellcheck disable=SC2086
            root kill -TERM $pids 2>/dev/null || true
            # shellcheck disable=SC2086
            wait_gone 5 $pids || root kill -KILL $pids 2>/dev/null || true
        fi
    fi
    # Reader sessions outlive innd; the TLS and IPv6 daemons are nnrpd too.
    pids=$(pgrep -u news -x nnrpd || true)
    if [[ -n $pids ]]; then
        # shellcheck disable=SC2086
        root kill -TERM $pids 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_gone 5 $pids || root kill -KILL $pids 2>/dev/null || true
    fi
    # A leftover pid file makes rc.news renumber the active file.
    root rm -f "$RUN/innd.pid" "$RUN"/nnrpd*.pid
    stop_syslog
}

named_groups() {
    sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$GROUPS_FILE" | awk -F'|' 'NF { print $1 }'
}

reset_state() {
    log "resetting spool, overview, history and active"
    root find "$SPOOL/articles" "$SPOOL/overview" -mindepth 1 -delete
    root rm -f "$SPOOL/tradspool.map"
    root find "$SPOOL/incoming" "$SPOOL/outgoing" -maxdepth 1 -type f -delete

    {
        cat /usr/lib/news/examples/active
        named_groups | awk '{ print $1, "0000000000", "0000000001", "y" }'
        seq -f "fill.test.group%04g 0000000000 0000000001 y" 1 "$FILLER_COUNT"
    } | put_file "$DB/active" news news 644
    {
        cat /usr/lib/news/examples/newsgroups
        named_groups | awk '{ printf "%s\tFixture group\n", $1 }'
    } | put_file "$DB/newsgroups" news news 644
    : | put_file "$DB/active.times" news news 644

    root rm -f "$DB"/history "$DB"/history.* "$DB"/active.old "$DB"/active.new
    as_news "cd $DB && : >history && $BIN/makedbz -i -o -s 10000 && touch .news.daily"
}

wait_ready() { # seconds
    local end=$(( SECONDS + $1 )) gone=0
    while (( SECONDS < end )); do
        if "$PYTHON" "$CLIENT" --host "$HOST" --port "$PORT" greet >/dev/null 2>&1; then
            return 0
        fi
        # innd that has exited will not greet: give up early.
        if pgrep -x innd >/dev/null; then gone=0; else gone=$(( gone + 1 )); fi
        (( gone < 5 )) || return 1
        sleep 0.2
    done
    return 1
}

start_innd() {
    local errsize
    errsize=$(stat -c %s "$ERRLOG" 2>/dev/null || echo 0)
    root install -d -o news -g news -m 775 "$RUN"
    # Output to a file: innd must not inherit the caller's stdout (CI pipes).
    as_news "$BIN/rc.news >$LOGDIR/rc.news.log 2>&1 </dev/null" ||
        die "rc.news failed: $(tail -n 5 "$LOGDIR/rc.news.log")"
    if ! wait_ready 20; then
        echo "sample-server: error: innd did not greet on $HOST:$PORT (exited, or 20 s passed)" >&2
        echo "--- $ERRLOG (this run) ---" >&2
        root tail -c +$(( errsize + 1 )) "$ERRLOG" 2>/dev/null | tail -n 30 >&2 || true
        echo "--- $LOGDIR/rc.news.log ---" >&2
        tail -n 10 "$LOGDIR/rc.news.log" >&2 || true
        exit 1
    fi
}

cancel_articles() {
    local ids
    ids=$(tmpfile)
    sed -e 's/#.*//' "$ARTICLES_FILE" | awk -F'|' 'NF == 4 && $4 == 1 { print $2 }' >"$ids"
    [[ -s $ids ]] || return 0
    log "cancelling $(wc -l <"$ids") articles"
    # shellcheck disable=SC2016  # $id expands in the news user's shell
    as_news 'while read -r id; do '"$BIN"'/ctlinnd -s cancel "$id" || exit 1; done' <"$ids" ||
        die "ctlinnd cancel failed"
    # GROUP keeps counting cancelled articles until the overview is cleaned
    # and the counts are handed back to innd.
    as_news "$BIN/expireover -s -Z $DB/fixture.lowmark && $BIN/ctlinnd -s lowmark $DB/fixture.lowmark" \
        >/dev/null || die "expireover/lowmark failed"
    root rm -f "$DB/fixture.lowmark"
}

cmd_start() {
    local mode=${1:-open} t0=$SECONDS
    case $mode in open|readonly|auth) ;; *) die "unknown mode '$mode'" ;; esac
    [[ -f $GROUPS_FILE && -f $ARTICLES_FILE && -f $CLIENT ]] || die "fixture files missing in $HERE"
    cmd_install
    cmd_stop
    write_config
    write_readers_conf open
    reset_state
    log "starting innd"
    start_innd
    log "posting articles"
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$PORT" \
        --user "$USER_NAME" --password "$USER_PASS" post "$ARTICLES_FILE"
    cancel_articles
    log "starting the TLS and IPv6 daemons"
    start_daemons
    [[ $mode == open ]] || write_readers_conf "$mode"
    log "ready on $HOST:$PORT, nntps://$HOST (CA $TLSDIR/ca.pem), [::1]:$PORT; mode $mode ($(( SECONDS - t0 )) s)"
}

cmd_status() {
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$PORT" greet
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$TLS_PORT" --cafile "$TLSDIR/ca.pem" greet
    "$PYTHON" "$CLIENT" --host ::1 --port "$PORT" greet
}

case ${1:-} in
install) cmd_install ;;
start) shift; cmd_start "$@" ;;
mode) shift; cmd_mode "$@" ;;
stop) cmd_stop ;;
status) cmd_status ;;
*) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
