#!/usr/bin/env bash
# Measures vaults against their baselines, all in this one run: a plain folder, gocryptfs alone
# (the encryption format the vault uses), CryFS (a peer that also hides sizes and structure), a
# vault served by the volume daemon and one on the fallback engine (gocryptfs + fuse2fs), the
# vaults at a 2 GB and a 1 TB limit; with EARLIER_BUILD_DIR also the daemon of that build.
#
#   bench/disk_tools.sh [BUILD_DIR [EARLIER_BUILD_DIR]]
#
# Every figure is the median of ROUNDS rounds (3 unless set), the targets taking turns within a
# round: a single pass swings by a factor of three on a busy machine, and unevenly between targets.
# Prints MB/s for a 512 MB sequential write (with fsync) and read (caches dropped), files/s to
# create, read and delete 2,000 small files, the CPU time the serving processes spend per 1,000
# files created (steadier than the rate on a busy machine), ratios against gocryptfs alone, the
# bundle's disk usage half a second after the files were deleted (the daemon gives freed space back
# once the delete is durable, within a tenth of a second), and attach and detach times of an empty
# vault.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
tools="$build/libexec/hollowkeep"
earlier=${2:+$(cd "$2" && pwd)/libexec/hollowkeep}
work=$(mktemp -d /var/tmp/hollowkeep-bench.XXXXXX)
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/plain" "$work/gcfs.cipher" "$work/gcfs" "$work/cryfs.base" "$work/cryfs"
chmod 700 "$XDG_RUNTIME_DIR"
password="bench-password"
megabytes=512
files=2000
rounds=${ROUNDS:-3}

cleanup() {
    for mp in $(grep -o "$work[^ ]*" /proc/mounts | sed 's/\\040/ /g' | sort -r); do fusermount3 -u -z "$mp" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
drop_caches() { sync; [ -w /proc/sys/vm/drop_caches ] && echo 3 > /proc/sys/vm/drop_caches || true; }
ratio() { echo "scale=2; $1 / $2" | bc; }
rate() { echo "scale=${3:-1}; $1 / ($(now) - $2)" | bc; }

seq_write() {
    local s; s=$(now)
    dd if=/dev/zero of="$1/seq.bin" bs=1M count=$megabytes conv=fsync status=none
    rate $megabytes "$s"
}
seq_read() {
    local s; drop_caches; s=$(now)
    dd if="$1/seq.bin" of=/dev/null bs=1M status=none
    rate $megabytes "$s"; rm -f "$1/seq.bin"
}
# Before a timed phase: what earlier phases left (the host's write-back of 512 MB, a daemon giving
# back the space of the file just deleted) ends first, for every target alike, so that no figure
# carries another phase's work.
settle() { sync; sleep 1; }
# server_ticks TARGET -> CPU time (ticks) used so far by the processes serving that target
server_ticks() {
    local pids="" p total=0
    case $1 in
        plain) echo 0; return ;;
        gocryptfs) pids=$(pgrep -f -- "$work/gcfs.cipher" || true) ;;
        cryfs) pids=$(pgrep -f -- "$work/cryfs.base" || true) ;;
        *) pids="$(pgrep -f -- "$(bundle "$1")" || true) $(pgrep -f -- "fuse2fs.*${dir[$1]}" || true)" ;;
    esac
    for p in $pids; do total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0))); done
    echo $total
}
small_create() { # DIR TARGET -> files/s; the servers' CPU per 1,000 files (ms) goes to $work/cpu
    local s i t; mkdir -p "$1/small"; settle; t=$(server_ticks "$2"); s=$(now)
    for ((i = 0; i < files; i++)); do printf 'small file %d\n' $i > "$1/small/f$i.txt"; done
    sync -f "$1/small" 2>/dev/null || sync
    rate $files "$s" 0
    echo $(( ($(server_ticks "$2") - t) * 1000 / $(getconf CLK_TCK) * 1000 / files )) > "$work/cpu"
}
small_read() {
    local s; drop_caches; s=$(now)
    cat "$1"/small/f*.txt > /dev/null
    rate $files "$s" 0
}
small_delete() {
    local s; s=$(now)
    rm -rf "$1/small"; sync -f "$1" 2>/dev/null || sync
    rate $files "$s" 0
}

new_vault() { # NAME SIZE ENGINE [TOOLS] -> mount point
    local with=${4:-$tools}
    printf '%s' "$password" | HOLLOWKEEP_VOLUME_ENGINE=$3 "$with/hdiutil" create -encryption AES-256 -stdinpass \
        -type SPARSEBUNDLE -fs APFS -size "$2" -volname "$1" "$work/$1.sparsebundle" >/dev/null
    printf '%s' "$password" | HOLLOWKEEP_VOLUME_ENGINE=$3 "$with/hdiutil" attach -stdinpass "$work/$1.sparsebundle" | cut -f2
}

printf '%s' "$password" | gocryptfs -init -q -plaintextnames "$work/gcfs.cipher" >/dev/null 2>&1
printf '%s' "$password" | gocryptfs -q -noprealloc "$work/gcfs.cipher" "$work/gcfs" >/dev/null 2>&1
have_cryfs=0
if command -v cryfs >/dev/null; then
    printf '%s\n' "$password" | CRYFS_FRONTEND=noninteractive CRYFS_NO_UPDATE_CHECK=true \
        cryfs --cipher aes-256-gcm --blocksize 16384 "$work/cryfs.base" "$work/cryfs" >/dev/null 2>&1 && have_cryfs=1
