#!/bin/sh
# Exits at once but leaves a grandchild that holds standard output open.
sleep 5 &
echo '+ none'
