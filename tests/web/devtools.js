// A headless chromium driven through the DevTools protocol on a pipe (--remote-debugging-pipe:
// JSON messages ended by a NUL byte, commands on fd 3, answers and events on fd 4).
'use strict';
const { spawn } = require('node:child_process');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

class Browser {
  constructor(userDataDir) {
    // No background connections (the machine may have no network), no sandbox as root.
    const flags = ['--headless=new', '--remote-debugging-pipe', `--user-data-dir=${userDataDir}`,
      '--no-first-run', '--disable-gpu', '--disable-background-networking', '--disable-sync',
      '--disable-component-update', '--disable-quic', '--window-size=390,844', 'about:blank'];
    if (process.getuid() === 0) flags.unshift('--no-sandbox');
    this.process = spawn('chromium', flags, { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    this.process.stderr.resume();
    this.nextId = 1;
    this.pending = new Map();
    this.events = [];
    let buffered = Buffer.alloc(0);
    this.process.stdio[4].on('data', (chunk) => {
      buffered = Buffer.concat([buffered, chunk]);
      for (let end = buffered.indexOf(0); end >= 0; end = buffered.indexOf(0)) {
        this.receive(JSON.parse(buffered.toString('utf8', 0, end)));
        buffered = buffered.subarray(end + 1);
      }
    });
  }

  receive(message) {
    const call = this.pending.get(message.id);
    if (!call) return this.events.push(message);
    this.pending.delete(message.id);
    if (message.error) call.reject(new Error(`${call.method}: ${message.error.message}`));
    else call.resolve(message.result);
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId++;
    this.process.stdio[3].write(`${JSON.stringify({ id, method, params, sessionId })}\0`);
    return new Promise((resolve, reject) => this.pending.set(id, { method, resolve, reject }));
  }

  async newPage() {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, sessionId);
    await Promise.all(['Page.enable', 'Runtime.enable', 'Log.enable'].map((m) => page.send(m)));
    return page;
  }

  // What the pages wrote to their consoles and logs, and the exceptions they did not catch.
  messages() {
    return this.events.map(({ method, params }) => {
      if (method === 'Runtime.consoleAPICalled') {
        return `console.${params.type}: ${params.args.map((a) => a.value ?? a.description).join(' ')}`;
      }
      if (method === 'Log.entryAdded') return `log ${params.entry.level}: ${params.entry.text}`;
      if (method === 'Runtime.exceptionThrown') return `exception: ${params.exceptionDetails.text}`;
      return null;
    }).filter((line) => line !== null);
  }

  async close() {
    await Promise.race([this.send('Browser.close').catch(() => {}), sleep(3000)]);
    this.process.kill('SIGKILL');
  }
}

class Page {
  constructor(browser, sessionId) {
    this.browser = browser;
    this.sessionId = sessionId;
  }

  send(method, params = {}) {
    return this.browser.send(method, params, this.sessionId);
  }

  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send('Runtime.evaluate',
      { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description}`);
    return result.value;
  }

  async waitFor(expression, what, ms = 20000) {
    for (const end = Date.now() + ms; Date.now() < end; await sleep(50)) {
      const value = await this.evaluate(expression).catch(() => undefined);
      if (value) return value;
    }
    throw new Error(`timed out waiting for ${what}`);
  }

  async open(url) {
    const { errorText } = await this.send('Page.navigate', { url });
    if (errorText) throw new Error(`${url}: ${errorText}`);
  }

  // A real click, in the middle of the element: a user gesture, as audio playback needs.
  async click(selector) {
    const [x, y] = await this.evaluate(`(() => { const box = document.querySelector(` +
      `${JSON.stringify(selector)}).getBoundingClientRect(); ` +
      'return [box.x + box.width / 2, box.y + box.height / 2]; })()');
    for (const type of ['mousePressed', 'mouseReleased']) {
      await this.send('Input.dispatchMouseEvent', { type, x, y, button: 'left', clickCount: 1 });
    }
  }

  // Clicks the field, selects what it holds and types `text` over it, one character at a time.
  async type(selector, text) {
    await this.click(selector);
    await this.evaluate(`document.querySelector(${JSON.stringify(selector)}).select()`);
    for (const character of text) await this.send('Input.insertText', { text: character });
  }
}

module.exports = { Browser, sleep };
