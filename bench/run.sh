#!/usr/bin/env bash
# Times the extraction against what a user could run instead, on the same file system:
#   dorvu at rep 2 and rep 10, copying in the kernel (copy_file_range) as it does where it
#   can, and through its buffer as where the kernel refuses (the preload raisesig refusing
#   the call); dd moving the same bytes with the same 176,400-byte blocks;
#   cp of a file of the same size (the kernel's own copy); sox cutting a few tracks out of
#   the raw archive and repeating their loop sections, scaled to the same bytes.
# hyperfine times each: one warm-up, then RUNS runs (default 5), each after a sync; the
# script prints their medians and ratios. Then the kernel copy against the buffer in
# paired runs, on this disk, on ext4, xfs and btrfs images, in memory and on network
# folders, and the tool against dd in paired runs on those disks (below); peak resident
# memory at rep 1, 2 and 10, and where every heap allocation comes from.
#
#   bash bench/run.sh            (BENCH_DIR=... to work elsewhere, RUNS=N for more runs)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
work=${BENCH_DIR:-$root/build/bench}
bin=$root/build/release

# What it measures with, from Debian's packages, as the tests install theirs.
bash "$root/scripts/deps.sh" hyperfine valgrind xfsprogs btrfs-progs

cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
cmake --preset test >/dev/null
cmake --build --preset test --target raisesig -j2 >/dev/null
refuse="LD_PRELOAD=$root/build/test/tests/libraisesig.so DORVU_COPY=1:38" # ENOSYS

mkdir -p "$work"
cd "$work"
archivesize=444516656
if [ "$(stat -c %s dorvu.dat 2>/dev/null || echo 0)" != "$archivesize" ]; then
    "$bin/mkarchive" --pattern dorvu.dat
fi

# Bytes of audio the job moves (reads and writes) at a given rep, from the tool's own
# track table; optionally only for some tracks.
"$bin/mkarchive" --table >table
bytes() {
    local rep=$1
    shift
    awk -v rep="$rep" -v only="$*" 'BEGIN {n = split(only, o, " "); for (k = 1; k <= n; k++) want[o[k]] = 1}
        (n == 0 || ($1 in want)) {sum += ($4 - $2) + (rep - 1) * ($4 - $3)} END {printf "%.0f\n", sum}' table
}
bytes2=$(bytes 2)
bytes10=$(bytes 10)

# Sources of the same sizes for dd and cp: the archive repeated and cut to length.
makesource() {
    local name=$1 size=$2
    if [ "$(stat -c %s "$name" 2>/dev/null || echo 0)" != "$size" ]; then
        : >"$name"
        while [ "$(stat -c %s "$name")" -lt "$size" ]; do cat dorvu.dat >>"$name"; done
        truncate -s "$size" "$name"
    fi
}
makesource same2.raw "$bytes2"
makesource same10.raw "$bytes10"

# sox cutting tracks 0, 4 and 11 (the first and the two shortest, to keep the run short)
# with their loop repeats, as a script hyperfine can run.
soxtracks="0 4 11"
soxbytes=$(bytes 2 $soxtracks)
raw="-t raw -r 44100 -e signed -b 16 -c 2"
for i in $soxtracks; do
    read -r s l e < <(awk -v i="$i" '$1 == i {print $2 / 4, $3 / 4, $4 / 4}' table)
    echo "sox -D -t sox \"|sox $raw dorvu.dat -p trim ${s}s =${e}s\"" \
        "-t sox \"|sox $raw dorvu.dat -p trim ${l}s =${e}s\" -b 16 -e signed-integer track$i.wav"
done >soxjob.sh

