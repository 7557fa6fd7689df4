// korvweb's fleet page: one login for every daemon of the fleet, a card per
// server kept live by the fleet stream, a click on a card opens its console.
'use strict';
const $ = (id) => document.getElementById(id);
let fleet = null;
let events = null;

async function api(method, path, body) {
  const options = { method, headers: {}, credentials: 'same-origin' };
  if (method !== 'GET') {
    options.headers['Content-Type'] = 'application/json';
    if (fleet) options.headers['X-Korv-Token'] = fleet.token;
    options.body = JSON.stringify(body || {});
  }
  const response = await fetch(path, options);
  let data = {};
  try { data = await response.json(); } catch (e) { data = { error: 'bad answer from korvweb' }; }
  if (response.status === 401 && fleet && path !== '/api/fleet/login') loggedOut(data.error);
  if (!response.ok) throw new Error(data.error || ('HTTP ' + response.status));
  return data;
}

function add(parent, tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  parent.appendChild(node);
  return node;
}

function card(data) {
  const live = data.state === 'running' || data.state === 'stopped';
  const node = document.createElement(live ? 'button' : 'div');
  node.className = 'card ' + data.state + (data.alerts.length && live ? ' alerting' : '');
  node.dataset.server = data.name;
  add(node, 'h2', '', data.name + ' (' + data.address + ')');
  add(node, 'div', 'words', data.words);
  if (live) {
    add(node, 'div', 'health', 'Health: ' + data.health);
    if (data.map) add(node, 'div', 'map', 'Map: ' + data.map);
    if (data.names.length) add(node, 'div', 'names', 'Players: ' + data.names.join(', '));
  }
  if (data.alerts.length) {
    const list = add(node, 'ul', 'alerts');
    for (const alert of data.alerts) add(list, 'li', '', alert);
  }
  if (live) node.addEventListener('click', () => open(data.name));
  return node;
}

function show(cards) {
  $('cards').replaceChildren(...cards.map(card));
}

async function open(name) {
  try {
    $('message').textContent = 'opening the console of ' + name + '...';
    await api('POST', '/api/fleet/open', { server: name });
    window.location.assign('/');
  } catch (e) { $('message').textContent = e.message; }
}

function start(data) {
  fleet = data;
  $('login').hidden = true;
  $('cards').hidden = false;
  $('logout').hidden = false;
  $('who').textContent = data.user;
  show(data.cards);
  events = new EventSource('/api/fleet/events');
  events.addEventListener('notice', (event) => show(JSON.parse(event.data).cards));
  // A stream that ends may mean the session ended: ask, and show the login if so.
  events.addEventListener('error', () => { api('GET', '/api/fleet?auto=1').catch(() => {}); });
}

function loggedOut(why) {
  fleet = null;
  if (events) events.close();
  $('login').hidden = false;
  $('cards').hidden = true;
  $('logout').hidden = true;
  $('who').textContent = '';
  $('login-error').textContent = why || '';
}

$('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  $('login-error').textContent = 'logging in to every server...';
  try {
    const data = await api('POST', '/api/fleet/login', { user: $('user').value, password: $('password').value });
    $('password').value = '';
    $('login-error').textContent = '';
    start(data);
  } catch (e) { $('login-error').textContent = e.message; }
});
$('logout').addEventListener('click', async () => {
  try { await api('POST', '/api/fleet/logout'); } catch (e) { /* gone already */ }
  loggedOut('');
});
api('GET', '/api/fleet').then(start).catch(() => {});
