#!/usr/bin/env bash
# The stoploss command from outside: every malformed scenario (and a missing file) gets one
# line on standard error, nothing on standard output and exit status 2; the example replays.
set -u
stoploss=$1
tests=$(dirname "$0")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for scenario in "$tests"/malformed/*.json /nonexistent/scenario.json; do
  out=$("$stoploss" replay "$scenario" 2>/tmp/stoploss_cli_err.$$)
  status=$?
  lines=$(wc -l </tmp/stoploss_cli_err.$$)
  [ "$status" -eq 2 ] || fail "$scenario: exit status $status, expected 2"
  [ "$lines" -eq 1 ] || fail "$scenario: $lines lines on standard error, expected 1"
  [ -z "$out" ] || fail "$scenario: printed a transcript"
done
rm -f /tmp/stoploss_cli_err.$$

"$stoploss" replay "$tests/../examples/xbtusd_new_stop.json" | grep -q '"requests"' ||
  fail "the example did not replay"
"$stoploss" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no subcommand: expected exit status 2"

echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" -eq 0 ]
