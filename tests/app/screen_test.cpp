// The configuration screen and the launch, driven like a user would: clicks, typed text,
// dismissed alerts. The network, the store's file and the sound output are stand-ins; main()
// gives the run a private runtime and data directory.
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include "AppDelegate.h"
#include "encoder.h"

Q_DECLARE_METATYPE(std::optional<QStringList>)

namespace {

const QString kStart = QStringLiteral("开始连接");
const QString kCancel = QStringLiteral("取消连接");
const QByteArray kStored =
    R"({ "HomeNet" : "correct horse", "Office" : "espresso", "咖啡馆" : "密码" })";

struct SilentDevice : sonicsend::AudioDevice {  // holds the queue's thread until stopped
  std::size_t play(std::span<const std::uint8_t>, std::stop_token stop) override {
    while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  }
  void drop() override {}
};

// Replaces the field's text, typing one character at a time so that any script goes through.
void retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->clear();
  for (const QChar character : text) {
    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
}

// The info lines logged since the last clear; other messages go on to the test's handler.
QStringList logged;
QtMessageHandler testHandler = nullptr;
void keepInfo(QtMsgType type, const QMessageLogContext& context, const QString& line) {
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
  playAudio* sender = nullptr;
  std::unique_ptr<QUAVRV4> screen;

  ScreenServices services() {
    ScreenServices services;
    services.supportedInterfaces = [this] {
      ++interfaceQueries;
      return interfaces;
    };
    services.currentNetworkInfo = [this](const QString& name) {
      return info.contains(name) ? std::optional(info[name]) : std::nullopt;
    };
    services.makeStore = [this] { return std::make_unique<localSave>(storeFile.toStdString()); };
    services.makeSender = [this] {
      auto made = std::make_unique<playAudio>(sonicsend::SoundOutput{
          .openDevice = [](const auto&) { return std::make_unique<SilentDevice>(); },
          .setVolume = [](float) {},
      });
      sender = made.get();
      return made;
    };
    return services;
  }
  void writeStore(const QByteArray& json) {
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
  }
  QByteArray readStore() const {
    QFile file(storeFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
  }
  void showScreen() {
    screen = std::make_unique<QUAVRV4>(services());
    screen->show();
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
  }
  // The sender is playing exactly the signal of these credentials.
  bool sending(const QString& ssid, const QString& key) const {
    const auto pass = sonicsend::encodePass(sonicsend::Layout::framed, ssid.toStdU16String(),
                                            key.toStdU16String());
    return pass && sender->getQueue() && !sender->stopped() &&
           sender->pcmLength() == pass->pcm.size() &&
           std::equal(pass->pcm.begin(), pass->pcm.end(), sender->pcm());
  }

 private slots:
  void initTestCase() { testHandler = qInstallMessageHandler(keepInfo); }
  void init() {
    storeFile = dir.filePath(QTest::currentTestFunction() + QStringLiteral(".json"));
    QFile::remove(storeFile);
    interfaces = QStringList{"wlan0"};
    info = {{"wlan0", QVariantMap{{"SSID", "HomeNet"}}}};
    interfaceQueries = 0;
  }
  void cleanup() { screen.reset(); }

  // One white window with the idle screen; sending goes on while the window is away, and
  // coming back reads nothing again.
  void launchShowsOneWhiteWindowWithTheIdleScreen() {
    AppDelegate delegate(services());
    QVERIFY(delegate.didFinishLaunchingWithOptions(*qApp));
    QMainWindow* window = delegate.window();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QWidgetList shown = QApplication::topLevelWidgets();
    shown.removeIf([](QWidget* widget) { return !widget->isVisible(); });
    QCOMPARE(shown, QWidgetList{window});
    QCOMPARE(window->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(window->autoFillBackground());
    QCOMPARE(window->frameGeometry(), window->screen()->availableGeometry());

    auto* content = qobject_cast<QUAVRV4*>(window->centralWidget());
    QVERIFY(content && content->isVisible());
    QCOMPARE(content->textSsid()->text(), QStringLiteral("HomeNet"));
    QVERIFY(!content->textSsid()->hasFocus() && !content->textKey()->hasFocus());
    QPushButton* button = content->butConnect();
    QCOMPARE(button->text(), kStart);
    const QImage image = content->grab().toImage();  // green, with rounded corners
    const QRect area =
        button->geometry().translated(button->parentWidget()->mapTo(content, QPoint()));
    QCOMPARE(image.pixelColor(area.left() + 3, area.center().y()), QColor(80, 200, 80));
    QCOMPARE(image.pixelColor(area.topLeft()), image.pixelColor(area.topLeft() - QPoint(1, 1)));

    auto* toggle = content->findChild<QAbstractButton*>("butShowKey");
    for (const bool hidden : {false, true, false}) {
      QCOMPARE(toggle->isChecked(), hidden);
      QCOMPARE(content->textKey()->echoMode(), hidden ? QLineEdit::Password : QLineEdit::Normal);
      QTest::mouseClick(toggle, Qt::LeftButton);
    }

    QTest::mouseClick(button, Qt::LeftButton);
    window->showMinimized();
    window->hide();
    window->showMaximized();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(button->text(), kCancel);
    QVERIFY(sending("HomeNet", ""));
    QCOMPARE(interfaceQueries, 1);
  }

  // Each row: what the machine reports at first. Then the network is found on the second of
  // three interfaces, the first reporting an empty dictionary.
  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound_data() {
    QTest::addColumn<std::optional<QStringList>>("reported");
    QTest::addColumn<QString>("log");
    QTest::newRow("no Wi-Fi") << std::optional<QStringList>() << "Supported interfaces: (null)";
    QTest::newRow("no interface") << std::optional(QStringList()) << "Supported interfaces: ()";
    QTest::newRow("not joined") << std::optional(QStringList{"wlan0"}) << "wlan0 => {}";
    QTest::newRow("gone") << std::optional(QStringList{"wlan9"}) << "wlan9 => (null)";
  }
  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound() {
    QFETCH(std::optional<QStringList>, reported);
    QFETCH(QString, log);
    writeStore(kStored);
    interfaces = reported;
    info["wlan0"] = QVariantMap();
    info["wlan1"] = QVariantMap{{"SSID", "Office"}, {"BSSID", "00:1a:2b:3c:4d:5e"}};
    info["wlan2"] = QVariantMap{{"SSID", "Other"}};
    logged.clear();
    showScreen();
    QCOMPARE(logged.last(), log);
    for (int shown = 1; shown <= 3; ++shown) {
      const auto alerts = screen->findChildren<QMessageBox*>();
      QCOMPARE(alerts.size(), 1);
      QCOMPARE(alerts[0]->windowTitle(), QString());
      QCOMPARE(alerts[0]->text(), QStringLiteral("请连接Wi-Fi"));
      QCOMPARE(alerts[0]->buttons().size(), 1);
      QCOMPARE(alerts[0]->buttons()[0]->text(), QStringLiteral("关闭"));
      QCOMPARE(interfaceQueries, shown);
      if (shown == 3) interfaces = QStringList{"wlan0", "wlan1", "wlan2"};
      logged.clear();
      QTest::mouseClick(alerts[0]->buttons()[0], Qt::LeftButton);
      QTest::qWait(1);  // deletes the dismissed alert
    }
    QVERIFY(screen->findChildren<QMessageBox*>().isEmpty());
    QCOMPARE(logged, (QStringList{"Supported interfaces: (wlan0, wlan1, wlan2)", "wlan0 => {}",
                                  "wlan1 => {BSSID = 00:1a:2b:3c:4d:5e; SSID = Office}"}));
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("Office"));
    QCOMPARE(screen->textKey()->text(), QStringLiteral("espresso"));
  }

  // Each row: the key field's text at the first press, and the store's file after it.
  void connectStoresStartsAndThenStops_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("storedAfter");
    QTest::newRow("new key") << QByteArray() << "correct horse"
                             << QByteArray(R"({"HomeNet":"correct horse"})");
    QTest::newRow("empty key") << QByteArray() << "" << QByteArray(R"({"HomeNet":""})");
    QTest::newRow("stored key: no write") << kStored << "correct horse" << kStored;
  }
  void connectStoresStartsAndThenStops() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, key);
    QFETCH(QByteArray, storedAfter);
    if (!stored.isEmpty()) writeStore(stored);
    showScreen();
    if (screen->textKey()->text() != key) retype(screen->textKey(), key);

    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QCOMPARE(screen->butConnect()->text(), kCancel);
    QCOMPARE(readStore(), storedAfter);
    QVERIFY(sending("HomeNet", key));
    QVERIFY(!screen->textKey()->hasFocus());

