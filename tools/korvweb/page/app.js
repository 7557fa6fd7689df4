// korvweb's page: log in, then views that stay live through the event
// stream. The server checks every request again; the page only hides what
// the account may not use and validates before sending.
'use strict';
const $ = (id) => document.getElementById(id);
let session = null;
let events = null;
let picked = null;
let settingsRows = [];
let statusTimer = null;
let pending = null;
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

// An outcome shows beside what was clicked (after its row of buttons or its
// table); without a place, on the message line.
function outcomeFor(el) {
  if (!el) return $('message');
  const box = el.closest('.row, .buttons, table') || el;
  let line = box.nextElementSibling;
  if (!line || !line.classList.contains('outcome')) {
    line = document.createElement('p');
    line.className = 'outcome';
    line.setAttribute('role', 'status');
    box.after(line);
  }
  return line;
}

function say(text, bad, el) {
  const line = outcomeFor(el);
  line.textContent = text;
  line.classList.toggle('refused', !!bad && text.startsWith('refused'));
  line.classList.toggle('error', !!bad && !text.startsWith('refused'));
}

// The notices that tell how each action ended; the daemon sends them once
// it carried the command out (or could not).
const kOutcome = {
  start: ['server_started', 'already_running'], stop: ['server_stopped', 'already_stopped'],
  pause: ['paused', 'unpaused'], change_map: ['map_changed'], next_map: ['next_map_started'],
  set_next_map: ['next_map_set'], idle_map: ['idle_map_set'], restart_map: ['map_restarted'],
  kick: ['player_kicked'], ban: ['player_banned'], unban: ['ban_removed'], clear_bans: ['bans_cleared'],
  ban_name: ['name_banned'], verify_bans: ['bans_in_sync', 'bans_not_in_sync'],
  push_bans: ['bans_in_sync', 'bans_not_in_sync'], pull_bans: ['bans_in_sync', 'bans_not_in_sync'],
  say: ['chat_sent'], message: ['message_sent'], console: ['console_command_sent'],
  screenshot: ['screenshot_requested'], pb_save: ['pb_saved'], pb_load: ['pb_loaded'],
};
const kBadOutcome = ['command_failed', 'already_running', 'already_stopped', 'bans_not_in_sync'];

async function act(name, body, el) {
  const words = name.replace(/_/g, ' ');
  say(words + ': waiting for the daemon\u2026', false, el);
  // The notice may come before the answer does.
  const awaited = pending = kOutcome[name] ? { keys: kOutcome[name], line: outcomeFor(el) } : null;
  const done = (text, bad) => { if (pending === awaited) pending = null; say(text, bad, el); };
  try {
    const data = await api('POST', '/api/action/' + name, body);
    if (data.outcome || data.words) done(data.outcome || data.words, !!data.refused);
    else if (!awaited) done(words + ': done');
  } catch (e) { done(e.message, true); }
}

