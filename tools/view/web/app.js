// The viewer's page: frames arrive as binary WebSocket messages (layout in
// tools/view/frame_message.h) and are coloured here; commands go back as
// one line of text, answers come as JSON.
import * as THREE from 'three';
import { OrbitControls } from 'orbit';

const token = new URLSearchParams(location.search).get('t');
const $ = (id) => document.getElementById(id);
const FRAME_MAGIC = 0x3146564b, RAYS_MAGIC = 0x3152564b, HEADER = 64;
const FLAG_REPLAY = 1;

// Test and debugging hooks: what arrived and what was painted. latencies:
// from the frame's last byte reaching the host to its paint (ms); serverAges:
// the server's share of that; messageToPaint: from the WebSocket message to
// the paint; paintMs: the page's own time for a paint.
const stats = { received: 0, painted: 0, skipped: 0, latencies: [], serverAges: [],
                messageToPaint: [], paintMs: [], last: null, answers: [], status: null, cloudPoints: 0,
                hello: null };
const KEEP_SAMPLES = 300;
window.kavriView = stats;

// Near red, far blue, as the command line's pictures.
const ramp = new Uint8Array(256 * 3);
for (let i = 0; i < 256; i++) {
  const c = new THREE.Color().setHSL((i / 255) * (240 / 360), 1, 0.5);
  ramp[3 * i] = c.r * 255; ramp[3 * i + 1] = c.g * 255; ramp[3 * i + 2] = c.b * 255;
}

let ws, rays = null, pending = null, scheduled = false, replayFrames = 0, firstNumber = null;

function connect() {
  ws = new WebSocket(`ws://${location.host}/ws?t=${token}`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { $('conn').textContent = 'connected'; };
  ws.onclose = () => { $('conn').textContent = 'disconnected'; };
  ws.onmessage = (ev) => {
    if (typeof ev.data === 'string') return onText(JSON.parse(ev.data));
    const v = new DataView(ev.data);
    const magic = v.getUint32(0, true);
    if (magic === RAYS_MAGIC) {
      rays = { w: v.getUint32(4, true), h: v.getUint32(8, true), xyz: new Float32Array(ev.data, 16) };
    } else if (magic === FRAME_MAGIC) {
      stats.received++;
      pending = { buf: ev.data, arrived: performance.now() };  // only the newest is painted
      if (!scheduled) { scheduled = true; requestAnimationFrame(paint); }
    }
  };
}

function parseFrame(buf) {
  const v = new DataView(buf);
  const w = v.getUint32(8, true), h = v.getUint32(12, true), n = w * h;
  return {
    flags: v.getUint16(6, true), w, h, number: v.getUint32(16, true),
    arrivalMs: v.getFloat64(24, true), lost: v.getUint32(40, true),
    ageMs: v.getFloat32(44, true), fps: v.getFloat32(48, true),
    position: v.getUint32(52, true), lo: v.getUint16(56, true), hi: v.getUint16(58, true),
    valid: v.getUint32(60, true),
    dist: new Uint16Array(buf, HEADER, n), amp: new Uint16Array(buf, HEADER + 2 * n, n),
  };
}

function range(f) {
  if ($('range-mode').value === 'fixed') return [+$('range-min').value, +$('range-max').value];
  return [f.lo, Math.max(f.hi, f.lo + 1)];
}

function fit(canvas, w, h) { if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; } }

function paint() {
  scheduled = false;
  if (!pending) return;
  const started = performance.now();
  const { buf, arrived } = pending;
  pending = null;
  const f = parseFrame(buf);
  stats.last = f;
  const [lo, hi] = range(f);
  const n = f.w * f.h;
  for (const c of [$('dist'), $('amp'), $('mask')]) fit(c, f.w, f.h);
  const dctx = $('dist').getContext('2d'), actx = $('amp').getContext('2d'), mctx = $('mask').getContext('2d');
  const di = dctx.createImageData(f.w, f.h), ai = actx.createImageData(f.w, f.h), mi = mctx.createImageData(f.w, f.h);
  let ampMax = 1;
  for (let i = 0; i < n; i++) if (f.amp[i] > ampMax) ampMax = f.amp[i];
  const scale = 255 / (hi - lo);
  for (let i = 0, o = 0; i < n; i++, o += 4) {
    const d = f.dist[i];
    if (d === 0) { di.data[o + 3] = 255; mi.data[o] = mi.data[o + 1] = mi.data[o + 2] = 255; }
    else {
      const k = 3 * Math.max(0, Math.min(255, Math.round((d - lo) * scale)));
      di.data[o] = ramp[k]; di.data[o + 1] = ramp[k + 1]; di.data[o + 2] = ramp[k + 2];
    }
    di.data[o + 3] = mi.data[o + 3] = ai.data[o + 3] = 255;
    const a = Math.min(255, (f.amp[i] * 255) / ampMax);
    ai.data[o] = ai.data[o + 1] = ai.data[o + 2] = a;
  }
  dctx.putImageData(di, 0, 0); actx.putImageData(ai, 0, 0); mctx.putImageData(mi, 0, 0);
  drawBar(lo, hi, f.h);
  updateCloud(f, lo, hi, ampMax);
  stats.painted++;
  // The server's clock and this one are the same when the page runs on the
  // camera's host; through a tunnel to another machine they may differ.
  const latency = Date.now() - f.arrivalMs;
  keep(stats.latencies, latency);
  keep(stats.serverAges, f.ageMs);
  keep(stats.messageToPaint, performance.now() - arrived);
  keep(stats.paintMs, performance.now() - started);
  // Frames the capture made since this page's first that it did not paint:
  // left out by the server for a slow page, or replaced here before a paint.
  if (firstNumber === null || f.number < firstNumber) firstNumber = f.number - stats.painted + 1;
  stats.skipped = f.number - firstNumber + 1 - stats.painted;
  $('fps').textContent = f.fps.toFixed(1);
  $('skipped').textContent = stats.skipped;
  $('latency').textContent = `${latency.toFixed(0)} ms (server ${f.ageMs.toFixed(1)} ms)`;
  if (f.flags & FLAG_REPLAY) { $('position').textContent = `${f.position} / ${replayFrames}`; $('seek').value = f.position; }
}

