#!/bin/sh
# Reports every listed file, closes its standard output and keeps running for a while.
sed 's/^/+ /; s/\r$//' "$1"
exec >&-
sleep 1
