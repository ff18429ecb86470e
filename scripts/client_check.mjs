// Drives ccxt's BitMEX adapter against the embedded exchange the way a trading bot would, over
// REST and over the realtime feed at ws://127.0.0.1:PORT/realtime, and prints
// `call -> ok | failed: reason` per call; run by scripts/client-check.sh (see there).
// Usage: node client_check.mjs --url http://127.0.0.1:PORT --credentials FILE --ccxt DIR
// (DIR holds node_modules/ccxt). Exits 1 when a call failed, 2 on a set-up failure.
import { createHmac } from 'node:crypto';
import dns from 'node:dns';
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
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
// Agents keep their own reference to the original connect (the websocket goes through one).
http.Agent.prototype.createConnection = guardSocket('http.Agent', http.Agent.prototype.createConnection);
https.Agent.prototype.createConnection = guardSocket('https.Agent', https.Agent.prototype.createConnection);
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
const feed = `ws://${base.host}/realtime`;
const exchange = new ccxt.pro.bitmex({
  apiKey,
  secret,
  timeout: 5000,
  // Every URL the adapter builds requests from or connects to points at the embedded exchange.
  urls: {
    api: { public: local, private: local, ws: feed },
    test: { public: local, private: local, ws: feed },
  },
  options: { adjustForTimeDifference: false },
});
exchange.setSandboxMode(false);
for (const [name, url] of Object.entries({ ...exchange.urls.api, ...exchange.urls.test })) {
  if (!String(url).startsWith(local) && url !== feed) setupFailure(`urls ${name} is ${url}, not ${local} or ${feed}`);
}
await exchange.loadHttpProxyAgent(); // a plain agent, which the adapter wants for a ws:// URL

// The adapter signs authKeyExpires with the current time in milliseconds as the expiry; the
// exchange reads the expiry as UNIX seconds and refuses one more than 300 s ahead. The adapter's
// authenticate lets a caller give the op's arguments: the check gives them signed with an expiry
// in seconds, a minute ahead, and leaves the rest of the adapter as shipped.
const shippedAuthenticate = exchange.authenticate;
exchange.authenticate = function authenticate(params = {}) {
  const expires = Math.floor(Date.now() / 1000) + 60;
  const signature = createHmac('sha256', this.secret).update(`GET/realtime${expires}`).digest('hex');
  return shippedAuthenticate.call(this, { args: [this.apiKey, expires, signature], ...params });
};

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
// Every feed message of the current call, both ways, and the errors the feed answered in it: an
// error fails the call's watch at once (the adapter files it under the topic, where no watch waits).
let frames = [];
let feedErrors = [];
const subscribed = new Set(); // the topics the feed has acknowledged
const feedMessages = new EventEmitter(); // each message received, once the adapter has applied it
const originalClient = exchange.client;
exchange.client = function client(url) {
  const connection = originalClient.call(this, url);
  if (!connection.sendRecorded) {
    const originalSend = connection.send;
    connection.send = function send(message) {
      frames.push(`sent:     ${typeof message === 'string' ? message : JSON.stringify(message)}`);
      return originalSend.call(this, message);
    };
    connection.sendRecorded = true;
  }
  return connection;
};
const originalHandleMessage = exchange.handleMessage;
exchange.handleMessage = function handleMessage(connection, message) {
  frames.push(`received: ${JSON.stringify(message)}`);
  if (message?.error !== undefined) feedErrors.push(`${message.status ?? ''} ${message.error}`.trim());
  if (message?.success === true && message.subscribe) subscribed.add(message.subscribe);
  const result = originalHandleMessage.call(this, connection, message);
  feedMessages.emit('message', message);
  return result;
};

const short = (text, limit = 160) => {
  const flat = String(text ?? '').replace(/\s+/g, ' ').trim();
  return flat.length > limit ? `${flat.slice(0, limit - 3)}...` : flat;
};
const rows = [];
async function call(name, fn) {
  requests = [];
  frames = [];
  feedErrors = [];
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
    for (const f of frames.slice(-4)) console.log(`    feed ${short(f, 400)}`);
    if (requests.length === 0 && frames.length === 0) console.log('    (no request was sent)');
    return false;
  }
}
const expect = (condition, what) => { if (!condition) throw new Error(`answer read, but ${what}`); };

