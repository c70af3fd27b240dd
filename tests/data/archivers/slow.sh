#!/bin/sh
# Writes its process id to "$1.started", waits SECONDS, then reports every listed file.
# Usage: slow.sh LISTFILE SECONDS
echo $$ > "$1.started.tmp" && mv "$1.started.tmp" "$1.started"
sleep "$2"
sed 's/^/+ /; s/\r$//' "$1"
