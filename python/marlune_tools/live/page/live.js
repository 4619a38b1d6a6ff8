// The live page: draws what `marlune live` sends over its WebSocket (see web.py for the messages).
//
// The spectrogram is a canvas one column per frame and a few pixels per channel, time flowing to
// the left and the newest frame at the right edge, low notes at the bottom. What a test needs is
// also in the DOM: #spectrogram's data-columns (frames painted) and data-lit (lit pixels of the
// newest column, read back from the canvas), #now's and #recent's data-notes (the names shown),
// #status's data-dropped and data-lost, and body's data-state.
"use strict";

const NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"];
const SECONDS = 8; // the width of the picture, in seconds of audio
const RANGE_DB = 54; // colours span this far below the loudest recent level
const LOWEST_CEILING_DB = -60; // so that silence stays dark
const CEILING_FALL_DB = 3; // per second of audio: the colours follow a recording that gets quieter
const RECENT = 14; // notes listed under "Recent notes"
const METER_LOW_DB = -60;
const HOLD_SECONDS = 1.5;
const LABEL_PX = 16; // the height of a sounding note's label on the axis
// Magma-like: dark for silence, bright for loud, readable without a legend.
const STOPS = [
  [0.0, 0, 0, 4], [0.13, 28, 16, 68], [0.25, 79, 18, 123], [0.38, 129, 37, 129], [0.5, 181, 54, 122],
  [0.63, 229, 80, 100], [0.75, 251, 135, 97], [0.88, 254, 194, 135], [1.0, 252, 253, 191],
];

const $ = (id) => document.getElementById(id);
const canvas = $("spectrogram");
const ctx = canvas.getContext("2d", { willReadFrequently: true });
const decoder = new TextDecoder();

let setup = null;
let channels = 0, rowPx = 1, width = 1, height = 1;
let next = 0; // index of the next frame to paint
let pending = []; // rows waiting to be painted (null: a frame that never arrived)
let scheduled = false;
let painted = 0, lost = 0;
let ceiling = LOWEST_CEILING_DB, lutCeiling = NaN, lut = null;
let sounding = [], recent = [];
let holdDb = -Infinity, holdUntil = 0;

function noteName(number) {
  const key = Math.round(number);
  return NAMES[((key % 12) + 12) % 12] + (Math.floor(key / 12) - 1);
}

// The channel position (fractional index) of a note number: the channels' numbers rise.
function channelOf(number) {
  const n = setup.numbers;
  if (number <= n[0]) return 0;
  for (let i = 1; i < n.length; i++) {
    if (number <= n[i]) return i - 1 + (number - n[i - 1]) / (n[i] - n[i - 1]);
  }
  return n.length - 1;
}

function yOf(number, h) {
  return (1 - (channelOf(number) + 0.5) / channels) * h;
}

function colour(v) {
  for (let i = 1; i < STOPS.length; i++) {
    const [x1, r1, g1, b1] = STOPS[i];
    if (v <= x1) {
      const [x0, r0, g0, b0] = STOPS[i - 1];
      const t = (v - x0) / (x1 - x0);
      return [r0 + t * (r1 - r0), g0 + t * (g1 - g0), b0 + t * (b1 - b0)].map(Math.round);
    }
  }
  return STOPS[STOPS.length - 1].slice(1);
}

function makeLut() {
  lut = new Uint8ClampedArray(256 * 3);
  const low = ceiling - RANGE_DB;
  for (let b = 0; b < 256; b++) {
    const db = setup.floorDb + b * setup.stepDb;
    const [r, g, bl] = colour(Math.min(1, Math.max(0, (db - low) / RANGE_DB)));
    lut.set([r, g, bl], b * 3);
  }
  lutCeiling = ceiling;
}

// ---- messages ------------------------------------------------------------------------------------

function onSetup(message) {
  const sameRun = setup !== null && setup.run === message.run;
  setup = message;
  $("source").textContent = message.source;
  if (sameRun) return; // a reconnection: the history sent next is skipped up to `next`
  channels = message.numbers.length;
  rowPx = Math.max(1, Math.round(540 / channels));
  const fps = message.sampleRate / message.hop;
  width = Math.min(1600, Math.max(200, Math.round(SECONDS * fps)));
  height = channels * rowPx;
  canvas.width = width;
  canvas.height = height;
  makeLut();
  ctx.fillStyle = `rgb(${lut[0]},${lut[1]},${lut[2]})`;
  ctx.fillRect(0, 0, width, height);
  next = 0; pending = []; painted = 0; lost = 0;
  ceiling = LOWEST_CEILING_DB; sounding = []; recent = [];
  canvas.dataset.columns = "0";
  drawTimes();
  drawNotes();
  showRecent();
}

