// What the web tests share: WAV files' data chunks, and `sonicsend encode`'s PCM for one pass.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

function wavData(file) {
  const bytes = fs.readFileSync(file);
  let at = 12;
  while (bytes.toString('latin1', at, at + 4) !== 'data') at += 8 + bytes.readUInt32LE(at + 4);
  return bytes.subarray(at + 8, at + 8 + bytes.readUInt32LE(at + 4));
}

// The PCM bytes of one pass, or null when the command refuses the credentials. `--ssid=VALUE`
// keeps a value starting with '-' a value; an empty value must stand apart.
function encodeWithCli(sonicsend, ssid, key, bare = false) {
  const out = path.join(os.tmpdir(), `velarto-web-${process.pid}.wav`);
  const option = (name, value) => (value ? [`${name}=${value}`] : [name, value]);
  const args = ['encode', ...option('--ssid', ssid), ...option('--key', key), '-o', out];
  if (spawnSync(sonicsend, bare ? [...args, '--bare'] : args).status !== 0) return null;
  const pcm = Buffer.from(wavData(out));
  fs.rmSync(out);
  return pcm;
}

module.exports = { wavData, encodeWithCli };