# Each timed run starts in a fresh output folder with no dirty pages left over from the
# run before, after a pause (SETTLE seconds) that lets the disk finish what sync started:
# without it, whichever job follows the largest deletion pays for it.
fresh="rm -rf out && mkdir out && ln -s ../dorvu.dat out/dorvu.dat && sync && sleep ${SETTLE:-2}"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "$fresh" --export-csv times.csv \
    -n dorvu2 "cd out && $bin/dorvu 2 >/dev/null" \
    -n buffer2 "cd out && $refuse $bin/dorvu 2 >/dev/null" \
    -n dd2 "cd out && dd if=../same2.raw of=copy.raw bs=176400 status=none" \
    -n cp2 "cd out && cp ../same2.raw copy.raw" \
    -n dorvu10 "cd out && $bin/dorvu 10 >/dev/null" \
    -n buffer10 "cd out && $refuse $bin/dorvu 10 >/dev/null" \
    -n dd10 "cd out && dd if=../same10.raw of=copy.raw bs=176400 status=none" \
    -n cp10 "cd out && cp ../same10.raw copy.raw" \
    -n sox "cd out && bash ../soxjob.sh" >hyperfine.log 2>&1

# sox must write what dorvu writes: compare one track.
(cd out && "$bin/dorvu" 2 >/dev/null && bash ../soxjob.sh && cmp -s track0.wav kivo_01.wav) &&
    soxcheck="sox's kivo_01.wav is byte-identical to dorvu's" ||
    soxcheck="sox's kivo_01.wav DIFFERS from dorvu's"

declare -A m
while IFS=, read -r name _ _ median _; do m[$name]=$median; done < <(tail -n +2 times.csv)
m[sox2]=$(awk -v s="${m[sox]}" -v b="$soxbytes" -v all="$bytes2" 'BEGIN {printf "%.4f", s * all / b}')

echo "Machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(df -T . | awk 'NR == 2 {print $2}') file system; warm page cache; median of $runs runs"
printf '%-42s %10s %14s\n' "job" "seconds" "MB/s"
row() { printf '%-42s %10.3f %14.0f\n' "$1" "$2" "$(awk -v b="$3" -v s="$2" 'BEGIN {print b / s / 1e6}')"; }
row "dorvu, rep 2 ($bytes2 bytes)" "${m[dorvu2]}" "$bytes2"
row "dorvu, rep 2, through its buffer" "${m[buffer2]}" "$bytes2"
row "dd bs=176400, same bytes" "${m[dd2]}" "$bytes2"
row "cp, same bytes" "${m[cp2]}" "$bytes2"
row "sox, scaled from tracks ${soxtracks[*]}" "${m[sox2]}" "$bytes2"
row "dorvu, rep 10 ($bytes10 bytes)" "${m[dorvu10]}" "$bytes10"
row "dorvu, rep 10, through its buffer" "${m[buffer10]}" "$bytes10"
row "dd bs=176400, same bytes" "${m[dd10]}" "$bytes10"
row "cp, same bytes" "${m[cp10]}" "$bytes10"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "kernel copy/buffer: rep 2 $(ratio "${m[dorvu2]}" "${m[buffer2]}"), rep 10 $(ratio "${m[dorvu10]}" "${m[buffer10]}")"
echo "rep 2:  dorvu/dd $(ratio "${m[dorvu2]}" "${m[dd2]}")  dorvu/cp $(ratio "${m[dorvu2]}" "${m[cp2]}")  sox/dorvu $(ratio "${m[sox2]}" "${m[dorvu2]}")"
echo "rep 10: dorvu/dd $(ratio "${m[dorvu10]}" "${m[dd10]}")  dorvu/cp $(ratio "${m[dorvu10]}" "${m[cp10]}")"
echo "$soxcheck"