function keep(list, v) { list.push(v); if (list.length > KEEP_SAMPLES) list.shift(); }

function drawBar(lo, hi, h) {
  const bar = $('bar');
  fit(bar, 24, h);
  const ctx = bar.getContext('2d');
  for (let y = 0; y < h; y++) {  // far (blue) at the top
    const k = 3 * Math.round(255 * (1 - y / (h - 1)));
    ctx.fillStyle = `rgb(${ramp[k]},${ramp[k + 1]},${ramp[k + 2]})`;
    ctx.fillRect(0, y, 24, 1);
  }
  $('range-text').textContent = `${lo} .. ${hi} mm`;
}

// ---- point cloud ----
const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setSize(480, 360);
$('cloud').appendChild(renderer.domElement);
const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(60, 480 / 360, 0.01, 100);
camera.position.set(0, 0, 0.5);
const controls = new OrbitControls(camera, renderer.domElement);
controls.target.set(0, 0, -2);
controls.update();
const geom = new THREE.BufferGeometry();
let points = null;

function updateCloud(f, lo, hi, ampMax) {
  if (!rays || rays.w !== f.w || rays.h !== f.h) return;
  const n = f.w * f.h;
  if (!points || geom.getAttribute('position').count !== n) {
    geom.setAttribute('position', new THREE.BufferAttribute(new Float32Array(3 * n), 3));
    geom.setAttribute('color', new THREE.BufferAttribute(new Float32Array(3 * n), 3));
    if (!points) {
      points = new THREE.Points(geom, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true }));
      points.frustumCulled = false;
      scene.add(points);
    }
  }
  const pos = geom.getAttribute('position').array, col = geom.getAttribute('color').array;
  const byAmp = $('cloud-colour').value === 'amplitude';
  let k = 0;
  for (let i = 0; i < n; i++) {
    const d = f.dist[i] / 1000;
    if (d === 0) continue;
    // Camera frame: x right, y down, z forward; three.js looks along -z with y up.
    pos[3 * k] = rays.xyz[3 * i] * d; pos[3 * k + 1] = -rays.xyz[3 * i + 1] * d; pos[3 * k + 2] = -rays.xyz[3 * i + 2] * d;
    if (byAmp) col[3 * k] = col[3 * k + 1] = col[3 * k + 2] = Math.min(1, f.amp[i] / ampMax);
    else {
      const c = 3 * Math.max(0, Math.min(255, Math.round(((f.dist[i] - lo) * 255) / (hi - lo))));
      col[3 * k] = ramp[c] / 255; col[3 * k + 1] = ramp[c + 1] / 255; col[3 * k + 2] = ramp[c + 2] / 255;
    }
    k++;
  }
  geom.setDrawRange(0, k);
  geom.getAttribute('position').needsUpdate = true;
  geom.getAttribute('color').needsUpdate = true;
  renderer.render(scene, camera);
  stats.cloudPoints = k;
}
controls.addEventListener('change', () => renderer.render(scene, camera));

// ---- probe ----
for (const id of ['dist', 'amp', 'mask']) {
  $(id).addEventListener('mousemove', (ev) => {
    const f = stats.last;
    if (!f) return;
    const r = ev.target.getBoundingClientRect();
    const x = Math.floor(((ev.clientX - r.left) / r.width) * f.w), y = Math.floor(((ev.clientY - r.top) / r.height) * f.h);
    const i = y * f.w + x;
    $('probe').textContent = `pixel ${x},${y}: ${f.dist[i] ? f.dist[i] + ' mm' : 'no distance'}, amplitude ${f.amp[i]}`;
  });
}

