#!/usr/bin/env bash
# Report-lines benchmark: one run of build/vesk whose archiver reports the first listed file
# COUNT times (tests/data/archivers/many_lines.sh) before it reports every file once. Prints the
# run's wall time and peak RSS: the lines must pass in bounded memory (the end-to-end case
# hostile_archivers checks the same archiver with 100,000 lines for what is stored).
#
# usage: bench/report_lines.sh [-b BUILD_DIR] [-n COUNT]
#   -b  build directory holding vesk (default: build)
#   -n  report lines (default: 10000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
count=10000000
while getopts "b:n:" option; do
    case $option in
    b) build=$OPTARG ;;
    n) count=$OPTARG ;;
    *) sed -n 2,9p "$0"; exit 127 ;;
    esac
done
[ -x "$build/vesk" ] || { echo "build $build/vesk first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
echo many > "$work/src/many.txt"
cat > "$work/job.conf" <<JOB
source_dir("$work/src")
destination_dir("$work/dst")
mode(incremental(0))
select_format(format("many"))
format_specification("many", archive(executable("sh"),
    arguments("$root/tests/data/archivers/many_lines.sh ""%listfile%"" $count"),
    filepattern("^\+ (.*)$", 1)))
JOB
/usr/bin/time -f "%e %M" -o "$work/time" "$build/vesk" --cfg "$work/job.conf" >/dev/null
read -r seconds rss < "$work/time"
printf '%s report lines: %s s, peak RSS %s KiB\n' "$count" "$seconds" "$rss"
