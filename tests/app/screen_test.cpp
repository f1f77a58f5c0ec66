// The configuration screen and the launch, driven like a user would; the network, the store's
// file and the sound output are stand-ins. main() gives the run a private runtime and data
// directory.
#include <qpa/qwindowsysteminterface.h>

#include <QAccessible>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>

#include "AppDelegate.h"
#include "Sink.h"
#include "encoder.h"
#include "libraryLogs.h"

Q_DECLARE_METATYPE(std::optional<QStringList>)

namespace {

const QString kStart = QStringLiteral("开始连接");
const QString kConnectWifi = QStringLiteral("请连接Wi-Fi");
const QByteArray kStored =
    R"({ "HomeNet" : "correct horse", "Office" : "espresso", "咖啡馆" : "密码" })";

// Replaces the field's text, typing one character at a time (both halves of a surrogate pair
// in one key press) so that any script goes through; a control character, which no key types,
// goes in as a paste would.
void retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->clear();
  for (const char32_t c : text.toUcs4()) {
    const QString character = QString::fromUcs4(&c, 1);
    if (QChar::isPrint(c)) {
      QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, character, {});
    } else {
      field->insert(character);
    }
  }
}

// What was logged since the last clear: the screen's info lines, the libraries' lines after
// their category. Other messages go on to the test's handler.
QStringList logged;
QtMessageHandler testHandler = nullptr;
void keepLines(QtMsgType type, const QMessageLogContext& context, const QString& line) {
  const QString category = context.category;
  if (category.startsWith("velarto.")) return logged.append(category + ": " + line);
  type == QtInfoMsg ? logged.append(line) : testHandler(type, context, line);
}

}  // namespace

class ScreenTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString storeFile;
  std::optional<QStringList> interfaces;
  QMap<QString, QVariantMap> info;  // an interface missing here reports none
  int interfaceQueries = 0;
  bool soundDevice = true;
  playAudio* sender = nullptr;
  std::unique_ptr<QUAVRV4> screen;

  ScreenServices services() {
    ScreenServices made;
    made.supportedInterfaces = [this] { return ++interfaceQueries, interfaces; };
    made.currentNetworkInfo = [this](const QString& name) {
      return info.contains(name) ? std::optional(info[name]) : std::nullopt;
    };
    made.makeStore = [this] { return std::make_unique<localSave>(storeFile.toStdString()); };
    made.makeSender = [this] {  // a device that holds the sound until stopped, or none
      auto output =
          std::make_shared<sonicsend::testing::Sink>(sonicsend::testing::SinkOptions{0})->output();
      if (!soundDevice) output.openDevice = [](const auto&) { return nullptr; };
      auto player = std::make_unique<playAudio>(output);
      sender = player.get();
      return player;
    };
    return made;
  }
  void writeStore(const QByteArray& json) {
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
  }
  QByteArray readStore() const {
    QFile file(storeFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
  }
  std::unique_ptr<AppDelegate> launch() {  // as main() does
    auto delegate = std::make_unique<AppDelegate>(services());
    delegate->didFinishLaunchingWithOptions(*qApp);
    return delegate;
  }
  void showScreen() {
    screen = std::make_unique<QUAVRV4>(services());
    screen->show();
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
  }
  // The one alert shown, with an empty title, `text` and one button 关闭; null otherwise.
  static QMessageBox* alertSaying(const QString& text, QWidget* parent) {
    const auto alerts = parent->findChildren<QMessageBox*>();
    const bool one = alerts.size() == 1 && alerts[0]->isVisible() && alerts[0]->text() == text &&
                     alerts[0]->windowTitle().isEmpty() && alerts[0]->buttons().size() == 1 &&
                     alerts[0]->buttons()[0]->text() == QStringLiteral("关闭");
    return one ? alerts[0] : nullptr;
  }
  // The sender is playing exactly the signal of these credentials.
  bool sending(const QString& ssid, const QString& key) const {
    const auto pass = sonicsend::encodePass(sonicsend::Layout::framed, ssid.toStdU16String(),
                                            key.toStdU16String());
    return pass && sender->sendState() == sonicsend::SendState::sending &&
           std::equal(pass->pcm.begin(), pass->pcm.end(), sender->pcm(),
                      sender->pcm() + sender->pcmLength());
  }

 private slots:
  void initTestCase() { testHandler = qInstallMessageHandler(keepLines); }
  void init() {
    storeFile = dir.filePath(QTest::currentTestFunction() + QStringLiteral(".json"));
    QFile::remove(storeFile);
    interfaces = QStringList{"wlan0"};
    info = {{"wlan0", QVariantMap{{"SSID", "HomeNet"}}}};
    interfaceQueries = 0;
    soundDevice = true;
  }
  void cleanup() { screen.reset(); }

  void launchShowsTheIdleScreenWhichKeepsSendingWhileAway() {
    const auto delegate = launch();
    QMainWindow* window = delegate->window();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(window->frameGeometry(), window->screen()->availableGeometry());
    QCOMPARE(window->grab().toImage().pixelColor(1, 1), QColor(Qt::white));
    auto* content = qobject_cast<QUAVRV4*>(window->centralWidget());
    QCOMPARE(content->textSsid()->text(), QStringLiteral("HomeNet"));
    QVERIFY(!content->textSsid()->hasFocus() && !content->textKey()->hasFocus());
    QPushButton* button = content->butConnect();
    QCOMPARE(button->text(), kStart);  // green, with rounded corners
    const QImage image = content->grab().toImage();
    const QPoint corner = button->geometry().topLeft() + button->parentWidget()->pos();
    QCOMPARE(image.pixelColor(corner + QPoint(3, button->height() / 2)), QColor(80, 200, 80));
    QCOMPARE(image.pixelColor(corner), image.pixelColor(corner - QPoint(1, 1)));
    auto* showKey = content->findChild<QAbstractButton*>("butShowKey");
    for (const bool hidden : {false, true, false}) {
      QCOMPARE(showKey->isChecked(), hidden);
      QCOMPARE(content->textKey()->echoMode(), hidden ? QLineEdit::Password : QLineEdit::Normal);
      QTest::mouseClick(showKey, Qt::LeftButton);
    }

    QTest::mouseClick(button, Qt::LeftButton);
    window->showMinimized();
    window->hide();
    window->showMaximized();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QVERIFY(sending("HomeNet", ""));
    QCOMPARE(interfaceQueries, 1);
  }

  // Each row: what the machine reports at first. Each dismissal (Escape, then 关闭) reads the
  // network again; at the end it is found on the second of three interfaces.
  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound_data() {
    QTest::addColumn<std::optional<QStringList>>("reported");
    QTest::addColumn<QString>("log");
    QTest::newRow("no Wi-Fi") << std::optional<QStringList>() << "Supported interfaces: (null)";
    QTest::newRow("no interface") << std::optional(QStringList()) << "Supported interfaces: ()";
    QTest::newRow("not joined") << std::optional(QStringList{"wlan0"}) << "wlan0 => {}";
    QTest::newRow("gone") << std::optional(QStringList{"wlan9"}) << "wlan9 => (null)";
    QTest::newRow("no SSID member, the next not asked")
        << std::optional(QStringList{"wlan3", "wlan1"}) << "wlan3 => {BSSID = 00:1a:2b:3c:4d:5f}";
  }
  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound() {
    QFETCH(std::optional<QStringList>, reported);
    QFETCH(QString, log);
    writeStore(kStored);
    interfaces = reported;
    info = {{"wlan0", {}},
            {"wlan1", {{"SSID", "Office"}, {"BSSID", "00:1a:2b:3c:4d:5e"}}},
            {"wlan3", {{"BSSID", "00:1a:2b:3c:4d:5f"}}}};
    logged.clear();
    showScreen();
    QCOMPARE(logged.last(), log);
    for (const int shown : {1, 2}) {
      QMessageBox* alert = alertSaying(kConnectWifi, screen.get());
      QVERIFY(alert);
      QCOMPARE(interfaceQueries, shown);
      logged.clear();
      if (shown == 1) QTest::keyClick(alert, Qt::Key_Escape);
      interfaces = QStringList{"wlan0", "wlan1", "wlan2"};
      if (shown == 2) QTest::mouseClick(alert->buttons()[0], Qt::LeftButton);
      QTest::qWait(1);  // deletes the dismissed alert
    }
    QVERIFY(screen->findChildren<QMessageBox*>().isEmpty());
    QCOMPARE(logged, (QStringList{"Supported interfaces: (wlan0, wlan1, wlan2)", "wlan0 => {}",
                                  "wlan1 => {BSSID = 00:1a:2b:3c:4d:5e; SSID = Office}"}));
    QCOMPARE(screen->textKey()->text(), QStringLiteral("espresso"));
  }

  void quittingWorksWithTheAlertUp_data() {
    QTest::addColumn<QString>("how");
    for (const char* how : {"window manager's close request", "Ctrl+Q", "session end"}) {
      QTest::newRow(how) << how;
    }
  }
  void quittingWorksWithTheAlertUp() {
    QFETCH(QString, how);
    interfaces.reset();
    const auto delegate = launch();
    QMessageBox* alert = alertSaying(kConnectWifi, delegate->window());
    QVERIFY(alert && QTest::qWaitForWindowActive(alert));
    QTimer::singleShot(0, [&] {
      if (how == "Ctrl+Q") return QTest::keyClick(alert, Qt::Key_Q, Qt::ControlModifier);
      if (how == "session end") return void(std::raise(SIGTERM));
      QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::SynchronousDelivery>(
          delegate->window()->windowHandle());
    });
    QTimer::singleShot(20'000, [] { QCoreApplication::exit(1); });  // a hang fails, not blocks
    QCOMPARE(QApplication::exec(), 0);
  }

  // Each row: the fields' texts at the first press, whether a sound device is there, and the
  // alert that refuses a text the signal would change (nothing is saved then).
  void connectSavesThenStartsOrSaysWhyNot_data() {
    QTest::addColumn<QStringList>("pair");
    QTest::addColumn<bool>("device");
    QTest::addColumn<QString>("refused");
    QTest::newRow("new key") << QStringList{"HomeNet", "pw"} << true << "";
    QTest::newRow("empty key") << QStringList{"HomeNet", ""} << true << "";
    QTest::newRow("SSID edited") << QStringList{"Edited", "k"} << true << "";
    QTest::newRow("no sound device") << QStringList{"HomeNet", "k"} << false << "";
    QTest::newRow("Latin-1 sent as typed") << QStringList{"Café", "Straße ÿ"} << true << "";
    QTest::newRow("Chinese SSID") << QStringList{"我的网络", "pw"} << true
                                  << "Wi-Fi名称含有“我”，这样的名称无法用声波发送";
    QTest::newRow("emoji in the key, both halves named")
        << QStringList{"HomeNet", "pw📶"} << true << "密码含有“📶”，这样的密码无法用声波发送";
    QTest::newRow("invisible character by its code")
        << QStringList{"Home\u200bNet", "pw"} << true
        << "Wi-Fi名称含有“U+200B”，这样的名称无法用声波发送";
    QTest::newRow("separator in the key, pasted")
        << QStringList{"HomeNet", "se\037cret"} << true
        << "密码含有控制字符“U+001F”，Wi-Fi密码不含这样的字符，无法用声波发送";
    QTest::newRow("zero in the key")
        << QStringList{"NulNet", QString::fromUtf16(u"ab\0cd", 5)} << true
        << "密码含有控制字符“U+0000”，Wi-Fi密码不含这样的字符，无法用声波发送";
    QTest::newRow("separator in the SSID")
        << QStringList{"Home\x1FNet", "pw"} << true
        << "Wi-Fi名称含有“U+001F”，设备会把它当作名称的结尾，这样的名称无法用声波发送";
  }
  void connectSavesThenStartsOrSaysWhyNot() {
    QFETCH(QStringList, pair);
    QFETCH(bool, device);
    QFETCH(QString, refused);
    soundDevice = device;
    showScreen();
    if (screen->textSsid()->text() != pair[0]) retype(screen->textSsid(), pair[0]);
    if (screen->textKey()->text() != pair[1]) retype(screen->textKey(), pair[1]);
    logged.clear();
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    if (!refused.isEmpty()) {
      QVERIFY(alertSaying(refused, screen.get()));
      QCOMPARE(readStore(), QByteArray("(none)"));
      QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
      QCOMPARE(screen->butConnect()->text(), kStart);
      return;
    }
    QCOMPARE(readStore(), QStringLiteral(R"({"%1":"%2"})").arg(pair[0], pair[1]).toUtf8());
    QVERIFY(!screen->textKey()->hasFocus());
    if (!device) {
      QVERIFY(alertSaying(QStringLiteral("没有可用的声音输出设备"), screen.get()));
      QVERIFY(logged.join('\n').contains("velarto.sender: playAudio: no sound output device"));
    } else {
      QVERIFY(sending(pair[0], pair[1]));
      writeStore(kStored);  // stopping must leave it alone
      QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
      QCOMPARE(readStore(), kStored);
    }
    QCOMPARE(screen->butConnect()->text(), kStart);
    QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
  }

  // Another process holding the store's lock holds neither the window nor the pair: it is
  // written once the lock is free, at the latest when the screen goes at quit.
  void aHeldStoreLockKeepsThePairForLater() {
    showScreen();
    const int lock = ::open((storeFile + ".lock").toLocal8Bit(), O_RDWR | O_CREAT, 0600);
    QCOMPARE(::flock(lock, LOCK_EX), 0);  // another open file: as another process would
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(sending("HomeNet", ""));
    QCOMPARE(readStore(), QByteArray("(none)"));
    ::close(lock);
    screen.reset();
    QCOMPARE(readStore(), QByteArray(R"({"HomeNet":""})"));
  }

  // The stored key of the network found at load, then of each SSID typed by hand. One message
  // holds 93 UTF-16 code units of SSID and key: typing stops where the other field leaves no
  // room, but a stored key is shown whole and, when it does not fit or holds a control
  // character, refused and kept as stored.
  void fillsTheStoredKeyOfANetworkWithinTheMessageLimit() {
    const QByteArray stored = kStored.chopped(1) + ", \"Long\" : \"" + QByteArray(100, 'k') +
                              "\", \"Ctl\" : \"se\\u001fcret\" }";
    writeStore(stored);
    showScreen();
    QCOMPARE(screen->textKey()->text(), QStringLiteral("correct horse"));
    const std::pair<QString, QString> networks[] = {{"Office", "espresso"},
                                                    {"咖啡馆", "密码"},
                                                    {"homenet", ""},
                                                    {"Ctl", "se\037cret"},
                                                    {"Long", QString(100, 'k')}};
    for (const auto& [ssid, key] : networks) {
      retype(screen->textKey(), "typed by hand");
      logged.clear();
      retype(screen->textSsid(), ssid);
      QTest::mouseClick(screen.get(), Qt::LeftButton, {}, QPoint(2, 2));  // the background
      QVERIFY(!screen->textSsid()->hasFocus() && !screen->textKey()->hasFocus());
      QCOMPARE(logged, QStringList{"ssid Edit End"});
      QCOMPARE(screen->textKey()->text(), key);
    }
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(alertSaying(QStringLiteral("Wi-Fi名称和密码合计超过93个字符，无法用声波发送"),
                        screen.get()));
    QCOMPARE(readStore(), stored);
    QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
    QTest::keyClicks(screen->textSsid(), "2G");  // the key leaves the SSID no room
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("Long"));
    delete screen->findChild<QMessageBox*>();
    retype(screen->textKey(), "");
    retype(screen->textSsid(), "Ctl");
    QTest::mouseClick(screen.get(), Qt::LeftButton, {}, QPoint(2, 2));
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(alertSaying(
        QStringLiteral("密码含有控制字符“U+001F”，Wi-Fi密码不含这样的字符，无法用声波发送"),
        screen.get()));
    QCOMPARE(readStore(), stored);
    QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
    retype(screen->textSsid(), "Lo");  // closing while a field is edited calls nothing back
    logged.clear();
    screen.reset();
    QCOMPARE(logged, QStringList());
  }

  // An empty SSID names no network: the button is off until the field holds something, and
  // nothing is saved or sent for it. While sending, the button always stops.
  void anEmptySsidCannotBeSent() {
    showScreen();
    QPushButton* button = screen->butConnect();
    retype(screen->textSsid(), "");
    QVERIFY(!button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    screen->connectPressed(button);  // the action itself refuses it too
    QCOMPARE(readStore(), QByteArray("(none)"));
    QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
    retype(screen->textSsid(), "x");
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(sending("x", ""));
    retype(screen->textSsid(), "");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(sender->sendState(), sonicsend::SendState::idle);
    QVERIFY(!button->isEnabled());
  }

  // What a screen reader says of each control, in the screen's language, and the order Tab
  // walks them in.
  void controlsAreNamedAndDescribedInTabOrder() {
    showScreen();
    auto* showKey = screen->findChild<QAbstractButton*>("butShowKey");
    const std::tuple<QWidget*, QString, QString> controls[] = {
        {screen->textSsid(), "Wi-Fi名称", "要发送给设备的Wi-Fi名称"},
        {screen->textKey(), "密码", "这个Wi-Fi的密码"},
        {showKey, "隐藏密码", "按下隐藏密码，再按一次显示"},
        {screen->butConnect(), kStart, "用声波把Wi-Fi名称和密码发送给设备，再按一次停止"}};
    screen->textSsid()->setFocus();
    for (const auto& [control, name, description] : controls) {
      QCOMPARE(QApplication::focusWidget(), control);
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
      QCOMPARE(accessible->text(QAccessible::Name), name);
      QCOMPARE(accessible->text(QAccessible::Description), description);
      QTest::keyClick(control, Qt::Key_Tab);
    }
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);  // the name follows the title
    QCOMPARE(QAccessible::queryAccessibleInterface(screen->butConnect())->text(QAccessible::Name),
             QStringLiteral("取消连接"));
  }
};

int main(int argc, char* argv[]) {
  QTemporaryDir runtimeDir, dataDir;  // private to this run: mode 0700, removed at exit
  qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
  qputenv("XDG_DATA_HOME", dataDir.path().toUtf8());
  QApplication application(argc, argv);
  routeLibraryLogsToQt();
  ScreenTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "screen_test.moc"
