// The page in a real browser, playing into the private sound server of scripts/with-pulse.sh:
// the recording decodes to the typed credentials and is `sonicsend encode`'s PCM pass for pass;
// 取消连接 silences it; a reload remembers the key, a corrupt store is kept aside, the key field
// stops at the limit; with its server gone the page loads and sends. Playwright drives Debian's
// chromium: `npm ci` in this folder installs it, as scripts/install-deps.sh does.
//   scripts/with-pulse.sh node browser_test.js SITE_DIR SONICSEND SERVE_WEB
'use strict';
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { setTimeout: sleep } = require('node:timers/promises');
const { chromium } = require('playwright-core');
const { wavData, encodeWithCli } = require('./wav.js');

const [site, sonicsend, serveWeb] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(process.env.PULSE_TEST_DIR, 'web-'));
const [ssid, key] = ['Café家', 'pass密码'];  // a two-frame message: 1.16 s a pass
const url = `http://127.0.0.1:${20000 + (process.pid % 20000)}/`;
let failed = 0;
function check(name, passed, detail) {
  failed += passed ? 0 : 1;
  console.log(passed ? `ok   ${name}` : `FAIL ${name}: ${detail}`);
}

// Types the credentials, sends for `seconds` and stops, while recording the sink's monitor;
// checks what `sonicsend decode` hears. Gives the recording's file, and when 开始连接 and
// 取消连接 were pressed, in seconds into it.
async function send(page, name, seconds) {
  const file = path.join(work, `${name}.wav`);
  const recorder = spawn('parecord', [`--device=${process.env.PULSE_TEST_MONITOR}`, '--rate=44100',
    '--format=s16le', '--channels=2', '--latency-msec=10', '--file-format=wav', file]);
  // Its start, from the first 0.1 s recorded after a 44-byte header (176.4 bytes a millisecond).
  const size = () => (fs.existsSync(file) ? fs.statSync(file).size : 0);
  while (size() < 44 + 17640) await sleep(2);
  const started = Date.now() - (size() - 44) / 176.4;
  await page.fill('#ssid', ssid);
  await page.fill('#key', key);
  const pressed = Date.now();
  await page.click('#connect');  // a real click: audio playback needs a user gesture
  const labels = [await page.textContent('#connect')];
  await sleep(seconds * 1000);
  const cancelled = Date.now();
  await page.click('#connect');
  labels.push(await page.textContent('#connect'));
  check(`${name}: the button reads 取消连接, then 开始连接`, `${labels}` === '取消连接,开始连接', labels);
  await sleep(500);
  await new Promise((resolve) => recorder.on('exit', resolve).kill('SIGINT'));
  const run = spawnSync(sonicsend, ['decode', '--json', file], { encoding: 'utf8' });
  const heard = JSON.parse(run.stdout || '{}');
  const lowBytes = (text) => Buffer.from(text, 'latin1').toString('hex');
  check(`${name}: sonicsend decode hears the credentials`,
    heard.ssid_hex === lowBytes(ssid) && heard.key_hex === lowBytes(key), run.stdout + run.stderr);
  return { file, pressed: (pressed - started) / 1000, cancelled: (cancelled - started) / 1000 };
}

// Whether every recorded stereo frame from the first sound to the last equals the frame of the
// pass at that place, how many passes that was, and when the sound began and ended.
function compare(recording, pcm) {
  const frames = (bytes) => new Uint32Array(bytes.buffer.slice(bytes.byteOffset,
    bytes.byteOffset + bytes.length - (bytes.length % 4)));
  const [heard, pass] = [frames(wavData(recording)), frames(pcm)];
  const first = heard.findIndex((frame) => frame !== 0);
  const end = heard.findLastIndex((frame) => frame !== 0) + 1;
  const wrong = heard.subarray(first, end).findIndex((frame, i) => frame !== pass[i % pass.length]);
  const fault = first < 0 ? 'silence' : wrong >= 0 ? `frame ${wrong} of the sound differs` : '';
  return { fault, passes: (end - first) / pass.length, begin: first / 44100, end: end / 44100 };
}

