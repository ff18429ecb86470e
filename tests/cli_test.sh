#!/usr/bin/env bash
# The stoploss command from outside: every malformed scenario (and a missing file) gets one
# line on standard error, nothing on standard output and exit status 2; the example replays;
# stop requests go over HTTP without showing the secret.
set -u
stoploss=$1
version=$2
tests=$(dirname "$0")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Set-up failures of every command, and every malformed scenario: one line on standard error
# naming the problem and exit status 2, whatever the input; a replay prints no transcript. Each
# row: the arguments, then a part of the line expected.
scratch=$(mktemp -d)
printf 'cli-key\ncli-secret-value\n' >"$scratch/credentials"
chmod 600 "$scratch/credentials"
mkdir "$scratch/full" && ln -s /dev/full "$scratch/full/trace.csv"
mkfifo "$scratch/fifo" && truncate -s 17M "$scratch/huge.json"
{ printf '{"PairLIST":["XBTUSD"],"answers":{},"requests":['
  printf '{"PAIR":"XBTUSD","Price":0},%.0s' $(seq 10000); printf '{"PAIR":"XBTUSD","Price":0}]}'; } >"$scratch/many.json"
printf '{"PairLIST":["XBTUSD"],"answers":{"QuorCalls.open_orders":[{"raise":{"kind":"HTTPError","text":"x","status":4294967696,"body":""}}]},"requests":[]}' >"$scratch/status.json"
{ printf '{"PairLIST":["XBTUSD"],"answers":{},"requests":[{"PAIR":"XBTUSD","Price":'
  printf '%.0s[' $(seq 70000); printf '%.0s]' $(seq 70000); printf '}]}'; } >"$scratch/deep.json"
printf '[pairs.XBTUSD]\ndistanse = 100\n' >"$scratch/misspelt.toml"
while IFS='|' read -r args expected; do
  eval "set -- $args"
  out=$("$stoploss" "$@" 2>"$scratch/err")
  status=$?
  [ "$status" -eq 2 ] || fail "$args: exit status $status, expected 2"
  [ "$(wc -l <"$scratch/err")" -eq 1 ] || fail "$args: not one line on standard error"
  [ "$1" != replay ] || [ -z "$out" ] || fail "$args: printed a transcript"
  grep -q -- "$expected" "$scratch/err" || fail "$args: expected '$expected' in: $(head -c 300 "$scratch/err")"
