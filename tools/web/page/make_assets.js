// Writes assets.js, the classic script that carries the worklet module's source and
// the engine's wasm (base64) to the page, so that the page loads them without a request
// of its own (a page opened from disk may not fetch its neighbours).
//   node make_assets.js WORKLET.js ENGINE.wasm OUT.js
"use strict";
const fs = require("fs");

const [workletPath, wasmPath, outPath] = process.argv.slice(2);
if (!outPath) {
  console.error("usage: node make_assets.js WORKLET.js ENGINE.wasm OUT.js");
  process.exit(2);
}
const worklet = fs.readFileSync(workletPath, "utf8");
const wasm = fs.readFileSync(wasmPath).toString("base64");
fs.writeFileSync(outPath,
  "// Written by the build from worklet.js and zimblo-player.wasm; see make_assets.js.\n" +
  `globalThis.zimbloAssets = {\n  worklet: ${JSON.stringify(worklet)},\n  wasm: "${wasm}",\n};\n`);