function onSnapshot(buffer) {
  if (setup === null) return;
  const length = new DataView(buffer).getUint32(0, true);
  const head = JSON.parse(decoder.decode(new Uint8Array(buffer, 4, length)));
  const levels = new Uint8Array(buffer, 4 + length);
  const end = head.first + head.rows;
  if (head.rows > 0 && end <= next) return; // seen before this reconnection
  if (head.first > next) { // frames that this page never received
    lost += head.first - next;
    for (let i = Math.min(head.first - next, width); i > 0; i--) pending.push(null);
    next = head.first;
  }
  let loudest = 0;
  for (let r = next - head.first; r < head.rows; r++) {
    const row = levels.subarray(r * channels, (r + 1) * channels);
    for (let c = 0; c < channels; c++) if (row[c] > loudest) loudest = row[c];
    pending.push(row);
  }
  next = Math.max(next, end);
  const fallen = ceiling - CEILING_FALL_DB * head.rows * setup.hop / setup.sampleRate;
  ceiling = Math.max(LOWEST_CEILING_DB, fallen, setup.floorDb + loudest * setup.stepDb);
  if (Math.abs(ceiling - lutCeiling) >= 0.5) makeLut();
  if (pending.length > width) pending = pending.slice(pending.length - width);
  if (!scheduled) { scheduled = true; setTimeout(paint, 0); }

  sounding = head.sounding.map(([pitch, onset, velocity]) => ({ pitch, onset, velocity }));
  for (const [onset, offset, pitch, velocity] of head.ended) recent.unshift({ onset, offset, pitch, velocity });
  recent.length = Math.min(recent.length, RECENT);
  showNow();
  showRecent();
  showMeter(head.peak, head.time);
  showStatus(head.status, head.time);
}

// ---- drawing -------------------------------------------------------------------------------------

function paint() {
  scheduled = false;
  const rows = pending;
  pending = [];
  const n = Math.min(rows.length, width);
  if (n === 0) return;
  if (n < width) ctx.drawImage(canvas, n, 0, width - n, height, 0, 0, width - n, height);
  const image = ctx.createImageData(n, height);
  const data = image.data;
  for (let x = 0; x < n; x++) {
    const row = rows[rows.length - n + x];
    for (let c = 0; c < channels; c++) {
      const at = (row === null ? 0 : row[c]) * 3;
      for (let y = (channels - 1 - c) * rowPx, stop = y + rowPx; y < stop; y++) {
        const i = (y * n + x) * 4;
        data[i] = lut[at]; data[i + 1] = lut[at + 1]; data[i + 2] = lut[at + 2]; data[i + 3] = 255;
      }
    }
    if (row !== null) painted++;
  }
  ctx.putImageData(image, width - n, 0);
  canvas.dataset.columns = String(painted);
  // What the canvas holds now, read back: the lit pixels of the newest column.
  const column = ctx.getImageData(width - 1, 0, 1, height).data;
  let lit = 0;
  for (let i = 0; i < column.length; i += 4) if (column[i] + column[i + 1] + column[i + 2] > 120) lit++;
  canvas.dataset.lit = String(lit);
}

// A canvas sized to its box in device pixels; returns its context and CSS size.
function fit(element) {
  const box = element.getBoundingClientRect();
  const scale = window.devicePixelRatio || 1;
  element.width = Math.max(1, Math.round(box.width * scale));
  element.height = Math.max(1, Math.round(box.height * scale));
  const context = element.getContext("2d");
  context.setTransform(scale, 0, 0, scale, 0, 0);
  return [context, box.width, box.height];
}

// The note axis, the octave lines over the picture, and the notes sounding now marked on both.
function drawNotes() {
  if (setup === null) return;
  const [axis, aw, ah] = fit($("axis"));
  const [over, ow, oh] = fit($("overlay"));
  const low = Math.ceil(setup.numbers[0] - 0.5), high = Math.floor(setup.numbers[channels - 1] + 0.5);
  const spacing = channels > 1 ? (setup.numbers[channels - 1] - setup.numbers[0]) / (channels - 1) : 1;
  const semitone = ah / channels / spacing; // pixels
  const every = semitone >= 14 ? [0, 2, 4, 5, 7, 9, 11] : [0];
  const held = new Set(sounding.map((s) => s.pitch));
  // The sounding notes' labels, top to bottom, pushed apart where they would overlap.
  const labels = [...held].map((key) => ({ key, y: yOf(key, ah) })).sort((a, b) => a.y - b.y);
  for (let i = 1; i < labels.length; i++) labels[i].y = Math.max(labels[i].y, labels[i - 1].y + LABEL_PX);
  axis.textAlign = "right";
  axis.textBaseline = "middle";
  over.lineWidth = 1;
  for (let key = low; key <= high; key++) {
    const pitchClass = ((key % 12) + 12) % 12;
    if (pitchClass === 0) {
      const y = Math.round(yOf(key, oh)) + 0.5;
      over.strokeStyle = "rgba(255,255,255,0.13)";
      over.beginPath(); over.moveTo(0, y); over.lineTo(ow, y); over.stroke();
    }
    const y = Math.min(ah - 7, Math.max(7, yOf(key, ah)));
    if (every.includes(pitchClass) && !labels.some((label) => Math.abs(label.y - y) < LABEL_PX)) {
      axis.font = pitchClass === 0 ? "600 12px system-ui, sans-serif" : "11px system-ui, sans-serif";
      axis.fillStyle = pitchClass === 0 ? "#c8c8d2" : "#7a7a88";
      axis.fillText(noteName(key), aw - 4, y);
    }
  }
  for (const { key, y } of labels) {
    axis.fillStyle = "#ffd45c";
    axis.fillRect(0, y - LABEL_PX / 2 + 1, aw, LABEL_PX - 2);
    axis.fillStyle = "#111";
    axis.font = "700 12px system-ui, sans-serif";
    axis.fillText(noteName(key), aw - 4, y);
    const yo = yOf(key, oh);
    over.fillStyle = "#ffd45c";
    over.beginPath(); over.moveTo(ow, yo - 6); over.lineTo(ow - 9, yo); over.lineTo(ow, yo + 6); over.fill();
  }
}

