// Drives ccxt's BitMEX adapter against the embedded exchange the way a trading bot would and
// prints `call -> ok | failed: reason` per call; run by scripts/client-check.sh (see there).
// Usage: node client_check.mjs --url http://127.0.0.1:PORT --credentials FILE --ccxt DIR
// (DIR holds node_modules/ccxt). Exits 1 when a call failed, 2 on a set-up failure.
import dns from 'node:dns';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import tls from 'node:tls';
import { syncBuiltinESMExports } from 'node:module';
import { pathToFileURL } from 'node:url';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, word, i, all) =>
    (word.startsWith('--') ? [...pairs, [word.slice(2), all[i + 1]]] : pairs), []));
const setupFailure = (message) => { console.error(`client_check: ${message}`); process.exit(2); };
if (!args.url || !args.credentials || !args.ccxt) setupFailure('needs --url, --credentials and --ccxt');
const base = new URL(args.url);
if (base.protocol !== 'http:' || base.hostname !== '127.0.0.1') setupFailure(`${args.url} is not http://127.0.0.1:PORT`);
const port = Number(base.port);

// ---- network guard: every socket goes to 127.0.0.1:PORT, no name is ever looked up ----------
const sockets = [];
const refused = [];
function guardSocket(kind, original) {
  return function guarded(...callArgs) {
    const first = callArgs[0];
    const options = typeof first === 'object' && first !== null ? first : {};
    const host = typeof first === 'object' ? (options.host ?? options.hostname ?? (options.path ? `unix:${options.path}` : 'localhost'))
      : (typeof callArgs[1] === 'string' ? callArgs[1] : 'localhost');
    const to = `${host}:${typeof first === 'object' ? options.port : first}`;
    if (host !== '127.0.0.1' || Number(typeof first === 'object' ? options.port : first) !== port) {
      refused.push(`${kind} ${to}`);
      throw new Error(`client_check: refused ${kind} to ${to} (only 127.0.0.1:${port} is allowed)`);
    }
    sockets.push(to);
    return original.apply(this, callArgs);
  };
}
function guardLookup(name, original) {
  return function guarded(...callArgs) {
    refused.push(`${name}(${String(callArgs[0])})`);
    throw new Error(`client_check: refused name look-up ${name}(${String(callArgs[0])})`);
  };
}
net.connect = net.createConnection = guardSocket('net.connect', net.connect);
tls.connect = guardSocket('tls.connect', tls.connect);
for (const name of ['lookup', 'lookupService', 'resolve', 'resolve4', 'resolve6', 'resolveAny', 'resolveCname', 'resolveSrv', 'resolveTxt']) {
  if (typeof dns[name] === 'function') dns[name] = guardLookup(`dns.${name}`, dns[name]);
  if (typeof dns.promises[name] === 'function') dns.promises[name] = guardLookup(`dns.promises.${name}`, dns.promises[name]);
}
syncBuiltinESMExports();

// ---- the client ------------------------------------------------------------------------------
const ccxtDir = path.join(args.ccxt, 'node_modules', 'ccxt');
const ccxtVersion = JSON.parse(fs.readFileSync(path.join(ccxtDir, 'package.json'), 'utf8')).version;
const { default: ccxt } = await import(pathToFileURL(path.join(ccxtDir, 'js', 'ccxt.js')).href);
const [apiKey, secret] = fs.readFileSync(args.credentials, 'utf8').split('\n').map((s) => s.trim());
const local = base.origin; // http://127.0.0.1:PORT
const exchange = new ccxt.bitmex({
  apiKey,
  secret,
  timeout: 5000,
  // Every URL the adapter builds requests from points at the embedded exchange.
  urls: { api: { public: local, private: local }, test: { public: local, private: local } },
  options: { adjustForTimeDifference: false },
});
exchange.setSandboxMode(false);
for (const [name, url] of Object.entries({ ...exchange.urls.api, ...exchange.urls.test })) {
  if (!String(url).startsWith(local)) setupFailure(`urls ${name} is ${url}, not ${local}`);
}

// Every request of the current call, with the exchange's answer.
let requests = [];
const originalFetch = exchange.fetch;
exchange.fetch = function fetch(url, method = 'GET', headers = undefined, body = undefined) {
  requests.push({ method, url, body, status: undefined, answer: undefined });
  return originalFetch.call(this, url, method, headers, body);
};
const originalOnRest = exchange.onRestResponse;
exchange.onRestResponse = function onRestResponse(status, statusText, url, method, responseHeaders, responseBody, ...rest) {
  const last = requests[requests.length - 1];
  if (last) { last.status = status; last.answer = responseBody; }
  return originalOnRest.call(this, status, statusText, url, method, responseHeaders, responseBody, ...rest);
};

