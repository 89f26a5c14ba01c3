// The panel's page: draws each state the simulator sends (GET /events) and
// posts the controls back. Plain script, no libraries.
'use strict';

const $ = (id) => document.getElementById(id);
let state = null;
let world = null;
let path = [];
let frames = 0;           // states drawn, read by the browser test
let consoleEnd = 0;       // bytes of output shown so far
let screenVersion = null;
let screenLoading = false;
let drag = null;          // the robot being dragged: {x, y, heading}

function post(url, body) {
  const init = { method: 'POST' };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers = { 'Content-Type': 'application/json' };
  }
  return fetch(url, init).then((r) => {
    if (!r.ok) r.text().then((t) => console.warn(url + ': ' + t.trim()));
  });
}

// ---- Controls ---------------------------------------------------------------

const ButtonKeys = { a: 'a', b: 'b', c: 'c', x: 'x', y: 'y', z: 'z', ' ': 'side' };
const held = new Set();

function press(name, down) {
  const element = document.querySelector('[data-button="' + name + '"]');
  if (down === held.has(name)) return;
  if (down) held.add(name); else held.delete(name);
  if (element) element.classList.toggle('down', down);
  post('/button/' + name + '/' + (down ? 'press' : 'release'));
}

for (const element of document.querySelectorAll('[data-button]')) {
  const name = element.dataset.button;
  element.addEventListener('pointerdown', (e) => { e.preventDefault(); element.setPointerCapture(e.pointerId); press(name, true); });
  element.addEventListener('pointerup', () => press(name, false));
  element.addEventListener('pointercancel', () => press(name, false));
}

function typing(e) {
  return e.target && ['INPUT', 'SELECT', 'TEXTAREA'].includes(e.target.tagName) && e.target.type !== 'checkbox';
}

document.addEventListener('keydown', (e) => {
  if (typing(e) || e.ctrlKey || e.metaKey || e.altKey) return;
  const key = e.key.toLowerCase();
  if (key in ButtonKeys) { e.preventDefault(); if (!e.repeat) press(ButtonKeys[key], true); }
  else if (key === 'p' && !e.repeat) post(state && state.paused ? '/resume' : '/pause');
  else if (key === 'n' && !e.repeat) post('/step');
});
document.addEventListener('keyup', (e) => {
  const key = e.key.toLowerCase();
  if (key in ButtonKeys) press(ButtonKeys[key], false);
});
window.addEventListener('blur', () => { for (const name of [...held]) press(name, false); });

$('pause').onclick = () => post('/pause');
$('resume').onclick = () => post('/resume');
$('step').onclick = () => post('/step');
$('speed-choice').onchange = (e) => {
  const v = e.target.value;
  post('/speed', { factor: v === 'max' ? 'max' : Number(v) });
};

// Digital pins: a switch for each input pin; analog ports: a slider each.
// A world that drives a port leaves it without a control.
function buildInputs() {
  const digital = $('digital');
  for (let n = 0; n < 16; ++n) {
    const pin = document.createElement('label');
    pin.className = 'pin';
    pin.innerHTML = '<span class="led"></span>' + n + '<br><input type="checkbox" title="external level">';
    pin.querySelector('input').onchange = (e) => post('/digital/' + n, { value: e.target.checked ? 1 : 0 });
    digital.appendChild(pin);
  }
  const analog = $('analog');
  for (let n = 0; n < 6; ++n) {
    const row = document.createElement('div');
    row.className = 'analog';
    row.innerHTML = '<span>' + n + '</span><input type="range" min="0" max="4095" value="2048">' +
      '<output>-</output><label><input type="checkbox" checked title="sensor connected">conn.</label>';
    const slider = row.querySelector('input[type=range]');
    const connected = row.querySelector('input[type=checkbox]');
    connected.checked = false;
    slider.oninput = () => { connected.checked = true; post('/analog/' + n, { value: Number(slider.value) }); };
    connected.onchange = () => post('/analog/' + n, { value: connected.checked ? Number(slider.value) : null });
    analog.appendChild(row);
  }
  const servos = $('servos');
  for (let n = 0; n < 4; ++n) {
    const servo = document.createElement('div');
    servo.className = 'servo';
    servo.innerHTML = '<canvas width="72" height="72"></canvas><div>servo ' + n + '</div><div class="v"></div>';
    servos.appendChild(servo);
  }
}
buildInputs();

// ---- Drawing ----------------------------------------------------------------

function text(id, value) {
  const element = $(id);
  if (element.textContent !== value) element.textContent = value;
}

function drawMotors(motors) {
  const body = document.querySelector('#motors tbody');
  if (body.rows.length !== motors.length)
    body.innerHTML = motors.map(() => '<tr><td></td><td></td><td></td><td></td><td></td></tr>').join('');
  motors.forEach((m, i) => {
    const mode = m.mode === 'pwm' ? 'pwm ' + m.direction : m.mode + (m.mode === 'pid-position' ? (m.done ? ' done' : ' moving') : '');
    const power = m.mode === 'pwm' ? m.power : m.velocity + '/s';
    const cells = [i, mode, power, m.speed.toFixed(0), m.position.toFixed(0)];
    cells.forEach((c, k) => { if (body.rows[i].cells[k].textContent !== String(c)) body.rows[i].cells[k].textContent = c; });
  });
}

