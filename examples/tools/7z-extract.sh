#!/bin/sh
# Extracts the files named in a VESK list file from a 7-Zip archive, links as links.
# Usage: 7z-extract.sh ARCHIVE TARGET_DIR LIST_FILE
# The list file holds one path per line, relative to the archive's root, with CR LF line ends;
# -spd takes every name literally (no wildcards), -scsUTF-8 reads the list as UTF-8, -y answers
# 7-Zip's questions, and -snld20 (7-Zip 25.01 and later) lets it make links whose targets lie
# outside TARGET_DIR. 7-Zip makes a link with an absolute target point below TARGET_DIR instead
# ("/usr/x" becomes "TARGET_DIR/usr/x"); such links get their stored target back, and their time.
set -eu
archive=$1
target_dir=$2
list_file=$3
7z x -y -spd -scsUTF-8 -snld20 -o"$target_dir" "$archive" @"$list_file" > /dev/null
sed 's/\r$//' "$list_file" | while IFS= read -r name; do
    path=$target_dir/$name
    [ -L "$path" ] || continue
    target=$(readlink "$path")
    case $target in
    "$target_dir"/*)
        time=$(stat -c %y "$path")
        ln -sfn "${target#"$target_dir"}" "$path"
        touch -h -d "$time" "$path"
        ;;
    esac
done