# The kernel copy against the buffer, in pairs of runs (bench/pairs.sh), here at rep 2
# and 10 and in memory at rep 10; at rep 1, on the tests' network folders where they are mounted
# (scripts/netfolders.sh start), and, as root with user-mode Linux, on the kernel's own
# NFS 4.2 and SMB3 clients in a guest (scripts/kernelshares.sh), whose loopback bytes
# are the share's traffic.
echo "kernel copy / buffer: medians of paired runs, the pairs' lowest and highest ratio in brackets"
pairs() { bash "$root/bench/pairs.sh" "$@"; }
pre=$root/build/test/tests/libraisesig.so
fs=$(df -T . | awk 'NR == 2 {print $2}')
pairs "$work" "$work/dorvu.dat" "disk ($fs)" "$bin/dorvu" "$pre" 2 9
pairs "$work" "$work/dorvu.dat" "disk ($fs)" "$bin/dorvu" "$pre" 10 "$runs"
# The tool chooses its buffer on a local disk, where the kernel's copy costs more: there
# it is paired against the refused copy (the same path) and against dd moving the same
# bytes, at rep 2, on this disk and on ext4, xfs and btrfs images mounted with -o loop.
versusdd() {
    VERSUS="dd if=$2/same2.raw of=out.raw bs=176400 status=none" \
        pairs "$1" "$1/dorvu.dat" "$3, dd" "$bin/dorvu" "$pre" 2 11
}
versusdd "$work" "$work" "disk ($fs)"
for kind in ext4 xfs btrfs; do
    img=$work/$kind.img mnt=$work/$kind
    if [ "$(id -u)" != 0 ]; then
        echo "$kind image: skipped: mounting an image needs root" && continue
    fi
    umount "$mnt" 2>/dev/null || true
    rm -f "$img" && truncate -s 3G "$img" && mkdir -p "$mnt"
    case $kind in ext4) mkfs.ext4 -q -F "$img" ;; *) "mkfs.$kind" -q -f "$img" >/dev/null ;; esac
    if ! mount -o loop "$img" "$mnt" 2>/dev/null; then
        echo "$kind image: skipped: no loop device to mount it on" && rm -f "$img" && continue
    fi
    cp dorvu.dat same2.raw "$mnt/"
    pairs "$mnt" "$mnt/dorvu.dat" "$kind image" "$bin/dorvu" "$pre" 2 11
    versusdd "$mnt" "$mnt" "$kind image"
    umount "$mnt" && rm -f "$img"
done
shm=$(mktemp -d /dev/shm/dorvu-bench.XXXXXX)
cp dorvu.dat "$shm/" && pairs "$shm" "$shm/dorvu.dat" tmpfs "$bin/dorvu" "$pre" 10 7
rm -rf "$shm"
net=$root/build/net
if [ -e "$net/srv/.mounted" ]; then
    cp dorvu.dat "$net/srv/bench.dat"
    pairs "$net/sshfs" "$net/srv/bench.dat" sshfs "$bin/dorvu" "$pre" 1 3 "$net/srv"
    pairs "$net/smb/127.0.0.1/music" "$net/srv/bench.dat" "Samba (smbnetfs)" \
        "$bin/dorvu" "$pre" 1 3 "$net/srv"
    rm -f "$net/srv/bench.dat"
fi
for kind in nfs cifs; do
    BENCH="kernel-$kind $bin/dorvu $pre 1 5" bash "$root/scripts/kernelshares.sh" "$kind" \
        "$bin/dorvu" "$work/dorvu.dat" "$bin/dorvu" - | grep -E '^(kernel-|skip)' || true
done

for r in 1 2 10; do
    rm -rf out && mkdir out && ln -s ../dorvu.dat out/dorvu.dat
    (cd out && /usr/bin/time -f "%M" "$bin/dorvu" "$r" 2>../rss >/dev/null)
    echo "peak resident memory, rep $r: $(tail -n 1 rss) KiB"
done

rm -rf out && mkdir out && ln -s ../dorvu.dat out/dorvu.dat
(cd out && valgrind --xtree-memory=full --xtree-memory-file=../heap.kcg "$bin/dorvu" 1 >/dev/null 2>&1)
echo "heap allocations, rep 1 (valgrind --xtree-memory, by the caller that asked):"
callgrind_annotate --inclusive=yes heap.kcg 2>/dev/null | awk '
    { gsub(/\( +/, "(") } # "( 8.75%)" is one field
    NF >= 8 && /PROGRAM TOTALS/ {printf "  all:               %s blocks, %s bytes\n", $5, $3}
    NF >= 8 && /fdopen\.c:/ {printf "  fdopen (FILE):     %s blocks, %s bytes\n", $5, $3}
    NF >= 8 && /printf\.c:printf/ {printf "  printf (stdout):   %s blocks, %s bytes\n", $5, $3}'
rm -rf out
