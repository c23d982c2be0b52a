#!/usr/bin/env bash
# Checks of the test runner (the build's wine-run.sh) with a probe program whose end is known.
# Usage: check_wine_run.sh <wine-run.sh> <probe.exe> crash|hang
#   crash  a crash ends the program at once with a non-zero exit code, and what it printed
#          before comes through;
#   hang   what a program that never ends prints reaches the caller while it runs, and once it
#          is ended the way ctest ends a test at its timeout, none of the files that the runner
#          and the program held in the temporary folder stays.
set -u
runner=$1 probe=$2 check=$3
limit=45
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAILED: $*"; exit 1; }

# Ends a process and everything it started, children first, as ctest does at a timeout.
end_tree() {
  local child
  kill -STOP "$1" 2>/dev/null
  for child in $(ps -o pid= --ppid "$1"); do end_tree "$child"; done
  kill -KILL "$1" 2>/dev/null
}

# Waits until the process has ended or the condition holds, at most $limit seconds.
wait_for() {
  local pid=$1; shift
  local end=$(( $(date +%s) + limit ))
  while [ "$(date +%s)" -le "$end" ]; do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

tmp=${TMPDIR:-/tmp}
tmp=${tmp%/}

# The files of the temporary folder (not below it) that a process or its children have as
# standard input, output or error: where the program's output goes.
held_files() {
  local child fd target
  for fd in /proc/"$1"/fd/0 /proc/"$1"/fd/1 /proc/"$1"/fd/2; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    target=${target% (deleted)}
    case $target in "$tmp"/*/*) ;; "$tmp"/*) echo "$target" ;; esac
  done
  for child in $(ps -o pid= --ppid "$1"); do held_files "$child"; done
}

case $check in
crash)
  "$runner" "$probe" crash >"$work/log" 2>&1 &
  pid=$!
  start=$(date +%s)
  if wait_for "$pid" false; then :; fi
  if kill -0 "$pid" 2>/dev/null; then
    end_tree "$pid"
    wait "$pid" 2>/dev/null
    cat "$work/log"
    fail "the crashed program had not ended after $limit s (does a crash debugger wait?)"
  fi
  wait "$pid"
  rc=$?
  cat "$work/log"
  echo "exit code $rc after $(( $(date +%s) - start )) s"
  [ "$rc" -ne 0 ] || fail "the crashed program exited with 0"
  grep -q '^probe: crashing now' "$work/log" || fail "what the program printed before its crash was lost"
  ! grep -q 'still running' "$work/log" || fail "the program went on after its crash"
  ;;
hang)
  "$runner" "$probe" hang >"$work/log" 2>&1 &
  pid=$!
  seen=0
  wait_for "$pid" grep -q '^probe: waiting for ever' "$work/log" && seen=1
  held=$(held_files "$pid" | sort -u)
  end_tree "$pid"
  wait "$pid" 2>/dev/null
  cat "$work/log"
  [ "$seen" -eq 1 ] || fail "what the running program printed did not come through within $limit s"
  [ -n "$held" ] || fail "the program's output was held in no file of $tmp"
  for file in $held; do
    [ ! -e "$file" ] || fail "the runner left $file behind"
  done
  ;;
*)
  fail "unknown check $check"
  ;;
esac
echo "passed"
