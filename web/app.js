// The page: the screen of velarto (SSID, key shown or hidden, start/stop), the remembered keys in
// localStorage, and the signal played through WebAudio in a gapless loop. Its texts come from
// texts.js (velartoTexts), in the visitor's language.
'use strict';

const kStoreName = 'localSave.json';
const kSampleRate = 44100;

// The remembered keys: one JSON object SSID -> key, the shape of the desktop's localSave.json.
// Members that are not strings are kept as read; a stored text that is not such an object is
// moved aside under a name no other value has, never overwritten.
class KeyStore {
  constructor(storage) {
    this.storage = storage;
    this.keys = this.load();
  }

  load() {
    const text = this.read();
    if (text === null) return new Map();
    try {
      const value = JSON.parse(text);
      if (value !== null && typeof value === 'object' && !Array.isArray(value)) {
        return new Map(Object.entries(value));
      }
    } catch (error) {
      // not JSON: kept aside below
    }
    const aside = this.unusedName(`${kStoreName}.unreadable-${new Date().toISOString()}`);
    if (this.write(aside, text)) {
      this.storage.removeItem(kStoreName);
      console.warn(`the stored keys are not a JSON object; kept as ${aside}`);
    } else {
      // Nowhere to keep them: they stay where they are, and nothing is written over them.
      this.readOnly = true;
    }
    return new Map();
  }

  // `name`, or when that is taken (two set aside in one millisecond), `name` with the first
  // free number -2, -3, … after it.
  unusedName(name) {
    let unused = name;
    for (let number = 2; this.storage.getItem(unused) !== null; ++number) {
      unused = `${name}-${number}`;
    }
    return unused;
  }

  keyFor(ssid) {
    const key = this.keys.get(ssid);
    return typeof key === 'string' ? key : null;
  }

  // Remembers the pair; another tab's pairs, stored since this page loaded, are kept. An empty
  // SSID names no network and is never stored.
  remember(ssid, key) {
    if (ssid === '') return;
    this.keys = new Map([...this.keys, ...this.load()]);
    if (this.keyFor(ssid) === key) return;
    this.keys.set(ssid, key);
    if (!this.readOnly) this.write(kStoreName, JSON.stringify(Object.fromEntries(this.keys)));
  }

  read() {
    try {
      return this.storage ? this.storage.getItem(kStoreName) : null;
    } catch (error) {
      return null;
    }
  }

  write(name, text) {
    try {
      this.storage.setItem(name, text);
      return true;
    } catch (error) {
      console.warn(`could not store the keys: ${error}`);
      return false;
    }
  }
}

// Plays one pass of PCM in an endless gapless loop, and keeps the screen on while it does.
class SignalPlayer {
  constructor() {
    this.context = null;
    this.source = null;
    this.wakeLock = null;
    document.addEventListener('visibilitychange', () => {
      // The browser releases the lock when the page is hidden; take it again on return.
      if (document.visibilityState === 'visible' && this.source) this.keepScreenOn();
    });
  }

  // Opens the audio output ahead of the first start, which then sounds sooner. Browsers allow
  // that only after a user gesture: the first touch or key press on the page.
  prepare() {
    this.audioContext().resume().catch(() => {});
  }

  get playing() {
    return this.source !== null;
  }

  // `pcm`: interleaved left/right 16-bit samples. An output running at 44 100 Hz receives them
  // unchanged: value / 32768 is exact in single precision and scales back exactly.
  start(pcm) {
    const context = this.audioContext();
    const frames = pcm.length / 2;
    const buffer = context.createBuffer(2, frames, kSampleRate);
    for (let channel = 0; channel < 2; ++channel) {
      const samples = buffer.getChannelData(channel);
      for (let i = 0; i < frames; ++i) samples[i] = pcm[2 * i + channel] / 32768;
    }
    this.source = context.createBufferSource();
    this.source.buffer = buffer;
    this.source.loop = true;
    this.source.connect(context.destination);
    this.source.start();
    context.resume().catch((error) => console.error(`audio output: ${error}`));
    this.keepScreenOn();
  }

  stop() {
    if (!this.source) return;
    this.source.stop();
    this.source.disconnect();
    this.source = null;
    // Nothing plays until the next start: the output need not run meanwhile.
    this.context.suspend().catch(() => {});
    if (this.wakeLock) this.wakeLock.release().catch(() => {});
    this.wakeLock = null;
  }

  // The larger buffers of 'playback' keep the loop free of gaps on a busy phone; the sound starts
  // and stops a few tens of milliseconds later for it.
  audioContext() {
    if (this.context) return this.context;
    try {
      this.context = new AudioContext({ sampleRate: kSampleRate, latencyHint: 'playback' });
    } catch (error) {
      this.context = new AudioContext({ latencyHint: 'playback' });
    }
    if (this.context.sampleRate !== kSampleRate) {
      console.info(`audio runs at ${this.context.sampleRate} Hz; the signal is resampled`);
    }
    return this.context;
  }

  async keepScreenOn() {
    if (!('wakeLock' in navigator) || this.wakeLock) return;
    try {
      const lock = await navigator.wakeLock.request('screen');
      if (this.source && !this.wakeLock) this.wakeLock = lock;
      else lock.release().catch(() => {});
    } catch (error) {
      console.info(`the screen may turn off while sending: ${error.message}`);
    }
  }
}