function drawServos(servos) {
  document.querySelectorAll('.servo').forEach((element, i) => {
    const s = servos[i];
    element.classList.toggle('off', !s.enabled);
    element.querySelector('.v').textContent = (s.enabled ? 'on' : 'off') + ' ' + s.command + ' / ' + s.shaft.toFixed(0);
    const g = element.querySelector('canvas').getContext('2d');
    const angle = (a) => Math.PI * (1 - a / 1023); // 0 right .. 1023 left
    g.clearRect(0, 0, 72, 72);
    g.lineWidth = 3; g.strokeStyle = '#ccd';
    g.beginPath(); g.arc(36, 44, 28, Math.PI, 2 * Math.PI); g.stroke();
    g.lineWidth = 2; g.strokeStyle = '#c33';
    const c = angle(s.command);
    g.beginPath(); g.moveTo(36 + 22 * Math.cos(c), 44 - 22 * Math.sin(c)); g.lineTo(36 + 30 * Math.cos(c), 44 - 30 * Math.sin(c)); g.stroke();
    g.lineWidth = 4; g.strokeStyle = '#234';
    const a = angle(s.shaft);
    g.beginPath(); g.moveTo(36, 44); g.lineTo(36 + 26 * Math.cos(a), 44 - 26 * Math.sin(a)); g.stroke();
  });
}

function drawPins(digital, analog, driven) {
  document.querySelectorAll('.pin').forEach((element, n) => {
    const d = digital[n];
    element.classList.toggle('output', d.output);
    element.querySelector('.led').classList.toggle('on', d.level === 1);
    element.querySelector('input').hidden = d.output || (driven && driven.digital.includes(n));
  });
  document.querySelectorAll('.analog').forEach((row, n) => {
    row.querySelector('output').textContent = analog[n].value;
    const free = !(driven && driven.analog.includes(n));
    row.querySelector('input[type=range]').disabled = !free;
    row.querySelector('label').hidden = !free;
  });
}

function drawConsole(c) {
  const end = c.start + c.text.length;
  if (end <= consoleEnd) return;
  const element = $('console');
  const fresh = consoleEnd < c.start ? c.text : c.text.slice(consoleEnd - c.start);
  const atBottom = element.scrollTop + element.clientHeight >= element.scrollHeight - 4;
  element.textContent += fresh;
  if (element.textContent.length > 200000) element.textContent = element.textContent.slice(-100000);
  consoleEnd = end;
  if (atBottom) element.scrollTop = element.scrollHeight;
}

function drawScreen(screen) {
  if (screen.version === screenVersion || screenLoading) return;
  screenLoading = true;
  const version = screen.version;
  fetch('/screen').then((r) => r.arrayBuffer()).then((bytes) => {
    const image = new ImageData(new Uint8ClampedArray(bytes), screen.columns, screen.rows);
    $('screen').getContext('2d').putImageData(image, 0, 0);
    screenVersion = version;
  }).catch(() => {}).finally(() => { screenLoading = false; });
}

// The field: metres to canvas pixels, y up.
function fieldScale() {
  const canvas = $('field');
  const s = Math.min(canvas.width / world.width, canvas.height / world.height);
  return { s, toX: (x) => x * s, toY: (y) => canvas.height - y * s };
}

function grey(reflectance) {
  const v = Math.round(255 * Math.max(0, Math.min(1, reflectance)));
  return 'rgb(' + v + ',' + v + ',' + v + ')';
}

