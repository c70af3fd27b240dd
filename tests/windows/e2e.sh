#!/usr/bin/env bash
# End-to-end run of vesk.exe under Wine on a real tree, with test_archiver.exe as the archiver:
# a first run stores everything, a second lists nothing, a changed file is listed again, an
# archiver that fails leaves the files to the retry pass and the run ends with status 2. The tree
# holds non-ASCII names and a file whose path is longer than 260 characters.
# Usage: e2e.sh VESK_EXE TEST_ARCHIVER_EXE USAGE_TXT
set -euo pipefail
vesk=$(realpath "$1") archiver=$(realpath "$2") usage=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
failures=0

# Paths as the program sees them: Wine maps the Linux root to drive Z:. A Linux build (a vesk
# without .exe) runs directly, which checks this script itself.
case $vesk in
*.exe) runner=(timeout 120 "$wine_run")
       windows_path() { printf 'Z:%s' "${1//\//\\}"; } ;;
*) runner=(timeout 120)
   windows_path() { printf '%s' "$1"; } ;;
esac
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# Runs vesk.exe with the job; its output goes to out.txt, its status to $status.
run_vesk() {
    status=0
    "${runner[@]}" "$vesk" "$@" >out.txt 2>err.txt </dev/null || status=$?
}
expect_status() { [ "$status" = "$1" ] || fail "$2: status $status, expected $1: $(cat out.txt err.txt)"; }
expect_line() { grep -qF -- "$1" out.txt || fail "$2: no line with '$1' in: $(cat out.txt err.txt)"; }

# The banner and usage are those of the Linux build, byte for byte.
run_vesk --help
printf 'VESK 0.2.0\n\n' >expected.txt
cat "$usage" >>expected.txt
printf "You must specify a '--cfg <cfgfile>' argument.\n" >>expected.txt
cmp -s expected.txt out.txt || fail "--help: $(diff expected.txt out.txt)"
expect_status 127 "--help"

mkdir -p src dst
printf 'alpha' >src/a.txt
: >src/empty.txt
mkdir -p "src/Grüße" && printf 'umlaut' >"src/Grüße/日本語.txt"
deep=src
for i in 1 2 3 4 5 6; do deep="$deep/directory-level-$i-with-a-name-long-enough-to-add-up-quickly"; done
mkdir -p "$deep" && printf 'deep' >"$deep/file-beyond-the-classic-path-limit.txt"
(( ${#deep} > 300 )) || fail "the deep path is only ${#deep} characters long"

write_job() { # format archiver mode
    cat >job.conf <<JOB
source_dir("$(windows_path "$scratch/src")")
destination_dir("$(windows_path "$scratch/dst")")
mode(incremental(0))
select_format(format("w"))
format_specification("w", archive(executable("$(windows_path "$archiver")"),
    arguments("$1 ""%archive%.dat"" ""%listfile%"""), workdir("%srcdir%"),
    filepattern("^([0-9a-f]{16})  (.*)\$", 2, 1)))
format_specification("retry", archive(executable("$(windows_path "$archiver")"),
    arguments("$2 ""%archive%.dat"" ""%listfile%"""), workdir("%srcdir%"),
    filepattern("^([0-9a-f]{16})  (.*)\$", 2, 1)))
JOB
}

write_job store store
run_vesk --cfg "$(windows_path "$scratch/job.conf")"
expect_status 0 "first run"
expect_line "Summary: 4 files listed (15 bytes), 4 stored, 0 failed" "first run"
sleep 1.1
run_vesk --cfg "$(windows_path "$scratch/job.conf")"
expect_status 0 "unchanged run"
expect_line "Summary: 0 files listed (0 bytes), 0 stored, 0 failed" "unchanged run"
sleep 1.1
printf 'changed' >"src/Grüße/日本語.txt"
run_vesk --cfg "$(windows_path "$scratch/job.conf")"
expect_status 0 "changed run"
expect_line "Summary: 1 files listed (7 bytes), 1 stored, 0 failed" "changed run"
grep -q $'^Grüße/日本語.txt\r$' dst/*/listfile.w.lst 2>/dev/null ||
    fail "the changed file is not in a list file"
sleep 1.1
printf 'again' >src/a.txt
write_job fail fail
run_vesk --cfg "$(windows_path "$scratch/job.conf")"
expect_status 2 "failing archiver"
expect_line "Summary: 1 files listed (5 bytes), 0 stored, 1 failed" "failing archiver"
ls dst/*/listfile.retry.lst >/dev/null 2>&1 || fail "no retry pass after the failing archiver"

((failures == 0)) && echo "all Windows end-to-end checks passed"
exit $((failures > 0))
