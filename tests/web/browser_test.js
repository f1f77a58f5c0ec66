// The page in a real browser, playing into the private sound server of scripts/with-pulse.sh:
// the recording decodes to the typed credentials and is `sonicsend encode`'s PCM pass for pass;
// 取消连接 silences it; a reload remembers the key, a corrupt store is kept aside, the key field
// stops at the limit; with its server gone the page loads and sends. It speaks Chinese or English
// as the browser asks, refuses what the signal cannot carry, has no accessibility violation
// (axe-core), and installs with its icons. Playwright drives Debian's chromium: `npm ci` in this
// folder installs it and axe-core, as scripts/install-deps.sh does.
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
const [ssid, key] = ['Café Zoë', 'clé'];  // a two-frame message: 1.16 s a pass
const port = 20000 + (process.pid % 20000);
const url = `http://127.0.0.1:${port}/`;
const insecureUrl = `http://velarto.test:${port}/`;  // the same server under a name, not localhost
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
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
  const expected = await page.evaluate(() => `${velartoTexts.cancel},${velartoTexts.start}`);
  check(`${name}: the button reads ${expected}`, `${labels}` === expected, labels);
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

// Runs axe-core in the page, through the DevTools protocol: the page's Content-Security-Policy
// governs only the page's own scripts.
async function audit(page, name) {
  const devtools = await page.context().newCDPSession(page);
  await devtools.send('Runtime.evaluate', { expression: axeSource });
  await devtools.detach();
  const violations = await page.evaluate(() => axe.run().then(({ violations: found }) => found
    .map(({ id, nodes }) => `${id} at ${nodes.map((node) => node.target.join(' ')).join(', ')}`)));
  check(`${name}: axe-core finds no accessibility violation`, !violations.length, violations);
}

// The page's texts and <html lang> when the browser prefers `languages`.
const languages = [
  { name: 'Chinese', accept: 'zh-CN,zh', lang: 'zh-CN', start: '开始连接', about: '声波' },
  { name: 'English', accept: 'en-US,en', lang: 'en', start: 'Start sending', about: 'by sound' },
];
async function checkLanguage(page, language) {
  const shown = await page.evaluate(() => ({ lang: document.documentElement.lang,
    start: document.getElementById('connect').textContent,
    about: document.getElementById('about').textContent }));
  check(`${language.name}: the page says what it does, in its language`, shown.lang ===
    language.lang && shown.start === language.start && shown.about.includes(language.about), shown);
  await audit(page, `${language.name}, idle`);
  // Apart from the recorded sends: a busy page might starve their sound.
  await page.fill('#ssid', ssid);
  await page.fill('#key', key);
  await page.click('#connect');
  await page.waitForFunction(() => velartoScreen.player.playing);
  await audit(page, `${language.name}, sending`);
  await page.click('#connect');
}

// The manifest parses; it has a language, a description, a Chinese translation, and PNG icons of
// 192 and 512 px, one of them maskable; each icon it names is served as the type it says.
async function checkManifest(devtools) {
  const { url: manifestUrl, errors, data } = await devtools.send('Page.getAppManifest');
  const manifest = JSON.parse(data || '{}');
  check('the manifest parses, in two languages', !errors.length && manifest.lang &&
    manifest.description && manifest.translations?.['zh-CN']?.description, errors);
  const sizes = [];
  for (const icon of manifest.icons ?? []) {
    const response = await fetch(new URL(icon.src, manifestUrl));
    const bytes = Buffer.from(await response.arrayBuffer());
    const png = icon.type === 'image/png' && bytes.toString('latin1', 1, 4) === 'PNG' &&
      `${bytes.readUInt32BE(16)}x${bytes.readUInt32BE(20)}`;
    sizes.push(`${response.status} ${response.headers.get('content-type')} ${png || icon.type}` +
      ` ${icon.purpose}`);
  }
  const served = sizes.every((size) => size.startsWith('200 ')) && ['192x192 any', '512x512 any',
    '512x512 maskable'].every((png) => sizes.some((size) => size.endsWith(` ${png}`)));
  check('each icon is served, PNGs of 192 and 512 px among them, one maskable', served, sizes);
}

