// One pass of the signal from the encoder compiled to WebAssembly: SSID and key as JavaScript
// strings (UTF-16 code units, which the encoder reads one byte each) in, 16-bit stereo PCM out.
// Loaded by the page as a plain script and by Node with require().
(function (root, make) {
  if (typeof module === 'object' && module.exports) module.exports = make();
  else root.velartoSignal = make();
})(this, function () {
  'use strict';

  // The longest SSID + key, in code units, that one message of the layout holds.
  function maxUnits(encoder, bare = false) {
    return encoder._velarto_max_units(bare ? 1 : 0);
  }

  // The index of the first code unit of `text` that `check` names, or -1. `check` is one of the
  // library's checks: it takes the number of units written to the encoder's buffer.
  function firstUnit(encoder, text, check) {
    const capacity = encoder._velarto_credentials_capacity();
    const units = new Uint16Array(encoder.HEAPU16.buffer, encoder._velarto_credentials(), capacity);
    for (let start = 0; start < text.length; start += capacity) {
      const part = text.slice(start, start + capacity);
      for (let i = 0; i < part.length; ++i) units[i] = part.charCodeAt(i);
      const index = check(part.length);
      if (index >= 0) return start + index;
    }
    return -1;
  }

  // What keeps the credentials from being sent as typed, or null: the field ('ssid' or 'key'),
  // the index of its first unit at fault, and why, the library deciding: 'NotCarried' (above
  // 0xFF, it would arrive as another character), 'Separator' (in the SSID: a receiver would end
  // the SSID there) or 'Control' (in the key: a control character, which no Wi-Fi key holds).
  function firstFault(encoder, ssid, key, bare = false) {
    const notCarried = (units) => encoder._velarto_first_unit_not_carried(units);
    const checks = [
      ['ssid', ssid, 'NotCarried', notCarried],
      ['key', key, 'NotCarried', notCarried],
      ['ssid', ssid, 'Separator',
        (units) => encoder._velarto_first_unit_not_split_back(units, bare ? 1 : 0)],
      ['key', key, 'Control', (units) => encoder._velarto_first_control_character(units)],
    ];
    for (const [field, text, why, check] of checks) {
      const index = firstUnit(encoder, text, check);
      if (index >= 0) return { field, index, why };
    }
    return null;
  }

  // Interleaved left/right samples of one pass, or null when the credentials do not fit.
  function encodePass(encoder, ssid, key, bare = false) {
    const capacity = encoder._velarto_credentials_capacity();
    if (ssid.length + key.length > capacity) return null;
    const units = new Uint16Array(encoder.HEAPU16.buffer, encoder._velarto_credentials(), capacity);
    for (let i = 0; i < ssid.length; ++i) units[i] = ssid.charCodeAt(i);
    for (let i = 0; i < key.length; ++i) units[ssid.length + i] = key.charCodeAt(i);
    const bytes = encoder._velarto_encode(ssid.length, key.length, bare ? 1 : 0);
    if (bytes < 0) return null;
    // The buffer may move when the encoder's memory grows: take it after encoding.
    return new Int16Array(encoder.HEAPU8.buffer, encoder._velarto_pcm(), bytes / 2).slice();
  }

  return { maxUnits, firstFault, encodePass };
});
