#!/bin/sh
# Stores the files named in a VESK list file in a tar archive.
# Usage: tar-store.sh ARCHIVE SOURCE_DIR LIST_FILE
# The list file holds one path per line, relative to SOURCE_DIR, with CR LF line ends. Every
# line is taken literally (no unquoting, no options, no recursion). A symbolic link is stored as
# a link; files that are hard links of one another are each stored whole, so that the verifier
# sees every one as a file. Nothing is printed on standard output: the verifier reports what the
# archive really holds.
set -eu
archive=$1
source_dir=$2
list_file=$3
sed 's/\r$//' "$list_file" |
    tar -cf "$archive" -C "$source_dir" --no-recursion --hard-dereference \
        --verbatim-files-from --no-unquote -T -
