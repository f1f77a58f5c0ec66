// The configuration screen and the launch, driven like a user would: clicks, typed text,
// dismissed alerts. The network, the store's file and the sound output are stand-ins.
#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QScreen>

#include "AppDelegate.h"
#include "AppTestMain.h"
#include "ScreenFakes.h"
#include "encoder.h"

Q_DECLARE_METATYPE(std::optional<QStringList>)

namespace {

const QString kStartConnecting = QStringLiteral("开始连接");
const QString kCancelConnecting = QStringLiteral("取消连接");

// Types `text` one character at a time, so that any script goes through as typed keys.
void type(QLineEdit* field, const QString& text) {
  for (const QChar character : text) {
    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
}

void retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Delete);
  type(field, text);
}

sonicsend::Pass passOf(const QString& ssid, const QString& key) {
  auto pass =
      sonicsend::encodePass(sonicsend::Layout::framed, ssid.toStdU16String(), key.toStdU16String());
  return pass ? *pass : sonicsend::Pass{};
}

}  // namespace

class ScreenTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir;
  QString storeFile;
  std::shared_ptr<FakeNetwork> network;
  std::shared_ptr<RecordedSound> sound;
  std::unique_ptr<QUAVRV4> screen;

  void writeStore(const QByteArray& json) {
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(json);
  }

  QByteArray readStore() const {
    QFile file(storeFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
  }

  // Creates the screen on `joined` and shows it, as the application does.
  void showScreen(std::shared_ptr<FakeNetwork> joined) {
    network = std::move(joined);
    screen = std::make_unique<QUAVRV4>(fakeServices(network, storeFile, sound));
    screen->show();
    QVERIFY(QTest::qWaitForWindowExposed(screen.get()));
  }

  QList<QMessageBox*> openAlerts() const {
    QList<QMessageBox*> open;
    for (auto* alert : screen->findChildren<QMessageBox*>()) {
      if (alert->isVisible()) open << alert;
    }
    return open;
  }

  void dismiss(QMessageBox* alert) {
    QTest::mouseClick(alert->buttons().first(), Qt::LeftButton);
    QTest::qWait(1);  // lets the dismissed alert be deleted
  }

  void press(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  // The frames played once the sender has gone through a whole pass and on into the next.
  void expectSending(const QString& ssid, const QString& key) {
    const auto pass = passOf(ssid, key);
    QVERIFY(!pass.pcm.empty());
    QVERIFY(sound->waitForFrames(sound->keep));
    const auto played = sound->framesSoFar();
    const std::size_t wrapped = sound->keep - pass.pcm.size();
    QVERIFY(std::equal(pass.pcm.begin(), pass.pcm.end(), played.begin()));
    QVERIFY(std::equal(played.begin() + static_cast<std::ptrdiff_t>(pass.pcm.size()), played.end(),
                       pass.pcm.begin()));
    QCOMPARE(wrapped, std::size_t{4096});
  }

 private slots:
  void init() {
    QVERIFY(dir.isValid());
    storeFile = dir.filePath(QStringLiteral("%1.json").arg(QTest::currentTestFunction()));
    QFile::remove(storeFile);
    sound = std::make_shared<RecordedSound>();
  }

  void cleanup() {
    screen.reset();
    network.reset();
  }

  void launchShowsOneWhiteWindowWithTheScreen() {
    network = FakeNetwork::joinedTo(QStringLiteral("HomeNet"));
    AppDelegate delegate(fakeServices(network, storeFile, sound));
    QVERIFY(delegate.didFinishLaunchingWithOptions(*qApp));
    QMainWindow* window = delegate.window();
    QVERIFY(QTest::qWaitForWindowActive(window));

    QWidgetList shown;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible()) shown << widget;
    }
    QCOMPARE(shown, QWidgetList{window});
    QCOMPARE(window->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(window->autoFillBackground());
    QCOMPARE(window->frameGeometry(), window->screen()->availableGeometry());

    auto* content = qobject_cast<QUAVRV4*>(window->centralWidget());
    QVERIFY(content && content->isVisible());
    QCOMPARE(network->interfaceQueries, 1);
    QCOMPARE(content->textSsid()->text(), QStringLiteral("HomeNet"));
    QVERIFY(!content->textSsid()->hasFocus() && !content->textKey()->hasFocus());
  }

  void startsIdleWithTheKeyShownAndAGreenRoundedButton() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    QVERIFY(!screen->textSsid()->hasFocus() && !screen->textKey()->hasFocus());
    QCOMPARE(screen->butConnect()->text(), kStartConnecting);
    QCOMPARE(screen->textKey()->echoMode(), QLineEdit::Normal);
    auto* toggle = screen->findChild<QAbstractButton*>(QStringLiteral("butShowKey"));
    QVERIFY(toggle && !toggle->isChecked());

    const QImage shown = screen->grab().toImage();
    const QRect button(screen->butConnect()->mapTo(screen.get(), QPoint(0, 0)),
                       screen->butConnect()->size());
    QCOMPARE(shown.pixelColor(button.left() + 3, button.center().y()), QColor(80, 200, 80));
    QCOMPARE(shown.pixelColor(button.topLeft()), shown.pixelColor(button.topLeft() - QPoint(1, 1)));
  }

  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound_data() {
    QTest::addColumn<std::optional<QStringList>>("interfaces");
    QTest::addColumn<QString>("firstLog");
    QTest::newRow("no wireless support")
        << std::optional<QStringList>() << "Supported interfaces: (null)";
    QTest::newRow("no wireless interface")
        << std::optional<QStringList>(QStringList()) << "Supported interfaces: ()";
    QTest::newRow("not joined") << std::optional<QStringList>(QStringList{"wlan0"})
                                << "Supported interfaces: (wlan0)";
  }

  void noNetworkShowsAnAlertThatReturnsUntilOneIsFound() {
    QFETCH(std::optional<QStringList>, interfaces);
    QFETCH(QString, firstLog);
    writeStore(R"({"HomeNet":"correct horse"})");
    auto nowhere = FakeNetwork::none();
    nowhere->interfaces = interfaces;
    nowhere->info[QStringLiteral("wlan0")] = QVariantMap();
    LogCapture log;
    showScreen(nowhere);
    QCOMPARE(log.lines().value(0), firstLog);

    for (int shown = 1; shown <= 3; ++shown) {
      const auto alerts = openAlerts();
      QCOMPARE(alerts.size(), 1);
      QCOMPARE(alerts[0]->windowTitle(), QString());
      QCOMPARE(alerts[0]->text(), QStringLiteral("请连接Wi-Fi"));
      QCOMPARE(alerts[0]->buttons().size(), 1);
      QCOMPARE(alerts[0]->buttons()[0]->text(), QStringLiteral("关闭"));
      QCOMPARE(network->interfaceQueries, shown);
      QCOMPARE(screen->textSsid()->text(), QString());
      dismiss(alerts[0]);
    }
    QCOMPARE(network->interfaceQueries, 4);

    network->join(QStringLiteral("HomeNet"));
    dismiss(openAlerts().value(0));
    QCOMPARE(openAlerts().size(), 0);
    QCOMPARE(network->interfaceQueries, 5);
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("HomeNet"));
    QCOMPARE(screen->textKey()->text(), QStringLiteral("correct horse"));
  }

  void fillsTheStoredKeyOfTheCurrentNetwork_data() {
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("key");
    QTest::newRow("known") << "HomeNet"
                           << "correct horse";
    QTest::newRow("Chinese name") << "咖啡馆"
                                  << "密码 123";
    QTest::newRow("unknown") << "Airport"
                             << "";
    QTest::newRow("other case") << "homenet"
                                << "";
  }

  void fillsTheStoredKeyOfTheCurrentNetwork() {
    QFETCH(QString, ssid);
    QFETCH(QString, key);
    writeStore(R"({"HomeNet":"correct horse","咖啡馆":"密码 123"})");
    showScreen(FakeNetwork::joinedTo(ssid));
    QCOMPARE(openAlerts().size(), 0);
    QCOMPARE(screen->textSsid()->text(), ssid);
    QCOMPARE(screen->textKey()->text(), key);
  }

  void takesTheFirstInterfaceThatReportsANetwork() {
    auto two = FakeNetwork::none();
    two->interfaces = QStringList{"wlan0", "wlan1", "wlan2"};
    two->info["wlan0"] = QVariantMap();
    two->info["wlan1"] = QVariantMap{{"SSID", "Office"}, {"BSSID", "00:1a:2b:3c:4d:5e"}};
    two->info["wlan2"] = QVariantMap{{"SSID", "Other"}};
    LogCapture log;
    showScreen(two);
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("Office"));
    QCOMPARE(network->infoQueries, (QStringList{"wlan0", "wlan1"}));
    QCOMPARE(log.lines(), (QStringList{"Supported interfaces: (wlan0, wlan1, wlan2)", "wlan0 => {}",
                                       "wlan1 => {BSSID = 00:1a:2b:3c:4d:5e; SSID = Office}"}));
  }

  void connectStoresAndStartsThenStops() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    retype(screen->textKey(), QStringLiteral("correct horse"));
    sound->record(passOf("HomeNet", "correct horse").pcm.size() + 4096);

    press(screen->butConnect());
    QCOMPARE(screen->butConnect()->text(), kCancelConnecting);
    QCOMPARE(readStore(), QByteArray(R"({"HomeNet":"correct horse"})"));
    QVERIFY(!screen->textKey()->hasFocus());
    expectSending("HomeNet", "correct horse");
    QCOMPARE(sound->volumes, std::vector<float>{0.65f});

    writeStore(R"({ "HomeNet" : "correct horse" })");  // a rewrite would make it compact again
    press(screen->butConnect());
    QCOMPARE(screen->butConnect()->text(), kStartConnecting);
    QVERIFY(sound->sender->stopped());
    QCOMPARE(readStore(), QByteArray(R"({ "HomeNet" : "correct horse" })"));

    retype(screen->textKey(), QStringLiteral("battery staple"));
    sound->record(passOf("HomeNet", "battery staple").pcm.size() + 4096);
    press(screen->butConnect());
    QCOMPARE(screen->butConnect()->text(), kCancelConnecting);
    QCOMPARE(sound->devicesOpened, 2);
    expectSending("HomeNet", "battery staple");
  }

  void connectWithAnEmptyKeyStoresAndSendsIt() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    sound->record(passOf("HomeNet", "").pcm.size() + 4096);
    press(screen->butConnect());
    QCOMPARE(readStore(), QByteArray(R"({"HomeNet":""})"));
    QCOMPARE(screen->butConnect()->text(), kCancelConnecting);
    expectSending("HomeNet", "");
  }

  void connectWithTheStoredKeyWritesNothing() {
    const QByteArray stored = R"({ "HomeNet" : "correct horse" })";
    writeStore(stored);
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    sound->record(passOf("HomeNet", "correct horse").pcm.size() + 4096);
    press(screen->butConnect());
    expectSending("HomeNet", "correct horse");
    QCOMPARE(readStore(), stored);
  }

  void endingAnSsidEditFillsThatNetworksKey_data() {
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("key");
    QTest::newRow("known") << "Cafe"
                           << "espresso";
    QTest::newRow("known, Chinese") << "咖啡馆"
                                    << "密码 123";
    QTest::newRow("unknown") << "Nowhere"
                             << "";
  }

  void endingAnSsidEditFillsThatNetworksKey() {
    QFETCH(QString, ssid);
    QFETCH(QString, key);
    writeStore(R"({"HomeNet":"correct horse","Cafe":"espresso","咖啡馆":"密码 123"})");
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    retype(screen->textKey(), QStringLiteral("typed by hand"));

    LogCapture log;
    retype(screen->textSsid(), ssid);
    QTest::keyClick(screen->textSsid(), Qt::Key_Return);
    QCOMPARE(log.lines(), QStringList{"ssid Edit End"});
    QCOMPARE(screen->textKey()->text(), key);

    sound->record(passOf(ssid, key).pcm.size() + 4096);
    press(screen->butConnect());
    expectSending(ssid, key);
  }

  void showKeyTogglesTheKeysVisibility() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    auto* toggle = screen->findChild<QAbstractButton*>(QStringLiteral("butShowKey"));
    press(toggle);
    QVERIFY(toggle->isChecked());
    QCOMPARE(screen->textKey()->echoMode(), QLineEdit::Password);
    press(toggle);
    QVERIFY(!toggle->isChecked());
    QCOMPARE(screen->textKey()->echoMode(), QLineEdit::Normal);
  }

  void tappingTheBackgroundEndsEditing() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    LogCapture log;
    retype(screen->textSsid(), QStringLiteral("Cafe"));
    QVERIFY(screen->textSsid()->hasFocus());
    QTest::mouseClick(screen.get(), Qt::LeftButton, {}, QPoint(2, 2));
    QVERIFY(!screen->textSsid()->hasFocus());
    QVERIFY(!screen->textKey()->hasFocus());
    QCOMPARE(log.lines(), QStringList{"ssid Edit End"});
  }

  // The message holds at most 93 code units of SSID and key together.
  void theFieldsTakeNoMoreThanOneMessageHolds() {
    writeStore("{\"HomeNet\":\"" + QByteArray(100, 'k') + "\"}");
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    QCOMPARE(screen->textKey()->text(), QString(86, 'k'));  // a hand-edited key is cut to fit

    retype(screen->textKey(), QString(90, 'x'));
    QCOMPARE(screen->textKey()->text(), QString(86, 'x'));
    type(screen->textSsid(), QStringLiteral("2G"));
    QCOMPARE(screen->textSsid()->text(), QStringLiteral("HomeNet"));

    sound->record(passOf("HomeNet", QString(86, 'x')).pcm.size() + 4096);
    press(screen->butConnect());
    expectSending("HomeNet", QString(86, 'x'));
  }

  void closingTheScreenWhileEditingCallsNothingBack() {
    showScreen(FakeNetwork::joinedTo(QStringLiteral("HomeNet")));
    QVERIFY(QTest::qWaitForWindowActive(screen.get()));
    retype(screen->textSsid(), QStringLiteral("Cafe"));
    LogCapture log;
    screen.reset();
    QCOMPARE(log.lines(), QStringList());
  }
};

VELARTO_APP_TEST_MAIN(ScreenTest)
#include "screen_test.moc"
