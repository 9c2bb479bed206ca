#!/usr/bin/env bash
# Makes each system call of dorvu fail in turn, at each distinct place, and checks that
# every run ends soundly. One clean run of `dorvu 1` is traced with strace for each of
# four settings:
#   tmpfile       tracks written into nameless files (O_TMPFILE), copied in the kernel
#                 (copy_file_range, as in memory, where the sweep works when there is
#                 room), in an empty folder
#   tmpfile-old   the same over an earlier run's files and dead runs' leftovers: a
#                 temporary file, and an old track moved aside on a share
#   named         O_TMPFILE refused (tests/notmpfile.cpp), so named temporary files;
#                 and the copy in the kernel refused, so read and write through our buffer
#   named-old     the same over an earlier run's files and dead runs' leftovers
# From each trace it takes, for every system call our code makes, the first and last
# call of the run and the first and last call within each track (the create, the last
# chunk, the rename that publishes it ...), then reruns the tool once for each of those
# calls and each fitting error, with that one call made to fail
# (strace -e inject=CALL:error=ERR:when=N). After each run:
#   - the exit status is 0 with all twenty files right, or 1 with one "dorvu: " line on
#     standard error (or the archive's "dorvu.dat not found."); nothing died by a signal;
#   - every kivo_*.wav present is complete and correct, or is an earlier run's file
#     untouched;
#   - nothing else is in the folder but the archive and the leftovers, untouched.
# Out of scope, and skipped:
#   - the calls the C library makes to start the process, before our first one (loading
#     libraries, setting up memory): the sweep starts at the tool's first signal set-up;
#   - the C library's memory calls (brk, mmap, munmap, mprotect): brk cannot fail with an
#     error (the kernel hands back the old break, and malloc reads an injected error as
#     an address), and the tool's own code allocates nothing;
#   - exit_group, which does not return.
#
# Tracks 2 to 18 take the same paths as track 1, so by default the sweep takes the places
# of tracks 0 (the first: the sweep of leftovers), 1 and 19 (the last, then the end of the
# run): about 460 runs, four and a half minutes on two cores. TRACKS="$(seq 0 19)" takes
# every track: about five times as many runs.
#
#   bash scripts/faultsweep.sh            (TRACKS="0 5 19" for other tracks)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh strace
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
cmake --preset test >/dev/null
cmake --build --preset test --target notmpfile -j2 >/dev/null
dorvu=$root/build/release/dorvu
notmpfile=$root/build/test/tests/libnotmpfile.so
[ -f "$notmpfile" ] || notmpfile=$(find build/test/tests -name '*notmpfile*.so' | head -1)

# In memory where there is room: the sweep writes some hundred gigabytes in all.
work=$root/build/faultsweep
[ -d /dev/shm ] && [ "$(df -k --output=avail /dev/shm | tail -1)" -gt 8000000 ] && work=/dev/shm/dorvu-faultsweep
rm -rf "$work" && mkdir -p "$work/ref"
cd "$work"
"$root/build/release/mkarchive" --pattern dorvu.dat
(cd ref && ln -s ../dorvu.dat . && "$dorvu" 1 >/dev/null)
ls ref | grep '^kivo_' >names
(cd ref && sha256sum kivo_*.wav) >ref.sum
tracks=${TRACKS:-0 1 19}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The errors that fit each call; a call not listed here fails with EIO. 0 is no error:
# the call is made to do nothing and return 0.
errors() {
    case $1 in
    openat) echo EACCES ENOSPC EMFILE ;;
    write) echo ENOSPC EIO ;;
    read | lseek | close | fcntl | newfstatat | fstat | ioctl | getdents64 | getrandom) echo EIO ;;
    fchmod) echo EPERM ;;
    linkat) echo ENOSPC EPERM ;;
    rename) echo EACCES EIO ;;
    unlink | unlinkat) echo EACCES ;;
    flock) echo ENOLCK ;;
    dup) echo EMFILE ;;
    access | faccessat | faccessat2) echo ENOENT EACCES ;;
    # Refused (the run goes on the old way), failed, or copying nothing (retval 0).
    copy_file_range) echo ENOSYS EXDEV EOPNOTSUPP EINVAL EIO ENOSPC EFBIG 0 ;;
    *) echo EINVAL ;;
    esac
}

# A fresh folder for one run of a setting: the archive, and for the -old settings an
# earlier run's files (hard links to the reference: the tool never writes a file in
# place, so they stay as they are unless replaced) and a dead run's leftover.
prepare() {
    rm -rf run && mkdir run
    ln -s "$work/dorvu.dat" run/dorvu.dat
    case $1 in
    *-old)
        while read -r n; do ln "$work/ref/$n" "run/$n"; done <"$work/names"
        echo leftover >run/.dorvu-00000000000000a1.kivo_01.wav.old
        echo leftover >run/.dorvu-00000000000000ff.tmp
        ;;
    esac
}

