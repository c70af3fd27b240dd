#!/bin/sh
# Touches "$1.started", waits SECONDS, then reports every listed file.
# Usage: slow.sh LISTFILE SECONDS
touch "$1.started"
sleep "$2"
sed 's/^/+ /; s/\r$//' "$1"