function settle(event) {
  if (!pending || !(pending.keys.includes(event.key) || event.key === 'command_failed')) return;
  pending.line.textContent = event.words;
  pending.line.classList.toggle('error', kBadOutcome.includes(event.key));
  pending = null;
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

// Nothing of the session stays on screen, nor in the tab order.
function loggedOut(why) {
  session = null;
  pending = picked = null;
  if (events) events.close();
  clearInterval(statusTimer);
  const main = $('console');
  for (const el of main.querySelectorAll('table, ol, dl, pre, nav, #settings-form, section[data-file], .outcome, .words, #history-out')) el.textContent = '';
  consoleHistory.length = 0;
  for (const label of $('ac-rights').querySelectorAll('label')) label.remove();
  for (const el of main.querySelectorAll('input:not([type=date]):not([type=time])')) el.value = el.defaultValue;
  $('message').textContent = $('summary').textContent = '';
  $('player-selected').textContent = 'Select a player';
  bans = []; maps = []; logText = ''; settingsRows = []; scheduleEvents = [];
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
  // The account once, with its rights in words on hover.
  const admin = session.mask === kAdmin;
  const [letters, ...extras] = session.access.split(' ');
  $('who').textContent = session.user + ' (' + (admin ? 'administrator' : ['rights ' + letters.replace(/[a-z]/g, '')].concat(extras).join(' ')) + ')';
  $('who').title = rightsWords(session.mask);
  for (const el of document.querySelectorAll('[data-need]')) el.hidden = !allowed(el.dataset.need);
  for (const el of document.querySelectorAll('[data-action]')) el.hidden = !allowed(el.dataset.action);
  for (const el of document.querySelectorAll('[data-mapcmd]')) el.hidden = !allowed(el.dataset.mapcmd);
  buildTabs();
  events = new EventSource('/api/events');
  events.addEventListener('notice', (ev) => notice(JSON.parse(ev.data)));
  refreshAll();
  clearInterval(statusTimer);
  statusTimer = setInterval(() => {
    if (session && allowed('status')) loadStatus();
    if (session && $('view-players').style.display !== 'none') loadPlayers();
    if (session && $('view-log').style.display !== 'none' && $('log-follow').checked) loadLog();
  }, 5000);
}

// Tabs on a wide screen, a menu on a narrow one.
function buildTabs() {
  const nav = $('tabs');
  nav.textContent = '';
  const menu = document.createElement('select');
  menu.id = 'tab-menu';
  menu.setAttribute('aria-label', 'View');
  menu.addEventListener('change', () => show(menu.value));
  nav.appendChild(menu);
  let first = null;
  for (const view of document.querySelectorAll('main > section')) {
    if (view.hidden) continue;
    const button = document.createElement('button');
    button.textContent = view.dataset.title;
    button.id = 'tab-' + view.id.slice(5);
    button.addEventListener('click', () => show(view.id));
    nav.appendChild(button);
    menu.add(new Option(view.dataset.title, view.id));
    if (!first) first = view.id;
  }
  show(first);
}

function show(id) {
  for (const line of document.querySelectorAll('.outcome')) line.textContent = '';
  $('message').textContent = '';
  for (const view of document.querySelectorAll('main > section'))
    view.style.display = view.id === id ? '' : 'none';
  for (const b of document.querySelectorAll('nav button')) {
    b.classList.toggle('on', 'view-' + b.id.slice(4) === id);
    b.setAttribute('aria-pressed', 'view-' + b.id.slice(4) === id);
  }
  if ($('tab-menu')) $('tab-menu').value = id;
  if (session && id === 'view-log') loadLog();
}

// --- live events ---
const kRefresh = {
  player_kicked: loadPlayers, player_banned: () => { loadPlayers(); loadBans(); }, ban_removed: loadBans,
  bans_changed: loadBans, bans_cleared: loadBans, settings_changed: settingsChanged,
  rotation_changed: loadRotation, server_started: loadStatus, server_stopped: loadStatus,
  schedule_changed: scheduleChanged, banned_words_changed: () => fileChanged('banned_words'),
  announcements_changed: () => fileChanged('announcements'), users_changed: loadAccounts,
};

function notice(event) {
  const li = document.createElement('li');
  li.textContent = new Date().toLocaleTimeString() + ' ' + event.words;
  $('events').prepend(li);
  while ($('events').children.length > 200) $('events').lastChild.remove();
  if (event.key === 'console') chatLine(event.text);
  if (event.key === 'link_lost' || event.key === 'disconnected') say(event.words, true);
  settle(event);
  const again = kRefresh[event.key];
  if (again && session) again();
}

// The game's lines as they come, with the time and a mark for team or
// global chat; joins, leaves and team changes refresh the player table.
function chatItem(time, text) {
  const li = document.createElement('li');
  const kind = /^(Global|Team|Event) /.exec(text);
  const mark = document.createElement('span'); mark.className = 'mark';
  mark.textContent = kind ? { Global: '[all]', Team: '[team]', Event: '' }[kind[1]] : '';
  const said = kind ? text.slice(kind[0].length) : text;
  li.append(time + ' ', mark, ...(kind && kind[1] !== 'Event' ? speakerThen(said) : [said]));
  li.dataset.text = text;
  if (kind && kind[1] === 'Event') li.className = 'chat-event';
  return li;
}
function chatLine(text) {
  const kind = /^(Global|Team|Event) /.exec(text);
  $('chat').appendChild(chatItem(new Date().toLocaleTimeString(), text));
  while ($('chat').children.length > 500) $('chat').firstChild.remove();
  if (kind && kind[1] === 'Event' && / (joined|left|changed|was kicked|disconnected)/.test(text)) playersChanged();
}

// --- views ---
async function load(path) { return api('GET', path + (path.includes('?') ? '&' : '?') + 'auto=1'); }

// "Running: 4 of 32 players on el_alamein (Capture The Flag, bf1942), round
// 12:40 left, Axis 2 - Allied 2"; the team counts read allied / axis / all.
const kModeWords = { GPM_CQ: 'Conquest', GPM_COOP: 'Cooperative', GPM_CTF: 'Capture The Flag',
  GPM_TDM: 'Team Deathmatch', GPM_OBJECTIVEMODE: 'Objective Mode' };
function statusWords(f) {
  const left = Number(f.round_time_left);
  const round = f.round_time_left === 'Unlimited' ? ', no round limit'
    : Number.isFinite(left) && f.round_time_left !== '' ? ', round ' + Math.floor(left / 60) + ':' + String(left % 60).padStart(2, '0') + ' left' : '';
  const [level, mode, mod] = (f.current_map || '').split(' ');
  const how = [kModeWords[mode] || mode, mod].filter(Boolean).join(', ');
  const map = level && level !== '-' && level !== '??' ? ' on ' + level + (how ? ' (' + how + ')' : '') : '';
  const teams = /^(\d+) \/ (\d+) \/ \d+$/.exec(f.team_counts || '');
  return (f.server || 'Unknown') + ': ' + (f.players || '?') + ' players' + map + round +
    (teams ? ', Axis ' + teams[2] + ' \u00b7 Allied ' + teams[1] : '');
}

async function loadStatus() {
  if (!allowed('status')) return;
  try {
    const data = await load('/api/status');
    $('status-words').textContent = $('summary').textContent = statusWords(data.fields);
    const dl = $('status-fields');
    dl.textContent = '';
    for (const [k, v] of Object.entries(data.fields)) {
      const dt = document.createElement('dt'); dt.textContent = k.replace(/_/g, ' ');
      const dd = document.createElement('dd'); dd.textContent = v;
      dl.append(dt, dd);
    }
  } catch (e) { say(e.message, true); }
}

function pickPlayer(r, tr) {
  picked = r;
  for (const row of $('players').rows) row.classList.toggle('picked', row === tr);
  $('player-selected').textContent = 'Selected: ' + r.name + ' (id ' + r.id + ')';
}

// Each row carries its own kick, ban and screenshot buttons; a selected
// player who left is no longer selected.
async function loadPlayers() {
  if (!allowed('get_players')) return;
  try {
    const data = await load('/api/file/players');
    const still = picked && data.rows.find((r) => r.id === picked.id && r.name === picked.name);
    if (!still && picked) { picked = null; $('player-selected').textContent = 'Select a player'; }
    table($('players'), data.rows, ['name', 'id', 'team', 'score', 'kills', 'deaths', 'ping', 'address'], pickPlayer, (r, tr) => {
      if (still && r.id === still.id) pickPlayer(r, tr);
      const td = cell(tr, '');
      for (const [label, id] of [['Kick', 'kick-button'], ['Ban', 'ban-button'], ['Message', 'msg-button'], ['Screenshot', 'shot-button']]) {
        if ($(id).hidden) continue;
        const b = document.createElement('button'); b.type = 'button'; b.textContent = label;
        b.setAttribute('aria-label', label + ' ' + r.name);
        b.addEventListener('click', (ev) => { ev.stopPropagation(); pickPlayer(r, tr); $(id).click(); });
        td.append(b, ' ');
      }
      td.append(historyButton(known(r.keyhash) || r.name, r.name));
    });
  } catch (e) { say(e.message, true); }
}
let playersSoon = null;
function playersChanged() { clearTimeout(playersSoon); playersSoon = setTimeout(loadPlayers, 300); }

$('kick-button').addEventListener('click', (ev) => {
  const el = ev.currentTarget;
  if (!picked) return say('select a player first', true, el);
  if (!$('player-reason').value) return say('give a reason', true, el);
  act('kick', { id: Number(picked.id), reason: $('player-reason').value }, el);
});
$('ban-button').addEventListener('click', (ev) => {
  const el = ev.currentTarget;
  if (!picked) return say('select a player first', true, el);
  const duration = $('ban-duration').value;
  if (!/^\d+$/.test(duration)) return say('the ban duration must be a number of seconds', true, el);
  if (!$('player-reason').value) return say('give a reason', true, el);
  const span = $('ban-duration').selectedOptions[0].text;
  if (!confirm('Ban ' + picked.name + ' for ' + span + '?')) return say('not banned', false, el);
  const clean = (v) => (v && v !== '[unknown]' && v !== '-') ? v : '';
  act('ban', { id: Number(picked.id), name: picked.name, address: clean(picked.address),
    keyhash: clean(picked.keyhash), guid: clean(picked.guid), duration: Number(duration),
    reason: $('player-reason').value }, el);
});
$('shot-button').addEventListener('click', (ev) => {
  if (!picked) return say('select a player first', true, ev.currentTarget);
  act('screenshot', { text: picked.name }, ev.currentTarget);
});
$('say-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const text = $('say-text').value;
  if (!text) return;
  act('say', { text }, $('say-button'));
  $('say-text').value = '';
});
$('message-button').addEventListener('click', (ev) => {
  const text = $('say-text').value;
  if (text) { act('message', { text }, ev.currentTarget); $('say-text').value = ''; }
});
for (const b of document.querySelectorAll('[data-action]')) b.addEventListener('click', () => {
  if (!b.dataset.confirm || confirm(b.dataset.confirm)) act(b.dataset.action, undefined, b);
});

