#!/usr/bin/env bash
# Runs a command in a brand-new minimal Debian 12 (a chroot with only what debootstrap's
# minbase puts there), on a copy of this checkout's committed HEAD: whatever the build, the
# tests and the sample news server need must then come from the project's own scripts, not
# from packages installed by hand on this machine.
#   scripts/fresh-debian.sh [-- COMMAND...]     default: CI=true scripts/test.sh
# The base system is made once and kept in /var/tmp/newsbench-fresh-debian-base.tar (about a
# minute); each run unpacks a clean copy. Downloaded packages are kept in
# /var/cache/newsbench-fresh-debian so that the next run need not fetch them again: a cache,
# never a package installed for the run. Needs root (debootstrap, chroot, mount).
# The servers the command starts inside listen on this machine's loopback; the project's
# scripts pick free ports. Every process that runs inside is ended when the command ends.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
[[ ${1:-} == -- ]] && shift
cmd=("$@")
[[ ${#cmd[@]} -gt 0 ]] || cmd=(bash -c 'CI=true scripts/test.sh </dev/null')
[[ $(id -u) -eq 0 ]] || { echo "fresh-debian: run as root" >&2; exit 2; }

base=/var/tmp/newsbench-fresh-debian-base.tar
cache=/var/cache/newsbench-fresh-debian
if [[ ! -s $base ]]; then
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq </dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null </dev/null
    fi
    # The same mirror and suites as this machine's apt.
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null ||
             awk '/^deb / {print $2; exit}' /etc/apt/sources.list)
    tmp=$(mktemp -d /var/tmp/newsbench-fresh-debian-make.XXXX)
    echo "fresh-debian: making the base system (once)" >&2
    debootstrap --variant=minbase bookworm "$tmp" "$mirror" >"$tmp.log" 2>&1 || { cat "$tmp.log" >&2; exit 1; }
    if cp /etc/apt/sources.list.d/debian.sources "$tmp/etc/apt/sources.list.d/" 2>/dev/null; then
        rm -f "$tmp/etc/apt/sources.list"
    fi
    # Keep what apt downloads, for the cache below.
    echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$tmp/etc/apt/apt.conf.d/01keep-debs"
    tar -C "$tmp" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$tmp" "$tmp.log"
fi

root=$(mktemp -d /var/tmp/newsbench-fresh-debian.XXXX)
# Every process whose root is the new system was started by the command.
inside() {
    local p
    for p in /proc/[0-9]*; do
        if [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]]; then echo "${p#/proc/}"; fi
    done
    return 0
}
cleanup() {
    set +e
    local pids m
    pids=$(inside)
    if [[ -n $pids ]]; then
        # shellcheck disable=SC2086
        kill $pids 2>/dev/null
        sleep 2
        pids=$(inside)
        # shellcheck disable=SC2086
        [[ -n $pids ]] && kill -9 $pids 2>/dev/null
    fi
    for m in var/cache/apt/archives dev proc sys; do
        umount -R -l "$root/$m" 2>/dev/null || umount -l "$root/$m" 2>/dev/null
    done
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
chmod 755 "$root" # the system users inside (news, postgres) must reach /
cp /etc/resolv.conf /etc/hosts /etc/hostname "$root/etc/"
mkdir -p "$root/src" "$cache/archives/partial"
git -C "$src" archive HEAD | tar -C "$root/src" -x
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
# A /dev of its own, with the machine's devices but not its sockets: a syslog receiver the
# command makes at /dev/log stays inside, and one of the machine's is not seen.
mount -t tmpfs -o mode=755,nosuid devices "$root/dev"
for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
echo "fresh-debian: running in a new Debian 12: ${cmd[*]}" >&2
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb bash -c 'cd /src && "$@"' fresh "${cmd[@]}"
