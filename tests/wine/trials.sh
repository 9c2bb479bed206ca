#!/usr/bin/env bash
# The Windows build under wine, one trial a CTest test (ctest -L wine):
#   setup        the music archive, the native build's files at rep 1, 2 and 3, the
#                preload library, a wine prefix
#   same         the tool writes the same twenty files as the native build
#   sweep        over existing files, past 1002 dead runs' leftovers, a held one, a
#                folder of our name and names not ours: only the dead ones go
#   heldtrack    a track another program holds is waited for, then named as such; the
#                old file kept, nothing left
#   shorthold    a hold let go while the tool waits for it, as a virus scanner's, is
#                waited out
#   heldarchive  the archive held without sharing is named as such
#   stop         killed hard, or stopped by Ctrl-C, inside the fifth write of a track:
#                nothing is left; Ctrl-C exits 130
#   exits        a read-only track stops the run and is kept; a bad rep and a missing
#                archive exit 1
#   terminal     in a terminal (tmux) the live progress line shows, and is erased (the
#                run held past its first second)
#   cleanup      removes it all
# The environment names the tools: WINE, EXE (dorvu.exe), HOLD (holdfile.exe), NATIVE (a
# native build folder), HOSTCXX, PRELOADSRC (raisesig.cpp) and WORK.
set -euo pipefail
trial=$1
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all
preload=$WORK/raisesig.so
errs=$WORK/$trial.err # what the tool said

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
temps() { ls -A | grep -E '^\.dorvu-' || true; }
# The run's files, against the native build's at rep $1.
same() { sha256sum kivo_*.wav | cmp -s - "$WORK/native$1.sum"; }
win() { $WINE "$EXE" "$@"; }
wineserver() { "$(dirname "$(command -v "${WINE%% *}")")/wineserver" "$@"; }
# The wine server outlives the last program by a few seconds and saves the prefix's
# registry as it ends: stop it, and wait for it, before the prefix is removed.
endwine() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}

# Holds a file open as another program would (a player, a live run) for MS
# milliseconds, or until letgo: holdon NAME SHARE [MS] returns once the helper holds it.
holdon() {
    rm -f held ctl && mkfifo ctl
    $WINE "$HOLD" "$1" "$2" "${3:-0}" <ctl >held &
    holder=$!
    exec 3>ctl
    for _ in $(seq 1200); do
        grep -q held held && return 0
        kill -0 "$holder" 2>/dev/null || break
        sleep 0.05
    done
    fail "holdfile $*"
}
letgo() {
    exec 3>&-
    wait "$holder" || true
    rm -f held ctl
}

# The folder's names and the tracks' bytes.
state() { ls -A && { cat kivo_*.wav 2>/dev/null || true; } | sha256sum; }

# Runs the tool at rep 3 while FILE is held with SHARE: it must fail with MESSAGE, and
# leave the folder as it was. whileheld FILE SHARE MESSAGE
whileheld() {
    local status=0 before
    before=$(state)
    holdon "$1" "$2"
    win 3 >/dev/null 2>"$errs" || status=$?
    letgo
    [ "$status" = 1 ] && [ "$(tr -d '\r' <"$errs")" = "$3" ] ||
        fail "$1 held: status $status, $(cat "$errs")"
    [ "$(state)" = "$before" ] || fail "$1 held: the folder changed: $(ls -A)"
}

if [ "$trial" = setup ]; then
    [ ! -d "$WORK/prefix" ] || endwine
    rm -rf "$WORK" && mkdir -p "$WORK"
    cd "$WORK"
    "$NATIVE/mkarchive" --music dorvu.dat || fail "no native build in $NATIVE: cmake --workflow --preset demo"
    for rep in 1 2 3; do
        mkdir "native$rep" && (cd "native$rep" && ln -s ../dorvu.dat . && "$NATIVE/dorvu" "$rep" >/dev/null)
        (cd "native$rep" && sha256sum kivo_*.wav) >"native$rep.sum"
        rm -rf "native$rep"
    done
    $HOSTCXX -std=c++17 -shared -fPIC -o "$preload" "$PRELOADSRC" -ldl
    win 11 >/dev/null 2>&1 || true # the prefix is made on the first start
    exit 0
