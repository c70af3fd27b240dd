#!/usr/bin/env bash
# Installs what is missing, builds build/vesk and runs a real backup of a small sample tree with
# the 7-Zip example job: a first run, an unchanged second run that stores nothing, and a run after
# one file changed that stores just that file. Then it restores the three runs into a new
# directory, compares that with the source, and lists what is stored where.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
bash scripts/build.sh build

demo=$root/demo
rm -rf "$demo"
mkdir -p "$demo/source/docs/notes" "$demo/source/photos 2026"
printf 'Quarterly report\n' > "$demo/source/docs/report.txt"
printf 'Grüße aus Köln\n' > "$demo/source/docs/notes/grüße.txt"
printf 'draft\n' > "$demo/source/docs/notes/draft.tmp"
head -c 200000 /dev/urandom > "$demo/source/photos 2026/beach.jpg"
: > "$demo/source/empty.txt"
ln -s docs/report.txt "$demo/source/latest report" # stored as a link, not as a second copy

sed -e "s#/path/to/source#$demo/source#" -e "s#/path/to/backups#$demo/backups#" \
    -e "s#/path/to/examples#$root/examples#" \
    examples/7zip.job > "$demo/demo.job"

run() {
    echo
    echo "=== $1"
    build/vesk --cfg "$demo/demo.job" | grep -E 'Completed listfiles|Verified|Marked|exiting' || true
    sleep 1 # run directories are named by the second
}

run "First run: stores every selected file (*.tmp files are excluded by the job)"
run "Second run, nothing changed: nothing is listed, nothing is stored"
printf 'Quarterly report, revised\n' > "$demo/source/docs/report.txt"
run "Third run after docs/report.txt changed: just that file is stored"

echo
echo "=== Results in $demo/backups"
ls -l "$demo/backups"
newest=$(ls -d "$demo"/backups/*_inc | tail -n 1)
echo
echo "Newest run directory: $newest"
ls -l "$newest"
echo
echo "Its list file (what was handed to 7-Zip):"
cat "$newest/listfile.7z.lst"
echo
echo "=== Restore of the three runs into $demo/restored (each file from its newest archive)"
build/vesk --cfg "$demo/demo.job" --restore "$demo/restored" | grep -E 'Restor|Missing|Differs'
echo
echo "=== diff -r of source and restored tree (*.tmp files are excluded by the job)"
diff -r --no-dereference -x '*.tmp' "$demo/source" "$demo/restored"
echo "No differences."
echo
echo "=== What is stored where (build/vesk --cfg demo.job --list)"
build/vesk --cfg "$demo/demo.job" --list | grep -v -E '^(VESK|$)'
echo
echo "Job log: $demo/backups/backuplog.txt; run logs: <run directory>/log.txt."
echo "To back up your own directories, copy examples/7zip.job, set source_dir and"
echo "destination_dir, and run: build/vesk --cfg yourjob.job (docs/restore.md tells how to get"
echo "files back)."
