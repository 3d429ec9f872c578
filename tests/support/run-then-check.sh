#!/usr/bin/env bash
# One test: a program under Wine, then the Linux-side check of what it left.
#
#   run-then-check.sh PROGRAM [ARGS...] -- CHECK [ARGS...]
#
# Kept together so that a repeated run (ctest --repeat until-fail:N) checks
# the output of every round, not only of the last one. The check runs even
# when the program failed; the test fails when either does.
set -u
program=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    program+=("$1"); shift
done
[ $# -gt 1 ] || { echo "usage: $0 PROGRAM [ARGS...] -- CHECK [ARGS...]"; exit 2; }
shift
"${program[@]}"
ran=$?
"$@"
checked=$?
[ $ran -eq 0 ] && [ $checked -eq 0 ]
