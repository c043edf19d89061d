#!/bin/sh
# Runs a test program in private mount and network namespaces with its own /run/http (where the
# daemon puts its API socket), its own /dev/log (so a test can read what the daemon sends to the
# system log) and its own loopback (so the ports iperf3 listens on are always free). Tests then
# run in parallel and never touch a real installation or each other's ports.
set -eu
if [ "${OVRA_ISOLATED:-}" != 1 ]; then
    exec unshare --mount --net --map-root-user --propagation private env OVRA_ISOLATED=1 "$0" "$@"
fi

# ip lives in sbin, which the PATH of a non-login shell may lack.
PATH="$PATH:/usr/sbin:/sbin" ip link set lo up

mkdir -p /run/http
mount -t tmpfs tmpfs /run/http

# A fresh /dev holding the usual nodes of the real one, and room for a /dev/log of our own.
real_dev=$(mktemp -d)
mount --rbind /dev "$real_dev"
mount -t tmpfs tmpfs /dev
for node in null zero full random urandom tty; do
    touch "/dev/$node"
    mount --bind "$real_dev/$node" "/dev/$node"
done
mkdir /dev/pts /dev/shm
mount --rbind "$real_dev/pts" /dev/pts
mount -t tmpfs tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
# The binds above stand on their own: the way to the real /dev can go, and its directory with it.
umount -l "$real_dev"
rmdir "$real_dev"
exec "$@"