function drawTimes() {
  const times = $("times");
  times.textContent = "";
  const seconds = width * setup.hop / setup.sampleRate;
  const step = seconds > 12 ? 4 : 2;
  for (let s = Math.floor(seconds / step) * step; s >= 0; s -= step) {
    const label = document.createElement("span");
    label.textContent = s === 0 ? "now" : `\u2212${s} s`;
    label.style.left = `${100 * (1 - s / seconds)}%`;
    times.appendChild(label);
  }
}

// ---- the panels ----------------------------------------------------------------------------------

function showNow() {
  const now = $("now");
  const names = sounding.map((s) => noteName(s.pitch));
  if (now.dataset.notes === names.join(" ")) return;
  now.textContent = "";
  for (const s of sounding) {
    const span = document.createElement("span");
    span.textContent = noteName(s.pitch);
    span.dataset.pitch = String(s.pitch);
    span.style.opacity = String(0.7 + 0.3 * s.velocity / 127);
    now.appendChild(span);
  }
  now.dataset.notes = names.join(" ");
  drawNotes();
}

function showRecent() {
  const list = $("recent");
  list.textContent = "";
  for (const note of recent) {
    const item = document.createElement("li");
    item.dataset.pitch = String(note.pitch);
    const name = document.createElement("b");
    name.textContent = noteName(note.pitch);
    const at = document.createElement("span");
    at.textContent = `${note.onset.toFixed(2)} s`;
    const length = document.createElement("span");
    length.textContent = `${(note.offset - note.onset).toFixed(2)} s long`;
    item.append(name, at, length);
    list.appendChild(item);
  }
  list.dataset.notes = recent.map((n) => noteName(n.pitch)).join(" ");
}

function showMeter(peak, time) {
  const db = peak === null ? -Infinity : peak;
  if (db >= holdDb || time >= holdUntil) { holdDb = db; holdUntil = time + HOLD_SECONDS; }
  const share = (v) => `${100 * Math.min(1, Math.max(0, (v - METER_LOW_DB) / -METER_LOW_DB))}%`;
  $("meter-bar").style.width = share(db);
  $("meter-hold").style.left = share(holdDb);
  $("meter-text").textContent = db === -Infinity ? "silence" : `${db.toFixed(1)} dBFS, peak ${holdDb.toFixed(1)}`;
}

const ms = (s) => (s === null ? "\u2013" : `${(1000 * s).toFixed(1)} ms`);

function showStatus(status, time) {
  const footer = $("status");
  footer.dataset.dropped = String(status.dropped);
  footer.dataset.lost = String(lost);
  const parts = [
    `heard <b>${(status.heard ?? time ?? 0).toFixed(1)} s</b>`,
    `input latency <b>${ms(setup.inputLatency)}</b>`,
    `analysis delay <b>${ms(status.median)}</b> median, <b>${ms(status.p999)}</b> p99.9, longest ${ms(status.longest)}`,
    `<span class="${status.dropped ? "bad" : ""}">dropped blocks <b>${status.dropped}</b></span>`,
    `CPU <b>${status.cpu === null ? "\u2013" : (100 * status.cpu).toFixed(1) + " %"}</b>`,
  ];
  if (lost) parts.push(`<span class="bad">frames lost on the way to this page <b>${lost}</b></span>`);
  footer.innerHTML = parts.join(" \u00b7 ");
}

// ---- the connection ------------------------------------------------------------------------------

let retry = 250;

function setState(state) {
  document.body.dataset.state = state;
  $("connection").textContent = state;
}

function connect() {
  const socket = new WebSocket(`ws://${location.host}/socket`);
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { setState("connected"); retry = 250; };
  socket.onmessage = (event) => {
    if (typeof event.data === "string") onSetup(JSON.parse(event.data));
    else onSnapshot(event.data);
  };
  // Also after a failed attempt: the command may not be running yet, or again.
  socket.onclose = () => {
    setState("reconnecting");
    setTimeout(connect, retry);
    retry = Math.min(2 * retry, 4000);
  };
}

window.addEventListener("resize", () => { if (setup !== null) { drawNotes(); } });
connect();
