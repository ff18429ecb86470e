#!/usr/bin/env bash
# Client check: does an independent, widely used exchange client library, ccxt 4.5.82 (its
# BitMEX adapter), work against the embedded exchange of `stoploss serve-sim`, run as a new
# user would? Not part of CI: run it by hand, as root or with sudo (scripts/client-check.sh).
# It installs Debian's nodejs and npm when missing, installs the pinned ccxt from the npm
# registry into build/client-check/ (not committed), builds the release stoploss command
# (STOPLOSS=/path/to/stoploss uses that one instead), serves the exchange on 127.0.0.1 with
# made-up credentials and runs scripts/client_check.mjs. Over REST: loadMarkets, ticker, order
# book, public trades, one-minute candles, funding history, balance, ledger, positions, orders,
# a limit order placed, amended and cancelled, a market order and its trade (fetchMyTrades),
# cross and isolated margin, leverage 10, a reduce-only stop placed and moved, cancel all, and
# the dead man's switch armed and disarmed (cancelAllOrdersAfter). Over the realtime feed
# (ws://127.0.0.1:PORT/realtime): watchTicker, watchBalance, watchOrders through a limit
# placed, amended and cancelled, watchPositions through a market buy, watchMyTrades through a
# market sell, watchOrderBook (orderBookL2 and orderBookL2_25), watchTrades and watchOHLCV
# (1m), each failing after a timeout instead of hanging. The adapter's feed authentication
# sends its expiry in milliseconds, which the exchange refuses; the check sends seconds and
# says so. It prints `call -> ok | failed: reason`, the request and answer (and the feed
# messages) of each failure, and exits non-zero when a call failed. Only 127.0.0.1
# is ever contacted: server and client run in a new network namespace that has only the
# loopback device, and the client refuses (and reports) any name look-up or other address.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
ccxt_version=4.5.82
install_dir=$root/build/client-check

if [ -z "${CLIENT_CHECK_IN_NETNS:-}" ]; then
  # Node.js may come from another source than Debian's (with npm inside): ask only for what lacks.
  packages=(iproute2)
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
  scripts/install_packages.sh "${packages[@]}"
  installed=$(node -p 'require(process.argv[1]).version' \
    "$install_dir/node_modules/ccxt/package.json" 2>/dev/null || true)
  if [ "$installed" != "$ccxt_version" ]; then
    echo "Installing ccxt $ccxt_version into $install_dir" >&2
    mkdir -p "$install_dir"
    [ -f "$install_dir/package.json" ] ||
      echo '{"name": "client-check", "private": true}' >"$install_dir/package.json"
    npm install --prefix "$install_dir" --no-audit --no-fund --ignore-scripts --save-exact \
      "ccxt@$ccxt_version" >/dev/null
  fi
  if [ -z "${STOPLOSS:-}" ]; then
    scripts/setup.sh release stoploss_app
    export STOPLOSS=$root/build/release/app/stoploss
  fi
  sudo=$([ "$(id -u)" -eq 0 ] || echo sudo)
  if $sudo unshare --net true 2>/dev/null; then
    exec $sudo unshare --net env CLIENT_CHECK_IN_NETNS=1 STOPLOSS="$STOPLOSS" "$root/scripts/client-check.sh" "$@"
  fi
  echo "client-check: no network namespace could be made; the client's own guard still refuses" \
    "any host but 127.0.0.1" >&2
else
  ip link set lo up
  echo "network: a new namespace holding only $(ip -o link show | awk -F': ' '{print $2}' | paste -sd' ')" \
    "($(ip -o addr show | awk '{print $4}' | paste -sd' '))"
fi

work=$(mktemp -d)
server=
stop_server() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server"
    wait "$server" || true
    echo "requests the exchange served:"
    grep '^http' "$work/server.out" || true
  fi
  server=
}
trap 'stop_server; rm -rf "$work"' EXIT
(umask 077 && printf 'client-check-made-up-key\nclient-check-made-up-secret-0123456789\n' \
  >"$work/credentials")
"$STOPLOSS" serve-sim --host 127.0.0.1 --port 0 --credentials "$work/credentials" \
  >"$work/server.out" 2>"$work/server.err" &
server=$!
url=
for _ in $(seq 100); do
  url=$(sed -n 's|^serving.* \(http://127\.0\.0\.1:[0-9][0-9]*\).*|\1|p' "$work/server.out")
  [ -n "$url" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "client-check: serve-sim ended before serving:" >&2
    cat "$work/server.err" >&2
    exit 2
  fi
  sleep 0.1
done
[ -n "$url" ] || { echo "client-check: serve-sim printed no 'serving' line" >&2; exit 2; }

status=0
node "$root/scripts/client_check.mjs" --url "$url" --credentials "$work/credentials" \
  --ccxt "$install_dir" || status=$?
stop_server
exit "$status"
