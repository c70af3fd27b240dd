#!/bin/sh
# Binary output around real reports: NUL bytes, CR-only line ends, a line that is not UTF-8.
printf '\000\001\377\376 junk\r+ a.txt\r\000+ \r'
printf '+ lat\351.txt\n'
head -c 65536 /dev/urandom | tr -d '\r\n+'
printf '\n'
