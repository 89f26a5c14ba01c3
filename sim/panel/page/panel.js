// The panel's page: draws each state the simulator sends (GET /events) and
// posts the controls back; the run's history (GET /history/...) gives the
// path, the signals' charts (Debian's dygraphs, served as /dygraph.js) and
// the timeline, which shows the run as it was at any moment (GET /at/T).
// In a match the page shows one robot's controller, chosen at the top
// (?robot=N on every request), and every robot on the field.
'use strict';

const $ = (id) => document.getElementById(id);
let state = null;         // the latest state from the stream
let shown = null;         // the state on the page: the latest, or the one scrubbed to
let world = null;
let frames = 0;           // states drawn, read by the browser test
let consoleEnd = 0;       // bytes of output shown so far
let screenVersion = null;
let screenLoading = false;
let drag = null;          // the robot being dragged: {x, y, heading}
let robot = Number(localStorage.getItem('kestrix-panel-robot')) || 0; // whose controller, in a match
let robots = 1;           // robots of the run

// A request for the chosen robot's controller.
function forRobot(path) {
  return robot ? path + '?robot=' + robot : path;
}

function post(url, body) {
  url = forRobot(url);
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
    pin.innerHTML = '<span class="led"></span>' + n + '<br><input type="checkbox" title="external level"><span class="tag"></span>';
    pin.querySelector('input').onchange = (e) => post('/digital/' + n, { value: e.target.checked ? 1 : 0 });
    digital.appendChild(pin);
  }
  const analog = $('analog');
  for (let n = 0; n < 6; ++n) {
    const row = document.createElement('div');
    row.className = 'analog';
    row.innerHTML = '<span>' + n + '</span><input type="range" min="0" max="4095" value="2048">' +
      '<output>-</output><label><input type="checkbox" checked title="sensor connected">conn.</label>' +
      '<span class="tag"></span>';
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
    servo.innerHTML = '<canvas width="72" height="72"></canvas><div>servo ' + n + '</div><div class="v"></div><div class="tag"></div>';
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
    element.querySelector('.tag').textContent = label('servo', i) || '';
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

// What the world drives on each port, from the world's labels.
function label(kind, n) {
  return world && world.labels && world.labels[kind] ? world.labels[kind][String(n)] : undefined;
}

function drawPins(digital, analog, driven) {
  document.querySelectorAll('.pin').forEach((element, n) => {
    const d = digital[n];
    const name = label('digital', n);
    element.classList.toggle('output', d.output);
    element.classList.toggle('driven', !!name);
    // A switch reads 1 while open (its pull-up) and 0 while pressed.
    const pressed = name && name.includes('switch') && d.level === 0;
    element.querySelector('.led').classList.toggle('on', name ? pressed : d.level === 1);
    const tag = element.querySelector('.tag');
    const text = name ? name + (name.includes('switch') ? (pressed ? ': pressed' : ': open') : '') : '';
    if (tag.textContent !== text) tag.textContent = text;
    element.querySelector('input').hidden = d.output || (driven && driven.digital.includes(n));
  });
  document.querySelectorAll('.analog').forEach((row, n) => {
    row.querySelector('output').textContent = analog[n].value;
    const tag = row.querySelector('.tag');
    const name = label('analog', n) || '';
    if (tag.textContent !== name) tag.textContent = name;
    const free = !(driven && driven.analog.includes(n));
    row.querySelector('input[type=range]').disabled = !free;
    row.querySelector('label').hidden = !free;
  });
}

function drawConsole(c, whole) {
  const element = $('console');
  if (whole) { // the console as it was at a moment
    if (element.textContent !== c.text) element.textContent = c.text;
    consoleEnd = -1;
    element.scrollTop = element.scrollHeight;
    return;
  }
  if (consoleEnd < 0) { element.textContent = ''; consoleEnd = 0; }
  const end = c.start + c.text.length;
  if (end <= consoleEnd) return;
  const fresh = consoleEnd < c.start ? c.text : c.text.slice(consoleEnd - c.start);
  const atBottom = element.scrollTop + element.clientHeight >= element.scrollHeight - 4;
  element.textContent += fresh;
  if (element.textContent.length > 200000) element.textContent = element.textContent.slice(-100000);
  consoleEnd = end;
  if (atBottom) element.scrollTop = element.scrollHeight;
}

// The screen now (`at` null) or as it was at simulated time `at`.
function drawScreen(screen, at) {
  const version = at === null ? screen.version : 'at ' + at;
  if (version === screenVersion || screenLoading) return;
  screenLoading = true;
  fetch(forRobot(at === null ? '/screen' : '/screen/at/' + at)).then((r) => r.arrayBuffer()).then((bytes) => {
    const image = new ImageData(new Uint8ClampedArray(bytes), 320, 240);
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
  for (const zone of world.zones || []) {
    g.fillStyle = (zone.colour || '#3050d0') + '40';
    g.strokeStyle = zone.colour || '#3050d0'; g.lineWidth = 1.5;
    g.beginPath();
    zone.polygon.forEach(([x, y], i) => (i ? g.lineTo(toX(x), toY(y)) : g.moveTo(toX(x), toY(y))));
    g.closePath(); g.fill(); g.stroke();
    if (zone.name) {
      g.fillStyle = '#223'; g.font = '12px sans-serif';
      g.fillText(zone.name, toX(zone.polygon[0][0]) + 3, toY(zone.polygon[0][1]) - 3);
    }
  }
  g.strokeStyle = '#444'; g.lineWidth = 3;
  for (const [x1, y1, x2, y2] of world.walls) { g.beginPath(); g.moveTo(toX(x1), toY(y1)); g.lineTo(toX(x2), toY(y2)); g.stroke(); }
  // The pieces where they are at the moment shown.
  const placed = (shown && shown.pieces) || [];
  (world.pieces || []).forEach((piece, n) => {
    if (!placed[n]) return;
    const [x, y, heading] = placed[n];
    g.save();
    g.translate(toX(x), toY(y));
    g.rotate(-heading * Math.PI / 180);
    g.fillStyle = piece.colour; g.strokeStyle = '#222'; g.lineWidth = 1;
    g.beginPath();
    if (piece.shape === 'disc') g.arc(0, 0, piece.radius * s, 0, 2 * Math.PI);
    else g.rect(-piece.length * s / 2, -piece.width * s / 2, piece.length * s, piece.width * s);
    g.fill(); g.stroke();
    g.restore();
  });
  canvas.dataset.pieces = placed.length;
  // The path from the history, up to the moment shown; a jump (the robot
  // put elsewhere) is not drawn as a line.
  const end = shownSample();
  if (robots > 1) drawOtherRobots(g, toX, toY, s);
  g.strokeStyle = robots > 1 ? robotColour(robot) : '#e0661a'; g.lineWidth = 2;
  g.beginPath();
  for (let n = 0; n < end; ++n) {
    const x = history.x[n], y = history.y[n];
    if (x === null || y === null) continue;
    const jump = n === 0 || history.x[n - 1] === null || Math.hypot(x - history.x[n - 1], y - history.y[n - 1]) > 0.05;
    if (jump) g.moveTo(toX(x), toY(y)); else g.lineTo(toX(x), toY(y));
  }
  g.stroke();
  canvas.dataset.pathPoints = end;
  const pose = drag || (shown && shown.robot);
  if (!pose) return;
  const rx = toX(pose.x), ry = toY(pose.y), r = world.robot.radius * s, h = pose.heading * Math.PI / 180;
  if (robots > 1) { // the chosen robot: its colour, outlined
    drawBody(g, rx, ry, r, h, drag ? '#f0a02099' : robotColour(robot) + 'cc', robot);
    g.strokeStyle = '#111'; g.lineWidth = 3;
    g.beginPath(); g.arc(rx, ry, r + 2, 0, 2 * Math.PI); g.stroke();
  } else {
    g.fillStyle = drag ? '#f0a02099' : '#d0303099';
    g.strokeStyle = '#222'; g.lineWidth = 1.5;
    g.beginPath(); g.arc(rx, ry, r, 0, 2 * Math.PI); g.fill(); g.stroke();
    g.beginPath(); g.moveTo(rx, ry); g.lineTo(rx + r * Math.cos(h), ry - r * Math.sin(h)); g.stroke();
  }
  canvas.dataset.robotX = rx.toFixed(1);
  canvas.dataset.robotY = ry.toFixed(1);
}

// ---- A match: the other robots, the chooser --------------------------------

const DefaultColours = ['#285ad2', '#e67800'];
function robotColour(n) {
  const colours = (world && world.robot.colours) || DefaultColours;
  return colours[n] || DefaultColours[n % DefaultColours.length];
}

function drawBody(g, x, y, r, h, fill, n) {
  g.fillStyle = fill; g.strokeStyle = '#222'; g.lineWidth = 1.5;
  g.beginPath(); g.arc(x, y, r, 0, 2 * Math.PI); g.fill(); g.stroke();
  g.beginPath(); g.moveTo(x, y); g.lineTo(x + r * Math.cos(h), y - r * Math.sin(h)); g.stroke();
  g.fillStyle = '#fff'; g.font = 'bold ' + Math.max(10, Math.round(r * 0.8)) + 'px sans-serif';
  g.textAlign = 'center'; g.textBaseline = 'middle';
  g.fillText(String(n + 1), x - r * 0.35 * Math.cos(h), y + r * 0.35 * Math.sin(h));
  g.textAlign = 'start'; g.textBaseline = 'alphabetic';
}

// Every other robot's path (from its own history) up to the moment shown,
// and its body where it is then.
const otherPaths = {};    // robot -> {time, x, y}
let othersLoading = 0;
function loadOtherPaths() {
  if (othersLoading > performance.now() - 250) return;
  othersLoading = performance.now();
  for (let n = 0; n < robots; ++n) {
    if (n === robot) continue;
    const path = otherPaths[n] || (otherPaths[n] = { time: [], x: [], y: [] });
    fetch('/history/x,y/' + path.time.length + '?robot=' + n).then((r) => r.json()).then((h) => {
      if (h.from !== path.time.length) return;
      for (const name of ['time', 'x', 'y']) for (const v of h[name]) path[name].push(v);
    }).catch(() => {});
  }
}

function drawOtherRobots(g, toX, toY, s) {
  const poses = (shown && shown.robots) || [];
  const until = live ? Infinity : scrubbedTo;
  const drawn = [];
  for (let n = 0; n < robots; ++n) {
    if (n === robot) continue;
    const path = otherPaths[n];
    if (path) {
      g.strokeStyle = robotColour(n); g.lineWidth = 2;
      g.beginPath();
      for (let k = 0; k < path.time.length && path.time[k] <= until; ++k) {
        const x = path.x[k], y = path.y[k];
        if (x === null || y === null) continue;
        const jump = k === 0 || path.x[k - 1] === null || Math.hypot(x - path.x[k - 1], y - path.y[k - 1]) > 0.05;
        if (jump) g.moveTo(toX(x), toY(y)); else g.lineTo(toX(x), toY(y));
      }
      g.stroke();
    }
    const pose = poses[n];
    if (!pose) continue;
    const r = world.robot.radius * s;
    drawBody(g, toX(pose.x), toY(pose.y), r, pose.heading * Math.PI / 180, robotColour(n) + 'aa', n);
    drawn.push(n + ':' + toX(pose.x).toFixed(1) + ',' + toY(pose.y).toFixed(1));
  }
  $('field').dataset.others = drawn.join(' ');
}

// The chooser: one button a robot, in its colour; the choice is kept over a
// reload, and the page starts over for the robot chosen.
function buildChooser(names) {
  const box = $('robot-choice');
  box.hidden = robots < 2;
  if (robots < 2) return;
  for (let n = 0; n < robots; ++n) {
    const button = document.createElement('button');
    button.textContent = 'Robot ' + (n + 1);
    button.title = names[n] || '';
    button.dataset.robot = n;
    button.style.borderColor = robotColour(n);
    button.style.background = n === robot ? robotColour(n) : '';
    button.style.color = n === robot ? '#fff' : '';
    button.classList.toggle('on', n === robot);
    button.onclick = () => {
      if (n === robot) return;
      localStorage.setItem('kestrix-panel-robot', String(n));
      location.reload();
    };
    box.appendChild(button);
  }
  document.body.dataset.robot = robot;
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
  drag = null;
});

// ---- History: the path, the signals, the timeline ----------------------------

const history = { time: [], x: [], y: [], heading: [] };
let historyLoading = false;
let chosen = JSON.parse(localStorage.getItem('kestrix-panel-signals') || 'null') || ['analog1', 'motor0.speed'];
const charts = {};         // signal name -> Dygraph
let chartsDrawnAt = 0;
let live = true;
let scrubbedTo = null;     // simulated seconds shown while not live

// Samples drawn: all of them live, up to the moment shown when scrubbed.
function shownSample() {
  if (live || !shown || shown.sample === undefined) return history.time.length;
  return Math.min(history.time.length, shown.sample + 1);
}

function loadHistory() {
  if (historyLoading || !state || state.history.samples <= history.time.length) return;
  historyLoading = true;
  const names = ['x', 'y', 'heading'].concat(chosen.filter((n) => !['x', 'y', 'heading'].includes(n)));
  const from = history.time.length;
  fetch(forRobot('/history/' + names.join(',') + '/' + from)).then((r) => r.json()).then((h) => {
    if (h.from !== history.time.length) return; // the choice changed meanwhile
    for (const name of ['time'].concat(names)) {
      if (!history[name]) history[name] = [];
      for (const v of h[name]) history[name].push(v);
    }
    drawField();
    drawCharts(true);
    // For the benches: when the history so far was drawn, in ms from the page's start.
    document.body.dataset.historySamples = history.time.length;
    document.body.dataset.historyDrawnMs = Math.round(performance.now());
  }).catch(() => {}).finally(() => { historyLoading = false; loadHistory(); });
}

function setChosen(names) {
  chosen = names;
  localStorage.setItem('kestrix-panel-signals', JSON.stringify(chosen));
  for (const key of Object.keys(history)) history[key] = [];
  for (const name of Object.keys(charts)) { charts[name].destroy(); delete charts[name]; }
  $('charts').innerHTML = '';
  loadHistory();
}

fetch('/signals').then((r) => r.json()).then((names) => {
  const box = $('signal-choice');
  for (const name of names) {
    const item = document.createElement('label');
    item.innerHTML = '<input type="checkbox"> ' + name;
    const check = item.querySelector('input');
    check.dataset.signal = name;
    check.checked = chosen.includes(name);
    check.onchange = () => setChosen(names.filter((n) => box.querySelector('[data-signal="' + n + '"]').checked));
    box.appendChild(item);
  }
}).catch(() => {});

// One strip chart a signal, against simulated time; redrawn at most four
// times a second while the run goes on.
function drawCharts(fresh) {
  if (typeof Dygraph === 'undefined') { $('charts').textContent = 'The charts need the package libjs-dygraphs.'; return; }
  const now = performance.now();
  if (fresh && now - chartsDrawnAt < 250) { setTimeout(() => drawCharts(false), 260); return; }
  chartsDrawnAt = now;
  for (const name of chosen) {
    const values = history[name] || [];
    const data = history.time.map((t, n) => [t, values[n] === undefined ? null : values[n]]);
    if (!data.length) continue;
    if (!charts[name]) {
      const element = document.createElement('div');
      element.className = 'chart';
      element.dataset.signal = name;
      $('charts').appendChild(element);
      charts[name] = new Dygraph(element, data, {
        labels: ['time (s)', name], height: 140, legend: 'always', connectSeparatedPoints: false,
        stepPlot: name.startsWith('digital') || name === 'bumped', ylabel: name, xlabel: '',
        underlayCallback: (canvas, area, g) => {
          if (live || scrubbedTo === null) return;
          const x = g.toDomXCoord(scrubbedTo);
          canvas.fillStyle = '#2e6bd8'; canvas.fillRect(x - 1, area.y, 2, area.h);
        },
        clickCallback: (e, x) => scrubTo(x),
      });
    } else {
      charts[name].updateOptions({ file: data });
    }
    charts[name].maindiv_.dataset.points = data.length;
    charts[name].maindiv_.dataset.last = data[data.length - 1][1];
  }
}

// The timeline under the header: the moment shown, live or an earlier one.
function scrubTo(seconds) {
  live = false;
  scrubbedTo = seconds;
  $('timeline').value = seconds;
  $('live').classList.remove('on');
  fetchAt();
}
let atLoading = false;
function fetchAt() {
  if (atLoading || live) return;
  atLoading = true;
  const at = scrubbedTo;
  fetch(forRobot('/at/' + at.toFixed(3))).then((r) => (r.ok ? r.json() : null)).then((s) => {
    if (s && !live) {
      shown = s;
      drawShown(at);
      for (const name of Object.keys(charts)) charts[name].updateOptions({});
    }
  }).catch(() => {}).finally(() => { atLoading = false; if (!live && scrubbedTo !== at) fetchAt(); });
}
$('timeline').addEventListener('input', (e) => scrubTo(Number(e.target.value)));
$('live').onclick = () => {
  live = true; scrubbedTo = null;
  $('live').classList.add('on');
  if (state) draw(state);
  for (const name of Object.keys(charts)) charts[name].updateOptions({});
};
$('live').classList.add('on');

function drawEvents(list) {
  const element = $('events');
  element.innerHTML = '';
  for (const e of list.slice(-12)) {
    const link = document.createElement('a');
    link.href = '#';
    link.textContent = e.event + ' ' + e.time.toFixed(2) + ' s';
    link.onclick = (click) => { click.preventDefault(); scrubTo(e.time); };
    element.appendChild(link);
  }
}
let eventsSeen = 0;
function loadEvents() {
  if (!state || state.history.events === eventsSeen) return;
  eventsSeen = state.history.events;
  fetch(forRobot('/events/list')).then((r) => r.json()).then(drawEvents).catch(() => {});
}

// ---- Camera -----------------------------------------------------------------

const ChannelColours = { red: '#ff3030', green: '#30e040', blue: '#3080ff', yellow: '#ffe020' };
const Palette = ['#ff3030', '#30e040', '#3080ff', '#ffe020', '#ff40ff', '#40ffff'];
let cameraVersion = null;
let cameraLoading = false;

// The picture the program took (now, or at `at`), scaled to the canvas,
// with each channel's blobs: box, centroid, channel name.
function drawCamera(camera, at) {
  $('camera-card').hidden = !camera;
  if (!camera) return;
  const version = at === null ? 'taken ' + camera.taken : 'at ' + camera.time;
  text('camera-info', camera.width + ' x ' + camera.height + ', ' + camera.time.toFixed(2) + ' s');
  if (version === cameraVersion || cameraLoading) return;
  cameraLoading = true;
  fetch(forRobot(at === null ? '/camera' : '/camera/at/' + at)).then((r) => (r.ok ? r.arrayBuffer() : null)).then((bytes) => {
    if (!bytes) return;
    const canvas = $('camera');
    const scale = 320 / camera.width;
    canvas.width = 320; canvas.height = Math.round(camera.height * scale);
    const picture = document.createElement('canvas');
    picture.width = camera.width; picture.height = camera.height;
    picture.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(bytes), camera.width, camera.height), 0, 0);
    const g = canvas.getContext('2d');
    g.imageSmoothingEnabled = false;
    g.drawImage(picture, 0, 0, canvas.width, canvas.height);
    const drawn = [];
    const lines = [];
    camera.channels.forEach((channel, c) => {
      const colour = ChannelColours[channel.name] || Palette[c % Palette.length];
      g.strokeStyle = colour; g.fillStyle = colour; g.lineWidth = 2; g.font = 'bold 12px sans-serif';
      for (const o of channel.objects) {
        const x = o.left * scale, y = o.top * scale;
        const w = (o.right - o.left + 1) * scale, h = (o.bottom - o.top + 1) * scale;
        g.strokeRect(x, y, w, h);
        g.beginPath(); g.arc((o.x + 0.5) * scale, (o.y + 0.5) * scale, 3, 0, 2 * Math.PI); g.fill();
        g.fillText(channel.name || 'channel ' + c, x, y > 14 ? y - 3 : y + h + 12);
        drawn.push({ channel: channel.name, left: o.left, top: o.top, right: o.right, bottom: o.bottom, x: o.x, y: o.y });
      }
      lines.push((channel.name || c) + ': ' + channel.objects.length);
    });
    canvas.dataset.blobs = JSON.stringify(drawn);
    canvas.dataset.scale = scale;
    text('camera-blobs', lines.join(', '));
    cameraVersion = version;
  }).catch(() => {}).finally(() => { cameraLoading = false; });
}

