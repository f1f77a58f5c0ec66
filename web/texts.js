// The page's texts: the desktop screen's Chinese ones for a visitor whose first preferred language
// is Chinese, English ones for everyone else. Runs before the page is first shown, so that it
// never shows the other language; <html lang> follows the choice.
'use strict';

const velartoTexts = (() => {
  const chinese = {
    lang: 'zh-CN',
    about: '把Wi-Fi名称和密码用声波发给没有屏幕的设备：填好后按开始连接，把手机靠近设备。',
    ssid: 'Wi-Fi名称',
    key: '密码',
    hide: '隐藏',
    hideTitle: '隐藏密码',
    start: '开始连接',
    cancel: '取消连接',
    insecure: '此页面不是通过https打开的：可以发送，但不能离线使用、安装到主屏幕或保持屏幕常亮。',
    ssidNotCarried: (character) => `Wi-Fi名称含有“${character}”，这样的名称无法用声波发送`,
    keyNotCarried: (character) => `密码含有“${character}”，这样的密码无法用声波发送`,
    ssidSeparator: (character) => `Wi-Fi名称含有“${character}”，设备会把它当作名称的结尾，` +
      '这样的名称无法用声波发送',
    keyControl: (character) => `密码含有控制字符“${character}”，Wi-Fi密码不含这样的字符，无法用声波发送`,
    tooLong: (limit) => `Wi-Fi名称和密码合计超过${limit}个字符，无法用声波发送`,
  };
  const english = {
    lang: 'en',
    about: 'Sends a Wi-Fi name and password by sound to a device without a screen: fill them in, ' +
      'press Start sending and hold the phone near the device.',
    ssid: 'Wi-Fi name',
    key: 'Password',
    hide: 'Hide',
    hideTitle: 'Hide the password',
    start: 'Start sending',
    cancel: 'Stop sending',
    insecure: 'This page was not opened over https: it sends, but cannot work offline, be ' +
      'installed or keep the screen on.',
    ssidNotCarried: (character) => `The Wi-Fi name contains “${character}”, which cannot be ` +
      'sent by sound',
    keyNotCarried: (character) => `The password contains “${character}”, which cannot be sent ` +
      'by sound',
    ssidSeparator: (character) => `The Wi-Fi name contains “${character}”, which the device ` +
      'would take for the end of the name: it cannot be sent by sound',
    keyControl: (character) => `The password contains the control character “${character}”, ` +
      'which no Wi-Fi password holds: it cannot be sent by sound',
    tooLong: (limit) => `The Wi-Fi name and password together have more than ${limit} ` +
      'characters, too many to send by sound',
  };

  const first = (navigator.languages && navigator.languages[0]) || navigator.language || '';
  const texts = first.toLowerCase().startsWith('zh') ? chinese : english;

  // Elements name their text in data-text, their tooltip in data-title.
  document.documentElement.lang = texts.lang;
  for (const element of document.querySelectorAll('[data-text]')) {
    element.textContent = texts[element.dataset.text];
  }
  for (const element of document.querySelectorAll('[data-title]')) {
    element.title = texts[element.dataset.title];
  }
  document.getElementById('insecure').hidden = window.isSecureContext;
  return texts;
})();
