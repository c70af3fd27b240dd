#!/bin/sh
# Writes only to standard error, then reads its standard input to the end.
head -c 3000000 /dev/zero >&2
cat
