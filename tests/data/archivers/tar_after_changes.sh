#!/bin/sh
# Changes the source tree between the scan and the archiving: deletes vanish.txt, appends to
# grow.txt; then stores the listed files with the example tar archiver.
# Usage: tar_after_changes.sh ARCHIVE SOURCE_DIR LIST_FILE
rm -f "$2/vanish.txt"
printf ' and more' >> "$2/grow.txt"
exec sh "$(dirname "$0")/../../../examples/tools/tar-store.sh" "$@"
