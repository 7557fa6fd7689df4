// korvweb's page: log in, then views that stay live through the event
// stream. The server checks every request again; the page only hides what
// the account may not use and validates before sending.
'use strict';
const $ = (id) => document.getElementById(id);
let session = null;
let events = null;
let picked = null;
let settingsRows = [];
const kModes = ['GPM_CQ', 'GPM_COOP', 'GPM_CTF', 'GPM_TDM', 'GPM_OBJECTIVEMODE'];

async function api(method, path, body) {
  const options = { method, headers: {}, credentials: 'same-origin' };
  if (method !== 'GET') {
    options.headers['Content-Type'] = 'application/json';
    if (session) options.headers['X-Korv-Token'] = session.token;
    options.body = JSON.stringify(body || {});
  }
  const response = await fetch(path, options);
  let data = {};
  try { data = await response.json(); } catch (e) { data = { error: 'bad answer from korvweb' }; }
  if (response.status === 401 && session && path !== '/api/login') loggedOut(data.error);
  if (!response.ok) throw new Error(data.error || ('HTTP ' + response.status));
  return data;
}

function say(text, bad) {
  const line = $('message');
  line.textContent = text;
  line.className = bad ? (text.startsWith('refused') ? 'refused' : 'error') : '';
}

async function act(name, body) {
  try {
    await api('POST', '/api/action/' + name, body);
    say('sent: ' + name.replace(/_/g, ' '));
  } catch (e) { say(e.message, true); }
}

function cell(row, text) { const td = document.createElement('td'); td.textContent = text; row.appendChild(td); return td; }

function table(element, rows, columns, onPick, extra) {
  element.textContent = '';
  const head = element.insertRow();
  for (const c of columns) { const th = document.createElement('th'); th.textContent = c; head.appendChild(th); }
  for (const r of rows) {
    const tr = element.insertRow();
    for (const c of columns) cell(tr, r[c] === undefined ? '' : r[c]);
    if (onPick) tr.addEventListener('click', () => onPick(r, tr));
    if (extra) extra(r, tr);
  }
}

function allowed(name) { return session && session.allowed[name] !== false; }

// --- login ---
$('login').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  $('login-error').textContent = '';
  try {
    const data = await api('POST', '/api/login', { user: $('user').value, password: $('password').value });
    $('password').value = '';
    start(data);
  } catch (e) { $('login-error').textContent = e.message; }
});

$('logout').addEventListener('click', async () => {
  try { await api('POST', '/api/logout'); } catch (e) { /* already gone */ }
  loggedOut('logged out');
});

function loggedOut(why) {
  session = null;
  if (events) events.close();
  $('console').hidden = true;
  $('logout').hidden = true;
  $('who').textContent = '';
  $('login').hidden = false;
  $('login-error').textContent = why || '';
}

function start(data) {
  session = data;
  $('login').hidden = true;
  $('console').hidden = false;
  $('logout').hidden = false;
  $('who').textContent = session.user + ' [' + session.access + ']';
  for (const el of document.querySelectorAll('[data-need]')) el.hidden = !allowed(el.dataset.need);
  for (const el of document.querySelectorAll('[data-action]')) el.hidden = !allowed(el.dataset.action);
  for (const el of document.querySelectorAll('[data-mapcmd]')) el.hidden = !allowed(el.dataset.mapcmd);
  buildTabs();
  events = new EventSource('/api/events');
  events.addEventListener('notice', (ev) => notice(JSON.parse(ev.data)));
  refreshAll();
  setInterval(() => { if (session && allowed('status')) loadStatus(); }, 5000);
}

function buildTabs() {
  const nav = $('tabs');
  nav.textContent = '';
  let first = null;
  for (const view of document.querySelectorAll('main > section')) {
    if (view.hidden) continue;
    const button = document.createElement('button');
    button.textContent = view.dataset.title;
    button.id = 'tab-' + view.id.slice(5);
    button.addEventListener('click', () => show(view.id));
    nav.appendChild(button);
    if (!first) first = view.id;
  }
  show(first);
}

function show(id) {
  for (const view of document.querySelectorAll('main > section'))
    view.style.display = view.id === id ? '' : 'none';
  for (const b of document.querySelectorAll('nav button')) b.classList.toggle('on', 'view-' + b.id.slice(4) === id);
}