async function loadClients() {
  if (!allowed('get_clients')) return;
  try {
    const data = await load('/api/file/clients');
    table($('clients'), data.rows, ['user', 'slot', 'address', 'state'], null, (r, tr) => {
      if (!allowed('disconnect')) return;
      const b = document.createElement('button'); b.textContent = 'Disconnect';
      b.addEventListener('click', () => act('disconnect', { slot: Number(r.slot) }, b).then(loadClients));
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
$('rotation-save').addEventListener('click', async (ev) => {
  const el = ev.currentTarget;
  const lines = [...$('rotation').children].map((li) => li.dataset.line).concat(rotationOther);
  try { await api('POST', '/api/file/rotation', { text: lines.map((l) => l + '\n').join('') }); say('map rotation saved', false, el); }
  catch (e) { say(e.message, true, el); }
});
// The map, with the game mode and the mod picked beside it.
for (const b of document.querySelectorAll('[data-mapcmd]')) b.addEventListener('click', () => {
  const m = maps[$('map-pick').value];
  if (m) act(b.dataset.mapcmd, { map: m[1], mode: $('mode-pick').value, mod: m[0] }, b);
});
$('idle-clear').addEventListener('click', (ev) => act('idle_map', { map: '' }, ev.currentTarget));

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
      legend.textContent = (group.name || 'Settings group ' + group.group) + ' (' + 'SGFIA'[group.group] + ')';
      set.appendChild(legend);
      for (const row of group.settings) set.appendChild(settingInput(row));
      form.appendChild(set);
    }
    filterSettings();
  } catch (e) { say(e.message, true); }
}
// The search holds across a reload of the form (another admin's save).
function filterSettings() {
  const term = $('settings-search').value.toLowerCase();
  for (const { row, input } of settingsRows)
    input.closest('.setting').hidden = ![row.key, row.label, row.help].some((t) => (t || '').toLowerCase().includes(term));
  for (const set of $('settings-form').children) set.hidden = ![...set.querySelectorAll('.setting')].some((l) => !l.hidden);
}
$('settings-search').addEventListener('input', filterSettings);
// "Maximum players (players, 2 to 64)", the key beside it, a line of help below.
function rangeWords(row) {
  if (row.kind === 'integer' || row.kind === 'decimal') return row.min + ' to ' + row.max;
  if (row.kind === 'text') return 'up to ' + row.max_length + ' characters' + (row.required ? ', required' : '');
  return '';
}
function settingInput(row) {
  const label = document.createElement('label');
  const name = document.createElement('span');
  const paren = [row.unit, rangeWords(row)].filter(Boolean).join(', ');
  name.textContent = (row.label || row.key) + (paren ? ' (' + paren + ')' : '');
  const key = document.createElement('code'); key.textContent = row.key;
  const help = document.createElement('small'); help.textContent = row.help || '';
  name.append(' ', key);
  if (row.restart_only) name.classList.add('restart');
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
  const box = document.createElement('div'); box.className = 'setting';
  box.append(label, help);
  return box;
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
// Another administrator saved: what is not being edited takes the new
// value; an edited setting keeps the edit and is marked, and saving it asks.
async function settingsChanged() {
  if (!settingsRows.length) return loadSettings();
  try {
    const theirs = {};
    for (const group of (await load('/api/settings')).groups)
      for (const row of group.settings) theirs[row.key] = String(row.value);
    for (const { row, input } of settingsRows) {
      const now = theirs[row.key];
      if (now === undefined || now === input.dataset.original) continue;
      if (input.value === input.dataset.original) input.value = now;
      else { input.classList.add('conflict'); input.title = 'another administrator set this to \u201c' + now + '\u201d'; }
      input.dataset.original = now;
    }
  } catch (e) { say(e.message, true); }
}
$('settings-save').addEventListener('click', async (ev) => {
  const el = ev.currentTarget;
  const values = {};
  const overwritten = [];
  for (const { row, input } of settingsRows) {
    if (input.value === input.dataset.original) continue;
    const problem = checkSetting(row, input.value);
    if (problem) { input.classList.add('bad'); return say(problem, true, el); }
    values[row.key] = input.value;
    if (input.classList.contains('conflict')) overwritten.push(row.key + ' (now \u201c' + input.dataset.original + '\u201d)');
  }
  if (Object.keys(values).length === 0) return say('no setting was changed', false, el);
  const diff = settingsRows.filter(({ input }) => input.value !== input.dataset.original)
    .map(({ row, input }) => (row.label || row.key) + ' (' + row.key + '): \u201c' + input.dataset.original + '\u201d \u2192 \u201c' +
      input.value + '\u201d' + (row.restart_only ? ', at the next restart' : ''));
  const warning = overwritten.length ? '\n\nAnother administrator changed ' + overwritten.join(', ') +
    ' since you opened the settings; your values replace theirs.' : '';
  if (!confirm('Save these changes?\n' + diff.join('\n') + warning)) return say('not saved', false, el);
  try { await api('POST', '/api/settings', { values }); say('settings saved', false, el); loadSettings(); }
  catch (e) { say(e.message, true, el); }
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
    const expires = tr.cells[6];
    expires.textContent = untilWords(Number(r.expiry));
    expires.title = r.expires;
    const actions = cell(tr, '');
    actions.append(historyButton(known(r.key_hash) || known(r.address) || r.player, r.player || r.address), ' ');
    banEditButton(r, tr, actions);
    if (!allowed('unban')) return;
    const b = document.createElement('button'); b.textContent = 'Unban';
    const clean = (v) => (v && v !== '-') ? v : '';
    b.addEventListener('click', () => act('unban', { name: r.player, address: clean(r.address), keyhash: clean(r.key_hash), guid: clean(r.guid) }, b));
    actions.append(b);
  });
}
// --- a ban edited in a row under it: name, reason, a new expiry ---
let banEditing = null;  // { key, row, token } while a ban's edit row is open in this session
const banKey = (r) => [r.address, r.key_hash, r.guid, r.ban_time].join('|');
function banEditButton(r, tr, actions) {
  if (!allowed('put_bans')) return;
  if (banEditing && banEditing.key === banKey(r) && banEditing.token === session.token) tr.after(banEditing.row);
  const b = document.createElement('button'); b.type = 'button'; b.textContent = 'Edit';
  b.setAttribute('aria-label', 'Edit the ban of ' + r.player);
  b.addEventListener('click', () => openBanEdit(r, tr));
  actions.append(b, ' ');
}
function openBanEdit(r, tr) {
  if (banEditing) banEditing.row.remove();
  const row = document.createElement('tr'); row.className = 'ban-edit';
  const td = document.createElement('td'); td.colSpan = 9;
  const box = document.createElement('div'); box.className = 'row';
  const field = (id, value, label) => {
    const input = document.createElement('input'); input.id = id; input.value = value; input.setAttribute('aria-label', label);
    return input;
  };
  const name = field('be-name', r.player, 'Name'), reason = field('be-reason', r.reason, 'Reason');
  name.maxLength = 31; reason.maxLength = 120;
  const until = $('nb-duration').cloneNode(true); until.id = 'be-duration'; until.setAttribute('aria-label', 'Ends');
  until.prepend(new Option('keep its end (' + untilWords(Number(r.expiry)) + ')', ''));
  for (const o of until.options) o.text = o.value === '' ? o.text : o.value === '0' ? 'never ends' : 'ends in ' + o.text;
  until.value = '';
  const save = document.createElement('button'); save.type = 'button'; save.textContent = 'Save ban'; save.id = 'be-save';
  const cancel = document.createElement('button'); cancel.type = 'button'; cancel.textContent = 'Cancel';
  cancel.addEventListener('click', () => { row.remove(); banEditing = null; });
  save.addEventListener('click', () => saveBanEdit(r, name.value.trim(), reason.value.trim(), until, save));
  box.append(name, reason, until, save, cancel);
  td.appendChild(box); row.appendChild(td);
  tr.after(row);
  banEditing = { key: banKey(r), row, token: session.token };
  name.focus();
}
async function saveBanEdit(r, name, reason, until, el) {
  if (!reason) return say('give a reason', true, el);
  if (reason.includes(',')) return say('a reason may not hold a comma: the ban list keeps a reason only up to its first comma', true, el);
  const clean = (v) => (v && v !== '-') ? v : '';
  const body = { ban: { address: clean(r.address), keyhash: clean(r.key_hash), guid: clean(r.guid), ban_time: Number(r.ban_time) },
    name, reason, duration: until.value === '' ? null : Number(until.value) };
  try {
    await api('POST', '/api/file/bans', body);
    if (banEditing) banEditing.row.remove();
    banEditing = null;
    await loadBans();
    say('ban saved: ' + (name || r.player) + ', ' + reason + ', ' +
      (until.value === '' ? 'ends ' + untilWords(Number(r.expiry)) : until.selectedOptions[0].text), false, $('bans'));
  } catch (e) { say(e.message, true, el); }
}
$('ban-search').addEventListener('input', showBans);
// "in 2 h", "in 3 days", "never"; the exact time shows on hover.
function untilWords(expiry) {
  if (!expiry) return 'never';
  const s = expiry - Date.now() / 1000;
  if (s <= 0) return 'expired';
  for (const [span, unit] of [[86400, 'day'], [3600, 'h'], [60, 'min']])
    if (s >= span * 0.99) { const n = Math.round(s / span); return 'in ' + n + ' ' + unit + (unit === 'day' && n > 1 ? 's' : ''); }
  return 'in under a minute';
}
$('ban-add').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const v = (id) => $(id).value.trim();
  const el = $('nb-add');
  if (!v('nb-address') && !v('nb-keyhash') && !v('nb-guid')) return say('a ban needs an address, a key hash or a GUID', true, el);
  if (!v('nb-reason')) return say('give a reason', true, el);
  const who = v('nb-name') || v('nb-address') || v('nb-keyhash') || v('nb-guid');
  if (!confirm('Ban ' + who + ' for ' + $('nb-duration').selectedOptions[0].text + '?')) return say('not banned', false, el);
  act('ban', { id: -1, name: v('nb-name'), address: v('nb-address'), keyhash: v('nb-keyhash'), guid: v('nb-guid'),
    duration: Number($('nb-duration').value), reason: v('nb-reason') }, el);
});

