#!/bin/sh
# Reports the listed files as stored, except those whose names contain the first argument.
grep -v "$1" "$2" | sed 's/^/+ /'
