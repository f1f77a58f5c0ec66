#include "QUAVRV4.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <tuple>

#include "encoder.h"
#include "ui_QUAVRV4.h"

namespace {

const QString kConnectWifi = QStringLiteral("请连接Wi-Fi");
const QString kNoSoundDevice = QStringLiteral("没有可用的声音输出设备");
const QString kClose = QStringLiteral("关闭");
const QString kCancelConnecting = QStringLiteral("取消连接");
const QString kStartConnecting = QStringLiteral("开始连接");
// Why a pair cannot be sent: a character the signal would change (%1), or too many characters.
const QString kSsidNotCarried = QStringLiteral("Wi-Fi名称含有“%1”，这样的名称无法用声波发送");
const QString kKeyNotCarried = QStringLiteral("密码含有“%1”，这样的密码无法用声波发送");
const QString kTooLong = QStringLiteral("Wi-Fi名称和密码合计超过%1个字符，无法用声波发送");
// A character the device would split the pair at (%1, by its code point).
const QString kSsidNotSplit =
    QStringLiteral("Wi-Fi名称含有“%1”，设备会把它当作名称的结尾，这样的名称无法用声波发送");
const QString kKeyControl =
    QStringLiteral("密码含有控制字符“%1”，Wi-Fi密码不含这样的字符，无法用声波发送");

constexpr int kCredentialLimit = sonicsend::maxCredentialUnits(sonicsend::Layout::framed);
constexpr int kMaxLineLength = 32767;  // a line edit's own limit
constexpr int kSaveRetryMilliseconds = 5000;

// The connect button: green, with rounded corners that clip its content.
const QString kConnectButtonStyle = QStringLiteral(
    "QPushButton { background-color: rgb(80, 200, 80); border: none; border-radius: 8px;"
    " color: white; padding: 10px; }"
    "QPushButton:pressed { background-color: rgb(64, 170, 64); }"
    "QPushButton:disabled { background-color: rgb(190, 225, 190); }");

QString describe(const std::optional<QStringList>& names) {
  return names ? QStringLiteral("(%1)").arg(names->join(QStringLiteral(", ")))
               : QStringLiteral("(null)");
}

QString describe(const std::optional<QVariantMap>& info) {
  if (!info) return QStringLiteral("(null)");
  QStringList members;
  for (auto member = info->cbegin(); member != info->cend(); ++member) {
    members << QStringLiteral("%1 = %2").arg(member.key(), member.value().toString());
  }
  return QStringLiteral("{%1}").arg(members.join(QStringLiteral("; ")));
}

SharedText shared(const QString& text) {
  return std::make_shared<const std::u16string>(text.toStdU16String());
}

// The character of `text` that starts at `index`, both halves of a surrogate pair; its code
// point instead when it shows nothing (a zero-width space, a direction mark).
QString characterAt(const QString& text, qsizetype index) {
  const bool pair =
      text[index].isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate();
  const QString character = text.mid(index, pair ? 2 : 1);
  const char32_t codePoint = character.toUcs4().value(0);
  if (QChar::isPrint(codePoint)) return character;
  return QStringLiteral("U+%1")
      .arg(static_cast<uint>(codePoint), 4, 16, QLatin1Char('0'))
      .toUpper();
}

}  // namespace

QUAVRV4::QUAVRV4(ScreenServices platform, QWidget* parent)
    : QWidget(parent),
      player(platform.makeSender()),
      save(platform.makeStore()),
      services_(std::move(platform)),
      ui_(std::make_unique<Ui::QUAVRV4>()) {
  ui_->setupUi(this);
  connectActions();
  setFocusPolicy(Qt::ClickFocus);
  // A pair the store could not write yet (its lock held by another process, a full disk) is
  // tried again every few seconds, and once more when the store goes with the screen at quit.
  auto* retry = new QTimer(this);
  connect(retry, &QTimer::timeout, this, [this] { save->save(); });
  retry->start(kSaveRetryMilliseconds);
}