// --- schedule: built from the fields picked; korvweb writes the lines ---
let scheduleEvents = [];
let scheduleEdited = '';  // '', 'edited', or 'stale' once another admin saved meanwhile
async function loadSchedule() {
  if (!allowed('get_schedule')) return;
  try {
    const data = (await load('/api/file/schedule')).schedule;
    $('schedule-zone').textContent = data.zone;
    scheduleEvents = data.events;
    scheduleEdited = '';
    showSchedule();
  } catch (e) { say(e.message, true); }
}
function scheduleChanged() {
  if (!scheduleEdited) return loadSchedule();
  scheduleEdited = 'stale';
  say('another administrator changed the schedule meanwhile; saving will ask before overwriting it', true, $('schedule'));
}
const optionText = (select, value, fallback) =>
  ([...$(select).options].find((o) => o.value === value.toLowerCase()) || { text: fallback }).text;
function showSchedule() {
  const rows = scheduleEvents.map((e) => ({
    when: (e.day === 'none' ? 'once, on ' + e.date : optionText('ev-day', e.day, e.day)) + ' at ' + e.at,
    action: optionText('ev-action', e.action, e.does || e.action),
    files: [e.settings, e.maplist].filter(Boolean).join(', '),
    'next firing': e.next_at ? untilWords(e.next_at) + ' (' + e.next + ')' : e.next || 'after saving' }));
  table($('schedule'), rows, ['when', 'action', 'files', 'next firing'], null, (r, tr) => {
    if (!allowed('put_schedule')) return;
    const e = scheduleEvents[tr.rowIndex - 1];
    const edited = () => { scheduleEdited = scheduleEdited || 'edited'; e.next = ''; showSchedule(); };
    const label = document.createElement('label');
    const on = document.createElement('input'); on.type = 'checkbox'; on.checked = !!e.enabled;
    on.addEventListener('change', () => { e.enabled = on.checked ? 1 : 0; edited(); });
    label.append(on, ' enabled');
    const remove = document.createElement('button'); remove.type = 'button'; remove.textContent = 'Remove';
    remove.addEventListener('click', () => { scheduleEvents.splice(scheduleEvents.indexOf(e), 1); edited(); });
    cell(tr, '').append(label, ' ', remove);
  });
}
$('ev-day').addEventListener('change', () => { $('ev-date').hidden = $('ev-day').value !== 'none'; });
$('ev-add').addEventListener('click', (ev) => {
  const el = ev.currentTarget;
  const e = { action: $('ev-action').value, day: $('ev-day').value, at: $('ev-at').value, date: $('ev-date').value,
    settings: $('ev-settings').value.trim(), maplist: $('ev-maplist').value.trim(), enabled: 1 };
  if (!/^\d\d:\d\d$/.test(e.at)) return say('pick a time', true, el);
  if (e.day === 'none' && !e.date) return say('pick the date of a one-time event', true, el);
  if (e.action.startsWith('start') && (!e.settings || !e.maplist))
    return say('a start event needs the settings file and the maplist it loads', true, el);
  if (/[,\u0000-\u001f]/.test(e.settings + e.maplist)) return say('a file name may not hold a comma', true, el);
  scheduleEvents.push(e);
  scheduleEdited = scheduleEdited || 'edited';
  showSchedule();
  say('event added; save the schedule to keep it', false, el);
});
$('schedule-save').addEventListener('click', async (ev) => {
  const el = ev.currentTarget;
  if (scheduleEdited === 'stale' && !confirm('Another administrator changed the schedule since you opened it. Save yours over theirs?'))
    return say('not saved', false, el);
  const events = scheduleEvents.map((e) => ({ action: e.action, day: e.day, at: e.at, date: e.date,
    settings: e.settings, maplist: e.maplist, enabled: !!e.enabled }));
  try { await api('POST', '/api/file/schedule', { events }); say('schedule saved', false, el); loadSchedule(); }
  catch (e) { say(e.message, true, el); }
});

