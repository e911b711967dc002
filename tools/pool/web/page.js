// The line's page: fills itself from the JSON endpoints. Every text goes in as textContent,
// never as markup: names and details come from stations and boards.
'use strict';

const shownAttempts = 50;
let lastAttemptId = 0;

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function line(label, value) {
  const p = element('p');
  p.append(label + ': ');
  p.append(element('span', '', value === null || value === '' ? '—' : value));
  return p;
}

async function getJson(path) {
  const response = await fetch(path, { cache: 'no-store' });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

// A rate as few digits as show it: a slow week's 0.3 boards a day is not "0".
function rate(perDay) {
  if (perDay >= 10 || perDay === 0) return perDay.toFixed(0);
  return perDay >= 0.1 ? perDay.toFixed(1) : perDay.toPrecision(1);
}

function showPool(pool) {
  document.getElementById('pool-name').textContent = '· pool ' + pool.pool;
  const figures = document.getElementById('figures');
  figures.replaceChildren();
  const add = (label, value) => {
    const f = element('div', 'figure', label);
    f.prepend(element('b', '', value === null ? '—' : value));
    figures.append(f);
  };
  add('issued', pool.issued);
  add('free', pool.free);
  add('boards a day this week', rate(pool.per_day));
  add('days left at this week\'s rate', pool.days_left === null ? null : pool.days_left.toFixed(1));
}

function showStations(stations) {
  const list = document.getElementById('stations');
  list.replaceChildren();
  for (const s of stations) {
    const tile = element('article', 'tile');
    tile.dataset.station = s.station;
    const shown = s.offline ? 'offline since ' + s.offline_since : s.activity;
    tile.classList.add(s.offline ? 'offline' : (s.activity || 'none').replace(/ /g, '-'));
    tile.append(element('h3', '', s.station));
    const state = element('p', 'state', shown || 'no state published');
    if (s.detail) state.append(element('span', 'detail', ': ' + s.detail));
    tile.append(state);
    tile.append(line('in hand', s.in_hand));
    tile.append(line('last board', s.last_outcome ? s.last_outcome + ' at ' + s.last_at : ''));
    tile.append(line('boards this hour', s.boards_this_hour));
    tile.append(line('yield today', s.yield_today === null ? '' :
      Math.round(s.yield_today * 100) + ' % of ' + s.attempts_today));
    list.append(tile);
  }
}

function attemptRow(a) {
  const row = element('tr');
  row.dataset.id = a.id;
  const link = element('a', '', a.id);
  link.href = '/transcript/' + encodeURIComponent(a.id);
  const id = element('td');
  id.append(link);
  row.append(id, element('td', '', a.ended_at), element('td', '', a.station),
    element('td', '', a.port), element('td', '', a.address),
    element('td', a.outcome === 'verified' ? '' : 'bad', a.outcome));
  return row;
}

function addAttempts(attempts) {
  const body = document.querySelector('#attempts tbody');
  for (const a of attempts.slice().reverse()) {
    body.prepend(attemptRow(a));
    lastAttemptId = Math.max(lastAttemptId, a.id);
  }
  while (body.rows.length > shownAttempts) body.deleteRow(-1);
}

// What the server last said of a store that went away, until it says the store is back: a
// read that was under way meanwhile, failed or not, does not overwrite it.
let unreachable = null;

async function refresh() {
  const [pool, stations, attempts] = await Promise.all([
    getJson('/api/pool'), getJson('/api/stations'),
    getJson('/api/attempts?after=' + lastAttemptId)]);
  showPool(pool);
  showStations(stations);
  addAttempts(attempts);
  if (unreachable !== null) return;
  const store = document.getElementById('store');
  store.textContent = pool.where;
  store.classList.remove('down');
}

function storeDown(text) {
  const store = document.getElementById('store');
  store.textContent = text;
  store.classList.add('down');
}

// Events only say that something changed: the page reads the endpoints again, at most once per
// 100 ms however many come, so that a busy line costs the browser little.
let pending = null;
function soon() {
  if (pending) return;
  pending = setTimeout(() => {
    pending = null;
    refresh().catch((e) => storeDown(unreachable || e.message));
  }, 100);
}

function listen() {
  const events = new EventSource('/events');
  for (const name of ['mark', 'attempt', 'state']) events.addEventListener(name, soon);
  events.addEventListener('store', (e) => {
    const store = JSON.parse(e.data);
    if (store.ok) {
      unreachable = null;
      soon();
    } else {
      unreachable = 'store unreachable since ' + store.since + ': ' + store.error;
      storeDown(unreachable);
    }
  });
  // The browser connects again by itself; the page says so meanwhile, and reads everything
  // afresh once it is back (the store event on connecting).
  events.onerror = () => {
    if (events.readyState !== EventSource.OPEN) storeDown('connection to the server lost; reconnecting');
  };
}

refresh().catch((e) => storeDown(e.message));
listen();
