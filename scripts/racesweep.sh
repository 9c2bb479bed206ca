#!/usr/bin/env bash
# Two runs in one folder, at every step of a track file's life. Run A (rep 1) is held,
# by the preload tests/holdat.cpp, right before each call it makes for its second track,
# kivo_02.wav: the check of the old file, the create, the lock, each check of the name,
# the first write, the mode, the link, the rename, the close, and just after. While it is
# held, run B (rep 2) runs:
#   single     B runs whole; then A goes on.
#   A>k        B is held before the j-th call of its sweep of leftovers (the open of one,
#              its lock, each check, the removal, the close); A goes on to its later
#              point k (or to its end); then B runs whole, then A.
#   B>l        the same, B going on to its later point l first; then A, then B.
# Every j that B reaches is taken, and every later k and l. After each case:
#   - on one machine both runs end 0, saying nothing on standard error; across two
#     machines (two mounts of one folder, which do not see each other's locks) a run may
#     also end 1 with "cannot create: its temporary file was removed by another program",
#     never 0 with audio not its own;
#   - every kivo_*.wav holds its own track's audio at rep 1 or rep 2, byte for byte;
#   - nothing else is left: no temporary file, no .fuse_hidden... of a FUSE file system.
# The kinds of folder (KINDS, all by default):
#   tmpfile    a local folder, tracks written into nameless files (O_TMPFILE)
#   named      a local folder, O_TMPFILE refused (tests/notmpfile.cpp): named files
#   sshfs      one sshd folder mounted twice, A in one, B in the other: two machines;
#              the single cases, and B held at each call of its sweep while A, held
#              right after it created its file, goes on one call
#   smb        a Samba share, which refuses to rename or remove an open file: the single
#              cases at the rename and the close
# All at once, some 200 cases in about six minutes on two cores.
# The network folders are those of scripts/netfolders.sh; where they are not mounted,
# their kind is skipped and says why. One line per case, then "N passed, N failed".
#
#   bash scripts/racesweep.sh                 (KINDS="named" for one kind;
#                                              DORVU=path to sweep another binary)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cmake --preset test >/dev/null && cmake --build --preset test -j2 >/dev/null || exit 2
dorvu=${DORVU:-$root/build/test/dorvu}
libs=$root/build/test/tests
net=$root/build/net
work=$root/build/racesweep
rm -rf "$work" && mkdir -p "$work" || exit 2
"$root/build/test/mkarchive" --pattern "$work/dorvu.dat" || exit 2
for rep in 1 2; do
    mkdir "$work/ref$rep" && ln -s ../dorvu.dat "$work/ref$rep/" &&
        (cd "$work/ref$rep" && "$dorvu" $rep >/dev/null) || exit 2
done
removed="dorvu: kivo_02.wav: cannot create: its temporary file was removed by another program"
passed=0 failed=0

# Run P of the case, in folder $4, at rep $2, held before its $3-th counted call (0:
# never); more NAME=VALUE settings may follow. held P then says what it did: "held N CALL
# TARGET", or "exit STATUS" once it has ended; letgo P N lets it go on to its N-th call.
start() {
    local p=$1 rep=$2 at=$3 dir=$4
    shift 4
    mkfifo "$case/$p.held" "$case/$p.go"
    (cd "$dir" && env "$@" LD_PRELOAD="$preload" DORVU_HOLD="$at" DORVU_HOLD_FIFO="$case/$p" \
        "$dorvu" "$rep" >"$case/$p.out" 2>"$case/$p.err" </dev/null
    echo "exit $?" >"$case/$p.held") >/dev/null 2>&1 &
    eval "pid$p=$!"
}
# A deadline, never a decision: a run that neither holds nor ends in ten minutes hangs.
held() {
    local fd
    exec {fd}<>"$case/$1.held"
    read -t 600 -r -u "$fd" state || state="hung"
    exec {fd}<&-
    if [ "$state" = hung ]; then
        pkill -9 -P "$(eval echo "\$pid$1")"
        return 1
    fi
}
letgo() { echo "$2" >"$case/$1.go"; }
isheld() { [ "${1%% *}" = held ]; }

# A fresh folder for a case, with the archive in it.
fresh() {
    rm -rf "$case" "$server" && mkdir -p "$case" "$server" && chmod 0777 "$server"
    ln "$work/dorvu.dat" "$server/dorvu.dat" 2>/dev/null || ln -s "$work/dorvu.dat" "$server/dorvu.dat"
}

# One case: A held at its $1-th call; B held at its sweep's $2-th call (0: it runs
# whole); then the order $3: "" (B whole, A), "A K" (A on to K, B whole, A) or "B L" (B
# on to L, A, B). Says "unreached" when B ends without reaching its point, and "past"
# (after the verdict) when B, let go on to L, ended first.
play() {
    local a=$1 b=$2 who step sa sb past=
    fresh
    start A 1 "$a" "$dir" && held A && sa=$state
    isheld "$sa" || { echo "A never reached its point $a: $sa"; return; }
    start B 2 "$b" "$dirb" DORVU_HOLD_ON=sweep && held B && sb=$state
    if [ "$b" != 0 ] && ! isheld "$sb"; then
        letgo A 0 && held A
        echo unreached
        return
    fi
    read -r who step <<<"${3:-}"
    case $who in
    A) letgo A "$step" && held A && sa=$state ;;
    B) letgo B "$step" && held B && sb=$state && { isheld "$sb" || past=1; } ;;
    esac
    isheld "$sb" && letgo B 0 && held B && sb=$state
    isheld "$sa" && letgo A 0 && held A && sa=$state
    check "${sa#exit }" "${sb#exit }"
    [ -z "$past" ] || echo past
}

