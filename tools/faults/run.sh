#!/usr/bin/env bash
# Measures which tests catch each deliberate fault in tools/faults/NN-name.patch: applies it to a
# scratch worktree of a commit (HEAD unless given), builds, runs the suite and reverts it, one
# fault at a time.
# Usage: tools/faults/run.sh [OUTPUT_FILE [COMMIT]]   (the table goes to standard output and the file)
set -euo pipefail
faults=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$faults" rev-parse --show-toplevel)
output=$(realpath -m "${1:-/dev/null}")
commit=${2:-HEAD}
: >"$output"
say() { printf "$@" | tee -a "$output"; }
note() { echo "[$(date +%T)] $*" >&2; }

# A worktree of the commit in a scratch folder, removed however the run ends; the checkout the tool
# was started from (and its build folders) is never touched.
scratch=$(mktemp -d)
tree=$scratch/tree
cleanup() {
  cd /
  git -C "$repo" worktree remove --force "$tree" 2>/dev/null || true
  git -C "$repo" worktree prune
  rm -rf "$scratch"
}
trap cleanup EXIT
git -C "$repo" worktree add --detach --quiet "$tree" "$commit"
cd "$tree"
failed_log=build/debug/Testing/Temporary/LastTestsFailed.log

# Runs the suite; prints the names of the tests that failed, one a line (a parameterised
# test without the "  # GetParam() = ..." that ctest appends).
failing_tests() {
  rm -f "$failed_log"
  ctest --preset debug --timeout 120 -j2 >"$scratch/ctest.log" 2>&1 || true
  if [ -f "$failed_log" ]; then cut -d: -f2- "$failed_log" | sed 's/  # GetParam() = .*//'; fi
}

# Configure and build once, unpatched, and note the tests that fail without any fault: they
# are left out of every fault's count.
started=$SECONDS
note "configuring and building $commit in $tree"
cmake --preset debug >"$scratch/configure.log" 2>&1
if ! cmake --build --preset debug -j2 >"$scratch/build.log" 2>&1; then
  tail -30 "$scratch/build.log" >&2
  exit 1
fi
failing_tests >"$scratch/baseline"
if [ -s "$scratch/baseline" ]; then
  note "failing without any fault (left out of the counts): $(paste -sd' ' "$scratch/baseline")"
fi

# One fault at a time: apply, build, run the suite, revert.
say "%-3s %-38s %6s  %s\n" "#" "fault" "failed" "first failing tests"
caught=0
total=0
for patch in "$faults"/[0-9][0-9]-*.patch; do
  file=$(basename "$patch" .patch)
  number=${file%%-*}
  name=${file#*-}
  total=$((total + 1))
  note "$number $name"
  if ! git apply "$patch"; then
    say "%-3s %-38s %6s  %s\n" "$number" "$name" "-" "does not apply"
    continue
  fi
  if ! cmake --build --preset debug -j2 >"$scratch/build.log" 2>&1; then
    say "%-3s %-38s %6s  %s\n" "$number" "$name" "-" "does not build"
    grep -m3 'error' "$scratch/build.log" >&2 || true
  else
    failing_tests | grep -vxF -f "$scratch/baseline" >"$scratch/failed" || true
    count=$(wc -l <"$scratch/failed")
    if [ "$count" -gt 0 ]; then
      caught=$((caught + 1))
      say "%-3s %-38s %6s  %s\n" "$number" "$name" "$count" "$(head -3 "$scratch/failed" | paste -sd' ')"
    else
      say "%-3s %-38s %6s  %s\n" "$number" "$name" "0" "NOT CAUGHT"
    fi
  fi
  git checkout --quiet -- .
done
say "caught %d of %d\n" "$caught" "$total"
note "done in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