# Runs the tool in run/ under strace with the extra options given.
tool() {
    local setting=$1
    shift
    local env=()
    case $setting in named*) env=(-E "LD_PRELOAD=$notmpfile") ;; esac
    (cd run && strace -qq -f --seccomp-bpf -o /dev/null "${env[@]}" "$@" "$dorvu" 1 \
        >../out 2>../err </dev/null)
}

# The distinct places of one setting's clean run, one "call N" a line: N counts the calls
# of that name from the process's start, as strace's when= does.
places() {
    local setting=$1
    prepare "$setting"
    local env=()
    case $setting in named*) env=(-E "LD_PRELOAD=$notmpfile") ;; esac
    (cd run && strace -qq -o ../trace "${env[@]}" "$dorvu" 1 >/dev/null 2>&1)
    awk -v tracks=" $(echo $tracks) " '
        { name = $1; sub(/\(.*/, "", name) }
        name !~ /^[a-z_0-9]+$/ { next }
        { n[name]++ }
        !ours && name == "rt_sigaction" { ours = 1 }
        !ours || name ~ /^(exit_group|brk|mmap|munmap|mprotect)$/ { next }
        /^write\(1, "Create / { track++ }
        {
            if (!(name in first)) first[name] = n[name]
            last[name] = n[name]
            if (index(tracks, " " (track - 1) " ") || track == 0) {
                k = name SUBSEP track
                if (!(k in tfirst)) tfirst[k] = n[name]
                tlast[k] = n[name]
            }
        }
        END {
            for (c in first) { print c, first[c]; print c, last[c] }
            for (k in tfirst) { split(k, p, SUBSEP); print p[1], tfirst[k]; print p[1], tlast[k] }
        }' trace | sort -u
}

# The checks after one run; $1 the setting, $2 the exit status, $3 what was injected.
check() {
    local setting=$1 status=$2 what=$3 n
    case $status in
    0)
        [ ! -s err ] || fail "$what: exit 0 with: $(cat err)"
        [ "$(ls run | grep -c '^kivo_')" = 20 ] || fail "$what: exit 0 without all twenty files"
        ;;
    1)
        if [ -s err ]; then
            [ "$(wc -l <err)" = 1 ] && grep -q '^dorvu: ' err || fail "$what: exit 1 with: $(cat err)"
        else
            [ "$(tail -c 20 out)" = "dorvu.dat not found." ] || fail "$what: exit 1 with no reason"
        fi
        ;;
    *) fail "$what: exit status $status: $(cat err)" ;;
    esac
    for n in $(ls -A run); do
        case $n in
        dorvu.dat) ;;
        kivo_*.wav)
            grep -qx "$n" "$work/names" || fail "$what: unknown file $n"
            [ "run/$n" -ef "$work/ref/$n" ] || cmp -s "run/$n" "$work/ref/$n" || fail "$what: $n is wrong"
            ;;
        .dorvu-00000000000000a1.kivo_01.wav.old | .dorvu-00000000000000ff.tmp)
            [ "${setting%-old}" != "$setting" ] && [ "$(cat run/$n)" = leftover ] ||
                fail "$what: $n was left or changed"
            ;;
        *) fail "$what: $n was left" ;;
        esac
    done
}

# Sweeps one setting in a folder of its own; says how many places and runs it made.
sweep() {
    local setting=$1 call when err inject status runs=0
    mkdir "$work/$setting" && cd "$work/$setting"
    places "$setting" >points
    while read -r call when; do
        for err in $(errors "$call"); do
            prepare "$setting"
            status=0
            inject="error=$err"
            [ "$err" != 0 ] || inject="retval=0"
            tool "$setting" -e "trace=$call" -e "inject=$call:$inject:when=$when" || status=$?
            check "$setting" "$status" "$setting: $call #$when failing with $inject"
            runs=$((runs + 1))
        done
    done <points
    echo "$setting: $(wc -l <points) places, $runs runs: $(cut -d' ' -f1 points | uniq -c | awk '{printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1}')"
    echo "$(wc -l <points) $runs" >done
}

# Two at a time, one on each core.
start=$SECONDS
for pair in "tmpfile named" "tmpfile-old named-old"; do
    pids=()
    for setting in $pair; do
        sweep "$setting" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || fail "the sweep found a fault (above)"; done
done
points=$(cat */done | awk '{p += $1} END {print p}')
runs=$(cat */done | awk '{r += $2} END {print r}')
# An earlier run's file written in place would have changed the reference through its link.
(cd "$work/ref" && sha256sum --quiet -c ../ref.sum) || fail "an earlier run's file was written in place"
echo "fault sweep: $points places, $runs runs, all sound, in $((SECONDS - start)) s"
cd "$root"
rm -rf "$work"
