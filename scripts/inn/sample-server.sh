#!/usr/bin/env bash
# A sample INN 2.7 news server (Debian 12, inn2) with groups and articles in the five
# hierarchies and around them: for trying the program and for its tests.
#
# It is a news installation of its own: its configuration, history, spool, overview, logs
# and pid files live in one folder (default /var/lib/newsbench-sample, or
# NEWSBENCH_SAMPLE_DIR), which INN is pointed at through INNCONF. The machine's own INN, if
# it has one (/etc/news, /var/lib/news, /var/spool/news and its innd), is never read,
# changed or stopped. Only Debian's inn2 programs are shared; the package is installed when
# missing.
#
# Ports: 127.0.0.1:119 and [::1]:119 plain, 563 TLS, 5632-5634 the bad certificates below,
# each as long as it is free; a taken port is replaced by a free one. `ports` prints them.
#   127.0.0.1, [::1]     plain NNTP
#   nntps://127.0.0.1, nntps://[::1], nntps://localhost   TLS on the tls port, a certificate
#                        for localhost, 127.0.0.1 and ::1 from the test authority
#                        DIR/tls/ca.pem (trusted by nobody but the tests)
#   othername            a certificate from the test authority for another name
#   expired              an expired certificate from the test authority
#   selfsigned           a self-signed certificate
# The TLS and IPv6 daemons are nnrpd, tracing every command (nnrpd -t). nnrpd logs only
# through syslog: where no syslog daemon listens on /dev/log, a small one started here
# writes DIR/log/news.syslog.
#
# Usage: sample-server.sh COMMAND
#   install              install Debian's inn2 if it is missing (no prompts); an installed
#                        INN is left as it is
#   start [MODE]         install, stop this server if it runs, make its folder afresh
#                        (configuration, empty spool, overview and history, a new active
#                        file), start innd, post the articles of articles.txt and the large
#                        binaries, cancel the ones marked for it, start the TLS and IPv6
#                        daemons; then set MODE (default open). Every run gives the same
#                        groups and article numbers.
#   mode [open|readonly|auth]
#                        rewrite readers.conf only (each new connection reads it):
#                          open      anyone on localhost reads and posts (200)
#                          readonly  reading only, posting refused (201)
#                          auth      nothing but AUTHINFO until logged in; greets
#                                    200 "(no posting)", LIST gives 480
#                        without an argument, print the current mode
#   stop                 end the processes this server started (found through its own pid
#                        files and their sessions), nothing else
#   ports                print "name port" for plain, tls, othername, expired, selfsigned
#   info                 print key=value lines: the ports, the folder, the test authority
#                        and the syslog file
#   status               print the greetings (plain, TLS, IPv6), fail when one is missing
#
# Credentials (checked by ckpasswd in every mode): benchuser / benchpass.
#
# Files next to this script:
#   groups.txt     named groups, "name|hierarchy"
#   articles.txt   articles in posting order, "group|message-id|days_ago|cancel"
#   nntppost.py    small NNTP client used for posting and for greeting checks
#   syslog-sink.py the syslog receiver for machines without one
# Besides the named groups and INN's own defaults (control*, junk, local.*) the active file
# gets 5000 empty groups fill.test.group0001 .. fill.test.group5000, and the binaries group
# LARGE_GROUP gets LARGE_COUNT articles of LARGE_BYTES bytes each, for article speed.
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

TREE=${NEWSBENCH_SAMPLE_DIR:-/var/lib/newsbench-sample}
# Written into the folder when it is made: only a folder that carries it is ever emptied.
MARK=$TREE/.newsbench-sample
ETC=$TREE/etc
DB=$TREE/db
SPOOL=$TREE/spool
RUN=$TREE/run
LOGDIR=$TREE/log
TLSDIR=$TREE/tls
PORTS_FILE=$TREE/ports
INNCONF_FILE=$ETC/inn.conf
ERRLOG=$LOGDIR/errlog
BIN=/usr/lib/news/bin
PASSFILE=$ETC/fixture.passwd
HOST=127.0.0.1
USER_NAME=benchuser
USER_PASS=benchpass
FILLER_COUNT=5000
LARGE_GROUP=alt.binaries.multimedia.erotica.large
LARGE_COUNT=200
LARGE_BYTES=500000
LARGE_DAYS=15
# name:preferred port; tls and the bad certificates are nnrpd daemons with their own inn.conf.
PORT_NAMES=(plain:119 tls:563 othername:5632 expired:5633 selfsigned:5634)
NEWS_SYSLOG=$LOGDIR/news.syslog
SINK_PID=$RUN/syslog-sink.pid

