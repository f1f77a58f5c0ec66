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

  // The index of the first code unit of `text` that the signal cannot carry (above 0xFF: it would
  // arrive as another character), or -1 when all of it arrives as typed. The library decides.
  function firstUnitNotCarried(encoder, text) {
    const capacity = encoder._velarto_credentials_capacity();
    const units = new Uint16Array(encoder.HEAPU16.buffer, encoder._velarto_credentials(), capacity);
    for (let start = 0; start < text.length; start += capacity) {
      const part = text.slice(start, start + capacity);
      for (let i = 0; i < part.length; ++i) units[i] = part.charCodeAt(i);
      const index = encoder._velarto_first_unit_not_carried(part.length);
      if (index >= 0) return start + index;
    }
    return -1;
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

  return { maxUnits, firstUnitNotCarried, encodePass };
});