// ---- layout: the images side by side, or one at a time ----
function applyLayout() {
  const single = $('layout').value === 'single';
  $('images').classList.toggle('single', single);
  $('shown').hidden = !single;
  for (const id of ['dist', 'amp', 'mask']) $('img-' + id).classList.toggle('shown', $('shown').value === id);
  localStorage.setItem('kavri-view-layout', JSON.stringify([$('layout').value, $('shown').value]));
}
try {
  const [layout, shown] = JSON.parse(localStorage.getItem('kavri-view-layout')) || [];
  if (layout) $('layout').value = layout;
  if (shown) $('shown').value = shown;
} catch { /* nothing kept, or not ours */ }
$('layout').onchange = applyLayout;
$('shown').onchange = applyLayout;
applyLayout();

// ---- controls ----
const CONTROLS = [
  ['fps', 'frame rate'], ['intg_time', 'integration time'], ['mod_freq', 'modulation frequency (Hz)'],
  ['auto_intg', 'automatic integration (per mille, off)'], ['smooth', 'smoothing level (off)'],
  ['amp_min', 'amplitude minimum (off)'], ['undistort', 'undistortion (on, off)'], ['offset', 'offset (mm)'],
  ['temporal', 'temporal filter (per mille of each new frame, off)'],
];
for (const [name, label] of CONTROLS) {
  const tr = document.createElement('tr');
  tr.innerHTML = `<td>${label}</td><td><input id="in-${name}"></td><td><button id="set-${name}">set</button></td>` +
                 `<td>camera: <b id="ans-${name}">-</b></td><td id="msg-${name}" class="refused"></td>`;
  $('control-table').appendChild(tr);
  const send = () => ws.send(`set ${name} ${$('in-' + name).value.trim()}`);
  $('set-' + name).onclick = send;
  $('in-' + name).addEventListener('keydown', (e) => { if (e.key === 'Enter') send(); });
}

function showSettings(s) {
  for (const [name] of CONTROLS) if (s[name] !== undefined) $('ans-' + name).textContent = s[name];
  $('n-intg').textContent = s.intg_time; $('n-mod').textContent = s.mod_freq; $('n-calib').textContent = s.calibration;
}

function onText(m) {
  if (m.type === 'hello') {
    stats.hello = m;
    $('source').textContent = `${m.product} ${m.ident} (${m.source})`;
    replayFrames = m.frames;
    if (m.replay) { $('replay').hidden = false; $('seek').max = Math.max(0, m.frames - 1); }
    ws.send('settings');
  } else if (m.type === 'settings') {
    showSettings(m.settings);
  } else if (m.type === 'answer') {
    stats.answers.push(m);
    if ($('ans-' + m.name)) {
      $('ans-' + m.name).textContent = m.value;
      $('msg-' + m.name).textContent = m.ok ? '' : `refused: ${m.message}`;
    }
  } else if (m.type === 'status') {
    stats.status = m;
    const l = m.lost;
    $('lost').textContent = `${l.transfer} in transfer, ${l.damaged} damaged, ${l.slow_fetch} dropped for a slow fetch, ` +
      `${l.refused} refused by the consistency check, ${l.bytes_skipped} bytes skipped` +
      (l.transfer_errors ? `, ${l.transfer_errors} failed transfers` : '');
    if (m.replay_frames !== undefined) replayFrames = m.replay_frames;
  } else if (m.type === 'recording') {
    $('rec-state').textContent = m.message;
    recording.raw = m.recording && m.recording.raw !== null;
    recording.oni = m.recording && m.recording.oni !== null;
    $('rec-raw').textContent = recording.raw ? 'stop raw' : 'record raw';
    $('rec-oni').textContent = recording.oni ? 'stop ONI' : 'record ONI';
  } else if (m.type === 'replay') {
    stats.replay = m;
  }
}

const recording = { raw: false, oni: false };
$('rec-raw').onclick = () => ws.send(recording.raw ? 'record raw-stop' : 'record raw');
$('rec-oni').onclick = () => ws.send(recording.oni ? 'record oni-stop' : 'record oni');
const snapRange = () => ($('range-mode').value === 'fixed' ? `${$('range-min').value}:${$('range-max').value}` : 'auto');
$('snap-png').onclick = () => { $('snap-png').href = `/download/snapshot.png?t=${token}&range=${snapRange()}`; };
$('snap-ply').onclick = () => { $('snap-ply').href = `/download/snapshot.ply?t=${token}&range=${snapRange()}`; };
$('play').onclick = () => ws.send('play');
$('pause').onclick = () => ws.send('pause');
$('step').onclick = () => ws.send('step');
$('seek').onchange = () => ws.send(`seek ${$('seek').value}`);

connect();