SUDO=
[[ $(id -u) -eq 0 ]] || SUDO=sudo

log() { echo "sample-server: $*"; }
die() { echo "sample-server: error: $*" >&2; exit 1; }
root() { $SUDO "$@"; }
# Every INN program run here reads this server's inn.conf, never /etc/news/inn.conf.
as_news() { root env INNCONF="$INNCONF_FILE" su news -s /bin/sh -c "INNCONF='$INNCONF_FILE'; export INNCONF; $1"; }

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

apt_get() {
    root env DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "$@" </dev/null
}

dpkg_configure() {
    root env DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold \
        --configure -a </dev/null
}

# The package's postinst fails when the host name has no domain; only a package being
# installed here, whose /etc/news/inn.conf dpkg has just unpacked, gets one.
fix_new_domain() {
    [[ -f /etc/news/inn.conf ]] || return 0
    grep -Eq '^domain:[[:space:]]*[^[:space:]]' /etc/news/inn.conf && return 0
    local t
    t=$(tmpfile)
    cp /etc/news/inn.conf "$t"
    if grep -Eq '^#?[[:space:]]*domain:' "$t"; then
        sed -i -E 's/^#?[[:space:]]*domain:.*/domain:                      localdomain/' "$t"
    else
        echo 'domain:                      localdomain' >>"$t"
    fi
    root install -o root -g root -m 644 "$t" /etc/news/inn.conf
}

cmd_install() {
    # An INN that is installed, whoever installed it, is left alone: only its programs are used.
    if pkg_ok inn2 && [[ -x $BIN/innd && -x $BIN/nnrpd ]]; then
        return 0
    fi
    log "installing inn2"
    # Keep the postinst from starting the system's innd with the stock configuration.
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
        printf '#!/bin/sh\nexit 101\n' | root tee /usr/sbin/policy-rc.d >/dev/null
        root chmod 755 /usr/sbin/policy-rc.d
        CREATED_POLICY=1
    fi
    if ! apt-cache policy inn2 2>/dev/null | grep -Eq 'Candidate: [0-9]'; then
        root apt-get -q update </dev/null
    fi
    # The postinst of inn2-inews needs the domain that its own inn.conf lacks.
    apt_get install inn2-inews || { fix_new_domain; dpkg_configure || true; }
    fix_new_domain
    apt_get install inn2 || { fix_new_domain; dpkg_configure || true; }
    pkg_ok inn2 || die "inn2 is not installed correctly"
    if [[ $CREATED_POLICY == 1 ]]; then
        root rm -f /usr/sbin/policy-rc.d
        CREATED_POLICY=0
    fi
    log "inn2 installed"
}

# ---------------------------------------------------------------- ports

# free_port PREFERRED: PREFERRED when nothing listens there on 127.0.0.1 or ::1, otherwise a
# free port the kernel hands out.
free_port() {
    "$PYTHON" - "$1" <<'PY'
import socket, sys
def free(port):
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        s = socket.socket(family, socket.SOCK_STREAM)
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((host, port))
        except OSError:
            return False
        finally:
            s.close()
    return True
wanted = int(sys.argv[1])
if free(wanted):
    print(wanted)
    sys.exit(0)
for _ in range(100):
    s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    s.bind(("::1", 0))
    port = s.getsockname()[1]
    s.close()
    if free(port):
        print(port)
        sys.exit(0)
sys.exit("no free port")
PY
}

choose_ports() {
    local entry name port taken=" "
    : >"$WORKDIR/ports"
    for entry in "${PORT_NAMES[@]}"; do
        name=${entry%%:*}
        port=$(free_port "${entry#*:}")
        # Two names never share a port, even when the kernel hands one out twice.
        while [[ $taken == *" $port "* ]]; do port=$(free_port 0); done
        taken+="$port "
        [[ $port == "${entry#*:}" ]] || log "port ${entry#*:} is taken: $name uses $port"
        echo "$name $port" >>"$WORKDIR/ports"
    done
    put_file "$PORTS_FILE" root root 644 <"$WORKDIR/ports"
}

port_of() {
    [[ -f $PORTS_FILE ]] || die "the sample server has not been started ($PORTS_FILE is missing)"
    awk -v n="$1" '$1 == n { print $2 }' "$PORTS_FILE"
}

# ---------------------------------------------------------------- config

