#!/bin/sh
# Reports every listed file as stored, writes to standard error and exits with code 3.
sed 's/^/+ /' "$1"
echo oops >&2
exit 3
