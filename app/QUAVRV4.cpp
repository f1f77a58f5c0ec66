#include "QUAVRV4.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QtDebug>

#include <algorithm>

#include "tones.h"
#include "ui_QUAVRV4.h"

namespace {

const QString kConnectWifi = QStringLiteral("请连接Wi-Fi");
const QString kNoSoundDevice = QStringLiteral("没有可用的声音输出设备");
const QString kClose = QStringLiteral("关闭");
const QString kCancelConnecting = QStringLiteral("取消连接");
const QString kStartConnecting = QStringLiteral("开始连接");
constexpr int kSaveRetryMilliseconds = 5000;

// The connect button: green, with rounded corners that clip its content.
const QString kConnectButtonStyle = QStringLiteral(
    "QPushButton { background-color: rgb(80, 200, 80); border: none; border-radius: 8px;"
    " color: white; padding: 10px; }"
    "QPushButton:pressed { background-color: rgb(64, 170, 64); }");

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
  keepWithinMessageLimit();
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
    // The key is replaced next anyway; emptying it first leaves the whole message limit to
    // the new SSID.
    ui_->textKey->clear();
    ui_->textSsid->setText(ssid.toString());
    const auto key = save->getKeyBySsid(ui_->textSsid->text().toStdString());
    ui_->textKey->setText(key ? QString::fromStdString(*key) : QString());
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
  ui_->textKey->setText(key ? QString::fromStdString(*key) : QString());
}

void QUAVRV4::showKeyPressed(QAbstractButton* sender) {
  showKey = showKey == 1 ? 0 : 1;
  sender->setChecked(showKey == 0);
  ui_->textKey->setEchoMode(showKey == 1 ? QLineEdit::Normal : QLineEdit::Password);
}

// The sender refuses an SSID and key that do not fit one message and would play nothing, so
// each field takes no more than the other one leaves: a user sees the typing stop instead of
// pressing the button and hearing nothing.
void QUAVRV4::keepWithinMessageLimit() {
  constexpr qsizetype limit = sonicsend::kMaxFramedCredentialUnits;
  const auto room = [](qsizetype used) {
    return static_cast<int>(std::max<qsizetype>(0, limit - used));
  };
  ui_->textKey->setMaxLength(room(ui_->textSsid->text().size()));
  ui_->textSsid->setMaxLength(room(ui_->textKey->text().size()));
}