QUAVRV4::~QUAVRV4() {
  // Destroying the child widgets takes the focus from a field, which ends its editing:
  // that must not call back into this half-destroyed screen.
  ui_->textSsid->disconnect(this);
  ui_->textKey->disconnect(this);
}

QPushButton* QUAVRV4::butConnect() const {
  return ui_->butConnect;
}
QLineEdit* QUAVRV4::textSsid() const {
  return ui_->textSsid;
}
QLineEdit* QUAVRV4::textKey() const {
  return ui_->textKey;
}

void QUAVRV4::connectActions() {
  connect(ui_->butConnect, &QPushButton::clicked, this,
          [this] { connectPressed(ui_->butConnect); });
  connect(ui_->butShowKey, &QPushButton::clicked, this,
          [this] { showKeyPressed(ui_->butShowKey); });
  connect(ui_->textSsid, &QLineEdit::editingFinished, this, [this] { ssidEditEnd(ui_->textSsid); });
  connect(ui_->textSsid, &QLineEdit::textChanged, this, &QUAVRV4::keepWithinMessageLimit);
  connect(ui_->textKey, &QLineEdit::textChanged, this, &QUAVRV4::keepWithinMessageLimit);
  connect(ui_->textSsid, &QLineEdit::textChanged, this, &QUAVRV4::enableConnect);
  keepWithinMessageLimit();
  enableConnect();
}

void QUAVRV4::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!viewLoaded_) {
    viewLoaded_ = true;
    setFocus();  // the screen opens with no field being edited
    viewDidLoad();
  }
}

void QUAVRV4::viewDidLoad() {
  ui_->butConnect->setStyleSheet(kConnectButtonStyle);
  showWifiSsid();
}

void QUAVRV4::showWifiSsid() {
  const auto info = fetchSSIDInfo();
  const QVariant ssid = info ? info->value(QStringLiteral("SSID")) : QVariant();
  if (ssid.isValid()) {
    fill(ui_->textSsid, ssid.toString());
    const auto key = save->getKeyBySsid(ui_->textSsid->text().toStdString());
    fill(ui_->textKey, key ? QString::fromStdString(*key) : QString());
    return;
  }
  QMessageBox* alert = showAlert(kConnectWifi);
  connect(alert, &QMessageBox::finished, this,
          [this, alert](int result) { alertViewDidDismissWithButtonIndex(alert, result); });
}

void QUAVRV4::alertViewDidDismissWithButtonIndex(QMessageBox*, int) {
  showWifiSsid();
}

// An alert with an empty title, `message` and one button, 关闭. It blocks nothing: a modal alert
// would make the window ignore the window manager's close request, and the Wi-Fi alert comes
// back after each dismissal, so the application could never be closed.
QMessageBox* QUAVRV4::showAlert(const QString& message) {
  auto* alert =
      new QMessageBox(QMessageBox::NoIcon, QString(), message, QMessageBox::NoButton, this);
  alert->addButton(kClose, QMessageBox::RejectRole);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::NonModal);
  alert->show();
  return alert;
}

std::optional<QVariantMap> QUAVRV4::fetchSSIDInfo() {
  const auto interfaces = services_.supportedInterfaces();
  qInfo().noquote() << QStringLiteral("Supported interfaces: %1").arg(describe(interfaces));
  std::optional<QVariantMap> info;
  for (const QString& name : interfaces.value_or(QStringList())) {
    info = services_.currentNetworkInfo(name);
    qInfo().noquote() << QStringLiteral("%1 => %2").arg(name, describe(info));
    if (info && !info->isEmpty()) break;
  }
  return info;
}

void QUAVRV4::connectPressed(QAbstractButton* sender) {
  ui_->textKey->clearFocus();
  ui_->textSsid->clearFocus();
  if (quavrState != 0) {
    player->stopConnect();
    quavrState = 0;
    sender->setText(kStartConnecting);
    enableConnect();
    return;
  }
  // An empty SSID names no network; the button is disabled for it.
  if (ui_->textSsid->text().isEmpty()) return;
  if (const auto why = whyNotSendable()) {
    showAlert(*why);
    return;
  }
  save->saveSsid(ui_->textSsid->text().toStdString(), ui_->textKey->text().toStdString());
  player->setSsid(shared(ui_->textSsid->text()), shared(ui_->textKey->text()));
  player->startConnect();
  if (player->sendState() != sonicsend::SendState::sending) {
    // Waiting for a device would start the sound later, behind a button that reads 开始连接.
    player->stopConnect();
    showAlert(kNoSoundDevice);
    return;
  }
  quavrState = 1;
  sender->setText(kCancelConnecting);
}