// --- console: raw game console commands, with the history on the arrow keys ---
const consoleHistory = [];
let consoleAt = 0;
$('console-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const text = $('console-text').value.trim();
  if (!text) return;
  consoleHistory.push(text);
  consoleAt = consoleHistory.length;
  const li = document.createElement('li');
  li.textContent = new Date().toLocaleTimeString() + ' > ' + text;
  $('console-history').prepend(li);
  act('console', { text }, $('console-send'));
  $('console-text').value = '';
});
$('console-text').addEventListener('keydown', (ev) => {
  if (ev.key !== 'ArrowUp' && ev.key !== 'ArrowDown') return;
  ev.preventDefault();
  consoleAt = Math.max(0, Math.min(consoleHistory.length, consoleAt + (ev.key === 'ArrowUp' ? -1 : 1)));
  $('console-text').value = consoleHistory[consoleAt] || '';
});

// --- the rest: accounts, text files, log ---
// --- accounts: the rights in words; the daemon's rule that nobody grants what they lack ---
const kRights = ['S settings group 0', 'G settings group 1', 'F settings group 2', 'I settings group 3',
  'A settings group 4, announcements, banned words', 'T status line', 'M maps and rotation', 'P players, kick, ban',
  'B ban list', 'U user accounts', 'H schedule', 'C clients', 'start, stop and pause the server', "the daemon's log",
  'log in twice at once', 'change restart-only settings', 'raw console commands', 'PunkBuster configuration'];
