#!/usr/bin/env bash
# Network folders on this machine's loopback, for the tests that run in them
# (DORVU_NETFOLDER, ctest -L net):
#   build/net/smb/127.0.0.1/music  a Samba share (smbd on 127.0.0.1:445, guest) mounted
#                                  through smbnetfs (FUSE), as a NAS is mounted
#   build/net/sshfs, build/net/sshfs2
#                                  one folder of sshd's (127.0.0.1:2222, a key made here)
#                                  mounted twice with sshfs, as two machines share it;
#                                  the server acts as the ordinary user dorvunet, made
#                                  here, as a NAS acts as its user: what that user may
#                                  not write, the share refuses
# All three are build/net/srv on the server's side. These four are links into a folder
# in /tmp, which the server's user, and a test's ordinary user, can reach wherever the
# checkout is (/root, or a 0700 folder, is closed to them). Needs
# root and /dev/fuse, and the packages samba, smbnetfs, openssh-server and sshfs
# (scripts/deps.sh installs them); without them it mounts nothing and writes why to
# build/net/why, and the tests skip.
#
#   bash scripts/netfolders.sh start
#   bash scripts/netfolders.sh stop
set -euo pipefail
cd "$(dirname "$0")/.."
net=$PWD/build/net

stop() {
    local base
    base=$(cat "$net/base" 2>/dev/null || true)
    for m in "$base/smb" "$base/sshfs" "$base/sshfs2"; do
        [ -n "$base" ] && mountpoint -q "$m" 2>/dev/null && { fusermount -u "$m" || fusermount -uz "$m" || true; }
    done
    for pid in "$net/state/smbd.pid" "$net/ssh/sshd.pid"; do
        [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true
    done
    [ -n "$base" ] && rm -rf "$base"
    rm -rf "$net"
}

# Mounts nothing, and says why: nomount REASON
nomount() {
    mkdir -p "$net"
    echo "$1" >"$net/why"
    echo "netfolders: $1; the tests in network folders will skip"
    exit 0
}

# Waits until the mount at $1 shows the server's folder.
waitmount() {
    for _ in $(seq 200); do
        [ -e "$1/.mounted" ] && return 0
        sleep 0.05
    done
    echo "netfolders: $1 did not come up" >&2
    exit 1
}

case ${1:-} in
stop)
    stop
    exit 0
    ;;
start) stop ;;
*)
    echo "usage: netfolders.sh start|stop" >&2
    exit 2
    ;;
esac

[ "$(id -u)" = 0 ] || nomount "not run as root, who alone may start the servers"
[ -c /dev/fuse ] || nomount "no /dev/fuse: FUSE is missing"
for tool in smbd smbnetfs sshd sshfs fusermount; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
        nomount "$tool is missing: bash scripts/deps.sh samba smbnetfs openssh-server sshfs"
done

mkdir -p "$net"/{state,ssh,home/.smb}
base=$(mktemp -d /tmp/dorvu-net.XXXXXX)
echo "$base" >"$net/base"
mkdir "$base"/{srv,smb,sshfs,sshfs2}
chmod 0755 "$base" && chmod 0777 "$base/srv"
for d in srv smb sshfs sshfs2; do ln -s "$base/$d" "$net/$d"; done
touch "$net/srv/.mounted"
# The server's user: no password, and not locked either, so that sshd takes its key.
id dorvunet >/dev/null 2>&1 || useradd --system --no-create-home --shell /bin/sh dorvunet
usermod -p '*' dorvunet

# Samba: one share, for guests, acting as root on the server's side, on loopback only.
bash "$(dirname "$0")/smbconf.sh" "$net/state" "$base/srv" >"$net/smb.conf"
/usr/sbin/smbd -D -s "$net/smb.conf"
# smbnetfs reads its settings from ~/.smb, and will not use them unless only we may.
printf '[global]\n  client min protocol = SMB2\n' >"$net/home/.smb/smb.conf"
printf 'auth "guest" ""\nhost 127.0.0.1 visible=true\nsmb_query_browsers false\n' \
    >"$net/home/.smb/smbnetfs.conf"
chmod 600 "$net/home/.smb/"*
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && break
    sleep 0.05
done
HOME=$net/home smbnetfs "$base/smb" -o "config=$net/home/.smb/smbnetfs.conf,allow_other"
waitmount "$net/smb/127.0.0.1/music"

# sshd with a key of its own, for dorvunet, on loopback only; sftp in-process. sshd
# reads the user's keys as that user.
ssh-keygen -q -t ed25519 -N "" -f "$net/ssh/hostkey"
ssh-keygen -q -t ed25519 -N "" -f "$net/ssh/userkey"
cp "$net/ssh/userkey.pub" "$base/authorized_keys"
chmod 0644 "$base/authorized_keys"
cat >"$net/ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port 2222
HostKey $net/ssh/hostkey
PidFile $net/ssh/sshd.pid
AuthorizedKeysFile $base/authorized_keys
PermitRootLogin no
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -f "$net/ssh/sshd_config" -E "$net/ssh/log"
# No directory cache: what one mount makes, the other sees at once, as a test expects.
for m in sshfs sshfs2; do
    for _ in $(seq 100); do
        sshfs -p 2222 -o IdentityFile="$net/ssh/userkey",StrictHostKeyChecking=no \
            -o UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR,dir_cache=no,allow_other \
            "dorvunet@127.0.0.1:$base/srv" "$base/$m" 2>/dev/null && break
        sleep 0.05
    done
    waitmount "$net/$m"
done
echo "netfolders: a Samba share at $net/smb/127.0.0.1/music, one sshd folder at $net/sshfs and $net/sshfs2"