void QUAVRV4::backgroundTapped() {
  ui_->textKey->clearFocus();
  ui_->textSsid->clearFocus();
}

void QUAVRV4::mousePressEvent(QMouseEvent* event) {
  event->accept();
  backgroundTapped();
}

void QUAVRV4::ssidEditEnd(QLineEdit* sender) {
  qInfo().noquote() << QStringLiteral("ssid Edit End");
  const auto key = save->getKeyBySsid(sender->text().toStdString());
  fill(ui_->textKey, key ? QString::fromStdString(*key) : QString());
}

void QUAVRV4::showKeyPressed(QAbstractButton* sender) {
  showKey = showKey == 1 ? 0 : 1;
  sender->setChecked(showKey == 0);
  ui_->textKey->setEchoMode(showKey == 1 ? QLineEdit::Normal : QLineEdit::Password);
}

// Why the fields' pair cannot be sent, or none. The signal carries the low byte of each
// UTF-16 unit, so a character above U+00FF would arrive as another one and the device could
// never join; the device splits the pair at U+001F, so that character in the SSID, or any
// control character in the key (which no Wi-Fi key holds), would have it join another network;
// a pair longer than one message would play nothing. A stored key is checked the same way.
std::optional<QString> QUAVRV4::whyNotSendable() const {
  const QString ssid = ui_->textSsid->text();
  const QString key = ui_->textKey->text();
  const std::u16string ssidUnits = ssid.toStdU16String();
  const std::u16string keyUnits = key.toStdU16String();
  // Each check in turn: the text, the index of its first character at fault, the alert.
  const std::tuple<const QString&, std::optional<std::size_t>, const QString&> checks[] = {
      {ssid, sonicsend::firstUnitNotCarried(ssidUnits), kSsidNotCarried},
      {key, sonicsend::firstUnitNotCarried(keyUnits), kKeyNotCarried},
      {ssid, sonicsend::firstUnitNotSplitBack(sonicsend::Layout::framed, ssidUnits), kSsidNotSplit},
      {key, sonicsend::firstControlCharacter(keyUnits), kKeyControl}};
  for (const auto& [text, index, message] : checks) {
    if (index) return message.arg(characterAt(text, static_cast<qsizetype>(*index)));
  }
  if (ssid.size() + key.size() > kCredentialLimit) return kTooLong.arg(kCredentialLimit);
  return std::nullopt;
}

// The button starts nothing without an SSID; while sending it always stops.
void QUAVRV4::enableConnect() {
  ui_->butConnect->setEnabled(quavrState != 0 || !ui_->textSsid->text().isEmpty());
}

// Shows `text` whole, even when it does not fit beside the other field's text: a stored key is
// never cut (it would be sent and saved as another key); pressing the button then says why it
// cannot be sent.
void QUAVRV4::fill(QLineEdit* field, const QString& text) {
  field->setMaxLength(kMaxLineLength);
  field->setText(text);
  keepWithinMessageLimit();
}

// Typing stops where the SSID and the key together reach the message limit: each field takes no
// more than the other one leaves, or than it already holds.
void QUAVRV4::keepWithinMessageLimit() {
  const auto room = [](const QLineEdit* field, const QLineEdit* other) {
    const qsizetype left = std::max<qsizetype>(0, kCredentialLimit - other->text().size());
    return static_cast<int>(std::max(left, field->text().size()));
  };
  ui_->textKey->setMaxLength(room(ui_->textKey, ui_->textSsid));
  ui_->textSsid->setMaxLength(room(ui_->textSsid, ui_->textKey));
}