// Texts the signal would change are refused with a message naming the first such character:
// nothing is sent and nothing stored.
const refusals = [
  { name: 'a Chinese SSID', ssid: '我的网络', key: 'k', named: '“我”' },
  { name: 'a key with Chinese', ssid: 'Net', key: 'pass密码', named: '“密”' },
  { name: 'a key with an emoji', ssid: 'Net', key: 'a😀', named: '“😀”' },
  { name: 'an SSID with a zero-width space', ssid: 'Net\u200B', key: 'k', named: '“U+200B”' },
  { name: 'a key with the separator', ssid: 'HomeNet', key: 'se\x1Fcret', named: '“U+001F”' },
  { name: 'a key with U+0000', ssid: 'NulNet', key: 'ab\0cd', named: '“U+0000”' },
  { name: 'an SSID with the separator', ssid: 'Home\x1FNet', key: 'k', named: '“U+001F”' },
];
async function checkRefusals(page, load) {
  const store = () => page.evaluate(() => JSON.stringify(localStorage));
  const before = await store();
  for (const refusal of refusals) {
    await page.fill('#ssid', refusal.ssid);
    await page.fill('#key', refusal.key);
    await page.click('#connect');
    const message = await page.textContent('#message');
    const label = await page.textContent('#connect');
    check(`${refusal.name} is refused, naming ${refusal.named}`, message.includes(refusal.named) &&
      label === '开始连接' && (await store()) === before, `${message} / ${label}`);
  }
  // A remembered key that does not fit beside its SSID comes whole, and is refused, not cut.
  const long = JSON.stringify({ Net: 'k'.repeat(91) });
  await page.evaluate((text) => localStorage.setItem('localSave.json', text), long);
  await load();
  await page.fill('#ssid', 'Net');
  await page.click('#connect');
  const shown = [await page.inputValue('#key'), await page.textContent('#message')];
  check('a remembered key too long beside its SSID is shown whole, refused and kept',
    shown[0] === JSON.parse(long).Net && shown[1].includes('93') &&
    (await page.evaluate(() => localStorage.getItem('localSave.json'))) === long, shown);
  await page.fill('#ssid', '');
  const enabled = [await page.isEnabled('#connect')];
  await page.fill('#ssid', 'x');
  enabled.push(await page.isEnabled('#connect'));
  check('the button waits for an SSID', `${enabled}` === 'false,true', enabled);
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
  const userAgent = await page.evaluate(() => navigator.userAgent);
  const speak = (language) => devtools.send('Emulation.setUserAgentOverride',
    { userAgent, acceptLanguage: language.accept });
  await speak(languages[0]);
  const readyMs = await load();
  check('the button waits for an SSID at first', !(await page.isEnabled('#connect')), 'enabled');
  await page.waitForFunction(() => navigator.serviceWorker.controller);
  const { installabilityErrors } = await devtools.send('Page.getInstallabilityErrors');
  check('the page can be installed', !installabilityErrors.length, installabilityErrors[0]?.errorId);
  await checkManifest(devtools);
  const requests = server.requests.length;

  const sent = await send(page, 'online', 3);
  // The browser itself fetches the manifest's icons when it decides to offer installing.
  const late = server.requests.slice(requests).filter((request) => !/ \/icon-/.test(request));
  check('the page makes no request after loading', !late.length, late);
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
  await checkLanguage(page, languages[0]);
  await checkRefusals(page, load);

  await speak(languages[1]);
  await load();
  await checkLanguage(page, languages[1]);
  const notes = [await page.isVisible('#insecure')];
  await page.goto(insecureUrl);
  notes.push(await page.isVisible('#insecure'));
  check('only a page without a secure context says what it lacks', `${notes}` === 'false,true',
    notes);
  await load();

  const corrupt = '{"HomeNet": "cut sh';
  await page.evaluate((text) => localStorage.setItem('localSave.json', text), corrupt);
  server.kill();
  // Only the service worker's cache may serve the page now, not the browser's HTTP cache.
  await devtools.send('Network.clearBrowserCache');
  await load();
  const aside = await page.evaluate((text) => Object.keys(localStorage)
    .filter((name) => name !== 'localSave.json' && localStorage.getItem(name) === text), corrupt);
  check('a corrupt store is kept aside', aside.length === 1, 'gone');
  const kept = await page.evaluate((text) => {
    const clock = Date;  // stopped, so that all three are set aside in one millisecond
    window.Date = class extends clock {
      constructor(...time) { super(...(time.length ? time : [0])); }
      static now() { return 0; }
    };
    for (const number of [1, 2, 3]) {
      localStorage.setItem('localSave.json', `${text}${number}`);
      new KeyStore(localStorage);  // sets the text aside
    }
    window.Date = clock;
    return Object.values(localStorage);
  }, corrupt);
  check('three corrupt stores set aside in one millisecond are all kept',
    [1, 2, 3].every((number) => kept.includes(`${corrupt}${number}`)), kept);
  await send(page, 'offline', 2);
}