async function scenario(browser, server) {
  const [page] = browser.pages();
  page.on('console', (message) => message.type() === 'error' && problems.push(message.text()));
  page.on('pageerror', (error) => problems.push(error.message));
  // Loads the page, waiting for its server to answer first; gives its milliseconds to ready.
  const open = (tries = 50) => page.goto(url)
    .catch((error) => (tries ? sleep(100).then(() => open(tries - 1)) : Promise.reject(error)));
  const ready = () => page.waitForFunction(() => document.documentElement.dataset.ready);
  const load = () => open().then(ready).then((handle) => handle.jsonValue());
  const devtools = await page.context().newCDPSession(page);
  const readyMs = await load();
  await page.waitForFunction(() => navigator.serviceWorker.controller);
  const { installabilityErrors } = await devtools.send('Page.getInstallabilityErrors');
  check('the page can be installed', !installabilityErrors.length, installabilityErrors[0]?.errorId);
  const requests = server.requests.length;

  const sent = await send(page, 'online', 3);
  const late = server.requests.slice(requests);
  check('no request reaches the server after loading', !late.length, late);
  const heard = compare(sent.file, encodeWithCli(sonicsend, ssid, key));
  check('the recording is sonicsend encode\'s PCM, pass for pass', !heard.fault && heard.passes > 2,
    heard.fault || `only ${heard.passes} passes`);
  check('silent within 200 ms of 取消连接', heard.end - sent.cancelled < 0.2, `${heard.end} s`);
  console.log(`load to ready ${readyMs} ms, press to sound ${Math.round(1000 * (heard.begin -
    sent.pressed))} ms, cancel to silence ${Math.round(1000 * (heard.end - sent.cancelled))} ms`);
  const stored = await page.evaluate(() => localStorage.getItem('localSave.json'));
  check('localStorage holds {SSID: key}', stored === JSON.stringify({ [ssid]: key }), stored);

  await load();
  await page.fill('#ssid', ssid);
  const filled = await page.inputValue('#key');
  check('the key comes back after a reload', filled === key, `"${filled}"`);
  await page.fill('#ssid', 'LongKeyNet');
  await page.fill('#key', 'k'.repeat(100));
  const { length } = await page.inputValue('#key');
  check('the key field stops at the message limit', length === 93 - 10, `took ${length}`);

  const corrupt = '{"HomeNet": "cut sh';
  await page.evaluate((text) => localStorage.setItem('localSave.json', text), corrupt);
  server.kill();
  // Only the service worker's cache may serve the page now, not the browser's HTTP cache.
  await devtools.send('Network.clearBrowserCache');
  await load();
  const aside = await page.evaluate((text) => Object.keys(localStorage)
    .filter((name) => name !== 'localSave.json' && localStorage.getItem(name) === text), corrupt);
  check('a corrupt store is kept aside', aside.length === 1, 'gone');
  await send(page, 'offline', 2);
}

const server = spawn(serveWeb, [new URL(url).port, site], { stdio: ['ignore', 'ignore', 'pipe'] });
server.requests = [];
server.stderr.on('data', (data) => server.requests.push(...(`${data}`.match(/"GET [^"]*"/g) ?? [])));
const problems = [];  // console errors (policy violations among them) and uncaught exceptions
// A profile of its own (an incognito page cannot be installed), sound into the private server,
// no background connections: there may be no network.
chromium.launchPersistentContext(path.join(work, 'profile'), {
  executablePath: '/usr/bin/chromium', ignoreDefaultArgs: ['--mute-audio'],
  args: ['--disable-gpu', '--disable-quic', '--disable-sync'],
}).then((browser) => scenario(browser, server).finally(() => browser.close()))
  .catch((error) => check('the scenario runs through', false, error.stack))
  .then(() => {
    check('no error, exception or policy violation in the page', !problems.length, problems);
    server.kill();
    console.log(failed ? `${failed} failed` : 'all passed');
    process.exitCode = failed ? 1 : 0;
  });
