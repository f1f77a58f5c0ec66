// One page of a headless chromium, driven through the DevTools protocol on a pipe
// (--remote-debugging-pipe: JSON messages ended by a NUL byte; commands on fd 3, replies on fd 4).
'use strict';
const { spawn } = require('node:child_process');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

class Browser {
  constructor(userDataDir) {
    // No background connections (there may be no network), no sandbox as root.
    const flags = ['--headless=new', '--remote-debugging-pipe', `--user-data-dir=${userDataDir}`,
      '--no-first-run', '--disable-gpu', '--disable-background-networking', '--disable-sync',
      '--disable-component-update', '--disable-quic', ...(process.getuid() ? [] : ['--no-sandbox'])];
    this.process = spawn('chromium', flags, { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
    this.calls = new Map();
    this.lastId = 0;
    this.problems = [];  // console errors, uncaught exceptions, policy violations
    let buffered = '';
    this.process.stdio[4].setEncoding('utf8').on('data', (chunk) => {
      const messages = (buffered + chunk).split('\0');
      buffered = messages.pop();
      for (const message of messages) this.receive(JSON.parse(message));
    });
  }

  receive({ id, result, error, method, params }) {
    const problem = method === 'Runtime.exceptionThrown' ? params.exceptionDetails.text
      : method === 'Log.entryAdded' && params.entry.level === 'error' ? params.entry.text
        : method === 'Runtime.consoleAPICalled' && params.type === 'error' ? params.args[0].value
          : null;
    if (problem !== null) this.problems.push(problem);
    const call = this.calls.get(id);
    this.calls.delete(id);
    if (call) error ? call.reject(new Error(`${call.method}: ${error.message}`)) : call.resolve(result);
  }

  send(method, params = {}) {
    const id = ++this.lastId;
    this.process.stdio[3].write(`${JSON.stringify({ id, method, params, sessionId: this.session })}\0`);
    return new Promise((resolve, reject) => this.calls.set(id, { method, resolve, reject }));
  }

  async newPage() {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    this.session = (await this.send('Target.attachToTarget', { targetId, flatten: true })).sessionId;
    for (const domain of ['Page', 'Runtime', 'Log']) await this.send(`${domain}.enable`);
  }

  // Loads `url`, waiting for its server to answer first.
  async open(url) {
    for (let tries = 0; (await this.send('Page.navigate', { url })).errorText; ++tries) {
      if (tries === 50) throw new Error(`${url} does not load`);
      await sleep(100);
    }
  }

  // Runs `fn(...args)` in the page and gives its (awaited) result.
  async evaluate(fn, ...args) {
    const expression = `(${fn})(...${JSON.stringify(args)})`;
    const reply = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (reply.exceptionDetails) throw new Error(`${fn}: ${reply.exceptionDetails.exception?.description}`);
    return reply.result.value;
  }

  async waitFor(fn, what) {
    for (const end = Date.now() + 20000; Date.now() < end; await sleep(50)) {
      const value = await this.evaluate(fn).catch(() => undefined);
      if (value) return value;
    }
    throw new Error(`timed out waiting for ${what}`);
  }

  // A real click in the middle of the element: a user gesture, as audio playback needs.
  async click(selector) {
    const [x, y] = await this.evaluate((s) => {
      const box = document.querySelector(s).getBoundingClientRect();
      return [box.x + box.width / 2, box.y + box.height / 2];
    }, selector);
    for (const type of ['mousePressed', 'mouseReleased']) {
      await this.send('Input.dispatchMouseEvent', { type, x, y, button: 'left', clickCount: 1 });
    }
  }

  // Selects what the field holds and types `text` over it, a character at a time.
  async type(selector, text) {
    await this.click(selector);
    await this.evaluate((s) => document.querySelector(s).select(), selector);
    for (const character of text) await this.send('Input.insertText', { text: character });
  }

  close() {
    this.process.kill('SIGKILL');
  }
}

module.exports = { Browser, sleep };