function drawField() {
  if (!world) return;
  const canvas = $('field');
  const g = canvas.getContext('2d');
  const { s, toX, toY } = fieldScale();
  g.clearRect(0, 0, canvas.width, canvas.height);
  g.fillStyle = grey(world.floor);
  g.fillRect(0, toY(world.height), world.width * s, world.height * s);
  for (const mark of world.marks) {
    if (mark.area) {
      const [x0, y0, x1, y1] = mark.area;
      g.fillStyle = grey(mark.reflectance);
      g.fillRect(toX(x0), toY(y1), (x1 - x0) * s, (y1 - y0) * s);
    } else {
      g.strokeStyle = grey(mark.reflectance);
      g.lineWidth = Math.max(1, mark.width * s);
      g.beginPath();
      mark.line.forEach(([x, y], i) => (i ? g.lineTo(toX(x), toY(y)) : g.moveTo(toX(x), toY(y))));
      if (mark.closed) g.closePath();
      g.stroke();
    }
  }
  g.fillStyle = '#8a6d4a';
  for (const [x0, y0, x1, y1] of world.boxes) g.fillRect(toX(x0), toY(y1), (x1 - x0) * s, (y1 - y0) * s);
  for (const o of world.objects) {
    const [x0, y0, x1, y1] = o.box;
    g.fillStyle = o.colour;
    g.fillRect(toX(x0), toY(y1), (x1 - x0) * s, (y1 - y0) * s);
  }
  g.strokeStyle = '#444'; g.lineWidth = 3;
  for (const [x1, y1, x2, y2] of world.walls) { g.beginPath(); g.moveTo(toX(x1), toY(y1)); g.lineTo(toX(x2), toY(y2)); g.stroke(); }
  if (path.length > 1) {
    g.strokeStyle = '#e0661a'; g.lineWidth = 2;
    g.beginPath();
    path.forEach(([x, y], i) => (i ? g.lineTo(toX(x), toY(y)) : g.moveTo(toX(x), toY(y))));
    g.stroke();
  }
  const pose = drag || (state && state.robot);
  if (!pose) return;
  const rx = toX(pose.x), ry = toY(pose.y), r = world.robot.radius * s, h = pose.heading * Math.PI / 180;
  g.fillStyle = drag ? '#f0a02099' : '#d0303099';
  g.strokeStyle = '#222'; g.lineWidth = 1.5;
  g.beginPath(); g.arc(rx, ry, r, 0, 2 * Math.PI); g.fill(); g.stroke();
  g.beginPath(); g.moveTo(rx, ry); g.lineTo(rx + r * Math.cos(h), ry - r * Math.sin(h)); g.stroke();
  canvas.dataset.robotX = rx.toFixed(1);
  canvas.dataset.robotY = ry.toFixed(1);
}

// Dragging the robot moves it; with Shift held the drag turns it instead.
function fieldPoint(e) {
  const canvas = $('field');
  const box = canvas.getBoundingClientRect();
  const { s } = fieldScale();
  const px = (e.clientX - box.left) * canvas.width / box.width, py = (e.clientY - box.top) * canvas.height / box.height;
  return { x: px / s, y: (canvas.height - py) / s };
}
$('field').addEventListener('pointerdown', (e) => {
  if (!world || !state || !state.robot) return;
  const p = fieldPoint(e), r = state.robot;
  if (Math.hypot(p.x - r.x, p.y - r.y) > world.robot.radius * 1.5) return;
  drag = { x: r.x, y: r.y, heading: r.heading, turn: e.shiftKey };
  $('field').setPointerCapture(e.pointerId);
});
$('field').addEventListener('pointermove', (e) => {
  if (!drag) return;
  const p = fieldPoint(e);
  if (drag.turn) drag.heading = Math.atan2(p.y - drag.y, p.x - drag.x) * 180 / Math.PI;
  else { drag.x = p.x; drag.y = p.y; }
  drawField();
});
$('field').addEventListener('pointerup', () => {
  if (!drag) return;
  post('/pose', { x: drag.x, y: drag.y, heading: drag.heading });
  path = [];
  drag = null;
});

function draw(s) {
  state = s;
  ++frames;
  document.body.dataset.frames = frames;
  text('program', s.program);
  const badge = $('run-state');
  const label = s.running ? (s.paused ? 'paused' : 'running') : 'ended';
  badge.className = 'badge ' + label;
  text('run-state', label);
  text('sim-time', s.time.toFixed(3));
  text('real-time', s.real.toFixed(1));
  text('speed', s.speed === 'max' ? 'max' : s.speed + 'x');
  const choice = $('speed-choice');
  if (document.activeElement !== choice) {
    const value = String(s.speed);
    if (![...choice.options].some((o) => o.value === value)) choice.add(new Option(value + 'x', value));
    choice.value = value;
  }
  text('rate', s.exchange_rate.toFixed(0));
  text('battery', s.battery.toFixed(2));
  drawMotors(s.motors);
  drawServos(s.servos);
  drawPins(s.digital, s.analog, s.driven);
  drawConsole(s.console);
  drawScreen(s.screen);
  if (s.robot) {
    const last = path[path.length - 1];
    if (!last || Math.hypot(last[0] - s.robot.x, last[1] - s.robot.y) > 0.002) path.push([s.robot.x, s.robot.y]);
    if (path.length > 20000) path = path.slice(-10000);
  }
  drawField();
  if (s.ended) {
    $('ended').hidden = false;
    text('ended-title', 'The program has ended (kestrix-sim exit status ' + s.ended.status + ')');
    text('summary', s.ended.summary);
    document.body.dataset.exitStatus = s.ended.status;
  }
}

function connect() {
  const events = new EventSource('/events');
  events.onmessage = (e) => draw(JSON.parse(e.data));
  events.onerror = () => {
    events.close();
    if (state && state.ended) return;
    if (state) text('run-state', 'simulator gone');
    setTimeout(connect, 1000);
  };
}

fetch('/world').then((r) => (r.ok ? r.json() : null)).then((w) => {
  world = w;
  $('field-hint').hidden = !!w;
  $('field-card').hidden = !w;
}).catch(() => {}).finally(connect);
