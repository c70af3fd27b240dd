#!/bin/sh
# Reads its standard input to the end before it reports every listed file.
cat > /dev/null
sed 's/^/+ /; s/\r$//' "$1"
