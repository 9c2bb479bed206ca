#!/usr/bin/env bash
# The kernel copy against the buffer in one folder: PAIRS pairs of runs of the tool at
# rep REP, each pair one run as it is and one with the copy call refused (the preload
# raisesig answering ENOSYS), in turns, which goes first alternating, each in a fresh
# folder holding a hard link to ARCHIVE, made in SERVER (the same folder on the server's
# own disk, for a share that cannot link) or else in FOLDER. Prints
# one line: the medians of wall and cpu (user + system) seconds of each, the median
# of the pairs' ratios with their lowest and highest, the bytes sent on the loopback
# during a run (medians; a network folder's traffic, where its server is on this
# machine), and whether every run wrote the same twenty files. With VERSUS set, the
# second run of each pair is that shell command instead (dd moving the same bytes), run
# in a fresh folder too.
#
#   bash bench/pairs.sh FOLDER ARCHIVE NAME TOOL PRELOAD REP PAIRS [SERVER]
set -euo pipefail
dir=$1 archive=$2 name=$3 tool=$4 preload=$5 rep=$6 pairs=$7 server=${8:-}
lo=/sys/class/net/lo/statistics/tx_bytes
timer=/usr/bin/time # GNU time (scripts/deps.sh installs it), not the shell's keyword

# One run: prints "wall cpu lobytes sum-of-the-files".
one() {
    local out=bench-out before t
    rm -rf "${dir:?}/$out" && mkdir "$dir/$out"
    ln "$archive" "${server:-$dir}/$out/dorvu.dat"
    sync
    before=$(cat $lo)
    if [ "${1:-}" = versus ]; then
        t=$(cd "$dir/$out" && "$timer" -f "%e %U %S" bash -c "$VERSUS" 2>&1 >/dev/null | tail -n 1)
    else
        t=$(cd "$dir/$out" && env "$@" "$timer" -f "%e %U %S" "$tool" "$rep" 2>&1 >/dev/null | tail -n 1)
    fi || { echo "$name: the run failed: $t" >&2 && exit 1; }
    echo "$t $(($(cat $lo) - before))" | awk '{printf "%s %.2f %s ", $1, $2 + $3, $4}'
    if [ "${1:-}" = versus ]; then echo -; else (cd "$dir/$out" && cat kivo_*.wav | sha256sum | cut -c1-16); fi
    rm -rf "${dir:?}/$out"
}

second=(LD_PRELOAD="$preload" DORVU_COPY=1:38)
[ -z "${VERSUS:-}" ] || second=(versus)
times=$(mktemp -d)
trap 'rm -rf "$times"' EXIT
for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 1 ]; then
        one >>"$times/k"
        one "${second[@]}" >>"$times/b"
    else
        one "${second[@]}" >>"$times/b"
        one >>"$times/k"
    fi
done
paste -d ' ' "$times/k" "$times/b" | awk -v name="$name" -v rep="$rep" '
    function median(a, n,   i, j, t) {
        for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { n++; kw[n] = $1; kc[n] = $2; kl[n] = $3; bw[n] = $5; bc[n] = $6; bl[n] = $7
      rw[n] = $1 / $5; rc[n] = ($6 > 0 ? $2 / $6 : 1)
      if (n == 1) first = $4
      if (($8 != "-" && $4 != $8) || $4 != first) same = "DIFFER" }
    END {
        minw = maxw = rw[1]; minc = maxc = rc[1]
        for (i = 1; i <= n; i++) { if (rw[i] < minw) minw = rw[i]; if (rw[i] > maxw) maxw = rw[i]
                                   if (rc[i] < minc) minc = rc[i]; if (rc[i] > maxc) maxc = rc[i] }
        printf "%-22s rep %-2d %2d pairs  wall %6.2f/%6.2f s  ratio %.2f (%.2f-%.2f)  cpu %5.2f/%5.2f s  ratio %.2f (%.2f-%.2f)  loopback %.1f/%.1f MB  files %s\n",
            name, rep, n, median(kw, n), median(bw, n), median(rw, n), minw, maxw,
            median(kc, n), median(bc, n), median(rc, n), minc, maxc,
            median(kl, n) / 1e6, median(bl, n) / 1e6, same == "" ? "identical" : same
    }'
