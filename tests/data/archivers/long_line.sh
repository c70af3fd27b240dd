#!/bin/sh
# One line of 100 MB without a line break, then a real report.
head -c 100000000 /dev/zero | tr '\000' x
printf '\n+ b.txt\n'
