#!/usr/bin/env bash
# Measures a vault against its baselines, all in this one run: a plain folder, gocryptfs alone
# (the encryption layer the vault uses) and a vault attached with our hdiutil.
#
#   bench/disk_tools.sh [BUILD_DIR]
#
# Prints MB/s for a 512 MB sequential write and read, files/s for creating 2,000 small files, the
# ratios vault / gocryptfs, and the attach and detach times of an empty vault.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
tools="$build/libexec/hollowkeep"
work=$(mktemp -d /var/tmp/hollowkeep-bench.XXXXXX)
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/plain" "$work/gcfs.cipher" "$work/gcfs"
chmod 700 "$XDG_RUNTIME_DIR"
password="bench-password"
megabytes=512
files=2000

cleanup() {
    for mp in $(grep -o "$work[^ ]*" /proc/mounts | sed 's/\\040/ /g' | sort -r); do fusermount3 -u -z "$mp" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
drop_caches() { sync; [ -w /proc/sys/vm/drop_caches ] && echo 3 > /proc/sys/vm/drop_caches || true; }
ratio() { echo "scale=2; $1 / $2" | bc; }

# seq_write DIR -> MB/s ; seq_read DIR -> MB/s ; small DIR -> files/s
seq_write() {
    local s e; s=$(now)
    dd if=/dev/zero of="$1/seq.bin" bs=1M count=$megabytes conv=fsync status=none
    e=$(now); echo "scale=1; $megabytes / ($e - $s)" | bc
}
seq_read() {
    local s e; drop_caches; s=$(now)
    dd if="$1/seq.bin" of=/dev/null bs=1M status=none
    e=$(now); rm -f "$1/seq.bin"; echo "scale=1; $megabytes / ($e - $s)" | bc
}
small() {
    local s e i; mkdir -p "$1/small"; s=$(now)
    for ((i = 0; i < files; i++)); do printf 'small file %d\n' $i > "$1/small/f$i.txt"; done
    sync -f "$1/small" 2>/dev/null || sync
    e=$(now); echo "scale=0; $files / ($e - $s)" | bc
}

printf '%s' "$password" | gocryptfs -init -q -plaintextnames "$work/gcfs.cipher" >/dev/null 2>&1
printf '%s' "$password" | gocryptfs -q -noprealloc "$work/gcfs.cipher" "$work/gcfs" >/dev/null 2>&1

printf '%s' "$password" | "$tools/hdiutil" create -encryption AES-256 -stdinpass -type SPARSEBUNDLE -fs APFS \
    -size 2048m -volname Bench "$work/Bench.sparsebundle" >/dev/null
vault=$(printf '%s' "$password" | "$tools/hdiutil" attach -stdinpass "$work/Bench.sparsebundle" | cut -f2)

declare -A write read create
for target in plain gcfs vault; do
    case $target in plain) dir="$work/plain" ;; gcfs) dir="$work/gcfs" ;; vault) dir="$vault" ;; esac
    write[$target]=$(seq_write "$dir")
    read[$target]=$(seq_read "$dir")
    create[$target]=$(small "$dir")
done
"$tools/hdiutil" detach "$vault" >/dev/null

# Attach and detach of an empty vault, best of three.
printf '%s' "$password" | "$tools/hdiutil" create -encryption AES-256 -stdinpass -type SPARSEBUNDLE -fs APFS \
    -size 1024m -volname Empty "$work/Empty.sparsebundle" >/dev/null
best_attach=99; best_detach=99
for _ in 1 2 3; do
    s=$(now); mp=$(printf '%s' "$password" | "$tools/hdiutil" attach -stdinpass "$work/Empty.sparsebundle" | cut -f2); e=$(now)
    a=$(echo "$e - $s" | bc)
    s=$(now); "$tools/hdiutil" detach "$mp" >/dev/null; e=$(now)
    d=$(echo "$e - $s" | bc)
    best_attach=$(echo "if ($a < $best_attach) $a else $best_attach" | bc)
    best_detach=$(echo "if ($d < $best_detach) $d else $best_detach" | bc)
done

printf '%-28s %12s %12s %12s %14s\n' "" "plain" "gocryptfs" "vault" "vault/gocryptfs"
printf '%-28s %12s %12s %12s %14s\n' "sequential write (MB/s)" "${write[plain]}" "${write[gcfs]}" "${write[vault]}" "$(ratio "${write[vault]}" "${write[gcfs]}")"
printf '%-28s %12s %12s %12s %14s\n' "sequential read (MB/s)" "${read[plain]}" "${read[gcfs]}" "${read[vault]}" "$(ratio "${read[vault]}" "${read[gcfs]}")"
printf '%-28s %12s %12s %12s %14s\n' "2,000 small files (files/s)" "${create[plain]}" "${create[gcfs]}" "${create[vault]}" "$(ratio "${create[vault]}" "${create[gcfs]}")"
printf 'attach of an empty vault: %.3f s (best of 3)\n' "$best_attach"
printf 'detach of an empty vault: %.3f s (best of 3)\n' "$best_detach"
