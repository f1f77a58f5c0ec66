// The page in a real browser, playing into the private sound server of tests/support/with-pulse.sh:
// what the server's monitor records decodes to the typed credentials and equals `sonicsend
// encode`'s PCM pass for pass; 取消连接 silences it; keys come back after a reload, a corrupt
// store is kept aside; the key field stops at the message limit; the page loads and sends with
// its server gone, and asks the server for nothing while sending.
//   tests/support/with-pulse.sh node browser_test.js SITE_DIR SONICSEND SERVE_WEB
'use strict';
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const { Browser, sleep } = require('./devtools.js');
const { wavData, encodeWithCli } = require('./wav.js');

const [siteDir, sonicsend, serveWeb] = process.argv.slice(2);
const workDir = fs.mkdtempSync(path.join(process.env.PULSE_TEST_DIR ?? '/tmp', 'web-'));
const ssid = 'Café家';
const key = 'pass密码';  // 11 units with the SSID: a 14-byte message, two frames, 1.16 s a pass
const kRate = 44100;

const results = [];
function check(name, fault) {
  results.push({ name, fault });
  console.log(fault ? `FAIL ${name}: ${fault}` : `ok   ${name}`);
}

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// scripts/serve-web.sh on a free port; its log holds one line per request.
const servers = [];
async function startServer(port) {
  const server = spawn(serveWeb, [String(port), siteDir], { stdio: ['ignore', 'ignore', 'pipe'] });
  servers.push(server);
  server.requests = [];
  server.stderr.on('data', (data) => server.requests.push(...String(data).match(/"GET [^"]*"/g) ?? []));
  for (let tries = 0; tries < 100; ++tries, await sleep(100)) {
    const up = await new Promise((resolve) => http.get(`http://127.0.0.1:${port}/`,
      (response) => resolve(response.resume() && true)).on('error', () => resolve(false)));
    if (up) return server;
  }
  throw new Error('serve-web.sh does not answer');
}

// Records the sink's monitor as WAV until stop() is called; `started` is when it began.
async function startRecording(name) {
  const file = path.join(workDir, name);
  const recorder = spawn('parecord', [`--device=${process.env.PULSE_TEST_MONITOR}`,
    '--file-format=wav', '--format=s16le', `--rate=${kRate}`, '--channels=2',
    '--latency-msec=10', file], { stdio: 'inherit' });
  while (!fs.existsSync(file) || fs.statSync(file).size === 0) await sleep(5);
  const started = Date.now();
  const stop = () => new Promise((resolve) => recorder.on('exit', resolve).kill('SIGINT'));
  return { file, started, stop };
}

function lowBytesHex(text) {
  return [...Array(text.length).keys()]
    .map((i) => (text.charCodeAt(i) & 0xff).toString(16).padStart(2, '0')).join('');
}

function decodeFault(file) {
  const run = spawnSync(sonicsend, ['decode', '--json', file], { encoding: 'utf8' });
  if (run.status !== 0) return `sonicsend decode: status ${run.status}: ${run.stderr.trim()}`;
  const heard = JSON.parse(run.stdout);
  const want = { ssid_hex: lowBytesHex(ssid), key_hex: lowBytesHex(key) };
  return heard.ssid_hex === want.ssid_hex && heard.key_hex === want.key_hex ? ''
    : `heard ${run.stdout.trim()}, sent ${JSON.stringify(want)}`;
}

// One element per stereo frame of 16-bit PCM.
function stereoFrames(bytes) {
  return new Uint32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));
}

// Compares the sound in the recording with whole passes of `pass`, and measures when it began and
// ended (seconds after the recording started).
function analyse(recording, pass) {
  const samples = stereoFrames(wavData(recording));
  const expected = stereoFrames(pass);
  const first = samples.findIndex((frame) => frame !== 0);
  let last = samples.length - 1;
  while (last >= 0 && samples[last] === 0) --last;
  if (first < 0) return { fault: 'the recording is silent' };
  for (let i = first; i <= last; ++i) {
    if (samples[i] !== expected[(i - first) % expected.length]) {
      return { fault: `frame ${(i - first) % expected.length} of pass ` +
        `${Math.floor((i - first) / expected.length) + 1} differs: ` +
        `${[...samples.subarray(i - 2, i + 6)].map((f) => f & 0xffff)} for ` +
        `${[...Array(8).keys()].map((k) => expected[(i - first + k - 2) % expected.length] & 0xffff)}` };
    }
  }
  return { fault: '', passes: (last + 1 - first) / expected.length, begin: first / kRate,
    end: (last + 1) / kRate };
}