const kAdmin = 4294967295;
const mayGrant = (bit) => session.mask === kAdmin || (session.mask & (1 << bit)) !== 0;
function rightsWords(mask) {
  return mask === kAdmin ? 'administrator: every right' : kRights.filter((r, bit) => mask & (1 << bit)).join('; ');
}
function buildRights() {
  const set = $('ac-rights');
  set.querySelectorAll('label').forEach((l) => l.remove());
  const box = (id, text, ok) => {
    const label = document.createElement('label');
    const input = document.createElement('input'); input.type = 'checkbox'; input.id = id; input.disabled = !ok;
    label.append(input, ' ' + text);
    set.appendChild(label);
  };
  box('ac-admin', 'administrator (every right)', session.mask === kAdmin);
  kRights.forEach((text, bit) => box('ac-bit' + bit, text, mayGrant(bit)));
}
function rightsMask() {
  if ($('ac-admin').checked) return kAdmin;
  return kRights.reduce((mask, r, bit) => mask + ($('ac-bit' + bit).checked ? 2 ** bit : 0), 0);
}
async function loadAccounts() {
  if (!allowed('get_accounts')) return;
  try {
    if (!$('ac-admin')) buildRights();
    table($('accounts'), (await load('/api/file/accounts')).rows, ['user', 'access', 'enabled', 'keyhash'], null, (r, tr) => {
      tr.cells[1].title = rightsWords(r.mask);
      if (!allowed('put_accounts')) return;
      const edit = document.createElement('button'); edit.type = 'button'; edit.textContent = 'Edit';
      edit.setAttribute('aria-label', 'Edit ' + r.user);
      edit.addEventListener('click', () => {
        $('ac-user').value = r.user; $('ac-keyhash').value = r.keyhash; $('ac-password').value = '';
        $('ac-enabled').checked = r.enabled;
        $('ac-admin').checked = r.mask === kAdmin;
        kRights.forEach((t, bit) => { $('ac-bit' + bit).checked = r.mask !== kAdmin && (r.mask & (1 << bit)) !== 0; });
        $('ac-user').focus();
      });
      const remove = document.createElement('button'); remove.type = 'button'; remove.textContent = 'Delete';
      remove.setAttribute('aria-label', 'Delete ' + r.user);
      remove.addEventListener('click', () => {
        if (confirm('Delete the account ' + r.user + '?')) accountEdit('delete', remove, { user: r.user });
      });
      cell(tr, '').append(edit, ' ', remove);
    });
  } catch (e) { say(e.message, true); }
}
async function accountEdit(op, el, body) {
  try {
    await api('POST', '/api/file/accounts', Object.assign({ op }, body));
    say('account ' + body.user + ' ' + { create: 'created', update: 'saved', delete: 'deleted' }[op], false, el);
    loadAccounts();
  } catch (e) { say(e.message, true, el); }
}
for (const op of ['create', 'save']) $('ac-' + op).addEventListener('click', (ev) => {
  const body = { user: $('ac-user').value.trim(), password: $('ac-password').value, keyhash: $('ac-keyhash').value.trim(),
    mask: rightsMask(), enabled: $('ac-enabled').checked };
  if (!body.user) return say('give a user name', true, ev.currentTarget);
  accountEdit(op === 'save' ? 'update' : 'create', ev.currentTarget, body);
  $('ac-password').value = '';
});
async function loadTextFile(view) {
  const name = view.dataset.file;
  try {
    const data = await load('/api/file/' + name);
    view.textContent = '';
    const area = document.createElement('textarea');
    area.value = area.dataset.original = data.text;
    area.id = 'text-' + name;
    view.appendChild(area);
    if (allowed('put_' + name)) {
      const b = document.createElement('button'); b.textContent = 'Save'; b.type = 'button'; b.id = 'save-' + name;
      b.addEventListener('click', async () => {
        if (area.dataset.stale && !confirm('Another administrator changed ' + view.dataset.title.toLowerCase() +
            ' since you opened it. Save yours over theirs?')) return say('not saved', false, b);
        try {
          await api('POST', '/api/file/' + name, { text: area.value });
          area.dataset.original = area.value;
          delete area.dataset.stale;
          say(view.dataset.title + ' saved', false, b);
        } catch (e) { say(e.message, true, b); }
      });
      view.appendChild(b);
    }
  } catch (e) { say(e.message, true); }
}
// Another administrator saved the file: reload it unless it is being edited.
function fileChanged(name) {
  const area = $('text-' + name);
  if (!area || area.value === area.dataset.original) return loadTextFile($('view-' + name));
  area.dataset.stale = '1';
  say('another administrator changed this file meanwhile; saving will ask before overwriting it', true,
    area.nextElementSibling || area);
}

