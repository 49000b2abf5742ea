// plumbra live: the remote page. The token lives in this tab's session storage
// and goes with every API request as "Authorization: Bearer"; the meter stream
// (EventSource, which cannot send headers) carries it as ?token=.
'use strict';

const KEY = 'plumbra-token';
const $ = (id) => document.getElementById(id);
let token = sessionStorage.getItem(KEY) || '';
let order = [];          // meter symbols in stream order
let index = {};          // symbol -> position
let controls = [];       // from /api/state
let lastEvent = 0;
let stream = null;
let timers = [];
const dragging = new Set();
// Per control: sends not yet answered (a state cannot hold them yet).
const inFlight = {};
// The server numbers the writes it accepts, and every state says how many it
// holds: one that holds fewer than this page has had answered was asked for
// before the change, and would put a slider back to a value passed over.
let knownWrite = 0;
function answered(r) {
  if (r.status === 200 && r.data && r.data.write > knownWrite) knownWrite = r.data.write;
}

async function api(method, path, body) {
  const init = { method, headers: { 'Authorization': 'Bearer ' + token } };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (res.status === 401) { logout('The token was not accepted.'); throw new Error('401'); }
  return { status: res.status, data };
}

function showLogin(message) {
  $('main').hidden = true;
  $('login').hidden = false;
  const err = $('login-error');
  err.hidden = !message;
  err.textContent = message || '';
}

function logout(message) {
  sessionStorage.removeItem(KEY);
  token = '';
  if (stream) { stream.close(); stream = null; }
  timers.forEach(clearInterval);
  timers = [];
  showLogin(message);
}

function fmt(v, digits, unit) {
  if (v === null || v === undefined || !isFinite(v)) return '-';
  return v.toFixed(digits) + (unit ? ' ' + unit : '');
}

function pct(v, lo, hi) {
  if (v === null || !isFinite(v)) return 0;
  return Math.max(0, Math.min(100, (v - lo) / (hi - lo) * 100));
}

// ---- meters
function buildBands() {
  const box = $('bands');
  box.textContent = '';
  for (let b = 1; b <= 12; b++) {
    const d = document.createElement('div');
    d.className = 'band';
    d.innerHTML = '<div class="vbar"><div class="span"></div><div class="fill"></div><div class="gate"></div></div><span>' + b + '</span>';
    d.title = 'Band ' + b;
    box.appendChild(d);
  }
}

function meter(values, symbol) {
  const i = index[symbol];
  return i === undefined ? null : values[i];
}

function showMeters(f) {
  const v = f.meters;
  const bars = $('bands').children;
  for (let b = 1; b <= 12; b++) {
    const lo = meter(v, 'band_' + b + '_gain_low'), hi = meter(v, 'band_' + b + '_gain_high');
    const gate = meter(v, 'band_' + b + '_gate');
    const bar = bars[b - 1].firstChild;
    const top = pct(hi, -30, 50), bottom = pct(lo, -30, 50);
    bar.children[0].style.bottom = bottom + '%';
    bar.children[0].style.height = Math.max(0, top - bottom) + '%';
    bar.children[1].style.height = bottom + '%';
    bar.classList.toggle('closed', gate !== null && gate < 0.7071);
    bars[b - 1].title = 'Band ' + b + ': gain ' + fmt(lo, 1) + ' to ' + fmt(hi, 1) + ' dB, gate ' + fmt(gate, 2);
  }
  const gr = meter(v, 'limiter_gain_reduction');
  $('limiter').textContent = fmt(gr, 1, 'dB');
  $('limiter-bar').style.width = pct(gr, 0, 25) + '%';
  const inp = f.loudness.input_level !== null ? f.loudness.input_level : meter(v, 'input_rms');
  $('input').textContent = fmt(inp, 1, 'dB');
  $('input-bar').style.width = pct(inp, -60, 0) + '%';
  const out = meter(v, 'output_peak');
  $('output').textContent = fmt(out, 1, 'dB');
  $('output-bar').style.width = pct(out, -60, 0) + '%';
  $('lu-m').textContent = fmt(f.loudness.momentary, 1, 'LUFS');
  $('lu-s').textContent = fmt(f.loudness.short_term, 1, 'LUFS');
  $('lu-i').textContent = fmt(f.loudness.integrated, 1, 'LUFS');
  $('lu-tp').textContent = fmt(f.loudness.true_peak, 1, 'dBTP');
  showSource(f.source, f.preset);
  if (f.event > lastEvent) loadEvents();
}

function showSource(source, preset) {
  const s = $('source');
  s.textContent = source;
  s.className = 'badge ' + source;
  $('preset').textContent = preset ? 'preset: ' + preset : '';
}

function openStream() {
  if (stream) stream.close();
  stream = new EventSource('/api/stream?token=' + encodeURIComponent(token));
  stream.onmessage = (e) => { try { showMeters(JSON.parse(e.data)); } catch (err) { /* a torn frame: skip it */ } };
}

// ---- controls
function decimals(step) {
  const s = String(step);
  return s.includes('.') ? s.split('.')[1].length : 0;
}