fi
if [ "$trial" = cleanup ]; then
    endwine
    rm -rf "$WORK"
    exit 0
fi

rm -rf "${WORK:?}/$trial" && mkdir "$WORK/$trial"
cd "$WORK/$trial"
ln -s ../dorvu.dat .
# (Windows' standard error ends its lines with CR LF.)
case $trial in
same)
    win 2 >/dev/null 2>"$errs" || fail "status $?: $(cat "$errs")"
    same 2 || fail "the files differ from native"
    ;;
sweep)
    win 2 >/dev/null || fail "first run"
    for n in $(seq 4096 5095); do echo leftover >"$(printf .dorvu-%016x.tmp "$n")"; done
    for n in 0123456789abcdef 00000000000000ff; do echo leftover >".dorvu-$n.tmp"; done
    echo other >.dorvu-1000.tmp
    echo other >.DORVU-0123456789ABCDEE.TMP
    rm .dorvu-0000000000001007.tmp && mkdir .dorvu-0000000000001007.tmp
    echo leftover >.dorvu-fedcba9876543210.tmp
    holdon .dorvu-fedcba9876543210.tmp read
    status=0
    win 3 >/dev/null || status=$?
    letgo
    [ "$status" = 0 ] || fail "run past 1002 leftovers: status $status"
    same 3 || fail "files written over existing ones differ from native at rep 3"
    [ "$(temps | tr '\n' ' ')" = ".dorvu-0000000000001007.tmp .dorvu-1000.tmp .dorvu-fedcba9876543210.tmp " ] ||
        fail "leftovers after the sweep: $(temps | head -5)"
    [ "$(cat .dorvu-1000.tmp)" = other ] && [ "$(cat .DORVU-0123456789ABCDEE.TMP)" = other ] ||
        fail "a name not ours was touched"
    ;;
heldtrack)
    win 3 >/dev/null || fail "first run"
    whileheld kivo_03.wav read "dorvu: kivo_03.wav: cannot replace: the file is open in another program"
    ;;
shorthold)
    # The tool is held (SIGSTOP, by the preload) at its first pause between tries, which
    # only the wait for a held file makes; the file is let go right then, and the run
    # must go on to its end. A tool that did not wait would never pause, and fail.
    win 3 >/dev/null || fail "first run"
    holdon kivo_01.wav read
    env LD_PRELOAD="$preload" DORVU_RAISE=19 DORVU_RAISE_PAUSE=1 DORVU_RAISE_PIDFILE="$PWD/pid" \
        $WINE "$EXE" 1 >/dev/null 2>"$errs" 3>&- &
    run=$!
    for _ in $(seq 2400); do
        [ -s pid ] && [ "$(ps -o stat= -p "$(cat pid)" | cut -c1)" = T ] && break
        kill -0 "$run" 2>/dev/null || break
        sleep 0.05
    done
    [ -s pid ] || { letgo; wait "$run" || true; fail "the run never paused for the held file: $(cat "$errs")"; }
    letgo
    kill -CONT "$(cat pid)"
    status=0
    wait "$run" || status=$?
    [ "$status" = 0 ] || fail "a hold let go while waited for: status $status, $(cat "$errs")"
    same 1 || fail "files after a short hold differ from native"
    ;;
heldarchive)
    # An archive of its own: the shared one is open in the other trials.
    rm dorvu.dat && echo short >dorvu.dat
    whileheld dorvu.dat none "dorvu: dorvu.dat: cannot open: the file is open in another program"
    ;;