// --- live events ---
const kRefresh = {
  player_kicked: loadPlayers, player_banned: () => { loadPlayers(); loadBans(); }, ban_removed: loadBans,
  bans_changed: loadBans, bans_cleared: loadBans, settings_changed: loadSettings,
  rotation_changed: loadRotation, server_started: loadStatus, server_stopped: loadStatus,
};

function notice(event) {
  const li = document.createElement('li');
  li.textContent = new Date().toLocaleTimeString() + ' ' + event.words;
  $('events').prepend(li);
  while ($('events').children.length > 200) $('events').lastChild.remove();
  if (event.key === 'console') {
    const line = document.createElement('li');
    line.textContent = event.text;
    $('chat').appendChild(line);
    while ($('chat').children.length > 500) $('chat').firstChild.remove();
  }
  if (event.key === 'link_lost' || event.key === 'disconnected') say(event.words, true);
  const again = kRefresh[event.key];
  if (again && session) again();
}

// --- views ---
async function load(path) { return api('GET', path + (path.includes('?') ? '&' : '?') + 'auto=1'); }

async function loadStatus() {
  if (!allowed('status')) return;
  try {
    const data = await load('/api/status');
    const dl = $('status-fields');
    dl.textContent = '';
    for (const [k, v] of Object.entries(data.fields)) {
      const dt = document.createElement('dt'); dt.textContent = k.replace(/_/g, ' ');
      const dd = document.createElement('dd'); dd.textContent = v;
      dl.append(dt, dd);
    }
  } catch (e) { say(e.message, true); }
}

async function loadPlayers() {
  if (!allowed('get_players')) return;
  try {
    const data = await load('/api/file/players');
    table($('players'), data.rows, ['name', 'id', 'team', 'score', 'kills', 'deaths', 'ping', 'address'], (r, tr) => {
      picked = r;
      for (const row of $('players').rows) row.classList.remove('picked');
      tr.classList.add('picked');
      $('player-selected').textContent = 'Selected: ' + r.name + ' (id ' + r.id + ')';
    });
  } catch (e) { say(e.message, true); }
}

$('kick-button').addEventListener('click', () => {
  if (!picked) return say('select a player first', true);
  if (!$('player-reason').value) return say('give a reason', true);
  act('kick', { id: Number(picked.id), reason: $('player-reason').value });
});
$('ban-button').addEventListener('click', () => {
  if (!picked) return say('select a player first', true);
  const duration = $('ban-duration').value;
  if (!/^\d+$/.test(duration)) return say('the ban duration must be a number of seconds', true);
  if (!$('player-reason').value) return say('give a reason', true);
  const clean = (v) => (v && v !== '[unknown]' && v !== '-') ? v : '';
  act('ban', { id: Number(picked.id), name: picked.name, address: clean(picked.address),
    keyhash: clean(picked.keyhash), guid: clean(picked.guid), duration: Number(duration),
    reason: $('player-reason').value });
});
$('shot-button').addEventListener('click', () => {
  if (!picked) return say('select a player first', true);
  act('screenshot', { text: picked.name });
});
$('say-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const text = $('say-text').value;
  if (!text) return;
  act('say', { text });
  $('say-text').value = '';
});
$('message-button').addEventListener('click', () => {
  const text = $('say-text').value;
  if (text) { act('message', { text }); $('say-text').value = ''; }
});
for (const b of document.querySelectorAll('[data-action]')) b.addEventListener('click', () => act(b.dataset.action));

async function loadClients() {
  if (!allowed('get_clients')) return;
  try {
    const data = await load('/api/file/clients');
    table($('clients'), data.rows, ['user', 'slot', 'address', 'state'], null, (r, tr) => {
      if (!allowed('disconnect')) return;
      const b = document.createElement('button'); b.textContent = 'Disconnect';
      b.addEventListener('click', () => act('disconnect', { slot: Number(r.slot) }).then(loadClients));
      cell(tr, '').appendChild(b);
    });
  } catch (e) { say(e.message, true); }
}