    const QByteArray changed = R"({ "HomeNet" : "changed elsewhere" })";
    writeStore(changed);  // stopping must leave it alone
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QCOMPARE(screen->butConnect()->text(), kStart);
    QVERIFY(sender->stopped());
    QCOMPARE(readStore(), changed);

    retype(screen->textKey(), QString(90, 'x'));  // HomeNet leaves the key 86 of 93 units
    QCOMPARE(screen->textKey()->text(), QString(86, 'x'));
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(sending("HomeNet", QString(86, 'x')));
  }

  // The stored key of the network found at load, then of each SSID typed by hand. One message
  // holds 93 UTF-16 code units of SSID and key: each field takes what the other leaves, so
  // that a user never presses the button and hears nothing.
  void fillsTheStoredKeyOfANetwork() {
    writeStore(kStored.chopped(1) + ", \"Long\" : \"" + QByteArray(100, 'k') + "\" }");
    showScreen();
    QCOMPARE(screen->textKey()->text(), QStringLiteral("correct horse"));
    const QString cut(89, 'k');  // of the 100 stored: 93 units less the 4 of "Long"
    const std::pair<QString, QString> networks[] = {
        {"Office", "espresso"}, {"咖啡馆", "密码"}, {"Gym", ""}, {"homenet", ""}, {"Long", cut}};
    for (const auto& [ssid, key] : networks) {
      retype(screen->textKey(), "typed by hand");
      logged.clear();
      retype(screen->textSsid(), ssid);
      QTest::mouseClick(screen.get(), Qt::LeftButton, {}, QPoint(2, 2));  // the background
      QVERIFY(!screen->textSsid()->hasFocus() && !screen->textKey()->hasFocus());
      QCOMPARE(logged, QStringList{"ssid Edit End"});
      QCOMPARE(screen->textKey()->text(), key);
    }
    QTest::keyClicks(screen->textSsid(), "2G");  // the key leaves the SSID no room
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("Long"));

    // Closing the screen while a field is being edited calls nothing back.
    retype(screen->textSsid(), "Lo");
    logged.clear();
    screen.reset();
    QCOMPARE(logged, QStringList());
  }
};

int main(int argc, char* argv[]) {
  QTemporaryDir runtimeDir, dataDir;  // private to this run: mode 0700, removed at exit
  qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
  qputenv("XDG_DATA_HOME", dataDir.path().toUtf8());
  QApplication application(argc, argv);
  ScreenTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "screen_test.moc"
