// The player page: an AudioContext at the device's rate with the engine's
// AudioWorklet (worklet.js) in it, the transport, the position bar, the time,
// the channel meters and the song file picker.
//
// assets.js (written by the build) carries the worklet's source and the engine's
// wasm as text, so that the page needs no request beyond its own scripts and
// works from a local server and opened from disk alike. Nothing here uses the
// network.
//
// ?seed=N pins the sample-and-hold seed (default 1): the page then plays exactly
// what `zimblo-render --seed N --rate R` renders at the same rate.
//
// For scripts that drive the page: each open's outcome (the embedded song, a
// file from the picker) is announced as a "zimblo-opened" event on the window,
// detail {ok, name, message}; window.zimbloOfflineRender(seconds, rate) renders
// the song that is open, through the same worklet, in an OfflineAudioContext.
"use strict";

const kDefaultSeed = 1;
// Above this the engine's control frame would not fit its buffers.
const kMaxEngineRate = 96468;
const kFallbackRate = 48000;
const kChannels = 16;

const $ = (id) => document.getElementById(id);
const view = {
  play: $("play"), pause: $("pause"), stop: $("stop"), time: $("time"), position: $("position"),
  meters: $("meters"), file: $("file"), embedded: $("embedded"), song: $("song"),
  message: $("message"), rate: $("rate"),
};

function pageSeed() {
  const text = new URLSearchParams(location.search).get("seed");
  if (text === null) return kDefaultSeed;
  const seed = Number(text);
  return Number.isInteger(seed) && seed >= 0 && seed <= 0xffffffff ? seed : kDefaultSeed;
}

function wasmBytes() {
  const text = atob(zimbloAssets.wasm);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
  return bytes;
}

// A data: URL, not a blob: one: a page opened from disk has an opaque origin, and
// the worklet loader refuses blob: modules made there.
let workletUrl = null;
function workletModuleUrl() {
  workletUrl ??= "data:text/javascript;charset=utf-8," + encodeURIComponent(zimbloAssets.worklet);
  return workletUrl;
}

// A worklet node running the engine in `context`; `options` go to the processor.
async function engineNode(context, options) {
  await context.audioWorklet.addModule(workletModuleUrl());
  return new AudioWorkletNode(context, "zimblo-player", {
    numberOfInputs: 0,
    numberOfOutputs: 1,
    outputChannelCount: [2],
    processorOptions: { wasm: wasmBytes().buffer, seed: pageSeed(), ...options },
  });
}

function minutesSeconds(ms) {
  const seconds = Math.max(0, Math.floor(ms / 1000));
  return `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, "0")}`;
}

// Meter bars: one pair per channel, then the master pair.
const bars = [];
function buildMeters() {
  for (let channel = 0; channel <= kChannels; ++channel) {
    const meter = document.createElement("div");
    meter.className = channel === kChannels ? "meter master" : "meter";
    const pair = document.createElement("div");
    pair.className = "bars";
    for (let side = 0; side < 2; ++side) {
      const bar = document.createElement("div");
      bar.className = "bar";
      pair.append(bar);
      bars.push(bar);
    }
    const name = document.createElement("div");
    name.className = "name";
    name.textContent = channel === kChannels ? "M" : String(channel + 1);
    meter.append(pair, name);
    view.meters.append(meter);
  }
}

// A peak in full scale shown on a 48 dB scale.
function barHeight(peak) {
  if (!(peak > 0)) return 0;
  const db = 20 * Math.log10(peak);
  return Math.max(0, Math.min(100, (db + 48) / 48 * 100));
}

const player = {
  context: null,
  node: null,
  songOpen: false,
  state: 0,
  running: false,
  lengthMs: 0,
  positionMs: 0,
  dragging: false,
  // The opens sent to the worklet and not yet answered, in order, each
  // {name, bytes} (bytes null for the embedded song); the worklet answers them
  // in the order they were sent.
  opening: [],
  // The open song as {name, bytes}, or null when none is.
  song: null,
};

function showError(text) {
  view.message.textContent = text;
}

function render() {
  const open = player.songOpen;
  view.play.disabled = !open || player.running;
  view.pause.disabled = !open || !player.running;
  view.stop.disabled = !open || player.state === 0;
  view.position.disabled = !open;
  view.position.max = String(Math.round(player.lengthMs));
  if (!player.dragging) view.position.value = String(Math.min(player.positionMs, player.lengthMs));
  const shownMs = player.dragging ? Number(view.position.value) : player.positionMs;
  view.time.textContent = `${minutesSeconds(shownMs)} / ${minutesSeconds(player.lengthMs)}`;
}

// The worklet's answer to the oldest open in flight.
function songOpened(message) {
  const song = player.opening.shift() ?? { name: "the song", bytes: null };
  player.song = message.ok ? song : null;
  player.songOpen = message.ok;
  player.lengthMs = message.ok ? message.lengthMs : 0;
  player.positionMs = 0;
  player.state = 0;
  player.running = false;
  if (message.ok) {
    showError("");
  } else {
    showError(`${song.name}: ${message.message}`);
    view.song.textContent = "No song open";
  }
  for (const bar of bars) {
    bar.style.height = "0%";
    bar.dataset.level = "0";
  }
  render();
  window.dispatchEvent(new CustomEvent("zimblo-opened", {
    detail: { ok: message.ok, name: song.name, message: view.message.textContent },
  }));
}

