#!/bin/sh
# Prints "SHA256  PATH" for every regular file and every symbolic link stored in a tar archive:
# for a file the checksum of the bytes the archive holds, for a link the checksum of its target
# text. Nothing is written to disk.
# Usage: tar-verify.sh ARCHIVE
# tar hands only regular files to --to-command, so links are read from its verbose listing. With
# shell-style quoting every name and target there is one quoted word ('it'\''s' for it's), which
# keeps names holding blanks, quotes, " -> " or non-ASCII bytes apart from their targets. Limits:
# a name or target holding a line break cannot be reported (VESK never lists such names), and
# hard-link entries are not reported. Each link costs one sha256sum process.
set -eu
LC_ALL=C
export LC_ALL
tar -xf "$1" --to-command='printf "%s  %s\n" "$(sha256sum | cut -d" " -f1)" "$TAR_FILENAME"'
tar -tvf "$1" --quoting-style=shell-always --numeric-owner |
    awk -v q="'" '
        function unquote(word) {
            word = substr(word, 2, length(word) - 2)
            gsub(q "\\\\" q q, q, word)
            return word
        }
        # "lrwxrwxrwx 0/0 0 DATE TIME NAME -> TARGET"; nothing before NAME holds a quote.
        /^l/ {
            rest = substr($0, index($0, q))
            if (!match(rest, "^(" q "[^" q "]*" q "|\\\\" q ")+ -> "))
                next
            print unquote(substr(rest, RLENGTH + 1))
            print unquote(substr(rest, 1, RLENGTH - 4))
        }' |
    while IFS= read -r target && IFS= read -r name; do
        printf '%s  %s\n' "$(printf '%s' "$target" | sha256sum | cut -d' ' -f1)" "$name"
    done