write_inn_conf() {
    local port=$1
    put_file "$INNCONF_FILE" root news 644 <<EOF
# inn.conf of the newsbench sample server: every path is inside $TREE.
pathnews:           /usr/lib/news
pathbin:            $BIN
pathcontrol:        $BIN/control
pathfilter:         /etc/news/filter
pathetc:            $ETC
pathdb:             $DB
pathrun:            $RUN
pathlog:            $LOGDIR
pathhttp:           $LOGDIR/http
pathtmp:            $SPOOL/incoming/tmp
pathspool:          $SPOOL
patharticles:       $SPOOL/articles
pathoverview:       $SPOOL/overview
pathincoming:       $SPOOL/incoming
pathoutgoing:       $SPOOL/outgoing
patharchive:        $SPOOL/archive
domain:             localdomain
pathhost:           fixture.localdomain
organization:       "newsbench sample server"
mta:                "/bin/true %s"
ovmethod:           tradindexed
hismethod:          hisv6
port:               $port
bindaddress:        $HOST
artcutoff:          0
doinnwatch:         false
nnrpdloadlimit:     0
maxartsize:         1000000
localmaxartsize:    1000000
docancels:          none
pgpverify:          false
htmlstatus:         false
logcycles:          0
EOF
}

write_config() {
    install_dirs
    write_inn_conf "$(port_of plain)"
    put_file "$ETC/newsfeeds" root news 644 <<'EOF'
# newsbench sample server: no feeds.
ME:*::
EOF
    put_file "$ETC/incoming.conf" root news 640 <<'EOF'
# newsbench sample server: no peers, so innd hands every connection to nnrpd.
streaming:          true
max-connections:    8
EOF
    put_file "$ETC/storage.conf" root news 644 <<'EOF'
method tradspool {
    newsgroups: *
    class: 0
}
EOF
    put_file "$ETC/expire.ctl" root news 644 <<'EOF'
# newsbench sample server: test articles never expire.
/remember/:11
*:A:never:never:never
EOF
    local file
    # Files INN reads at start; empty is what the sample server wants of them.
    for file in moderators distributions subscriptions control.ctl control.ctl.local \
        distrib.pats passwd.nntp localgroups nnrpd.track; do
        : | put_file "$ETC/$file" root news 644
    done
    put_file "$ETC/inn-secrets.conf" root news 640 <<'EOF'
cancels {
    canlockuser:  [ ]
    canlockadmin: [ ]
}
EOF
    local hash
    hash=$(perl -e 'print crypt($ARGV[0], q($6$innfixture$))' "$USER_PASS")
    printf '%s:%s\n' "$USER_NAME" "$hash" | put_file "$PASSFILE" root news 640
}

install_dirs() {
    local d
    for d in "$TREE" "$ETC" "$DB" "$RUN" "$LOGDIR" "$LOGDIR/http" "$LOGDIR/OLD" "$SPOOL" \
        "$SPOOL/articles" "$SPOOL/overview" "$SPOOL/incoming" "$SPOOL/incoming/tmp" \
        "$SPOOL/incoming/bad" "$SPOOL/outgoing" "$SPOOL/archive"; do
        root install -d -o news -g news -m 775 "$d"
    done
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
        put_file "$ETC/readers.conf" root news 644
}