// A watch's next update, or a failure after `ms` or once the feed answers an error.
const watchMs = 5000;
function within(update, what, ms = watchMs) {
  let timer;
  let refuse;
  const failure = new Promise((_, reject) => {
    refuse = () => feedErrors.length > 0 && reject(new Error(`the feed answered ${feedErrors[0]}`));
    feedMessages.on('message', refuse);
    refuse();
    timer = setTimeout(() => reject(new Error(`nothing on the feed within ${(ms / 1000).toFixed(1)} s: waited for ${what}`)), Math.max(ms, 0));
  });
  return Promise.race([update, failure]).finally(() => { clearTimeout(timer); feedMessages.off('message', refuse); });
}
// Once the feed has acknowledged the subscription to `topic` (a failure like a watch's otherwise).
function acknowledged(topic, ms) {
  let check;
  const seen = new Promise((resolve) => {
    check = () => subscribed.has(topic) && resolve();
    feedMessages.on('message', check);
    check();
  });
  return within(seen, `the acknowledgement of ${topic}`, ms).finally(() => feedMessages.off('message', check));
}
// Watches until `found` picks what is wanted from an update. An `action` runs once the feed has
// acknowledged the watch's `topic`, so what it causes cannot slip by before the subscription.
async function watchUntil(what, watch, found, { topic, action, ms = watchMs } = {}) {
  const deadline = Date.now() + ms;
  let update = watch();
  update.catch(() => {}); // read below, once the action is done
  if (action) {
    await acknowledged(topic, ms);
    await action();
  }
  for (;;) {
    const hit = found(await within(update, what, deadline - Date.now()));
    if (hit) return hit;
    update = watch();
  }
}