// The log's end, newest line last; a search shows the matching lines only.
let logText = '';
async function loadLog() {
  if (!allowed('get_log')) return;
  try { logText = (await load('/api/file/log')).text; chatEarlier(logText); showLog(); } catch (e) { say(e.message, true); }
}
function showLog() {
  const term = $('log-search').value.toLowerCase();
  $('log').textContent = term ? logText.split('\n').filter((l) => l.toLowerCase().includes(term)).join('\n') : logText;
  if ($('log-follow').checked) $('log').scrollTop = $('log').scrollHeight;
}
$('log-search').addEventListener('input', showLog);

// --- a player's history, opened from any row that names a player ---
const known = (v) => (v && v !== '[unknown]' && v !== '-') ? v : '';
function historyButton(q, who) {
  if (!allowed('history') || !q) return '';
  const b = document.createElement('button'); b.type = 'button'; b.textContent = 'History';
  b.setAttribute('aria-label', 'History of ' + who);
  b.addEventListener('click', (ev) => { ev.stopPropagation(); openHistory(q); });
  return b;
}
// "Bob: hello" as the name (a link to Bob's history) and the rest.
function speakerThen(said) {
  const at = said.indexOf(': ');
  if (at < 1 || !allowed('history')) return [said];
  const b = historyButton(said.slice(0, at), said.slice(0, at));
  b.textContent = said.slice(0, at); b.className = 'who';
  return [b, said.slice(at)];
}
// "5 min ago", "3 days ago"; the exact time shows on hover.
function agoWords(t) {
  const s = Date.now() / 1000 - t;
  for (const [span, unit] of [[86400, 'day'], [3600, 'h'], [60, 'min']])
    if (s >= span) { const n = Math.floor(s / span); return n + ' ' + unit + (unit === 'day' && n > 1 ? 's' : '') + ' ago'; }
  return 'just now';
}
const when = (t) => ({ at: t });
function historyTable(caption, rows, columns) {
  const t = document.createElement('table');
  t.createCaption().textContent = caption;
  const head = t.insertRow();
  for (const [label] of columns) head.appendChild(document.createElement('th')).textContent = label;
  for (const r of rows) {
    const tr = t.insertRow();
    for (const [, value] of columns) {
      const v = value(r);
      const td = cell(tr, typeof v === 'object' ? agoWords(v.at) : v);
      if (typeof v === 'object') td.title = new Date(v.at * 1000).toLocaleString();
    }
  }
  return t;
}
const played = (s) => Math.floor(s / 3600) + ' h ' + String(Math.floor(s / 60) % 60).padStart(2, '0') + ' min';
function historyCard(p, q) {
  const card = document.createElement('article');
  card.appendChild(document.createElement('h3')).textContent = p.keyhash ? (p.names[0] || { name: p.keyhash }).name
    : 'Actions on a name or address no recorded player held';
  if (p.keyhash) {
    const dl = card.appendChild(document.createElement('dl'));
    for (const [k, v] of [['Key hash', p.keyhash], ['GUID', p.guid || '-'], ['Time played', played(p.seconds_played)],
      ['Sessions', p.sessions.length < 50 ? String(p.sessions.length) : '50 or more'], ['First seen', new Date(p.first_seen * 1000).toLocaleString()],
      ['Last seen', new Date(p.last_seen * 1000).toLocaleString()]])
      dl.appendChild(document.createElement('dt')).textContent = k, dl.appendChild(document.createElement('dd')).textContent = v;
    const seen = [['First seen', (r) => when(r.first_seen)], ['Last seen', (r) => when(r.last_seen)]];
    card.append(historyTable('Names', p.names, [['Name', (r) => r.name], ...seen]),
      historyTable('Addresses', p.addresses, [['Address', (r) => r.address], ...seen]),
      historyTable('Sessions', p.sessions, [['Start', (r) => when(r.start)], ['Played', (r) => played(r.end - r.start)],
        ['Name', (r) => r.name], ['Address', (r) => r.address]]));
  }
  card.appendChild(historyTable('Warnings, kicks, bans, unbans and notes', p.actions.slice().sort((a, b) => b.time - a.time),
    [['When', (r) => when(r.time)], ['What', (r) => r.kind], ['By', (r) => r.who], ['Why', (r) => r.why]]));
  if (p.keyhash && allowed('note')) card.appendChild(noteForm(p, q));
  return card;
}
function noteForm(p, q) {
  const form = document.createElement('form'); form.className = 'row';
  const input = form.appendChild(document.createElement('input'));
  input.maxLength = 222; input.placeholder = 'a note for the other administrators';
  input.setAttribute('aria-label', 'Note on ' + p.keyhash);
  const b = form.appendChild(document.createElement('button')); b.textContent = 'Add note';
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    if (!input.value.trim()) return say('write the note first', true, b);
    try {
      await api('POST', '/api/history/note', { keyhash: p.keyhash, text: input.value.trim() });
      await openHistory(q);
      say('note added', false, document.querySelector('[aria-label="Note on ' + p.keyhash + '"]'));
    } catch (e) { say(e.message, true, b); }
  });
  return form;
}
async function openHistory(q) {
  $('history-q').value = q;
  if ($('view-history').style.display === 'none') show('view-history');
  const out = $('history-out');
  try {
    const data = await api('GET', '/api/history?q=' + encodeURIComponent(q));
    out.textContent = data.players.length ? '' : 'no history of ' + q;
    for (const p of data.players) out.appendChild(historyCard(p, q));
    if (data.more) out.append('More history than one answer holds: look up a key hash.');
  } catch (e) { out.textContent = ''; say(e.message, true, $('history-form')); }
}
$('history-form').addEventListener('submit', (ev) => { ev.preventDefault(); if ($('history-q').value.trim()) openHistory($('history-q').value.trim()); });