stop)
    # wine makes SIGINT a console Ctrl-C event; a script's job has SIGINT ignored, so it
    # is given back.
    for sig in KILL INT; do
        status=0
        env --default-signal=INT LD_PRELOAD="$preload" DORVU_RAISE="$(kill -l "$sig")" \
            DORVU_RAISE_SYSWRITE=5 $WINE "$EXE" 10 >/dev/null 2>"$errs" || status=$?
        # A killed process's handles are closed by the wine server, once it has seen it go.
        [ "$sig" = INT ] || wineserver -w
        [ -z "$(ls -A | grep -v '^dorvu.dat$' || true)" ] || fail "SIG$sig left $(ls -A)"
        case $sig in
        KILL) [ "$status" = 137 ] || fail "SIGKILL: status $status" ;;
        INT) [ "$status" = 130 ] && [ "$(tr -d '\r' <"$errs")" = "dorvu: interrupted" ] ||
            fail "Ctrl-C: status $status, $(cat "$errs")" ;;
        esac
    done
    ;;
exits)
    # A read-only track stops the run before it, and is kept.
    echo old >kivo_02.wav && chmod 444 kivo_02.wav
    status=0
    win 1 >/dev/null 2>"$errs" || status=$?
    [ "$status" = 1 ] && [ "$(tr -d '\r' <"$errs")" = "dorvu: kivo_02.wav: cannot replace: Permission denied" ] ||
        fail "read-only track: status $status, $(cat "$errs")"
    [ "$(cat kivo_02.wav)" = old ] && [ -z "$(temps)" ] || fail "read-only track: changed, or left $(temps)"
    status=0
    win 11 >/dev/null || status=$?
    [ "$status" = 1 ] || fail "bad rep exits $status"
    rm dorvu.dat
    status=0
    win >/dev/null || status=$?
    [ "$status" = 1 ] || fail "missing archive exits $status"
    ;;
terminal)
    # In a terminal (tmux, 80 columns) the live line shows and is erased: the screen ends
    # with exactly the lines on standard output. The line first shows a second into the
    # run, longer than a whole run may take here, and wine's clock is its own: so the run
    # is held (SIGSTOP, by the preload) at the fifth write of its first track, and let go
    # once a second and more has passed; its next chunk then draws the line. Standard
    # input is no console, so the tool does not wait for Enter at the end.
    mkfifo go fin
    tmux -L "dorvu$$" new-session -d -x 80 -y 40 \
        "read -r x <go; LD_PRELOAD='$preload' DORVU_RAISE=19 DORVU_RAISE_SYSWRITE=5 DORVU_RAISE_PIDFILE='$PWD/pid' $WINE '$EXE' 1 </dev/null; echo \$? >fin; sleep 600"
    tmux -L "dorvu$$" pipe-pane -o 'cat >raw'
    echo >go
    for _ in $(seq 2400); do
        [ -s pid ] && [ "$(ps -o stat= -p "$(cat pid)" | cut -c1)" = T ] && break
        sleep 0.05
    done
    [ -s pid ] || fail "the run was never held"
    sleep 1.2 # the tool's clock passes its first second while it is held
    kill -CONT "$(cat pid)"
    read -r status <fin
    tmux -L "dorvu$$" capture-pane -p | sed -e 's/ *$//' -e '/^$/d' >screen
    # What tmux passes on to the pipe may lag behind the screen: wait for the last line.
    shown() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' raw | tr -d '\r'; }
    for _ in $(seq 1200); do
        shown | grep -aq 'kivo_19\.wav *\.\.\.' && break
        sleep 0.05
    done
    tmux -L "dorvu$$" kill-server
    [ "$status" = 0 ] || fail "in a terminal: status $status"
    { echo "rep = 1 , map = 0" && awk '{print "Create " $2 " ..."}' "$WORK/native1.sum"; } >want
    cmp -s screen want || fail "the screen at the end: $(diff want screen)"
    shown | grep -aq 'kivo_01\.wav *[0-9]*%' || fail "no live line was shown: $(head -c 300 raw)"
    same 1 || fail "the files differ from native"
    ;;
*) fail "no trial $trial" ;;
esac
echo "wine $trial: passed"
