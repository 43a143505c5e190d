// The player page in headless Chromium, served from 127.0.0.1:
//  - renders the embedded song through the page's worklet in an OfflineAudioContext
//    (10 s at 44100 Hz, 3 s at 48000 Hz) and requires the very bits zimblo-render
//    writes with the same seed and rate;
//  - Play makes the time advance and the meters move, and the page asks for nothing
//    but its own files;
//  - a malformed song file shows the loader's message, word for word as zimblo-render
//    prints it, and nothing plays;
//  - opened from disk (file://) the page starts its engine too.
// It leaves a screenshot of the playing page in the web build folder (and at
// $ZIMBLO_WEB_SCREENSHOT when set).
//
//   ZIMBLO_WEB_BUILD_DIR  the folder scripts/build-web.sh filled (default ../../build-web)
//   ZIMBLO_RENDER         the native zimblo-render (default ../../build/zimblo-render)
//   ZIMBLO_CHROMIUM       the browser (default /usr/bin/chromium)
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
  const native = spawnSync(renderTool, ["--song", broken, "-o", path.join(work, "unused.f32")], { encoding: "utf8" });
  assert.equal(native.status, 2);
  const expected = native.stderr.trim().replace(/^zimblo-render: .*?broken\.song: /, "broken.song: ");

  const picker = await page.$("#file");
  await picker.uploadFile(broken);
  await page.waitForFunction(() => document.getElementById("message").textContent !== "", { timeout: 10000 });
  assert.equal(await text("message"), expected);
  assert.equal(await text("time"), "0:00 / 0:00");
  assert.ok(await page.$eval("#play", (button) => button.disabled), "Play is offered for a refused song");
  await new Promise((resolve) => setTimeout(resolve, 600));
  assert.equal(await text("time"), "0:00 / 0:00");
  assert.ok((await levels()).every((level) => level === 0), "meters move after a refused song");

  // The embedded song comes back and plays again.
  await page.click("#embedded");
  await page.waitForFunction(() => !document.getElementById("play").disabled);
  assert.equal(await text("message"), "");
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
