// The configuration screen and the launch, driven like a user would: clicks, typed text,
// dismissed alerts. The network, the store's file and the sound output are stand-ins.
#include <QFile>
#include <QMessageBox>
#include <QScreen>

#include "AppDelegate.h"
#include "AppTestMain.h"
#include "ScreenFakes.h"
#include "encoder.h"

Q_DECLARE_METATYPE(std::optional<QStringList>)

namespace {

const QString kStart = QStringLiteral("开始连接");
const QString kCancel = QStringLiteral("取消连接");
const QByteArray kStored =
    R"({ "HomeNet" : "correct horse", "Cafe" : "espresso", "咖啡馆" : "密码" })";

// Replaces the field's text, typing one character at a time so that any script goes through.
void retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Delete);
  for (const QChar character : text) {
    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
}

}  // namespace

class ScreenTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString storeFile;
  std::shared_ptr<FakeNetwork> network;
  playAudio* sender = nullptr;
  std::unique_ptr<QUAVRV4> screen;

  void writeStore(const QByteArray& json) {
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
  }
  QByteArray readStore() const {
    QFile file(storeFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
  }
  void showScreen() {
    screen = std::make_unique<QUAVRV4>(fakeServices(network, storeFile, &sender));
    screen->show();
    QVERIFY(QTest::qWaitForWindowExposed(screen.get()));
  }
  QList<QMessageBox*> openAlerts() const {
    QList<QMessageBox*> open = screen->findChildren<QMessageBox*>();
    open.removeIf([](QMessageBox* alert) { return !alert->isVisible(); });
    return open;
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
  void init() {
    storeFile = dir.filePath(QTest::currentTestFunction() + QStringLiteral(".json"));
    QFile::remove(storeFile);
    network = std::make_shared<FakeNetwork>();
    network->join("HomeNet");
  }
  void cleanup() { screen.reset(); }

  void launchShowsOneWhiteWindowWithTheScreen() {
    AppDelegate delegate(fakeServices(network, storeFile, &sender));
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
    QCOMPARE(network->interfaceQueries, 1);
    QCOMPARE(content->textSsid()->text(), QStringLiteral("HomeNet"));
    QVERIFY(!content->textSsid()->hasFocus() && !content->textKey()->hasFocus());

    // Sending goes on while the window is away; coming back reads nothing again.
    QTest::mouseClick(content->butConnect(), Qt::LeftButton);
    window->showMinimized();
    window->hide();
    window->showMaximized();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(content->butConnect()->text(), kCancel);
    QVERIFY(sending("HomeNet", ""));
    QCOMPARE(network->interfaceQueries, 1);
  }

  void startsIdleWithTheKeyShownAndAGreenRoundedButton() {
    showScreen();
    QCOMPARE(screen->butConnect()->text(), kStart);
    QCOMPARE(screen->textKey()->echoMode(), QLineEdit::Normal);
    QVERIFY(!screen->findChild<QAbstractButton*>("butShowKey")->isChecked());
    const QImage shown = screen->grab().toImage();
    const QRect button = screen->butConnect()->geometry().translated(
        screen->butConnect()->parentWidget()->mapTo(screen.get(), QPoint()));
    QCOMPARE(shown.pixelColor(button.left() + 3, button.center().y()), QColor(80, 200, 80));
    QCOMPARE(shown.pixelColor(button.topLeft()), shown.pixelColor(button.topLeft() - QPoint(1, 1)));
  }

  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound_data() {
    QTest::addColumn<std::optional<QStringList>>("interfaces");
    QTest::addColumn<QString>("log");
    QTest::newRow("no Wi-Fi") << std::optional<QStringList>() << "Supported interfaces: (null)";
    QTest::newRow("no interface") << std::optional(QStringList()) << "Supported interfaces: ()";
    QTest::newRow("not joined") << std::optional(QStringList{"wlan0"}) << "wlan0 => {}";
  }
  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound() {
    QFETCH(std::optional<QStringList>, interfaces);
    QFETCH(QString, log);
    writeStore(kStored);
    network->interfaces = interfaces;
    network->info["wlan0"] = QVariantMap();
    LogCapture captured;
    showScreen();
    QCOMPARE(captured.lines.last(), log);
    for (int shown = 1; shown <= 3; ++shown) {
      const auto alerts = openAlerts();
      QCOMPARE(alerts.size(), 1);
      QCOMPARE(alerts[0]->windowTitle(), QString());
      QCOMPARE(alerts[0]->text(), QStringLiteral("请连接Wi-Fi"));
      QCOMPARE(alerts[0]->buttons().size(), 1);
      QCOMPARE(alerts[0]->buttons()[0]->text(), QStringLiteral("关闭"));
      QCOMPARE(network->interfaceQueries, shown);
      if (shown == 3) network->join("HomeNet");
      QTest::mouseClick(alerts[0]->buttons()[0], Qt::LeftButton);
      QTest::qWait(1);  // lets the dismissed alert be deleted
    }
    QCOMPARE(openAlerts().size(), 0);
    QCOMPARE(network->interfaceQueries, 4);
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("HomeNet"));
    QCOMPARE(screen->textKey()->text(), QStringLiteral("correct horse"));
  }

  void fillsTheStoredKeyOfTheCurrentNetwork_data() {
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("key");
    QTest::newRow("known") << "HomeNet"
                           << "correct horse";
    QTest::newRow("known, Chinese") << "咖啡馆"
                                    << "密码";
    QTest::newRow("unknown") << "Airport"
                             << "";
    QTest::newRow("other case") << "homenet"
                                << "";
  }
  void fillsTheStoredKeyOfTheCurrentNetwork() {
    QFETCH(QString, ssid);
    QFETCH(QString, key);
    writeStore(kStored);
    network->join(ssid);
    showScreen();
    QCOMPARE(screen->textSsid()->text(), ssid);
    QCOMPARE(screen->textKey()->text(), key);
  }

  void takesTheFirstInterfaceThatReportsANetwork() {
    network->interfaces = QStringList{"wlan0", "wlan1", "wlan2"};
    network->info["wlan0"] = QVariantMap();
    network->info["wlan1"] = QVariantMap{{"SSID", "Office"}, {"BSSID", "00:1a:2b:3c:4d:5e"}};
    network->info["wlan2"] = QVariantMap{{"SSID", "Other"}};
    LogCapture log;
    showScreen();
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("Office"));
    QCOMPARE(log.lines, (QStringList{"Supported interfaces: (wlan0, wlan1, wlan2)", "wlan0 => {}",
                                     "wlan1 => {BSSID = 00:1a:2b:3c:4d:5e; SSID = Office}"}));
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
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    if (screen->textKey()->text() != key) retype(screen->textKey(), key);

    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QCOMPARE(screen->butConnect()->text(), kCancel);
    QCOMPARE(readStore(), storedAfter);
    QVERIFY(sending("HomeNet", key));
    QVERIFY(!screen->textKey()->hasFocus());

    writeStore(R"({ "HomeNet" : "changed elsewhere" })");  // stopping must leave it alone
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QCOMPARE(screen->butConnect()->text(), kStart);
    QVERIFY(sender->stopped());
    QCOMPARE(readStore(), QByteArray(R"({ "HomeNet" : "changed elsewhere" })"));

    retype(screen->textKey(), "battery staple");
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(sending("HomeNet", "battery staple"));
  }

  void endingAnSsidEditFillsThatNetworksKey_data() {
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("key");
    QTest::newRow("known") << "Cafe"
                           << "espresso";
    QTest::newRow("known, Chinese") << "咖啡馆"
                                    << "密码";
    QTest::newRow("unknown") << "Nowhere"
                             << "";
  }
  void endingAnSsidEditFillsThatNetworksKey() {
    QFETCH(QString, ssid);
    QFETCH(QString, key);
    writeStore(kStored);
    showScreen();
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    retype(screen->textKey(), "typed by hand");
    LogCapture log;
    retype(screen->textSsid(), ssid);
    QTest::mouseClick(screen.get(), Qt::LeftButton, {}, QPoint(2, 2));  // the background
    QVERIFY(!screen->textSsid()->hasFocus() && !screen->textKey()->hasFocus());
    QCOMPARE(log.lines, QStringList{"ssid Edit End"});
    QCOMPARE(screen->textKey()->text(), key);
  }

  void showKeyTogglesTheKeysVisibility() {
    showScreen();
    auto* toggle = screen->findChild<QAbstractButton*>("butShowKey");
    for (const bool hidden : {true, false}) {
      QTest::mouseClick(toggle, Qt::LeftButton);
      QCOMPARE(toggle->isChecked(), hidden);
      QCOMPARE(screen->textKey()->echoMode(), hidden ? QLineEdit::Password : QLineEdit::Normal);
    }
  }

  // One message holds at most 93 UTF-16 code units of SSID and key together.
  void theFieldsTakeNoMoreThanOneMessageHolds() {
    writeStore("{\"HomeNet\":\"" + QByteArray(100, 'k') + "\"}");  // edited by hand
    showScreen();
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    QCOMPARE(screen->textKey()->text(), QString(86, 'k'));
    screen->textSsid()->setFocus();
    QTest::keyClicks(screen->textSsid(), "2G");
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("HomeNet"));
    retype(screen->textKey(), QString(90, 'x'));
    QCOMPARE(screen->textKey()->text(), QString(86, 'x'));
    QTest::mouseClick(screen->butConnect(), Qt::LeftButton);
    QVERIFY(sending("HomeNet", QString(86, 'x')));
  }

  void closingTheScreenWhileEditingCallsNothingBack() {
    showScreen();
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    retype(screen->textSsid(), "Cafe");
    LogCapture log;
    screen.reset();
    QCOMPARE(log.lines, QStringList());
  }
};

VELARTO_APP_TEST_MAIN(ScreenTest)
#include "screen_test.moc"