// The first character of `text` from `index` on, both halves of a surrogate pair; its code point
// instead when it shows nothing (a zero-width space, a direction mark).
function characterAt(text, index) {
  const character = String.fromCodePoint(text.codePointAt(index));
  if (!/[\p{C}\p{Z}]/u.test(character)) return character;
  return `U+${character.codePointAt(0).toString(16).toUpperCase().padStart(4, '0')}`;
}

// The screen: the same fields and button as the desktop application, in the visitor's language.
// The button waits for an SSID; a credential the signal would change is refused with a message.
class Screen {
  constructor(encoder, store, player) {
    this.encoder = encoder;
    this.store = store;
    this.player = player;
    this.ssid = document.getElementById('ssid');
    this.key = document.getElementById('key');
    this.showKey = document.getElementById('show-key');
    this.connect = document.getElementById('connect');
    this.message = document.getElementById('message');
    this.limit = velartoSignal.maxUnits(encoder);

    this.ssid.addEventListener('input', () => this.fillRememberedKey(false));
    this.ssid.addEventListener('change', () => this.fillRememberedKey(true));
    this.ssid.addEventListener('input', () => this.keepWithinMessageLimit());
    this.key.addEventListener('input', () => this.keepWithinMessageLimit());
    this.ssid.addEventListener('input', () => this.enableConnect());
    for (const field of [this.ssid, this.key]) {
      field.addEventListener('input', () => { this.message.textContent = ''; });
    }
    this.showKey.addEventListener('click', () => this.toggleKeyShown());
    this.connect.addEventListener('click', () => this.connectPressed());
    for (const gesture of ['pointerdown', 'keydown']) {
      document.addEventListener(gesture, () => player.prepare(), { once: true, capture: true });
    }
    this.keepWithinMessageLimit();
    this.enableConnect();
  }

  // An empty SSID names no network: nothing to start until one is typed. A send runs until
  // stopped, whatever the field then holds.
  enableConnect() {
    this.connect.disabled = this.ssid.value === '' && !this.player.playing;
  }

  // A remembered SSID brings its key as soon as it is typed; leaving the field with an SSID that
  // has none empties the key, as on the desktop. The key comes whole, even when it does not fit
  // beside the SSID: cut, it would be sent wrong and remembered over the right one.
  fillRememberedKey(emptyWhenUnknown) {
    const key = this.store.keyFor(this.ssid.value);
    if (key === null && !emptyWhenUnknown) return;
    this.key.value = key ?? '';
    this.keepWithinMessageLimit();
  }

  // SSID and key must fit one message, or the encoder refuses them: each field takes no more
  // typing than the other leaves, so the typing stops at the limit.
  keepWithinMessageLimit() {
    this.key.maxLength = Math.max(0, this.limit - this.ssid.value.length);
    this.ssid.maxLength = Math.max(0, this.limit - this.key.value.length);
  }

  toggleKeyShown() {
    const hidden = this.key.type === 'text';
    this.key.type = hidden ? 'password' : 'text';
    this.showKey.setAttribute('aria-pressed', String(hidden));
  }

  connectPressed() {
    this.ssid.blur();
    this.key.blur();
    if (this.player.playing) {
      this.player.stop();
      this.connect.textContent = velartoTexts.start;
      this.enableConnect();
      return;
    }
    this.message.textContent = this.refusal() ?? '';
    if (this.message.textContent || this.ssid.value === '') return;
    this.store.remember(this.ssid.value, this.key.value);
    const pcm = velartoSignal.encodePass(this.encoder, this.ssid.value, this.key.value);
    this.player.start(pcm);
    this.connect.textContent = velartoTexts.cancel;
  }

  // Why the texts cannot be sent: the first character the signal would change (it carries the
  // low 8 bits of each UTF-16 unit, so one above U+00FF would arrive as another) or the device
  // could not split back (U+001F in the SSID, a control character in the key), too many
  // characters for one message, or null. Its text is named after the field and the fault.
  refusal() {
    const fault = velartoSignal.firstFault(this.encoder, this.ssid.value, this.key.value);
    if (fault) {
      const text = fault.field === 'ssid' ? this.ssid.value : this.key.value;
      return velartoTexts[fault.field + fault.why](characterAt(text, fault.index));
    }
    const tooLong = this.ssid.value.length + this.key.value.length > this.limit;
    return tooLong ? velartoTexts.tooLong(this.limit) : null;
  }
}

function openStorage() {
  try {
    return window.localStorage;
  } catch (error) {
    console.warn(`keys cannot be remembered here: ${error}`);
    return null;
  }
}

createEncoderModule().then((encoder) => {
  window.velartoScreen = new Screen(encoder, new KeyStore(openStorage()), new SignalPlayer());
  // Milliseconds from the start of navigation to a usable button.
  document.documentElement.dataset.ready = String(Math.round(performance.now()));
}, (error) => console.error(`the encoder did not load: ${error}`));

if ('serviceWorker' in navigator) {
  window.addEventListener('load', () => {
    navigator.serviceWorker.register('sw.js').catch((error) => {
      console.warn(`no offline use: ${error}`);
    });
  });
}