const short = (text, limit = 160) => {
  const flat = String(text ?? '').replace(/\s+/g, ' ').trim();
  return flat.length > limit ? `${flat.slice(0, limit - 3)}...` : flat;
};
const rows = [];
async function call(name, fn) {
  requests = [];
  try {
    const result = await fn();
    rows.push({ name, ok: true, note: result ?? '' });
    return true;
  } catch (error) {
    const reason = error instanceof Error ? `${error.constructor.name}: ${error.message}` : String(error);
    rows.push({ name, ok: false, note: short(reason.replace(/^(\w+): bitmex /, '$1: '), 140) });
    console.log(`--- ${name} failed: ${short(reason, 400)}`);
    for (const r of requests.slice(-3)) {
      console.log(`    request: ${r.method} ${r.url.replace(local, '')}${r.body ? `  body ${r.body}` : ''}`);
      console.log(`    answer:  ${r.status ?? 'none'} ${short(r.answer, 400)}`);
    }
    if (requests.length === 0) console.log('    (no request was sent)');
    return false;
  }
}
const expect = (condition, what) => { if (!condition) throw new Error(`answer read, but ${what}`); };

// The market XBTUSD as the real exchange lists it (GET /api/v1/instrument/active), read by the
// adapter itself: a stand-in only when loadMarkets fails, so later calls still reach the server.
const standInXbtusd = {
  symbol: 'XBTUSD', rootSymbol: 'XBT', state: 'Open', typ: 'FFWCSX', expiry: null,
  positionCurrency: 'USD', underlying: 'XBT', quoteCurrency: 'USD', settlCurrency: 'XBt',
  maxOrderQty: 10000000, maxPrice: 10000000, lotSize: 100, tickSize: 0.5, multiplier: -100000000,
  underlyingToSettleMultiplier: -100000000, isQuanto: false, isInverse: true,
  initMargin: 0.01, maintMargin: 0.0035, makerFee: -0.0001, takerFee: 0.00075,
  listing: '2016-05-13T12:00:00.000Z', front: '2016-05-13T12:00:00.000Z',
};

console.log(`ccxt ${ccxtVersion} (${exchange.id} adapter) against ${local}`);
let symbol = 'BTC/USD:BTC';
let last = 9000;
let tick = 0.5;
let lot = 100;

const marketsLoaded = await call('loadMarkets', async () => {
  const markets = await exchange.loadMarkets();
  const xbtusd = exchange.safeMarket('XBTUSD');
  expect(xbtusd && xbtusd.id === 'XBTUSD' && markets[xbtusd.symbol], 'no market with id XBTUSD');
  symbol = xbtusd.symbol;
  tick = xbtusd.precision.price ?? tick;
  lot = xbtusd.precision.amount ?? lot;
  return `${Object.keys(markets).length} markets; XBTUSD is ${symbol}, tick ${tick}, lot ${lot}`;
});
if (!marketsLoaded) {
  exchange.setMarkets([exchange.parseMarket(standInXbtusd)]);
  console.log(`    later calls use a stand-in XBTUSD market (${symbol}, tick ${tick}, lot ${lot})`);
}
const px = (value) => Number(exchange.priceToPrecision(symbol, value));

await call('fetchTicker(XBTUSD)', async () => {
  const ticker = await exchange.fetchTicker(symbol);
  expect(Number.isFinite(ticker.last) && ticker.last > 0, `no last price (${JSON.stringify(ticker.last)})`);
  last = ticker.last;
  return `last ${ticker.last} bid ${ticker.bid} ask ${ticker.ask} mark ${ticker.markPrice}`;
});
await call('fetchBalance', async () => {
  const balance = await exchange.fetchBalance();
  const codes = Object.keys(balance.total ?? {});
  expect(codes.length > 0, 'no currency in it');
  return codes.map((c) => `${c} ${balance.total[c]}`).join(', ');
});
await call('fetchPositions', async () => {
  const positions = await exchange.fetchPositions();
  return `${positions.length} positions${positions.map((p) => `; ${p.symbol} ${p.side ?? ''} ${p.contracts}`).join('')}`;
});
await call('fetchOpenOrders(XBTUSD)', async () => `${(await exchange.fetchOpenOrders(symbol)).length} open`);
await call('fetchClosedOrders(XBTUSD)', async () => `${(await exchange.fetchClosedOrders(symbol)).length} closed or cancelled`);
await call('fetchOrders(XBTUSD)', async () => `${(await exchange.fetchOrders(symbol)).length} orders`);

