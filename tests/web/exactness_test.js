// The page's encoder (WebAssembly, emscripten's libm) against `sonicsend encode` (native, glibc's
// libm): the same PCM, byte for byte, or both refusing, for named and random credentials of every
// length, in both layouts. Credentials the signal cannot carry or a receiver could not split back
// (an empty SSID, a unit above 0xFF, the separator in the SSID, a control character in the key)
// must be refused by both: the command line exits 2, the page's check names them.
//   node exactness_test.js SITE_DIR SONICSEND RANDOM_COUNT
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { encodeWithCli } = require('./wav.js');

const [site, sonicsend, randomCount] = process.argv.slice(2);
const signal = require(path.resolve(site, 'signal.js'));
const createEncoderModule = require(path.resolve(site, 'encoder.js'));

// A linear congruential generator with a fixed seed: the same rows on every run.
let state = 20240611;
const random = () => (state = (Math.imul(state, 1664525) + 1013904223) >>> 0) / 2 ** 32;
// ASCII, Latin-1 and every other unit the signal carries; one row in four also draws from CJK,
// emoji (two code units) and any character below the surrogates, which both must refuse. Half
// the rows draw the key from printable characters only, as every real key; the rest as the SSID.
const carried = [[0x20, 0x7e], [0xa0, 0xff], [1, 0xff]];
const printable = [[0x20, 0x7e], [0xa0, 0xff], [0x80, 0xff]];
const any = [...carried, [0x4e00, 0x9fff], [0x1f300, 0x1f6ff], [1, 0xd7ff]];
function randomText(units, alphabets) {
  for (let text = ''; ;) {
    const [low, high] = alphabets[Math.floor(random() * alphabets.length)];
    const character = String.fromCodePoint(low + Math.floor(random() * (high - low + 1)));
    if (text.length + character.length > units) return text;
    text += character;
  }
}

const rows = [
  { name: 'empty', ssid: '', key: '' },
  { name: 'longest framed', ssid: 'S'.repeat(40), key: 'ÿ'.repeat(53) },
  { name: 'longest bare', ssid: 'é'.repeat(50), key: 'k'.repeat(45), bare: true },
  { name: 'over the framed limit', ssid: 'S'.repeat(50), key: 'k'.repeat(44) },
];
for (let n = 1; n <= Number(randomCount); ++n) {
  const bare = random() < 0.25;
  const units = Math.floor(random() * (bare ? 96 : 94));
  const alphabets = n % 4 ? carried : any;
  const keyAlphabets = n % 4 > 1 ? printable : alphabets;
  const ssid = randomText(Math.floor(random() * (units + 1)), alphabets);
  const key = randomText(units - ssid.length, keyAlphabets);
  rows.push({ name: `random ${n}`, ssid, key, bare });
}

// Node's fetch takes no file paths: the module gets its WebAssembly from here.
const wasmBinary = fs.readFileSync(path.resolve(site, 'encoder.wasm'));
createEncoderModule({ wasmBinary }).then((encoder) => {
  const failures = rows.filter(({ ssid, key, bare }) => {
    const cli = encodeWithCli(sonicsend, ssid, key, bare);
    if (ssid === '' || signal.firstFault(encoder, ssid, key, bare)) return cli !== null;
    const page = signal.encodePass(encoder, ssid, key, bare);
    return page && cli ? !cli.equals(new Uint8Array(page.buffer)) : page !== cli;
  });
  for (const row of failures) console.log(`FAIL ${row.name}: ${JSON.stringify(row)}`);
  console.log(`${rows.length - failures.length} passed, ${failures.length} failed`);
  process.exitCode = failures.length ? 1 : 0;
});
