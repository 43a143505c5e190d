// The player page in headless Chromium, served from 127.0.0.1:
//  - renders the embedded song through the page's worklet in an OfflineAudioContext
//    (10 s at 44100 Hz, 3 s at 48000 Hz) and requires the very bits zimblo-render
//    writes with the same seed and rate;
//  - Play makes the time advance and the meters move, and the page asks for nothing
//    but its own files;
//  - a malformed song file shows the loader's message, word for word as zimblo-render
//    prints it, and nothing plays;
//  - every song file in $ZIMBLO_WEB_SONGS (scripts/test-web.sh exports there the songs
//    the player and tool tests make, and the embedded one) is opened with the file
//    picker and rendered from the picker's bytes through the worklet (3 s at 44100 Hz),
//    and must equal zimblo-render's bits with the same seed; a song zimblo-render
//    refuses must be refused on the page with the same message, and nothing plays;
//  - opened from disk (file://) the page starts its engine too.
// It leaves a screenshot of the playing page in the web build folder (and at
// $ZIMBLO_WEB_SCREENSHOT when set).
//
//   ZIMBLO_WEB_BUILD_DIR  the folder scripts/build-web.sh filled (default ../../build-web)
//   ZIMBLO_RENDER         the native zimblo-render (default ../../build/zimblo-render)
//   ZIMBLO_CHROMIUM       the browser (default /usr/bin/chromium)
//   ZIMBLO_WEB_SONGS      the folder of .song files to compare (unset: that test is skipped)
"use strict";
const assert = require("node:assert/strict");
const { execFileSync, spawnSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { after, before, test } = require("node:test");
const puppeteer = require("puppeteer-core");
const { serveFolder } = require("./static_server");

const repository = path.resolve(__dirname, "../..");
const webBuild = path.resolve(process.env.ZIMBLO_WEB_BUILD_DIR ?? path.join(repository, "build-web"));
const renderTool = path.resolve(process.env.ZIMBLO_RENDER ?? path.join(repository, "build/zimblo-render"));
const browserPath = process.env.ZIMBLO_CHROMIUM ?? "/usr/bin/chromium";
const kSeed = 0x5eed1234;
const kOfflineSeconds = 10;
const kSongSeconds = 3;
const songsFolder = process.env.ZIMBLO_WEB_SONGS;

const work = fs.mkdtempSync(path.join(os.tmpdir(), "zimblo-web-"));
let server;
let browser;
let page;
const pageFaults = [];
const requests = [];

// zimblo-render's output for `args` as bytes.
function nativeRender(args) {
  const out = path.join(work, "native.f32");
  execFileSync(renderTool, [...args, "--quiet", "-o", out]);
  return fs.readFileSync(out);
}

// zimblo-render on the song file `song` with `args`: its exit status, its output's bytes
// and, for a refused song, its message as the page words it (the file's name, not its path).
function nativeOutcome(song, args) {
  const out = path.join(work, "native.f32");
  fs.rmSync(out, { force: true });
  const run = spawnSync(renderTool, ["--song", song, ...args, "--quiet", "-o", out], { encoding: "utf8" });
  if (run.error) throw run.error;
  const prefix = `zimblo-render: ${song}: `;
  const line = run.stderr.trim();
  return {
    status: run.status,
    samples: run.status === 0 ? fs.readFileSync(out) : null,
    message: line.startsWith(prefix) ? `${path.basename(song)}: ${line.slice(prefix.length)}` : line,
  };
}

// Runs `action`, which opens a song on the page; resolves with the page's
// "zimblo-opened" detail ({ok, name, message}) once the worklet has answered,
// and fails when it has not within kOpenTimeoutMs.
const kOpenTimeoutMs = 20000;
async function opening(action) {
  const waiting = await page.evaluateHandle(() => ({
    opened: new Promise((resolve) =>
      window.addEventListener("zimblo-opened", (event) => resolve(event.detail), { once: true })),
  }));
  try {
    await action();
    let timer;
    const late = new Promise((resolve, reject) => {
      timer = setTimeout(() => reject(new Error(`the page did not answer the open within ${kOpenTimeoutMs} ms`)),
                         kOpenTimeoutMs);
    });
    try {
      return await Promise.race([page.evaluate((handle) => handle.opened, waiting), late]);
    } finally {
      clearTimeout(timer);
    }
  } finally {
    await waiting.dispose();
  }
}

const openWithPicker = async (song) => opening(async () => (await page.$("#file")).uploadFile(song));
const openEmbedded = () => opening(() => page.click("#embedded"));

// Where two float32 streams first differ, for the failure message.
function firstDifference(actual, expected) {
  const length = Math.min(actual.length, expected.length);
  for (let i = 0; i < length; i += 4) {
    if (actual.readUInt32LE(i) !== expected.readUInt32LE(i)) {
      const sample = i / 4;
      return `frame ${sample >> 1} (${sample & 1 ? "right" : "left"}): ` +
        `page ${actual.readFloatLE(i)}, zimblo-render ${expected.readFloatLE(i)}`;
    }
  }
  return `lengths ${actual.length} and ${expected.length} bytes`;
}

async function offlineRender(seconds, rate) {
  const result = await page.evaluate((s, r) => window.zimbloOfflineRender(s, r), seconds, rate);
  return { samples: Buffer.from(result.samples, "base64"), elapsedMs: result.elapsedMs };
}

const text = (id) => page.$eval(`#${id}`, (element) => element.textContent);
const levels = () => page.$$eval("#meters .bar", (all) => all.map((bar) => Number(bar.dataset.level ?? 0)));
const playOffered = () => page.$eval("#play", (button) => !button.disabled);

before(async () => {
  server = await serveFolder(webBuild);
  browser = await puppeteer.launch({
    executablePath: browserPath,
    userDataDir: path.join(work, "profile"),
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required"],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 760, height: 520 });
  page.on("pageerror", (error) => pageFaults.push(`page error: ${error.message}`));
  page.on("console", (message) => {
    if (message.type() === "error") pageFaults.push(`console error: ${message.text()}`);
  });
  page.on("request", (request) => requests.push(request.url()));
  await page.goto(`${server.url}index.html?seed=${kSeed}`, { waitUntil: "load" });
  await page.waitForFunction(() => !document.getElementById("play").disabled, { timeout: 20000 });
});

after(async () => {
  await browser?.close();
  await server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

test("the worklet renders the same bits as zimblo-render", async (t) => {
  const expected = nativeRender(["--seconds", String(kOfflineSeconds), "--seed", String(kSeed)]);
  const { samples, elapsedMs } = await offlineRender(kOfflineSeconds, 44100);
  t.diagnostic(`OfflineAudioContext at 44100 Hz: ${kOfflineSeconds} s rendered in ${(elapsedMs / 1000).toFixed(2)} s, ` +
               `${(kOfflineSeconds / (elapsedMs / 1000)).toFixed(1)} rendered seconds per second`);
  assert.ok(expected.length === samples.length && expected.equals(samples),
            `the page's render differs from zimblo-render's at ${firstDifference(samples, expected)}`);
  // Some sound, not two equal silences.
  assert.ok(samples.some((byte) => byte !== 0), "the render is silent");

  const at48k = nativeRender(["--seconds", "3", "--seed", String(kSeed), "--rate", "48000"]);
  const rendered48k = (await offlineRender(3, 48000)).samples;
  assert.ok(at48k.equals(rendered48k),
            `at 48000 Hz the page's render differs from zimblo-render's at ${firstDifference(rendered48k, at48k)}`);
});

test("Play makes the time advance and the meters move", async () => {
  const rate = await page.evaluate(() => document.getElementById("rate").textContent);
  const contextRate = await page.evaluate(async () => {
    const probe = new AudioContext();
    const r = probe.sampleRate;
    await probe.close();
    return r;
  });
  assert.match(rate, new RegExp(`renders at ${contextRate} Hz`));
  assert.match(await text("time"), /^0:00 \/ 5:5\d$/);
  assert.ok((await levels()).every((level) => level === 0), "meters move before Play");

  await page.click("#play");
  await page.waitForFunction(() => document.getElementById("time").textContent.startsWith("0:02"),
                             { timeout: 10000 });
  const first = await levels();
  await new Promise((resolve) => setTimeout(resolve, 400));
  const second = await levels();
  assert.ok(first.some((level) => level > 0.01), `no meter shows sound: ${first}`);
  assert.ok(first.some((level, i) => level !== second[i]), "the meters stand still while playing");
  assert.ok(first.slice(20, 32).every((level) => level === 0), "channels the song does not use show sound");
  await page.screenshot({ path: path.join(webBuild, "player-page.png") });
  if (process.env.ZIMBLO_WEB_SCREENSHOT) await page.screenshot({ path: process.env.ZIMBLO_WEB_SCREENSHOT });

  await page.click("#pause");
  await page.waitForFunction(() => document.getElementById("pause").disabled);
  const paused = await text("time");
  await new Promise((resolve) => setTimeout(resolve, 1200));
  assert.equal(await text("time"), paused, "the time moves while paused");
});

test("a malformed song shows the loader's message and nothing plays", async () => {
  // The embedded song, cut short inside its tracks.
  const whole = path.join(work, "whole.song");
  execFileSync(renderTool, ["--export-song", whole]);
  const broken = path.join(work, "broken.song");
  fs.writeFileSync(broken, fs.readFileSync(whole).subarray(0, 200));
  const native = nativeOutcome(broken, []);
  assert.equal(native.status, 2);
  assert.match(native.message, /^broken\.song: /);

  assert.equal((await openWithPicker(broken)).ok, false);
  assert.equal(await text("message"), native.message);
  assert.equal(await text("time"), "0:00 / 0:00");
  assert.ok(!(await playOffered()), "Play is offered for a refused song");
  await new Promise((resolve) => setTimeout(resolve, 600));
  assert.equal(await text("time"), "0:00 / 0:00");
  assert.ok((await levels()).every((level) => level === 0), "meters move after a refused song");

  // The embedded song comes back and plays again.
  assert.equal((await openEmbedded()).ok, true);
  assert.ok(await playOffered());
  assert.equal(await text("message"), "");
});

// What the page does with one song file against zimblo-render: a list of faults,
// empty when they agree, and a line for the test's report.
async function compareSong(song) {
  const name = path.basename(song);
  const native = nativeOutcome(song, ["--seconds", String(kSongSeconds), "--seed", String(kSeed)]);
  const opened = await openWithPicker(song);
  if (native.status !== 0) {
    const faults = [];
    if (opened.ok) faults.push(`the page opens it; zimblo-render refuses it (exit ${native.status}): ${native.message}`);
    else if (await text("message") !== native.message)
      faults.push(`the page says "${await text("message")}", zimblo-render "${native.message}"`);
    if (await playOffered() || await text("time") !== "0:00 / 0:00") faults.push("the page offers it to play");
    if (!(await levels()).every((level) => level === 0)) faults.push("the meters show sound");
    const offline = await page.evaluate(() => window.zimbloOfflineRender(1).then(() => "rendered", (error) => error.message));
    if (offline === "rendered") faults.push("the page renders it offline");
    return { faults, report: `refused alike (exit ${native.status}): ${native.message}` };
  }
  if (!opened.ok) return { faults: [`the page refuses it: ${opened.message}`] };
  const { samples, elapsedMs } = await offlineRender(kSongSeconds, 44100);
  if (!samples.equals(native.samples))
    return { faults: [`the page's render differs from zimblo-render's at ${firstDifference(samples, native.samples)}`] };
  const sound = samples.some((byte) => byte !== 0) ? "" : ", silent in both";
  return { faults: [], report: `${kSongSeconds} s identical${sound} (the page rendered it in ${(elapsedMs / 1000).toFixed(2)} s)` };
}

test("every song the tests make renders the same bits on the page as in zimblo-render, or is refused alike",
     { skip: songsFolder ? false : "ZIMBLO_WEB_SONGS names no folder of songs (scripts/test-web.sh exports them)" },
     async (t) => {
  assert.ok(fs.statSync(songsFolder, { throwIfNoEntry: false })?.isDirectory(),
            `ZIMBLO_WEB_SONGS: ${songsFolder} is not a folder`);
  const songs = fs.readdirSync(songsFolder).filter((name) => name.endsWith(".song")).sort();
  assert.ok(songs.length > 0, `ZIMBLO_WEB_SONGS: no .song file in ${songsFolder}`);
  const failures = [];
  let agreed = 0;
  for (const name of songs) {
    let outcome;
    try {
      outcome = await compareSong(path.join(songsFolder, name));
    } catch (error) {
      outcome = { faults: [error.message] };
    }
    for (const fault of outcome.faults) failures.push(`${name}: ${fault}`);
    if (outcome.faults.length === 0) ++agreed;
    t.diagnostic(`${name}: ${outcome.faults.length === 0 ? outcome.report : `FAILED: ${outcome.faults.join("; ")}`}`);
  }
  t.diagnostic(`${songs.length} songs at 44100 Hz, seed 0x${kSeed.toString(16)}: ${agreed} agree with zimblo-render`);
  assert.equal((await openEmbedded()).ok, true);
  assert.ok(failures.length === 0, `${failures.length} disagreements with zimblo-render:\n${failures.join("\n")}`);
});

test("opened from disk, the page starts the engine as well", async () => {
  const fromDisk = await browser.newPage();
  const faults = [];
  fromDisk.on("pageerror", (error) => faults.push(error.message));
  await fromDisk.goto(`file://${path.join(webBuild, "index.html")}`, { waitUntil: "load" });
  await fromDisk.waitForFunction(() => !document.getElementById("play").disabled, { timeout: 20000 });
  assert.equal(await fromDisk.$eval("#message", (element) => element.textContent), "");
  assert.match(await fromDisk.$eval("#time", (element) => element.textContent), /^0:00 \/ 5:5\d$/);
  assert.deepEqual(faults, []);
  await fromDisk.close();
});

test("the page asks for nothing but its own files and reports no error", () => {
  const foreign = requests.filter((url) => !url.startsWith(server.url) && !url.startsWith("data:"));
  assert.deepEqual(foreign, []);
  assert.deepEqual(pageFaults, []);
});