// An order that will not fill: a buy far below the market, then moved, then cancelled.
let limitId;
const limitPrice = px(last * 0.7);
const limitPriceMoved = px(last * 0.6);
await call(`createOrder limit buy ${lot} @ ${limitPrice}`, async () => {
  const order = await exchange.createOrder(symbol, 'limit', 'buy', lot, limitPrice);
  expect(order.id, 'no order id');
  limitId = order.id;
  expect(order.price === limitPrice, `price ${order.price}`);
  expect(order.status === 'open', `status ${order.status}`);
  return `id ${order.id}, ${order.status}`;
});
await call(`editOrder limit -> @ ${limitPriceMoved}`, async () => {
  const order = await exchange.editOrder(limitId ?? 'no-order-id', symbol, 'limit', 'buy', undefined, limitPriceMoved);
  expect(order.price === limitPriceMoved, `price ${order.price}`);
  return `id ${order.id} @ ${order.price}`;
});
await call('cancelOrder limit', async () => {
  const order = await exchange.cancelOrder(limitId ?? 'no-order-id', symbol);
  expect(order.status === 'canceled', `status ${order.status}`);
  return `id ${order.id}, ${order.status}`;
});

// A long position, and its protective stop as the client's users place it.
await call(`createOrder market buy ${lot}`, async () => {
  const order = await exchange.createOrder(symbol, 'market', 'buy', lot);
  expect(order.id, 'no order id');
  return `id ${order.id}, ${order.status}, filled ${order.filled}`;
});
let stopId;
const stopPx = px(last * 0.95);
const stopPxMoved = px(last * 0.96);
await call(`createOrder Stop sell ${lot} stopPx ${stopPx} reduceOnly`, async () => {
  const order = await exchange.createOrder(symbol, 'Stop', 'sell', lot, undefined, { stopPx, reduceOnly: true });
  expect(order.id, 'no order id');
  stopId = order.id;
  expect(order.triggerPrice === stopPx, `triggerPrice ${order.triggerPrice}`);
  expect(order.reduceOnly === true, `reduceOnly ${order.reduceOnly}`);
  expect(order.type === 'stop' || order.type === 'Stop', `type ${order.type}`);
  return `id ${order.id}, ${order.status}, trigger ${order.triggerPrice}`;
});
await call(`editOrder Stop -> stopPx ${stopPxMoved}`, async () => {
  const order = await exchange.editOrder(stopId ?? 'no-order-id', symbol, 'Stop', 'sell', undefined, undefined, { stopPx: stopPxMoved });
  expect(order.triggerPrice === stopPxMoved, `triggerPrice ${order.triggerPrice}`);
  return `id ${order.id}, trigger ${order.triggerPrice}`;
});
await call('cancelAllOrders(XBTUSD)', async () => {
  const orders = await exchange.cancelAllOrders(symbol);
  expect(Array.isArray(orders), 'not a list');
  return `${orders.length} cancelled${orders.some((o) => o.id === stopId) ? ' (the stop among them)' : ''}`;
});

// ---- the table ---------------------------------------------------------------------------------
const width = Math.max(...rows.map((r) => r.name.length));
console.log('');
for (const r of rows) console.log(`${r.name.padEnd(width)} -> ${r.ok ? 'ok' : 'failed'}: ${short(r.note, 140)}`.replace(/: $/, ''));
const failed = rows.filter((r) => !r.ok).length;
console.log(`\n${rows.length - failed} ok, ${failed} failed`);
const distinct = [...new Set(sockets)];
console.log(`network: ${sockets.length} connections, to ${distinct.join(', ') || 'nothing'}; ` +
  `refused: ${refused.length ? `${refused.length} (${[...new Set(refused)].join(', ')})` : 'none'}`);
const unseen = sockets.length === 0;
if (unseen) console.log('network: no connection was seen by the guard, so it could not check the traffic');
process.exit(refused.length || unseen ? 2 : failed ? 1 : 0);