done < <(printf 'replay %q|\n' "$tests"/malformed/*.json /nonexistent/scenario.json; cat <<ROWS
demo --steps 3 --out /etc/passwd|not a folder
demo --steps 3 --out ''|an output folder is required
demo --steps 3 --out $scratch/full|trace.csv: cannot be written
demo --steps 3 --trail nan|finite
demo --steps 3 --seed -1|whole number
demo --steps 3 --prices /dev/zero|not a regular file
demo --steps 3 --prices $scratch/fifo|not a regular file
serve-sim --prices $scratch/fifo --credentials $scratch/credentials|not a regular file
replay $scratch/fifo|not a regular file
replay $scratch|not a regular file
replay $scratch/huge.json|larger than
replay $scratch/many.json|more than 10000
replay $scratch/deep.json|nested deeper
replay $scratch/status.json|status must be an integer from 0 to 999
request XBTUSD 9000 --exchange ftp://127.0.0.1|must start with https://
request XBTUSD 9000 --exchange http://10.1.2.3:8080|loopback address only
request XBTUSD abc|not a price: abc
request XBTUSD -0.2|a price below 0
request XBTUSD 0.1|rounds to 0
request XBTUSD 8900 --text $'\xff'|not UTF-8
request xbtusd 8900|unknown pair xbtusd; the closest active symbols: XBTUSD
trail xbtusd --distance 100|unknown pair xbtusd; the closest active symbols: XBTUSD
serve-sim --host 127.0.0.1.5 --credentials $scratch/credentials|cannot
trail XBTUSD|give --distance or --percent
trail XBTUSD --percent 150|--percent
trail XBTUSD --distance 5 --percent 1|excludes
trail XBTUSD --distance 100 --exchange http://10.1.2.3:8080|loopback address only
trail XBTUSD --distance 100 --out /etc/passwd|not a folder
guard --config $scratch/misspelt.toml|config $scratch/misspelt.toml: pairs.XBTUSD.distanse: unknown key
guard --config /nonexistent/guard.toml|cannot be read
guard --pair xbtusd --distance 5|pairs.xbtusd: not a symbol
guard --all --metrics 0.0.0.0:9464|metrics: only a loopback address
guard --position XBTUSD:lots|SYMBOL:CONTRACTS
guard --config $scratch/misspelt.toml --pair XBTUSD|excludes
ROWS
)

"$stoploss" replay "$tests/../examples/xbtusd_new_stop.json" | grep -q '"requests"' ||
  fail "the example did not replay"
"$stoploss" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no subcommand: expected exit status 2"
[ "$("$stoploss" --version)" = "stoploss $version" ] || fail "--version: $("$stoploss" --version)"

# One stop request over HTTP: to the embedded exchange, then to `serve-sim` with credentials
# from a file; the secret shows nowhere.
out=$("$stoploss" request XBTUSD 8900)
[ $? -eq 0 ] && grep -q "^result: true" <<<"$out" || fail "request to the embedded exchange: $out"
# Colour codes belong on a terminal only: not in a pipe, not in a log file.
out=$("$stoploss" request XBTUSD 0)
"$stoploss" demo --steps 100 --fault-rate 0.5 --out "$scratch/demo" >"$scratch/demo.out" 2>&1
grep -q "Stop_Loss.Module Cleaning" <<<"$out" && grep -q "Stop_Loss.Module" "$scratch/demo/stoploss.log" ||
  fail "the module's tag was not printed or logged"
grep -q $'\033' - "$scratch/demo/stoploss.log" <<<"$out" && fail "colour codes in a pipe or a log file"
"$stoploss" serve-sim --credentials "$scratch/credentials" --frozen --position 1000 >"$scratch/server.out" 2>&1 &
server=$!
for _ in $(seq 50); do grep -q "^serving" "$scratch/server.out" && break; sleep 0.1; done
url=$(grep -o 'http://[0-9.:]*' "$scratch/server.out")
out=$("$stoploss" request XBTUSD 8900 --exchange "$url" --credentials "$scratch/credentials" 2>&1)
grep -q "^result: true" <<<"$out" || fail "request to serve-sim: $out"
# `trail` keeps one stop of its own: the one an earlier run left at 8950 (tagged) goes once the
# position is protected, the one placed above by hand at 8900 stays.
"$stoploss" request XBTUSD 8950 --text "stoploss trail" --exchange "$url" --credentials "$scratch/credentials" >/dev/null
out=$("$stoploss" trail XBTUSD --distance 30 --exchange "$url" --credentials "$scratch/credentials" --duration 1 --min-interval 0.1 2>&1)
grep -q "the position is protected: cancelled the trail's other stops at 8950$" <<<"$out" &&
  grep -q "^stops on the book: 8900, 8970$" <<<"$out" || fail "trail over an earlier run's stop: $out"
kill -INT "$server" && wait "$server"
if grep -q "cli-secret-value" <<<"$out" || grep -q "cli-secret-value" "$scratch/server.out"; then
  fail "the secret was printed"
fi
chmod 644 "$scratch/credentials"
"$stoploss" request XBTUSD 8900 --exchange "$url" --credentials "$scratch/credentials" >/dev/null 2>&1
[ $? -eq 2 ] || fail "a credentials file others can read was accepted"

# Ctrl-C ends `trail` cleanly, with exactly one stop left standing.
"$stoploss" trail XBTUSD --distance 300 --pace-ms 20 --min-interval 0.1 >"$scratch/trail.out" 2>&1 &
trail=$!
for _ in $(seq 100); do [ "$(grep -c '  true ' "$scratch/trail.out")" -ge 3 ] && break; sleep 0.1; done
kill -INT "$trail"
wait "$trail"
status=$?
if [ "$status" -ne 0 ] || ! grep -q "^ended: interrupted" "$scratch/trail.out" ||
  ! grep -Eq "^stops on the book: [0-9.]+$" "$scratch/trail.out"; then
  fail "trail after Ctrl-C (exit status $status): $(tail -5 "$scratch/trail.out")"
fi

# A feed that never comes up: after --feed-wait the position is read over REST, said to be
# exposed, guarded from there, and the wait counts as exposed.
out=$("$stoploss" trail XBTUSD --distance 100 --feed-refused --feed-wait 0.3 --duration 1 --min-interval 0.1 2>&1)
exposed=$(sed -n 's/^time exposed: \([0-9.]*\) s of .*/\1/p' <<<"$out")
if ! grep -q "feed not up for 0.3 s: read over REST, a position of 1000 XBTUSD contracts, exposed" <<<"$out" ||
  ! awk -v exposed="$exposed" 'BEGIN { exit !(exposed >= 0.3) }' ||
  ! grep -Eq "^stops on the book: [0-9.]+$" <<<"$out"; then
  fail "trail without a feed: $out"
fi

rm -rf "$scratch"
echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" -eq 0 ]