// --- maps and rotation ---
let maps = [];
let rotationOther = [];
async function loadRotation() {
  if (!allowed('get_rotation')) return;
  try {
    if (allowed('get_maps') && maps.length === 0) {
      const data = await load('/api/file/maps');
      maps = data.text.split('\n').filter((l) => l).map((l) => l.split(','));
      const pick = $('map-pick');
      pick.textContent = '';
      maps.forEach((m, i) => pick.add(new Option(m[1] + ' (' + m[0] + ')', i)));
      pickModes();
    }
    const data = await load('/api/file/rotation');
    const ol = $('rotation');
    ol.textContent = '';
    rotationOther = [];
    for (const line of data.text.split('\n')) {
      if (/^game\.addLevel /i.test(line)) addRotationItem(line);
      else if (line) rotationOther.push(line);
    }
  } catch (e) { say(e.message, true); }
}
function pickModes() {
  const m = maps[$('map-pick').value];
  const modes = $('mode-pick');
  modes.textContent = '';
  if (!m) return;
  const mask = Number(m[2]);
  kModes.forEach((mode, bit) => { if (mask & (1 << bit)) modes.add(new Option(mode, mode)); });
}
$('map-pick').addEventListener('change', pickModes);
function addRotationItem(line) {
  const li = document.createElement('li');
  li.dataset.line = line;
  const span = document.createElement('span'); span.textContent = line.replace(/^game\.addLevel /i, '');
  const up = document.createElement('button'); up.textContent = '\u2191'; up.type = 'button';
  up.addEventListener('click', () => { if (li.previousSibling) li.parentNode.insertBefore(li, li.previousSibling); });
  const remove = document.createElement('button'); remove.textContent = 'Remove'; remove.type = 'button';
  remove.addEventListener('click', () => li.remove());
  li.append(span, ' ', up, remove);
  $('rotation').appendChild(li);
}
$('map-add').addEventListener('click', () => {
  const m = maps[$('map-pick').value];
  if (m && $('mode-pick').value) addRotationItem('game.addLevel ' + m[1] + ' ' + $('mode-pick').value + ' ' + m[0]);
});
$('rotation-save').addEventListener('click', async () => {
  const lines = [...$('rotation').children].map((li) => li.dataset.line).concat(rotationOther);
  try { await api('POST', '/api/file/rotation', { text: lines.map((l) => l + '\n').join('') }); say('map rotation saved'); }
  catch (e) { say(e.message, true); }
});
for (const b of document.querySelectorAll('[data-mapcmd]')) b.addEventListener('click', () => {
  const m = maps[$('map-pick').value];
  if (m) act(b.dataset.mapcmd, { map: m[1] });
});
$('idle-clear').addEventListener('click', () => act('idle_map', { map: '' }));