fi

declare -A dir write read create readsmall delete du_after cpu
dir[plain]="$work/plain"; dir[gocryptfs]="$work/gcfs"
[ $have_cryfs = 1 ] && dir[cryfs]="$work/cryfs"
dir[daemon-2G]=$(new_vault D2 2g daemon)
dir[daemon-1T]=$(new_vault D1T 1t daemon)
dir[fallback-2G]=$(new_vault F2 2g fuse2fs)
dir[fallback-1T]=$(new_vault F1T 1t fuse2fs)
[ -n "$earlier" ] && dir[earlier-2G]=$(new_vault B2 2g daemon "$earlier")
bundle() { case $1 in daemon-2G) echo "$work/D2.sparsebundle" ;; daemon-1T) echo "$work/D1T.sparsebundle" ;;
                      fallback-2G) echo "$work/F2.sparsebundle" ;; fallback-1T) echo "$work/F1T.sparsebundle" ;;
                      earlier-2G) echo "$work/B2.sparsebundle" ;; esac; }

targets=(plain gocryptfs)
[ $have_cryfs = 1 ] && targets+=(cryfs)
[ -n "$earlier" ] && targets+=(earlier-2G)
targets+=(daemon-2G daemon-1T fallback-2G fallback-1T)
# median VALUE... -> the middle value
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
declare -A all
for ((round = 0; round < rounds; round++)); do
    for target in "${targets[@]}"; do
        d=${dir[$target]}
        all[write $target]+=" $(seq_write "$d")"
        all[read $target]+=" $(seq_read "$d")"
        all[create $target]+=" $(small_create "$d" "$target")"
        all[cpu $target]+=" $(cat "$work/cpu")"
        all[readsmall $target]+=" $(small_read "$d")"
        all[delete $target]+=" $(small_delete "$d")"
        b=$(bundle "$target")
        [ -n "$b" ] && sleep 0.5
        du_after[$target]=${b:+$(du -sk "$b" | cut -f1)K}
    done
done
for target in "${targets[@]}"; do
    # shellcheck disable=SC2086 # the lists split on purpose
    write[$target]=$(median ${all[write $target]}); read[$target]=$(median ${all[read $target]})
    # shellcheck disable=SC2086
    create[$target]=$(median ${all[create $target]}); readsmall[$target]=$(median ${all[readsmall $target]})
    # shellcheck disable=SC2086
    delete[$target]=$(median ${all[delete $target]}); cpu[$target]=$(median ${all[cpu $target]})
done

printf '%-14s %10s %8s %10s %8s %10s %8s %10s %10s %10s %12s\n' "" "write MB/s" "×gcfs" "read MB/s" "×gcfs" \
    "create/s" "×gcfs" "cpu ms/1k" "read/s" "delete/s" "bundle after"
for target in "${targets[@]}"; do
    printf '%-14s %10s %8s %10s %8s %10s %8s %10s %10s %10s %12s\n' "$target" "${write[$target]}" \
        "$(ratio "${write[$target]}" "${write[gocryptfs]}")" "${read[$target]}" \
        "$(ratio "${read[$target]}" "${read[gocryptfs]}")" "${create[$target]}" \
        "$(ratio "${create[$target]}" "${create[gocryptfs]}")" "${cpu[$target]}" "${readsmall[$target]}" \
        "${delete[$target]}" "${du_after[$target]:--}"
done
for target in daemon-2G daemon-1T fallback-2G fallback-1T; do "$tools/hdiutil" detach "${dir[$target]}" >/dev/null; done
[ -n "$earlier" ] && "$earlier/hdiutil" detach "${dir[earlier-2G]}" >/dev/null

# Attach and detach of an empty vault, best of three, for each engine.
for engine in daemon fuse2fs; do
    printf '%s' "$password" | HOLLOWKEEP_VOLUME_ENGINE=$engine "$tools/hdiutil" create -encryption AES-256 -stdinpass \
        -type SPARSEBUNDLE -fs APFS -size 1024m -volname "E$engine" "$work/E$engine.sparsebundle" >/dev/null
    best_attach=99; best_detach=99
    for _ in 1 2 3; do
        s=$(now); mp=$(printf '%s' "$password" | HOLLOWKEEP_VOLUME_ENGINE=$engine "$tools/hdiutil" attach -stdinpass "$work/E$engine.sparsebundle" | cut -f2); e=$(now)
        a=$(echo "$e - $s" | bc)
        s=$(now); "$tools/hdiutil" detach "$mp" >/dev/null; e=$(now)
        d=$(echo "$e - $s" | bc)
        best_attach=$(echo "if ($a < $best_attach) $a else $best_attach" | bc)
        best_detach=$(echo "if ($d < $best_detach) $d else $best_detach" | bc)
    done
    printf '%-8s attach of an empty vault: %.3f s, detach: %.3f s (best of 3)\n' "$engine" "$best_attach" "$best_detach"
done