async function sendAndRecord(page, name, seconds) {
  const recording = await startRecording(name);
  await page.type('#ssid', ssid);
  await page.type('#key', key);
  const pressed = Date.now();
  await page.click('#connect');
  const sending = await page.evaluate("document.querySelector('#connect').textContent");
  await sleep(seconds * 1000);
  const cancelled = Date.now();
  await page.click('#connect');
  const idle = await page.evaluate("document.querySelector('#connect').textContent");
  await sleep(500);
  await recording.stop();
  check(`${name}: the button reads 取消连接, then 开始连接`,
    sending === '取消连接' && idle === '开始连接' ? '' : `read ${sending}, then ${idle}`);
  check(`${name}: sonicsend decode hears the typed credentials`, decodeFault(recording.file));
  return { file: recording.file, pressed: (pressed - recording.started) / 1000,
    cancelled: (cancelled - recording.started) / 1000 };
}

async function run(browser) {
  const port = await freePort();
  const url = `http://127.0.0.1:${port}/`;
  const server = await startServer(port);
  const page = await browser.newPage();
  const ready = "document.documentElement.dataset.ready";

  await page.open(url);
  const readyMs = await page.waitFor(ready, 'the page to be ready');
  await page.waitFor('navigator.serviceWorker.controller', 'the service worker');
  const requestsBeforeSending = server.requests.length;

  const sent = await sendAndRecord(page, 'online', 3);
  check('no request reaches the server after loading',
    server.requests.slice(requestsBeforeSending).join(', '));
  const pass = encodeWithCli(sonicsend, ssid, key);
  const heard = analyse(sent.file, pass);
  check('the recording is sonicsend encode\'s PCM, pass for pass', heard.fault ||
    (heard.passes >= 2 ? '' : `only ${heard.passes.toFixed(2)} passes`));
  if (!heard.fault) {
    check('silent within 200 ms of 取消连接',
      heard.end - sent.cancelled <= 0.2 ? '' : `${(heard.end - sent.cancelled) * 1000} ms`);
    console.log(`load to ready ${readyMs} ms; press to sound ${Math.round((heard.begin - sent.pressed) * 1000)} ms; ` +
      `cancel to silence ${Math.round((heard.end - sent.cancelled) * 1000)} ms`);
  }
  const stored = await page.evaluate("localStorage.getItem('localSave.json')");
  check('localStorage holds localSave.json\'s shape', stored === JSON.stringify({ [ssid]: key })
    ? '' : `holds ${stored}`);

  await page.open(url);
  await page.waitFor(ready, 'the reloaded page');
  await page.type('#ssid', ssid);
  const filled = await page.evaluate("document.querySelector('#key').value");
  check('the key comes back after a reload', filled === key ? '' : `key field holds ${filled}`);

  await page.type('#ssid', 'LongKeyNet');
  await page.type('#key', 'k'.repeat(100));
  const typed = await page.evaluate("document.querySelector('#key').value.length");
  check('the key field stops at the message limit', typed === 93 - 10 ? '' : `took ${typed} units`);

  // A corrupt store, and the server gone: the service worker serves the page.
  const corrupt = '{"HomeNet": "cut sh';
  await page.evaluate(`localStorage.setItem('localSave.json', ${JSON.stringify(corrupt)})`);
  server.kill();
  await new Promise((resolve) => server.on('exit', resolve));
  await page.open(url);
  await page.waitFor(ready, 'the page offline');
  const aside = await page.evaluate('Object.keys(localStorage).filter((name) => ' +
    "localStorage.getItem(name) === " + JSON.stringify(corrupt) + ')');
  check('a corrupt store is kept aside', aside.length === 1 && aside[0] !== 'localSave.json'
    ? '' : `found under ${JSON.stringify(aside)}`);
  await sendAndRecord(page, 'offline', 2);
}

async function main() {
  const browser = new Browser(path.join(workDir, 'profile'));
  try {
    await run(browser);
  } catch (error) {
    check('the scenario runs to its end', String(error.stack));
  } finally {
    const errors = browser.messages().filter((line) => /error|exception|Content Security/i.test(line));
    check('no error, exception or policy violation in the page', errors.join('\n'));
    await browser.close();
    for (const server of servers) server.kill();
  }
  const failed = results.filter((result) => result.fault).length;
  console.log(`${results.length - failed} passed, ${failed} failed`);
  process.exitCode = failed ? 1 : 0;
}

main();