// The buttons with the labels the program gave them, pressed as the
// controller sees them (the page's own presses, the script's, the keys').
function drawButtons(buttons) {
  for (const b of buttons || []) {
    const element = document.querySelector('[data-button="' + b.name + '"]');
    if (!element) continue;
    const label = b.text || b.name.toUpperCase();
    if (b.name !== 'side' && element.textContent !== label) element.textContent = label;
    element.classList.toggle('pressed', b.pressed);
  }
}

// The values of a state on the page: the latest one, or one of the history.
function drawValues(s, at) {
  drawButtons(s.buttons);
  drawMotors(s.motors);
  drawServos(s.servos);
  drawPins(s.digital, s.analog, state ? state.driven : null);
  drawConsole(s.console, at !== null);
  drawScreen(s.screen || {}, at);
  drawCamera(s.camera, at);
  drawField();
}

function drawShown(at) {
  text('shown-time', at.toFixed(2) + ' s');
  if (shown.battery !== undefined) text('battery', shown.battery.toFixed(2));
  drawValues(shown, at);
  if (shown.events) drawEvents(shown.events);
}

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
  const timeline = $('timeline');
  timeline.max = s.history.end;
  if (live) {
    shown = s;
    timeline.value = s.history.end;
    text('shown-time', 'live');
    text('battery', s.battery.toFixed(2));
    drawValues(s, null);
  }
  loadHistory();
  loadEvents();
  if (robots > 1) loadOtherPaths();
  if (s.ended) {
    $('ended').hidden = false;
    text('ended-title', 'The program has ended (kestrix-sim exit status ' + s.ended.status + ')');
    text('summary', s.ended.summary);
    document.body.dataset.exitStatus = s.ended.status;
  }
}

function connect() {
  const events = new EventSource(forRobot('/events'));
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
  if (w) { // the canvas takes the field's proportions: no strip beside it
    const canvas = $('field');
    const s = Math.min(720 / w.width, 540 / w.height);
    canvas.width = Math.round(w.width * s); canvas.height = Math.round(w.height * s);
  }
  $('field-hint').hidden = !!w;
  $('field-card').hidden = !w;
}).catch(() => {})
  // How many robots the run has, before the chosen one's stream: a choice
  // kept from a match does not outlive it.
  .then(() => fetch('/state')).then((r) => r.json()).then((s) => {
    robots = s.robots ? s.robots.length : 1;
    if (robot >= robots) robot = 0;
    return robots > 1 ? Promise.all([...Array(robots).keys()].map((n) =>
      fetch('/state?robot=' + n).then((r) => r.json()).then((t) => t.program))) : [];
  }).then(buildChooser).catch(() => {}).finally(connect);
