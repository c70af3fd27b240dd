#!/bin/sh
# Extracts the files named in a VESK list file from a tar archive.
# Usage: tar-extract.sh ARCHIVE TARGET_DIR LIST_FILE
# The list file holds one path per line, relative to the archive's root, with CR LF line ends.
# Every line is taken literally (no unquoting, no options, no wildcards, no recursion), so only
# the listed members come back; tar makes their parent directories and restores their times.
set -eu
archive=$1
target_dir=$2
list_file=$3
sed 's/\r$//' "$list_file" |
    tar -xf "$archive" -C "$target_dir" --no-recursion --no-wildcards \
        --verbatim-files-from --no-unquote -T -
