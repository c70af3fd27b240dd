#!/bin/sh
# Reports the first listed file COUNT times, then every listed file once.
# Usage: many_lines.sh LISTFILE COUNT
first=$(head -n 1 "$1" | sed 's/\r$//')
yes "+ $first" | head -n "$2"
sed 's/^/+ /; s/\r$//' "$1"
