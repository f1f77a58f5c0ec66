// The page's encoder (WebAssembly, with emscripten's libm) against `sonicsend encode` (native,
// glibc's libm): the same PCM, byte for byte, for named cases and random credentials of every
// length and alphabet, in both layouts.
//   node exactness_test.js SITE_DIR SONICSEND RANDOM_COUNT
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { encodeWithCli } = require('./wav.js');

const [siteDir, sonicsend, randomCount] = process.argv.slice(2);
const createEncoderModule = require(path.resolve(siteDir, 'encoder.js'));
const signal = require(path.resolve(siteDir, 'signal.js'));

const kSeed = 20240611;
const framedLimit = 93;
const bareLimit = 95;

// mulberry32: the same rows on every run; a failing row is named by its number.
function randomSource(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = Math.imul(state ^ (state >>> 15), 1 | state);
    t ^= t + Math.imul(t ^ (t >>> 7), 61 | t);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// ASCII, Latin-1, CJK, emoji (two code units each) and any BMP character below the surrogates,
// whose low byte may be zero and end the message early.
const alphabets = [[0x20, 0x7e], [0xa0, 0xff], [0x4e00, 0x9fff], [0x1f300, 0x1f6ff], [1, 0xd7ff]];

function randomText(next, units) {
  let text = '';
  for (;;) {
    const [low, high] = alphabets[Math.floor(next() * alphabets.length)];
    const character = String.fromCodePoint(low + Math.floor(next() * (high - low + 1)));
    if (text.length + character.length > units) return text;
    text += character;
  }
}

function randomRow(next, number) {
  const bare = next() < 0.25;
  const total = Math.floor(next() * ((bare ? bareLimit : framedLimit) + 1));
  const ssidUnits = Math.floor(next() * (total + 1));
  return { name: `random ${number}`, ssid: randomText(next, ssidUnits),
    key: randomText(next, total - ssidUnits), bare };
}

const named = [
  { name: 'empty SSID and key', ssid: '', key: '' },
  { name: 'typical', ssid: 'HomeNet', key: 'correct horse' },
  { name: 'longest framed', ssid: 'S'.repeat(40), key: '密'.repeat(framedLimit - 40) },
  { name: 'longest bare', ssid: 'é'.repeat(50), key: 'k'.repeat(bareLimit - 50), bare: true },
  { name: 'over the framed limit', ssid: 'S'.repeat(50), key: 'k'.repeat(44), refused: true },
  { name: 'over the bare limit', ssid: '', key: 'k'.repeat(96), bare: true, refused: true },
  { name: 'a zero low byte ends the message', ssid: 'Net\u0100work', key: 'key' },
  { name: 'option-like values', ssid: '-s', key: '--key' },
];

function firstDifference(a, b) {
  const end = Math.min(a.length, b.length);
  for (let i = 0; i < end; ++i) if (a[i] !== b[i]) return i;
  return end;
}

// Node's fetch takes no file paths: the module gets its WebAssembly from here.
const wasmBinary = fs.readFileSync(path.resolve(siteDir, 'encoder.wasm'));
createEncoderModule({ wasmBinary }).then((encoder) => {
  const next = randomSource(kSeed);
  const rows = [...named];
  for (let n = 1; n <= Number(randomCount); ++n) rows.push(randomRow(next, n));
  let passed = 0;
  const failures = [];
  for (const row of rows) {
    const page = signal.encodePass(encoder, row.ssid, row.key, row.bare);
    const cli = encodeWithCli(sonicsend, row.ssid, row.key, row.bare);
    const pageBytes = page && Buffer.from(page.buffer, page.byteOffset, page.byteLength);
    let fault = '';
    if (row.refused && (page || cli)) fault = 'over-limit credentials were encoded';
    else if (!row.refused && (!page || !cli)) fault = `refused (page: ${!page}, cli: ${!cli})`;
    else if (page && !pageBytes.equals(cli)) {
      fault = `PCM differs from byte ${firstDifference(pageBytes, cli)} ` +
        `(${pageBytes.length} and ${cli.length} bytes)`;
    }
    if (fault) failures.push(`${row.name} ${JSON.stringify([row.ssid, row.key, !!row.bare])}: ${fault}`);
    else ++passed;
  }
  for (const failure of failures.slice(0, 20)) console.log(`FAIL ${failure}`);
  console.log(`${passed} passed, ${failures.length} failed`);
  process.exitCode = failures.length ? 1 : 0;
});
