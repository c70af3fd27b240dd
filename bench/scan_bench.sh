#!/usr/bin/env bash
# Scan benchmark: generates trees of about 100 files per directory and compares the walker and
# the file scanner (first run, then an unchanged second run into the same index) with
# `find TREE -printf '%s %T@\n'` on the same tree.
#
# usage: bench/scan_bench.sh [-b BUILD_DIR] [-w WORK_DIR] [-s "100000 1000000"] [-d DEPTHS] [-e ENTRIES] [-c COMMAND]
#   -b  build directory holding bench/scan_bench (default: build)
#   -w  where the trees and indexes go (default: /tmp/vesk_scan_bench); trees are kept and
#       reused between invocations, delete the directory to start over
#   -s  tree sizes in files
#   -d  depths of single-chain trees (a directory and a file per level) to measure instead,
#       for example "4000 20000": peak memory should grow linearly with the depth
#   -e  sizes of flat trees (one directory holding that many empty files) to walk instead,
#       for example "200000": time and peak memory of listing one huge directory
#   -c  an extra command to time twice per tree, for example a whole job run; "{src}" is
#       replaced by the tree and "{work}" by an empty scratch directory for that tree
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
work=/tmp/vesk_scan_bench
sizes="100000 1000000"
depths=""
flats=""
command=""
while getopts "b:w:s:d:e:c:" option; do
    case $option in
    b) build=$OPTARG ;;
    w) work=$OPTARG ;;
    s) sizes=$OPTARG ;;
    d) depths=$OPTARG ;;
    e) flats=$OPTARG ;;
    c) command=$OPTARG ;;
    *) sed -n 2,18p "$0"; exit 127 ;;
    esac
done
bench=$build/bench/scan_bench
[ -x "$bench" ] || { echo "build $bench first: cmake --build $build --target scan_bench" >&2; exit 1; }
mkdir -p "$work"

# Tree of N files: directories of 100 files, 100 directories per group directory.
generate() {
    local tree=$1 files=$2
    [ -f "$tree.done" ] && return
    rm -rf "$tree"
    python3 - "$tree" "$files" <<'PY'
import os, sys
tree, files = sys.argv[1], int(sys.argv[2])
for i in range(files):
    d = os.path.join(tree, "g%03d" % (i // 10000), "d%03d" % (i // 100 % 100))
    if i % 100 == 0:
        os.makedirs(d, exist_ok=True)
    fd = os.open(os.path.join(d, "file%03d.dat" % (i % 100)), os.O_CREAT | os.O_WRONLY, 0o644)
    os.write(fd, b"x" * (i % 7))
    os.close(fd)
PY
    touch "$tree.done"
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Runs a command, prints "<ms> <peak KiB>" of it on stdout; its own output goes to $work/last.log.
measure() {
    local start end
    start=$(now_ms)
    /usr/bin/time -f "%M" -o "$work/rss" "$@" >"$work/last.log" 2>&1
    end=$(now_ms)
    echo "$((end - start)) $(cat "$work/rss")"
}

ratio() { python3 -c "print(f'{$1 / max($2, 1):.2f}')"; }

# A chain DEPTH directories deep, built relative to each level since its paths exceed PATH_MAX.
generate_chain() {
    local tree=$1 depth=$2
    [ -f "$tree.done" ] && return
    rm -rf "$tree"
    python3 - "$tree" "$depth" <<'PY'
import os, sys
tree, depth = sys.argv[1], int(sys.argv[2])
os.makedirs(tree)
fd = os.open(tree, os.O_RDONLY)
for _ in range(depth):
    os.close(os.open("f", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    os.mkdir("d", dir_fd=fd)
    next_fd = os.open("d", os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = next_fd
PY
    touch "$tree.done"
}

for depth in $depths; do
    tree=$work/chain_$depth
    echo "== chain $depth levels deep (tree $tree)"
    generate_chain "$tree" "$depth"
    read -r walk_ms walk_kib < <(measure "$bench" --walk "$tree")
    printf '%-28s %8s ms %9s KiB peak\n' "walker only" "$walk_ms" "$walk_kib"
    rm -f "$work/chain_$depth.db"
    read -r scan_ms scan_kib < <(measure "$bench" "$tree" "$work/chain_$depth.db" 1)
    grep -v '^Scanning progresses' "$work/last.log" || true
    printf '%-28s %8s ms %9s KiB peak\n' "scan and listing" "$scan_ms" "$scan_kib"
done
[ -n "$depths" ] && exit 0

for entries in $flats; do
    tree=$work/flat_$entries
    echo "== one directory of $entries files (tree $tree)"
    if [ ! -f "$tree.done" ]; then
        rm -rf "$tree" && mkdir -p "$tree"
        python3 -c 'import os, sys
for i in range(int(sys.argv[2])): os.close(os.open(os.path.join(sys.argv[1], "f%d" % i), os.O_CREAT | os.O_WRONLY, 0o644))' "$tree" "$entries"
        touch "$tree.done"
    fi
    read -r walk_ms walk_kib < <(measure "$bench" --walk "$tree")
    cat "$work/last.log"
    printf '%-28s %8s ms %9s KiB peak\n' "walker only" "$walk_ms" "$walk_kib"
done
[ -n "$flats" ] && exit 0

for files in $sizes; do
    tree=$work/tree_$files
    echo "== $files files (tree $tree)"
    generate "$tree" "$files"
    find "$tree" -printf '%s %T@\n' >/dev/null # warm the cache for every contender

    read -r find_ms find_kib < <(measure find "$tree" -printf '%s %T@\n')
    read -r walk_ms walk_kib < <(measure "$bench" --walk "$tree")
    rm -f "$work/index_$files.db"
    read -r first_ms first_kib < <(measure "$bench" "$tree" "$work/index_$files.db" 1)
    grep -v '^Scanning progresses' "$work/last.log" || true
    read -r second_ms second_kib < <(measure "$bench" "$tree" "$work/index_$files.db" 1)
    grep -v '^Scanning progresses' "$work/last.log" || true

    printf '%-28s %8s ms %9s KiB peak\n' "find -printf" "$find_ms" "$find_kib"
    printf '%-28s %8s ms %9s KiB peak  (%sx find)\n' "walker only" "$walk_ms" "$walk_kib" \
        "$(ratio "$walk_ms" "$find_ms")"
    printf '%-28s %8s ms %9s KiB peak  (%sx find)\n' "scan, first run" "$first_ms" \
        "$first_kib" "$(ratio "$first_ms" "$find_ms")"
    printf '%-28s %8s ms %9s KiB peak  (%sx find)\n' "scan, unchanged second run" \
        "$second_ms" "$second_kib" "$(ratio "$second_ms" "$find_ms")"

    if [ -n "$command" ]; then
        scratch=$work/command_$files
        rm -rf "$scratch" && mkdir -p "$scratch"
        expanded=${command//\{src\}/$tree}
        expanded=${expanded//\{work\}/$scratch}
        for run in first second; do
            read -r ms kib < <(measure bash -c "$expanded")
            printf '%-28s %8s ms %9s KiB peak  (%sx find)\n' "command, $run run" "$ms" "$kib" \
                "$(ratio "$ms" "$find_ms")"
        done
    fi
done