function refreshAll() {
  loadMenuReasons();
  loadStatus(); loadPlayers(); loadClients(); loadRotation(); loadSettings(); loadBans(); loadAccounts(); loadLog();
  loadSchedule();
  for (const view of document.querySelectorAll('section[data-file]')) if (!view.hidden) loadTextFile(view);
}

// --- the player menu's reasons, a message to one player, the chat from before the page opened ---
async function loadMenuReasons() {
  if (!allowed('get_player_menu')) return;
  try {
    const pick = $('reason-preset');
    pick.length = 1;
    for (const r of (await load('/api/file/player_menu')).reasons)
      pick.add(new Option((r.ban ? 'ban: ' : 'kick: ') + r.text, JSON.stringify(r)));
  } catch (e) { say(e.message, true); }
}
$('reason-preset').addEventListener('change', () => {
  if (!$('reason-preset').value) return;
  const r = JSON.parse($('reason-preset').value);
  $('player-reason').value = r.text;
  if (r.ban && [...$('ban-duration').options].some((o) => o.value === String(r.duration))) $('ban-duration').value = String(r.duration);
});
kOutcome.message_player = ['message_sent'];
$('msg-button').addEventListener('click', (ev) => {
  const el = ev.currentTarget;
  if (!picked) return say('select a player first', true, el);
  if (!$('player-text').value) return say('write the message first', true, el);
  act('message_player', { name: picked.name, text: $('player-text').value }, el);
  $('player-text').value = '';
});
// The last 50 chat lines of the daemon's log ("# " lines), above those that came live.
let chatEarlierFor = null;
function chatEarlier(text) {
  if (chatEarlierFor === session) return;
  chatEarlierFor = session;
  const live = new Set([...$('chat').children].map((li) => li.dataset.text));
  const first = $('chat').firstChild;
  for (const m of text.split('\n').map((l) => /^\d{4}-\d\d-\d\d (\d\d:\d\d:\d\d) : # (.*?)\s*$/.exec(l)).filter(Boolean).slice(-50)) {
    if (live.has(m[2])) continue;
    const li = chatItem(m[1], m[2]);
    li.classList.add('earlier');
    $('chat').insertBefore(li, first);
  }
}

// A page reloaded inside a live session picks it up again.
api('GET', '/api/session').then(start).catch(() => {});
