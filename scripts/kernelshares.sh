#!/usr/bin/env bash
# The end-to-end cases that matter on a share, run again on the Linux kernel's own
# clients, the ones most NAS users mount with: NFS 4.2 against the kernel's own NFS
# server, or SMB3 (cifs) against Samba. All of it runs inside a user-mode Linux guest:
# Debian's user-mode-linux is a Linux kernel that runs as an ordinary process and ships
# its modules, so no module of the machine's own is needed, and all traffic stays on the
# guest's own loopback. The guest's root is this machine's own / (hostfs): it runs the
# test binary of the build given, in folders of a tmpfs it shares and mounts at srv and
# KIND in a folder of its own under /tmp, which a test's ordinary user can reach however
# closed the checkout (the mounts are the guest's own, not this machine's). The archive is
# copied into that tmpfs, so that a link to it stays on the server and the server copies
# from it. Then one run at rep 1 must put at most 8 MB on the guest's loopback: the copy
# in the kernel is done by the server, not through the network (some 890 MB the old way).
#
#   bash scripts/kernelshares.sh nfs|cifs TESTBINARY FIXTURE TOOL FILTER
# Exits 0 when all passed, 77 (a skip, for CTest) where the guest cannot run here, saying
# why, else 1. With BENCH="NAME TOOL PRELOAD REP PAIRS" set, the guest runs bench/pairs.sh
# in the mounted folder instead of the tests (bench/run.sh does).
set -uo pipefail
kind=$1 tests=$2 fixture=$3 tool=$4 filter=$5
uml=$(command -v linux.uml || true)
modules=$(ls -d /usr/lib/uml/modules/* 2>/dev/null | head -1)

skip() {
    echo "skip: $*"
    exit 77
}
[ -n "$uml" ] && [ -n "$modules" ] || skip "no user-mode Linux: apt-get install user-mode-linux"
[ "$(id -u)" = 0 ] || skip "the guest's $kind server needs root"
case $kind in
nfs) needs="rpc.nfsd rpc.mountd rpcbind exportfs mount.nfs4 modprobe" pkgs="nfs-kernel-server kmod" ;;
cifs) needs="smbd mount.cifs modprobe" pkgs="samba cifs-utils kmod" ;;
*) echo "unknown kind $kind" >&2 && exit 1 ;;
esac
for t in $needs; do
    command -v "$t" >/dev/null || skip "no $t: apt-get install $pkgs"
done
[ -f "$fixture" ] || { echo "no archive at $fixture" >&2; exit 1; }
# The guest starts in its own /.
here=$(cd "$(dirname "$0")" && pwd)
tests=$(realpath "$tests") fixture=$(realpath "$fixture") tool=$(realpath "$tool")

work=$(mktemp -d /tmp/dorvu-uml.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -z "${KEEP:-}" ] || trap - EXIT
chmod 0755 "$work"
net=$work/net
mkdir -p "$net/srv" "$net/$kind"

# How the guest serves the tmpfs at $net/srv and mounts it at $net/$kind.
if [ "$kind" = nfs ]; then
    # NFS 4 only, on the guest's loopback; a short grace period, as a lock taken within
    # it waits seconds.
    serve="for m in nfsd nfsv4; do modprobe -d /run/mod \$m || exit 1; done
mount -t tmpfs tmpfs /var/lib/nfs && mkdir -p /var/lib/nfs/rpc_pipefs /var/lib/nfs/v4recovery
: >/var/lib/nfs/etab && : >/var/lib/nfs/rmtab
mount -t rpc_pipefs rpc_pipefs /var/lib/nfs/rpc_pipefs
mount -t nfsd nfsd /proc/fs/nfsd
echo 10 >/proc/fs/nfsd/nfsv4gracetime && echo 10 >/proc/fs/nfsd/nfsv4leasetime
exportfs -o rw,no_root_squash,fsid=0,insecure,no_subtree_check 127.0.0.1:$net/srv
rpcbind && rpc.mountd && rpc.nfsd 4 || exit 1
mount -t nfs4 -o vers=4.2 127.0.0.1:/ $net/nfs || exit 1
sleep 11 # the grace period"
else
    # Samba as the network folders have it, mounted with SMB 3.0. The kernel client asks
    # for these algorithms by name as it signs in and signs.
    mkdir "$work/smb"
    bash "$(dirname "$0")/smbconf.sh" "$work/smb" "$net/srv" >"$work/smb.conf"
    serve="for m in hmac cmac sha512_generic gcm ccm ctr ghash-generic aes_ti cifs; do
    modprobe -d /run/mod \$m || exit 1
done
smbd -D -s $work/smb.conf || exit 1
for _ in \$(seq 25); do
    mount -t cifs -o guest,vers=3.0 //127.0.0.1/music $net/cifs && break
    sleep 0.2
done
mountpoint -q $net/cifs || { dmesg | tail -n 30; exit 1; }"
fi

# What the guest runs in the mounted folder: the tests, or the benchmark's pairs.
if [ -n "${BENCH:-}" ]; then
    job="bash $here/../bench/pairs.sh $net/$kind $net/$kind/fixture/$(basename "$fixture") $BENCH"
else
    job="DORVU_NETFOLDER=$kind DORVU_NETFOLDERS=$net DORVU_FIXTURE_DIR=$net/srv/fixture"
    job="$job $tests --gtest_filter='$filter'"
fi

# The guest's first process. Everything it writes outside its own tmpfs mounts lands on
# this machine, so it writes only to $work.
cat >"$work/init" <<EOF
#!/bin/bash
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=$work TMPDIR=$work
exec >$work/guest.log 2>&1
trap 'echo o >/proc/sysrq-trigger' EXIT
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t tmpfs tmpfs /run || exit 1
mkdir -p /run/mod/lib/modules && ln -s $modules /run/mod/lib/modules/\$(basename $modules)
ip link set lo up
mount -t tmpfs -o size=2600m,mode=0777 tmpfs $net/srv || exit 1
$serve
mkdir $net/srv/fixture && cp $fixture $net/srv/fixture/ && touch $net/srv/.mounted
# The loopback's bytes for one run at rep 1, copied by the server.
mkdir $net/srv/lo && ln $net/srv/fixture/\$(basename $fixture) $net/srv/lo/dorvu.dat
before=\$(cat /sys/class/net/lo/statistics/tx_bytes)
(cd $net/$kind/lo && $tool 1 >/dev/null)
echo "lo \$? \$((\$(cat /sys/class/net/lo/statistics/tx_bytes) - before))" >$work/lo
rm -rf $net/srv/lo
$job >$work/tests.log 2>&1
echo \$? >$work/status
EOF
chmod +x "$work/init"

# The guest ends by powering off, which its process reports as an abort.
{ timeout 1200 "$uml" mem=3200M rootfstype=hostfs rw init="$work/init" con=null ssl=null \
    >"$work/uml.log" 2>&1 </dev/null; } 2>/dev/null
cat "$work/tests.log" 2>/dev/null
if [ ! -s "$work/status" ]; then
    echo "the guest did not run the tests:" >&2
    tail -n 20 "$work/guest.log" "$work/uml.log" >&2
    exit 1
fi
read -r _ lostatus lobytes <"$work/lo"
echo "one run at rep 1 on the kernel's $kind client: status $lostatus, $lobytes bytes on the guest's network"
[ "$lostatus" = 0 ] && [ "$lobytes" -le 8000000 ] || { echo "FAILED: the audio crossed the network" >&2; exit 1; }
[ "$(cat "$work/status")" = 0 ] || exit 1