function onEngineMessage(event) {
  const message = event.data;
  if (message.type === "opened") {
    songOpened(message);
  } else if (message.type === "status") {
    player.state = message.state;
    player.running = message.running;
    player.positionMs = message.positionMs;
    for (let i = 0; i < bars.length; ++i) {
      const height = barHeight(message.levels[i]);
      bars[i].style.height = `${height}%`;
      bars[i].dataset.level = String(message.levels[i]);
    }
    render();
  }
}

async function startEngine() {
  let context = new AudioContext({ latencyHint: "playback" });
  if (context.sampleRate > kMaxEngineRate) {
    await context.close();
    context = new AudioContext({ latencyHint: "playback", sampleRate: kFallbackRate });
  }
  player.context = context;
  player.opening.push({ name: "the embedded song", bytes: null });
  player.node = await engineNode(context, { open: "embedded" });
  player.node.port.onmessage = onEngineMessage;
  player.node.connect(context.destination);
  const rate = context.sampleRate;
  view.rate.textContent = rate === 44100
    ? `The engine renders at 44100 Hz, the song's own rate. Seed ${pageSeed()}.`
    : `The engine renders at ${rate} Hz, the sound device's rate (the song's own rate is 44100 Hz). Seed ${pageSeed()}.`;
  view.embedded.disabled = false;
  render();
}

function send(message, transfer) {
  player.node?.port.postMessage(message, transfer ?? []);
}

// Asks the worklet to open a song (bytes, or null for the embedded one); the
// answer comes as an "opened" message. Before the engine runs there is no one to ask.
function openSong(name, bytes) {
  if (player.node === null) return;
  player.opening.push({ name, bytes });
  send({ type: "open", bytes });
}

view.play.addEventListener("click", async () => {
  await player.context.resume();
  send({ type: "play" });
});
view.pause.addEventListener("click", () => send({ type: "pause" }));
view.stop.addEventListener("click", () => send({ type: "stop" }));
view.position.addEventListener("input", () => { player.dragging = true; render(); });
view.position.addEventListener("change", () => {
  player.dragging = false;
  send({ type: "seek", ms: Number(view.position.value) });
});

view.file.addEventListener("change", async () => {
  const file = view.file.files[0];
  if (!file) return;
  view.song.textContent = file.name;
  let bytes;
  try {
    bytes = await file.arrayBuffer();
  } catch (error) {
    showError(`${file.name}: cannot be read (${error.message})`);
    return;
  }
  // The page keeps the file's bytes for offline renders; the worklet gets a copy.
  openSong(file.name, bytes);
  view.file.value = "";
});
view.embedded.addEventListener("click", () => {
  view.song.innerHTML = 'Lantern Circuit <span class="quiet">(the embedded song)</span>';
  openSong("the embedded song", null);
});

// The first "opened" report of `node`.
function openedReport(node) {
  return new Promise((resolve) => {
    node.port.onmessage = (event) => {
      if (event.data.type === "opened") resolve(event.data);
    };
  });
}

// Renders `seconds` of the open song (the embedded one, or the file last opened
// with the picker) from 0 ms through the same worklet in an OfflineAudioContext
// at `rate` Hz; a file's bytes pass the loader's checks again there. Returns the
// interleaved samples as base64 and the wall-clock time the rendering took;
// rejects when no song is open.
async function offlineRender(seconds, rate = 44100) {
  const song = player.song;
  if (song === null) throw new Error("no song is open");
  const frames = Math.round(seconds * rate);
  const context = new OfflineAudioContext({ numberOfChannels: 2, length: frames, sampleRate: rate });
  const node = await engineNode(context, { open: song.bytes ?? "embedded", play: true });
  const opened = openedReport(node);
  node.connect(context.destination);
  const started = performance.now();
  const [report, rendered] = await Promise.all([opened, context.startRendering()]);
  const elapsedMs = performance.now() - started;
  if (!report.ok) throw new Error(`${song.name}: ${report.message}`);
  const left = rendered.getChannelData(0);
  const right = rendered.getChannelData(1);
  const interleaved = new Float32Array(2 * frames);
  for (let i = 0; i < frames; ++i) {
    interleaved[2 * i] = left[i];
    interleaved[2 * i + 1] = right[i];
  }
  const bytes = new Uint8Array(interleaved.buffer);
  let text = "";
  const kChunk = 0x8000;
  for (let i = 0; i < bytes.length; i += kChunk) text += String.fromCharCode(...bytes.subarray(i, i + kChunk));
  return { samples: btoa(text), elapsedMs, frames };
}
window.zimbloOfflineRender = offlineRender;

buildMeters();
render();
if (typeof zimbloAssets === "undefined" || !window.AudioWorkletNode) {
  showError("This browser cannot run the player: it needs AudioWorklet and WebAssembly support.");
  view.rate.textContent = "";
} else {
  startEngine().catch((error) => {
    showError(`The engine did not start: ${error.message}`);
    view.rate.textContent = "";
  });
}
