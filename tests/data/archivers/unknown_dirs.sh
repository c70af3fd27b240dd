#!/bin/sh
# Prints COUNT report lines for a directory the index does not know, then reports every listed
# file. Usage: unknown_dirs.sh LISTFILE COUNT
yes '+ nowhere/x.txt' | head -n "$2"
sed 's/^/+ /; s/\r$//' "$1"