const help = spawnSync(serveWeb, ['--help'], { encoding: 'utf8' });
check('serve-web.sh --help says how to bind', help.status === 0 && help.stdout.includes('--bind'),
  help.stderr);
// What serve-web.sh cannot serve on is said in one line, exit 2, before any address is printed.
const serveRefusals = [
  ['an address that is none', ['--bind', 'not an address!', `${port}`, site], '--bind takes'],
  ['an address out of range', ['--bind', '999.1.1.1', `${port}`, site], '--bind takes'],
  ['an address of another computer', ['--bind', '198.51.100.7', `${port}`, site], 'not an address of'],
];
for (const [name, args, says] of serveRefusals) {
  const run = spawnSync(serveWeb, args, { encoding: 'utf8', timeout: 10000 });
  check(`serve-web.sh refuses ${name} in one line`, run.status === 2 && run.stdout === '' &&
    run.stderr.trim().split('\n').length === 1 && run.stderr.includes(says),
    JSON.stringify([run.status, run.stdout, run.stderr]));
}
// A port in use: Python holds one while serve-web.sh asks for it.
const busy = spawnSync('python3', ['-c', `import socket, subprocess, sys
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()
run = subprocess.run([sys.argv[1], str(s.getsockname()[1]), sys.argv[2]], capture_output=True, text=True, timeout=10)
print(run.returncode, len(run.stdout), run.stderr.strip().count(chr(10)) + 1, 'in use' in run.stderr)`,
serveWeb, site], { encoding: 'utf8' });
check('serve-web.sh refuses a port in use in one line', busy.stdout.trim() === '2 0 1 True',
  JSON.stringify([busy.stdout, busy.stderr]));
const server = spawn(serveWeb, ['--bind', '127.0.0.1', `${port}`, site],
  { stdio: ['ignore', 'ignore', 'pipe'] });
server.requests = [];
server.stderr.on('data', (data) => server.requests.push(...(`${data}`.match(/"GET [^"]*"/g) ?? [])));
const problems = [];  // console errors (policy violations among them) and uncaught exceptions
// A profile of its own (an incognito page cannot be installed), sound into the private server,
// no background connections: there may be no network.
chromium.launchPersistentContext(path.join(work, 'profile'), {
  executablePath: '/usr/bin/chromium', ignoreDefaultArgs: ['--mute-audio'],
  args: ['--disable-gpu', '--disable-quic', '--disable-sync',
    '--host-resolver-rules=MAP velarto.test 127.0.0.1'],
}).then((browser) => scenario(browser, server).finally(() => browser.close()))
  .catch((error) => check('the scenario runs through', false, error.stack))
  .then(() => {
    check('no error, exception or policy violation in the page', !problems.length, problems);
    server.kill();
    console.log(failed ? `${failed} failed` : 'all passed');
    process.exitCode = failed ? 1 : 0;
  });
