#!/bin/sh
# Prints "SHA256  PATH" for every regular file stored in a tar archive, hashing the bytes the
# archive holds (nothing is written to disk).
# Usage: tar-verify.sh ARCHIVE
set -eu
exec tar -xf "$1" --to-command='printf "%s  %s\n" "$(sha256sum | cut -d" " -f1)" "$TAR_FILENAME"'