// --- settings ---
async function loadSettings() {
  try {
    const data = await load('/api/settings');
    const form = $('settings-form');
    form.textContent = '';
    settingsRows = [];
    for (const group of data.groups) {
      const set = document.createElement('fieldset');
      const legend = document.createElement('legend');
      legend.textContent = 'Settings group ' + group.group + ' (' + 'SGFIA'[group.group] + ')';
      set.appendChild(legend);
      for (const row of group.settings) set.appendChild(settingInput(row));
      form.appendChild(set);
    }
  } catch (e) { say(e.message, true); }
}
function settingInput(row) {
  const label = document.createElement('label');
  const name = document.createElement('span');
  name.textContent = row.key;
  if (row.restart_only) name.className = 'restart';
  let input;
  if (row.kind === 'choice') {
    input = document.createElement('select');
    for (const c of row.choices) input.add(new Option(c.label, c.key));
  } else if (row.kind === 'boolean') {
    input = document.createElement('select');
    input.add(new Option('off', '0')); input.add(new Option('on', '1'));
  } else if (row.kind === 'welcome') {
    input = document.createElement('textarea');
    input.rows = 3;
  } else {
    input = document.createElement('input');
    if (row.kind === 'integer' || row.kind === 'decimal') {
      input.type = 'number'; input.min = row.min; input.max = row.max; input.step = row.step;
    }
    if (row.max_length !== undefined) input.maxLength = row.max_length;
    if (row.secret) input.type = 'password';
  }
  input.name = row.key;
  input.value = row.value;
  input.dataset.original = row.value;
  input.addEventListener('input', () => input.classList.toggle('bad', !!checkSetting(row, input.value)));
  settingsRows.push({ row, input });
  label.append(name, input);
  return label;
}
function checkSetting(row, value) {
  if (row.kind === 'integer' || row.kind === 'decimal') {
    const n = Number(value);
    if (value === '' || !isFinite(n) || n < row.min || n > row.max ||
        Math.abs(Math.round(n / row.step) * row.step - n) > 1e-9)
      return row.key + ' must be a number from ' + row.min + ' to ' + row.max + ' in steps of ' + row.step;
  } else if (row.kind === 'text') {
    if (value.length > row.max_length || value.includes('"')) return row.key + ' must be at most ' + row.max_length + ' characters without "';
    if (row.required && !value) return row.key + ' may not be empty';
  } else if (row.kind === 'welcome') {
    const lines = value.split('\n');
    if (lines.length > 5 || lines.some((l) => l.length > 63) || value.includes('"')) return row.key + ' must be at most 5 lines of 63 characters without "';
  } else if (row.kind === 'address') {
    if (!/^\d{1,3}(\.\d{1,3}){3}$/.test(value) || value.split('.').some((p) => Number(p) > 255)) return row.key + ' must be an address such as 192.168.0.10';
  }
  return '';
}
$('settings-save').addEventListener('click', async () => {
  const values = {};
  for (const { row, input } of settingsRows) {
    if (input.value === input.dataset.original) continue;
    const problem = checkSetting(row, input.value);
    if (problem) { input.classList.add('bad'); return say(problem, true); }
    values[row.key] = input.value;
  }
  if (Object.keys(values).length === 0) return say('no setting was changed');
  try { await api('POST', '/api/settings', { values }); say('settings saved'); loadSettings(); }
  catch (e) { say(e.message, true); }
});

// --- bans ---
let bans = [];
async function loadBans() {
  if (!allowed('get_bans')) return;
  try { bans = (await load('/api/file/bans')).rows; showBans(); } catch (e) { say(e.message, true); }
}
function showBans() {
  const term = $('ban-search').value.toLowerCase();
  const rows = bans.filter((b) => Object.values(b).some((v) => String(v).toLowerCase().includes(term)));
  table($('bans'), rows, ['player', 'address', 'key_hash', 'guid', 'banned_by', 'banned_at', 'expires', 'reason'], null, (r, tr) => {
    if (!allowed('unban')) return;
    const b = document.createElement('button'); b.textContent = 'Unban';
    const clean = (v) => (v && v !== '-') ? v : '';
    b.addEventListener('click', () => act('unban', { name: r.player, address: clean(r.address), keyhash: clean(r.key_hash), guid: clean(r.guid) }));
    cell(tr, '').appendChild(b);
  });
}
$('ban-search').addEventListener('input', showBans);

// --- the rest: accounts, text files, log ---
async function loadAccounts() {
  if (!allowed('get_accounts')) return;
  try { table($('accounts'), (await load('/api/file/accounts')).rows, ['user', 'access', 'enabled', 'keyhash']); }
  catch (e) { say(e.message, true); }
}
async function loadTextFile(view) {
  const name = view.dataset.file;
  try {
    const data = await load('/api/file/' + name);
    view.textContent = '';
    const area = document.createElement('textarea');
    area.value = data.text;
    area.id = 'text-' + name;
    view.appendChild(area);
    if (allowed('put_' + name)) {
      const b = document.createElement('button'); b.textContent = 'Save'; b.type = 'button';
      b.addEventListener('click', async () => {
        try { await api('POST', '/api/file/' + name, { text: area.value }); say(view.dataset.title + ' saved'); }
        catch (e) { say(e.message, true); }
      });
      view.appendChild(b);
    }
  } catch (e) { say(e.message, true); }
}
async function loadLog() {
  if (!allowed('get_log')) return;
  try { $('log').textContent = (await load('/api/file/log')).text; } catch (e) { say(e.message, true); }
}

function refreshAll() {
  loadStatus(); loadPlayers(); loadClients(); loadRotation(); loadSettings(); loadBans(); loadAccounts(); loadLog();
  for (const view of document.querySelectorAll('section[data-file]')) if (!view.hidden) loadTextFile(view);
}

// A page reloaded inside a live session picks it up again.
api('GET', '/api/session').then(start).catch(() => {});