# The checks after a case; $1 and $2 the exit statuses of A and B.
check() {
    local p status n
    for p in A B; do
        status=$1 && shift
        if [ "$status" = 0 ] && [ ! -s "$case/$p.err" ]; then
            continue
        fi
        if [ "$machines" = 2 ] && [ "$status" = 1 ] && [ "$(cat "$case/$p.err")" = "$removed" ]; then
            continue
        fi
        echo "run $p ended $status: $(head -c 300 "$case/$p.err")"
        return 1
    done
    for n in $(ls -A "$server"); do
        case $n in
        dorvu.dat) ;;
        kivo_*.wav)
            cmp -s "$server/$n" "$work/ref1/$n" || cmp -s "$server/$n" "$work/ref2/$n" ||
                { echo "$n holds neither run's audio"; return 1; }
            ;;
        *) echo "$n was left" && return 1 ;;
        esac
    done
}

# Runs one case, and says how it went. Fails (for the loops) when there was no case, B
# having ended before its point, or when B went on to its end.
one() {
    local label=$1 result
    shift
    result=$(play "$@" 2>&1)
    [ "$result" = unreached ] && return 1
    case ${result%past} in
    "" | $'\n') echo "ok    $kind: $label" && passed=$((passed + 1)) ;;
    *) echo "FAIL  $kind: $label: ${result%past}" && failed=$((failed + 1)) ;;
    esac
    [ "${result%past}" = "$result" ]
}

# A's points: its calls for kivo_02.wav, from the check of the old file to the close,
# and the next call, as a run alone makes them: "N CALL TARGET" a line.
points() {
    fresh
    (cd "$dir" && LD_PRELOAD="$preload" DORVU_HOLD_TRACE="$case/trace" "$dorvu" 1 >/dev/null 2>&1)
    awk '$3 == "kivo_02.wav" { on = 1 } on { print } on && $3 == "kivo_03.wav" { exit }' "$case/trace"
}

# Sweeps one kind: every case, or for a network kind its shorter list.
sweep() {
    local i j k a call target later
    mapfile -t pts < <(points)
    if [ "${#pts[@]}" -lt 5 ]; then
        echo "FAIL  $kind: the points of a track were not traced" && failed=$((failed + 1))
        return
    fi
    for i in "${!pts[@]}"; do
        read -r a call target <<<"${pts[$i]}"
        case $target in
        .dorvu-*) target="its temporary file" ;;
        \#*) target="its nameless file" ;;
        esac
        [ "$kind" = smb ] && [[ ! $call =~ ^(rename|fclose)$ ]] && continue
        one "A held at $call $target, B whole" "$a" 0
        [ "$kind" = smb ] || { [ "$kind" = sshfs ] && [ "$call" != flock ]; } && continue
        later=("${pts[@]:i+1}")
        [ "$kind" = sshfs ] && later=("${pts[i+1]}")
        for ((j = 1; ; j++)); do
            for k in "${later[@]%% *}" 0; do
                [ "$kind" = sshfs ] && [ "$k" = 0 ] && break
                one "A held at $call $target, B at its sweep's call $j, A on to ${k/#0/its end}" \
                    "$a" "$j" "A $k" || break 2
            done
            [ "$kind" = sshfs ] && continue
            for ((k = j + 1; ; k++)); do
                one "A held at $call $target, B at its sweep's call $j, B on to $k" "$a" "$j" "B $k" ||
                    break
            done
        done
    done
}

# Sweeps one kind of folder in folders of its own; leaves "passed failed" in its count.
kindsweep() {
    kind=$1 machines=1 case=$work/$1-case preload=$libs/libholdat.so passed=0 failed=0
    case $kind in
    tmpfile | named)
        # In memory where there is room: every case writes some 1.3 GB.
        local base=$work
        [ -d /dev/shm ] && [ "$(df -k --output=avail /dev/shm | tail -1)" -gt 8000000 ] &&
            base=/dev/shm/dorvu-racesweep
        dir=$base/$kind server=$dir dirb=$dir
        [ "$kind" = named ] && preload=$libs/libnotmpfile.so:$preload
        ;;
    sshfs | smb)
        if [ ! -e "$net/srv/.mounted" ]; then
            echo "skip  $kind: not mounted: $(cat "$net/why" 2>/dev/null || echo "run scripts/netfolders.sh start as root")"
            echo "0 0" >"$work/$kind.count"
            return
        fi
        server=$net/srv/racesweep-$kind dir=$net/sshfs/racesweep-$kind dirb=$net/sshfs2/racesweep-$kind
        [ "$kind" = sshfs ] && machines=2
        [ "$kind" = smb ] && dir=$net/smb/127.0.0.1/music/racesweep-$kind dirb=$dir
        ;;
    esac
    sweep
    rm -rf "$server"
    echo "$passed $failed" >"$work/$kind.count"
}

# Every kind at once: the local ones keep the two cores busy, the network ones wait on
# their servers.
for kind in ${KINDS:-tmpfile named sshfs smb}; do
    kindsweep "$kind" &
done
wait
read -r passed failed < <(cat "$work"/*.count | awk '{p += $1; f += $2} END {print p + 0, f + 0}')
rm -rf "$work" /dev/shm/dorvu-racesweep
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