function buildControls(state) {
  const box = $('controls');
  box.textContent = '';
  const sets = {};
  for (const g of state.groups) {
    const fs = document.createElement('fieldset');
    const lg = document.createElement('legend');
    lg.textContent = g;
    fs.appendChild(lg);
    box.appendChild(fs);
    sets[g] = fs;
  }
  for (const c of state.controls) {
    const row = document.createElement('div');
    row.className = 'control';
    const id = 'c-' + c.symbol;
    const label = document.createElement('label');
    label.htmlFor = id;
    label.textContent = c.label;
    const input = document.createElement('input');
    input.id = id;
    input.dataset.symbol = c.symbol;
    const out = document.createElement('output');
    out.htmlFor = id;
    if (c.toggle) {
      input.type = 'checkbox';
    } else {
      input.type = 'range';
      input.min = c.min; input.max = c.max; input.step = c.step;
    }
    const show = () => {
      out.textContent = c.toggle ? (input.checked ? 'on' : 'off')
        : Number(input.value).toFixed(decimals(c.step)) + (c.unit ? ' ' + c.unit : '');
    };
    const send = async () => {
      const value = c.toggle ? (input.checked ? 1 : 0) : Number(input.value);
      inFlight[c.symbol] = (inFlight[c.symbol] || 0) + 1;
      try {
        const r = await api('PUT', '/api/controls', { [c.symbol]: value });
        answered(r);
        row.classList.toggle('bad', r.status !== 200);
      } finally {
        if (--inFlight[c.symbol] === 0) dragging.delete(c.symbol);
      }
    };
    input.addEventListener('input', () => { dragging.add(c.symbol); show(); });
    input.addEventListener('change', send);
    row.append(label, input, out);
    row.show = show;
    sets[c.group].appendChild(row);
  }
  showControls(state);
}

function showControls(state) {
  if (state.writes && state.writes.accepted < knownWrite) return;  // older than a change made here
  for (const c of state.controls) {
    if (dragging.has(c.symbol) || inFlight[c.symbol]) continue;
    const input = document.getElementById('c-' + c.symbol);
    if (!input) continue;
    if (c.toggle) input.checked = c.value >= 0.5; else input.value = c.value;
    input.parentNode.show();
  }
}

async function loadState(first) {
  const r = await api('GET', '/api/state');
  if (r.status !== 200) return;
  if (first) buildControls(r.data); else showControls(r.data);
  controls = r.data.controls;
  showSource(r.data.source, r.data.preset);
  const up = Math.floor(r.data.uptime);
  $('status').textContent = 'up ' + Math.floor(up / 3600) + 'h' + String(Math.floor(up / 60) % 60).padStart(2, '0') +
    ' · xruns ' + r.data.xruns + ' · recoveries ' + r.data.recoveries;
}

// ---- presets and events
async function loadPresets() {
  const r = await api('GET', '/api/presets');
  if (r.status !== 200) return;
  const sel = $('preset-list');
  const keep = sel.value;
  sel.textContent = '';
  for (const name of r.data.presets) {
    const o = document.createElement('option');
    o.value = o.textContent = name;
    sel.appendChild(o);
  }
  if (keep) sel.value = keep;
}

async function loadEvents() {
  const r = await api('GET', '/api/events?since=0');
  if (r.status !== 200) return;
  lastEvent = r.data.last;
  const list = $('events');
  list.textContent = '';
  for (const e of r.data.events.slice(-30).reverse()) {
    const li = document.createElement('li');
    const { seq, event, time, ...rest } = e;
    li.textContent = (time ? time + ' ' : '') + (event || 'event') + ' ' + JSON.stringify(rest);
    list.appendChild(li);
  }
}

function presetMessage(text) { $('preset-message').textContent = text; }

async function recall() {
  const name = $('preset-list').value;
  if (!name) return;
  const r = await api('POST', '/api/presets/' + encodeURIComponent(name) + '/recall');
  answered(r);
  presetMessage(r.status === 200 ? 'Recalled ' + name : (r.data && r.data.error) || 'Recall failed');
  loadState(false);
}

async function save() {
  const name = $('preset-name').value.trim();
  if (!name) return;
  const r = await api('PUT', '/api/presets/' + encodeURIComponent(name));
  presetMessage(r.status < 300 ? 'Saved ' + name : (r.data && r.data.error) || 'Save failed');
  loadPresets();
}

// ---- start
async function start() {
  try {
    const m = await api('GET', '/api/meters');
    if (m.status !== 200) { logout('The server refused: ' + m.status); return; }
    order = m.data.order;
    index = {};
    order.forEach((s, i) => { index[s] = i; });
    $('login').hidden = true;
    $('main').hidden = false;
    buildBands();
    await loadState(true);
    await loadPresets();
    await loadEvents();
    openStream();
    timers.push(setInterval(() => loadState(false).catch(() => {}), 2000));
  } catch (e) {
    if (token) showLogin('Cannot reach the engine.');
  }
}

$('login-form').addEventListener('submit', (e) => {
  e.preventDefault();
  token = $('token').value.trim();
  sessionStorage.setItem(KEY, token);
  $('token').value = '';
  start();
});
$('logout').addEventListener('click', () => logout(''));
$('recall').addEventListener('click', recall);
$('save').addEventListener('click', save);

if (token) start(); else showLogin('');
