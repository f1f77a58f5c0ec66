// What the browser and exactness tests share: reading WAV files and running `sonicsend encode`.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

// The bytes of a RIFF WAV file's data chunk.
function wavData(file) {
  const bytes = fs.readFileSync(file);
  for (let at = 12; at + 8 <= bytes.length; at += 8 + bytes.readUInt32LE(at + 4)) {
    const size = bytes.readUInt32LE(at + 4);
    if (bytes.toString('latin1', at, at + 4) === 'data') {
      return bytes.subarray(at + 8, Math.min(bytes.length, at + 8 + size));
    }
  }
  throw new Error(`${file}: no data chunk`);
}

// Runs `sonicsend encode` for one pass: its PCM bytes, or null when it refuses the credentials.
function encodeWithCli(sonicsend, ssid, key, bare = false) {
  const out = path.join(os.tmpdir(), `velarto-web-${process.pid}.wav`);
  // `--ssid=VALUE` keeps a value that starts with '-' a value; an empty one goes separately.
  const option = (name, value) => (value === '' ? [name, value] : [`${name}=${value}`]);
  const args = ['encode', ...option('--ssid', ssid), ...option('--key', key), '-o', out];
  const run = spawnSync(sonicsend, bare ? [...args, '--bare'] : args, { encoding: 'utf8' });
  if (run.status !== 0) {
    if (run.status === 2 && !fs.existsSync(out)) return null;
    throw new Error(`sonicsend encode: status ${run.status}: ${run.stderr}`);
  }
  try {
    return wavData(out);
  } finally {
    fs.rmSync(out);
  }
}

module.exports = { wavData, encodeWithCli };