// What any answer of these kinds must hold, whichever route or table brought it.
function checkBook(book, depth = Infinity) {
  const { bids, asks } = book;
  expect(bids.length > 0 && asks.length > 0, `${bids.length} bids and ${asks.length} asks`);
  expect(bids.length <= depth && asks.length <= depth, `${bids.length} bids and ${asks.length} asks, over ${depth}`);
  expect(bids[0][0] < asks[0][0], `the book is crossed: best bid ${bids[0][0]}, best ask ${asks[0][0]}`);
  expect([...bids, ...asks].every(([price, amount]) => price > 0 && amount > 0), 'a level without a price or an amount');
  return `${bids.length} bids, ${asks.length} asks, best ${bids[0][0]} / ${asks[0][0]}`;
}
function checkTrades(trades) {
  expect(trades.length > 0, 'no trade');
  const bad = trades.find((t) => t.symbol !== symbol || !(t.price > 0) || !(t.amount > 0) ||
    !['buy', 'sell'].includes(t.side) || !Number.isFinite(t.timestamp));
  expect(!bad, `a trade lacks its symbol, price, amount, side or time: ${short(JSON.stringify(bad?.info))}`);
  const newest = trades.reduce((a, b) => (b.timestamp > a.timestamp ? b : a));
  return `${trades.length} trades, newest ${newest.side} ${newest.amount} @ ${newest.price}`;
}
function checkCandles(candles, { withOpen = true } = {}) {
  expect(candles.length > 0, 'no candle');
  const bad = candles.find(([time, open, high, low, close, volume]) => time % 60000 !== 0 || !(low > 0) ||
    !(high >= low) || !(close >= low && close <= high) || !(volume >= 0) ||
    (withOpen && !(open >= low && open <= high)));
  expect(!bad, `a candle off the minute or with prices out of its range: ${JSON.stringify(bad)}`);
  const [time, , high, low, close] = candles[candles.length - 1];
  return `${candles.length} candles, last ${new Date(time).toISOString().slice(11, 16)} high ${high} low ${low} close ${close}`;
}
const positionIn = (positions) => positions.find((p) => p.symbol === symbol);

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
await call('fetchOrderBook(XBTUSD)', async () => checkBook(await exchange.fetchOrderBook(symbol)));
await call('fetchTrades(XBTUSD)', async () => checkTrades(await exchange.fetchTrades(symbol)));
await call("fetchOHLCV(XBTUSD, '1m')", async () => checkCandles(await exchange.fetchOHLCV(symbol, '1m')));
await call('fetchFundingRateHistory(XBTUSD)', async () => {
  const history = await exchange.fetchFundingRateHistory(symbol);
  expect(Array.isArray(history), 'not a list');
  const bad = history.find((f) => f.symbol !== symbol || !Number.isFinite(f.fundingRate) || !Number.isFinite(f.timestamp));
  expect(!bad, `a record lacks its symbol, rate or time: ${short(JSON.stringify(bad?.info))}`);
  return `${history.length} funding records`;
});
await call('fetchBalance', async () => {
  const balance = await exchange.fetchBalance();
  const codes = Object.keys(balance.total ?? {});
  expect(codes.length > 0, 'no currency in it');
  return codes.map((c) => `${c} ${balance.total[c]}`).join(', ');
});
await call('fetchLedger', async () => {
  const ledger = await exchange.fetchLedger();
  const deposit = ledger.find((e) => e.type === 'transaction' && e.direction === 'in' && e.amount > 0);
  expect(deposit, `no deposit among ${ledger.length} entries`);
  expect(deposit.currency === 'BTC' && deposit.after >= deposit.amount, `deposit of ${deposit.amount} ${deposit.currency}, ${deposit.after} after`);
  return `${ledger.length} entries; a deposit of ${deposit.amount} ${deposit.currency}`;
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
let marketId;
await call(`createOrder market buy ${lot}`, async () => {
  const order = await exchange.createOrder(symbol, 'market', 'buy', lot);
  expect(order.id, 'no order id');
  marketId = order.id;
  return `id ${order.id}, ${order.status}, filled ${order.filled}`;
});
await call('fetchMyTrades(XBTUSD)', async () => {
  const trades = await exchange.fetchMyTrades(symbol);
  const fill = trades.find((t) => t.order === marketId);
  expect(fill, `no trade of the market buy among ${trades.length}`);
  expect(fill.price > 0 && fill.side === 'buy', `the market buy's trade: ${fill.side} @ ${fill.price}`);
  return `${checkTrades(trades)}; the market buy's @ ${fill.price}`;
});
// The position's terms, each as the exchange answers the change and as the position then reads.
for (const [name, change, holds] of [
  ['setMarginMode cross', () => exchange.setMarginMode('cross', symbol), { crossMargin: true, marginMode: 'cross' }],
  ['setMarginMode isolated', () => exchange.setMarginMode('isolated', symbol), { crossMargin: false, marginMode: 'isolated' }],
  ['setLeverage 10', () => exchange.setLeverage(10, symbol), { crossMargin: false, marginMode: 'isolated', leverage: 10 }],
]) {
  await call(`${name} (XBTUSD)`, async () => {
    const answer = await change();
    expect(answer?.symbol === 'XBTUSD' && answer.crossMargin === holds.crossMargin, `symbol ${answer?.symbol}, crossMargin ${answer?.crossMargin}`);
    expect(holds.leverage === undefined || answer.leverage === holds.leverage, `leverage ${answer.leverage}`);
    const position = positionIn(await exchange.fetchPositions([symbol]));
    expect(position?.marginMode === holds.marginMode, `the position then reads marginMode ${position?.marginMode}`);
    expect(holds.leverage === undefined || position.leverage === holds.leverage, `the position then reads leverage ${position.leverage}`);
    return `crossMargin ${answer.crossMargin}, leverage ${answer.leverage}; position ${position.marginMode} ${position.leverage}x`;
  });
}
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

// The dead man's switch. The exchange takes `timeout` in milliseconds; the adapter takes
// milliseconds too but sends them divided by 1000, so its 60000 arms the switch for 60 ms (no
// order is open by now). The check reads the timeout sent and the span the exchange armed.
const sentTimeout = () => JSON.parse(requests.find((r) => r.url.includes('cancelAllAfter'))?.body ?? '{}').timeout;
await call('cancelAllOrdersAfter(60000)', async () => {
  const answer = await exchange.cancelAllOrdersAfter(60000);
  const armedMs = Date.parse(answer?.cancelTime) - Date.parse(answer?.now);
  expect(armedMs === sentTimeout(), `timeout ${sentTimeout()} sent, armed for ${armedMs} ms (now ${answer?.now}, cancelTime ${answer?.cancelTime})`);
  if (sentTimeout() !== 60000) console.log(`note: the adapter sent timeout ${sentTimeout()} for 60000 ms; the exchange reads ms, so it armed the switch for ${armedMs} ms`);
  return `timeout ${sentTimeout()} sent, armed for ${armedMs} ms`;
});
await call('cancelAllOrdersAfter(0)', async () => {
  const answer = await exchange.cancelAllOrdersAfter(0);
  expect(sentTimeout() === 0, `timeout ${sentTimeout()} sent`);
  expect(Number.isFinite(Date.parse(answer?.now)), `no time in the answer: ${short(JSON.stringify(answer))}`);
  expect(!(Date.parse(answer.cancelTime) > Date.parse(answer.now)), `still armed until ${answer.cancelTime}`);
  return `disarmed: ${short(JSON.stringify(answer), 100)}`;
});

// ---- the realtime feed --------------------------------------------------------------------------
console.log('note: the check sends authKeyExpires with its expiry in seconds (the adapter sends milliseconds, ' +
  'which the exchange refuses as more than 300 s ahead)');
await call('watchTicker(XBTUSD)', async () => {
  const first = await within(exchange.watchTicker(symbol), 'instrument');
  expect(first.symbol === symbol && first.last > 0, `symbol ${first.symbol}, last ${first.last}`);
  const next = await within(exchange.watchTicker(symbol), 'instrument update');
  expect(next.last > 0 && !(next.bid >= next.ask), `last ${next.last}, bid ${next.bid}, ask ${next.ask}`);
  return `last ${first.last} then ${next.last}, bid ${next.bid} ask ${next.ask} mark ${next.markPrice}`;
});
await call('watchBalance', async () => {
  const balance = await within(exchange.watchBalance(), 'margin');
  const btc = balance.BTC ?? {};
  expect(btc.total > 0 && btc.free >= 0 && btc.free <= btc.total, `BTC free ${btc.free}, total ${btc.total}`);
  return `BTC free ${btc.free}, total ${btc.total}`;
});

// An order the feed shows placed, amended and cancelled.
let feedOrderId;
const feedPrice = px(last * 0.7);
const feedPriceMoved = px(last * 0.6);
const orderOnFeed = (want) => (orders) => orders.find((o) => o.id === feedOrderId && feedOrderId !== undefined && want(o));
await call(`watchOrders: limit buy placed @ ${feedPrice}`, async () => {
  const order = await watchUntil('the new order', () => exchange.watchOrders(symbol), orderOnFeed((o) => o.status === 'open'), {
    topic: 'order',
    action: async () => { feedOrderId = (await exchange.createOrder(symbol, 'limit', 'buy', lot, feedPrice)).id; },
  });
  expect(order.price === feedPrice && order.remaining === lot && order.side === 'buy', `${order.side}, ${order.remaining} left @ ${order.price}`);
  return `id ${order.id}, ${order.status} @ ${order.price}`;
});
await call(`watchOrders: amended to @ ${feedPriceMoved}`, async () => {
  const order = await watchUntil('the amended price', () => exchange.watchOrders(symbol), orderOnFeed((o) => o.price === feedPriceMoved), {
    topic: 'order',
    action: () => exchange.editOrder(feedOrderId ?? 'no-order-id', symbol, 'limit', 'buy', undefined, feedPriceMoved),
  });
  return `id ${order.id} @ ${order.price}, status ${order.status} (the adapter reads the update alone)`;
});
await call('watchOrders: cancelled', async () => {
  const order = await watchUntil('the cancel', () => exchange.watchOrders(symbol), orderOnFeed((o) => o.status === 'canceled'), {
    topic: 'order',
    action: () => exchange.cancelOrder(feedOrderId ?? 'no-order-id', symbol),
  });
  return `id ${order.id}, ${order.status}`;
});

await call(`watchPositions: market buy ${lot}`, async () => {
  const before = positionIn(await exchange.fetchPositions([symbol]))?.contracts ?? 0;
  const position = await watchUntil(`the position at ${before + lot}`, () => exchange.watchPositions([symbol]),
    (positions) => positions.find((p) => p.symbol === symbol && p.contracts === before + lot),
    { topic: 'position', action: () => exchange.createOrder(symbol, 'market', 'buy', lot) });
  expect(position.side === 'long' && position.entryPrice > 0, `side ${position.side}, entry ${position.entryPrice}`);
  return `${before} -> ${position.contracts} contracts, ${position.side}, entry ${position.entryPrice}`;
});
await call(`watchMyTrades: market sell ${lot} filled`, async () => {
  let sellId;
  const fill = await watchUntil('the execution of the sell', () => exchange.watchMyTrades(symbol),
    (trades) => trades.find((t) => t.order === sellId && sellId !== undefined), {
      topic: 'execution',
      action: async () => { sellId = (await exchange.createOrder(symbol, 'market', 'sell', lot)).id; },
    });
  checkTrades([fill]);
  expect(fill.side === 'sell', `side ${fill.side}`);
  return `order ${fill.order}: ${fill.side} ${fill.amount} @ ${fill.price}, ${fill.takerOrMaker}`;
});

// The book as the adapter holds it after each message of its table for 3 s (a price move, every
// ~500 ms, comes as a delete, an update and an insert): never empty, never crossed. The adapter
// keeps one book per symbol and cannot unwatch, so the check leaves the first table itself
// before the second one's snapshot replaces the book.
const bookWatchMs = 3000;
for (const [table, depth] of [['orderBookL2', undefined], ['orderBookL2_25', 25]]) {
  await call(`watchOrderBook(XBTUSD${depth ? `, ${depth}` : ''}) (${table})`, async () => {
    let messages = 0;
    let fault;
    const inspect = (message) => {
      if (message?.table !== table || fault !== undefined || !exchange.orderbooks[symbol]) return;
      messages += 1;
      try { checkBook(exchange.orderbooks[symbol], depth); } catch (error) { fault = `${error.message} (after message ${messages}, a ${message.action})`; }
    };
    feedMessages.on('message', inspect);
    const until = Date.now() + bookWatchMs;
    try {
      const book = await watchUntil(`${table} messages for ${bookWatchMs / 1000} s`, () => exchange.watchOrderBook(symbol, depth),
        (b) => (fault !== undefined || Date.now() >= until) && b);
      if (fault !== undefined) throw new Error(fault);
      await exchange.client(feed).send({ op: 'unsubscribe', args: [`${table}:XBTUSD`] });
      return `${messages} messages in ${bookWatchMs / 1000} s; ${checkBook(book, depth)}`;
    } finally {
      feedMessages.off('message', inspect);
    }
  });
}
await call('watchTrades(XBTUSD)', async () => {
  const first = await within(exchange.watchTrades(symbol), 'trade');
  checkTrades(first);
  const latest = Math.max(...first.map((t) => t.timestamp));
  const next = await within(exchange.watchTrades(symbol), 'new trade');
  expect(next.some((t) => t.timestamp >= latest), `no trade after ${new Date(latest).toISOString()}`);
  return checkTrades(next);
});
// A one-minute bin is published when it closes: the watch waits up to a minute for one.
await call("watchOHLCV(XBTUSD, '1m')", async () =>
  checkCandles(await within(exchange.watchOHLCV(symbol, '1m'), 'one-minute bin', 65000), { withOpen: false }));

await Promise.race([exchange.close(), new Promise((done) => setTimeout(done, watchMs).unref())]);

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