cmd_mode() {
    [[ -f $MARK ]] || die "the sample server has not been started in $TREE"
    if [[ $# -eq 0 ]]; then
        sed -n 's/^# sample-server.sh mode: //p' "$ETC/readers.conf" | grep . ||
            die "readers.conf was not written by this script"
        return 0
    fi
    write_readers_conf "$1"
    log "mode $1"
}

# ---------------------------------------------------------------- TLS and IPv6

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
    log "making the test authority and the server certificates in $TLSDIR"
    root install -d -o root -g news -m 755 "$TLSDIR"
    root openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 \
        -subj "/CN=newsbench test authority" -keyout "$TLSDIR/ca.key" -out "$TLSDIR/ca.pem" 2>/dev/null
    root chmod 600 "$TLSDIR/ca.key"
    root chmod 644 "$TLSDIR/ca.pem"
    new_key tls
    sign tls "$names" -days 825
    new_key othername
    sign othername DNS:othername.invalid -days 825
    new_key expired
    sign expired "$names" -startdate 20200101000000Z -enddate 20200201000000Z
    new_key selfsigned
    root openssl req -x509 -key "$TLSDIR/selfsigned.key" -days 825 -subj /CN=localhost \
        -addext "subjectAltName=$names" -out "$TLSDIR/selfsigned.pem" 2>/dev/null
    root chmod 644 "$TLSDIR/selfsigned.pem"
}

# nnrpd writes only to syslog; give it one where there is none. The receiver and the socket
# it makes are this server's, and go with it.
start_syslog() {
    if [[ -S /dev/log ]] && "$PYTHON" -c 'import socket,sys; s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.connect("/dev/log")' 2>/dev/null; then
        log "a syslog daemon listens on /dev/log: nnrpd's log goes there"
        return 0
    fi
    if [[ -e /dev/log ]]; then
        log "/dev/log is there but nobody listens: nnrpd's log is not kept"
        return 0
    fi
    $SUDO setsid "$PYTHON" "$SYSLOG_SINK" /dev/log "$NEWS_SYSLOG" </dev/null >/dev/null 2>&1 &
    echo $! | put_file "$SINK_PID" root root 644
    local n=50
    while (( n-- > 0 )) && [[ ! -S /dev/log ]]; do sleep 0.1; done
    [[ -S /dev/log ]] || die "the syslog receiver did not start"
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
    for entry in "${PORT_NAMES[@]:1}"; do
        name=${entry%%:*} port=$(port_of "$name")
        # nnrpd -D reads inn.conf once, from INNCONF: one whole copy per certificate, with its
        # own port (nnrpd asks innbind for a port below 1024 only when inn.conf names it).
        conf=$ETC/inn-$name.conf
        { sed -E "s/^port:.*/port:               $port/" "$INNCONF_FILE"
          printf 'tlscertfile: %s\ntlskeyfile: %s\n' "$TLSDIR/$name.pem" "$TLSDIR/$name.key"
        } | put_file "$conf" root news 644
        listen="-b $HOST"
        [[ $name == tls ]] && listen="$listen -6 ::1"
        root env INNCONF="$conf" su news -s /bin/sh -c \
            "INNCONF='$conf' $BIN/nnrpd -D -S -t -p $port $listen </dev/null >/dev/null 2>&1" ||
            die "nnrpd for $name on port $port did not start"
    done
    # Plain NNTP on [::1] beside innd's 127.0.0.1.
    as_news "$BIN/nnrpd -D -t -p $(port_of plain) -6 ::1 </dev/null >/dev/null 2>&1" ||
        die "nnrpd on [::1]:$(port_of plain) did not start"
    for entry in "${PORT_NAMES[@]}"; do wait_port "$HOST" "$(port_of "${entry%%:*}")"; done
    wait_port ::1 "$(port_of tls)"
    wait_port ::1 "$(port_of plain)"
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

# The processes this server started: every process that reads its configuration (innd, the
# nnrpd daemons and the readers they fork inherit INNCONF from here), and its syslog receiver.
# Nothing is ever chosen by its name. A chroot shares the process table with the machine, and
# another system's sample server may use the same paths: only processes whose root directory
# is this one's count.
our_processes() {
    local p env here
    here=$(stat -L -c %d:%i /)
    for p in /proc/[0-9]*; do
        [[ $(root stat -L -c %d:%i "$p/root/" 2>/dev/null) == "$here" ]] || continue
        env=$(root cat "$p/environ" 2>/dev/null | tr '\0' '\n') || continue
        if grep -qx "INNCONF=$ETC/inn[-a-z]*\.conf" <<<"$env"; then echo "${p#/proc/}"; fi
    done
    if [[ -f $SINK_PID ]]; then
        p=$(tr -dc '0-9' <"$SINK_PID")
        if [[ -n $p && -d /proc/$p && $(root stat -L -c %d:%i "/proc/$p/root/" 2>/dev/null) == "$here" ]]; then
            echo "$p"
        fi
    fi
}

cmd_stop() {
    [[ -f $MARK ]] || return 0
    local pids innd=
    pids=$(our_processes | sort -u | tr '\n' ' ')
    [[ -f $RUN/innd.pid ]] && innd=$(tr -dc '0-9' <"$RUN/innd.pid")
    if [[ -n $innd && " $pids " == *" $innd "* ]]; then
        log "stopping innd ($innd)"
        as_news "$BIN/ctlinnd -t 10 shutdown 'sample-server stop'" >/dev/null 2>&1 || true
        wait_gone 15 "$innd" || true
    fi
    if [[ -n ${pids// /} ]]; then
        # shellcheck disable=SC2086
        root kill -TERM $pids 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_gone 5 $pids || root kill -KILL $pids 2>/dev/null || true
    fi
    if [[ -f $SINK_PID ]]; then
        # The socket is ours only when our receiver made it.
        root rm -f /dev/log
    fi
    root rm -f "$RUN"/innd.pid "$RUN"/nnrpd*.pid "$SINK_PID"
}

named_groups() {
    sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$GROUPS_FILE" | awk -F'|' 'NF { print $1 }'
}

# A folder that holds something else is never emptied.
claim_tree() {
    if [[ -e $TREE && ! -f $MARK ]]; then
        if [[ -n $(root find "$TREE" -mindepth 1 -maxdepth 1 -print -quit 2>/dev/null) ]]; then
            die "$TREE is not empty and was not made by this script; remove it or set NEWSBENCH_SAMPLE_DIR to another folder"
        fi
    fi
    root install -d -o news -g news -m 775 "$TREE"
    : | put_file "$MARK" root root 644
}

reset_state() {
    log "making $TREE afresh: configuration, spool, overview, history and active"
    local d
    for d in "$ETC" "$DB" "$SPOOL" "$LOGDIR" "$TLSDIR" "$RUN"; do
        root rm -rf --one-file-system "$d"
    done
    write_config
    write_readers_conf open
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
    as_news "cd $DB && : >history && $BIN/makedbz -i -o -s 10000"
}

wait_ready() { # seconds
    local end=$(( SECONDS + $1 )) innd
    while (( SECONDS < end )); do
        if "$PYTHON" "$CLIENT" --host "$HOST" --port "$(port_of plain)" greet >/dev/null 2>&1; then
            return 0
        fi
        # innd that has exited will not greet: give up early.
        innd=$(tr -dc '0-9' 2>/dev/null <"$RUN/innd.pid" || true)
        if [[ -n $innd && ! -d /proc/$innd ]]; then return 1; fi
        sleep 0.2
    done
    return 1
}

start_innd() {
    # Output to a file: innd must not inherit the caller's stdout (CI pipes).
    as_news "$BIN/innd >$LOGDIR/innd.out 2>&1 </dev/null" ||
        die "innd failed: $(tail -n 5 "$LOGDIR/innd.out" 2>/dev/null)"
    if ! wait_ready 20; then
        echo "sample-server: error: innd did not greet on $HOST:$(port_of plain) (exited, or 20 s passed)" >&2
        echo "--- $ERRLOG ---" >&2
        root tail -n 30 "$ERRLOG" >&2 2>/dev/null || true
        echo "--- $LOGDIR/innd.out ---" >&2
        root tail -n 10 "$LOGDIR/innd.out" >&2 2>/dev/null || true
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
    claim_tree
    cmd_stop
    choose_ports
    reset_state
    log "starting innd"
    start_innd
    log "posting articles"
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$(port_of plain)" \
        --user "$USER_NAME" --password "$USER_PASS" post "$ARTICLES_FILE" \
        --large "$LARGE_GROUP" "$LARGE_COUNT" "$LARGE_BYTES" "$LARGE_DAYS"
    cancel_articles
    log "starting the TLS and IPv6 daemons"
    start_daemons
    [[ $mode == open ]] || write_readers_conf "$mode"
    log "ready on $HOST:$(port_of plain) and [::1]:$(port_of plain), nntps on $(port_of tls) (CA $TLSDIR/ca.pem); mode $mode ($(( SECONDS - t0 )) s)"
}

cmd_ports() {
    [[ -f $PORTS_FILE ]] || die "the sample server has not been started ($PORTS_FILE is missing)"
    cat "$PORTS_FILE"
}

cmd_info() {
    local entry
    for entry in "${PORT_NAMES[@]}"; do echo "${entry%%:*}=$(port_of "${entry%%:*}")"; done
    echo "dir=$TREE"
    echo "ca=$TLSDIR/ca.pem"
    echo "syslog=$NEWS_SYSLOG"
    echo "large_group=$LARGE_GROUP"
}

cmd_status() {
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$(port_of plain)" greet
    "$PYTHON" "$CLIENT" --host "$HOST" --port "$(port_of tls)" --cafile "$TLSDIR/ca.pem" greet
    "$PYTHON" "$CLIENT" --host ::1 --port "$(port_of plain)" greet
}

case ${1:-} in
install) cmd_install ;;
start) shift; cmd_start "$@" ;;
mode) shift; cmd_mode "$@" ;;
stop) cmd_stop ;;
ports) cmd_ports ;;
info) cmd_info ;;
status) cmd_status ;;
*) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
