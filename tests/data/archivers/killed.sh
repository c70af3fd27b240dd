#!/bin/sh
# Dies by a signal in the middle of a line.
printf '+ c.tx'
kill -KILL $$
