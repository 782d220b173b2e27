#!/usr/bin/env bash
# Runs named phases one after the other (NAME COMMAND NAME COMMAND ...), stops
# at the first that fails, and ends with where the time went, so that the
# next slowdown of `make test` is seen when it happens.
set -u
names=() secs=()
code=0
report() {
  local total=0
  echo
  echo "Where the time went:"
  for i in "${!names[@]}"; do
    printf '  %-16s %5d s\n' "${names[$i]}" "${secs[$i]}"
    total=$((total + secs[i]))
  done
  printf '  %-16s %5d s\n' total "$total"
}
while [ $# -ge 2 ]; do
  start=$(date +%s)
  bash -c "$2"
  code=$?
  names+=("$1") secs+=($(($(date +%s) - start)))
  shift 2
  if [ $code -ne 0 ]; then
    report
    echo "  (stopped: '${names[-1]}' failed)"
    exit $code
  fi
done
report
