#!/usr/bin/env bash
# leftover_processes.sh MARK: the suite's last test. Every test runs with MARK in its environment,
# which the processes it starts inherit; any such process still alive now was left behind by a
# test. Lists them, kills them so that the machine is clean again, and fails.
# Reads environments with the shell's own builtins only: a helper process would carry MARK too.
set -uo pipefail
mark=$1

# Sets FOUND to the pids, other than this shell, whose environment holds MARK.
find_marked() {
  local dir entry pid
  FOUND=()
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$pid" = "$$" ] && continue
    while IFS= read -r -d '' entry; do
      if [ "$entry" = "$mark" ]; then
        FOUND+=("$pid")
        break
      fi
    done 2>/dev/null <"$dir/environ"
  done
}

# A server stopped by the last test may still be on its way out.
for _ in $(seq 1 20); do
  find_marked
  [ ${#FOUND[@]} -eq 0 ] && exit 0
  sleep 0.1
done

echo "processes started by the tests are still running:" >&2
for pid in "${FOUND[@]}"; do
  line=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)
  echo "  $pid: $line" >&2
  kill -KILL "$pid" 2>/dev/null
done
exit 1
