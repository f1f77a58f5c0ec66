// The current-network layer: nl80211 replies built here byte for byte, the SSID's decoding,
// the dictionary it gives, and the calls on this machine (with or without Wi-Fi).
#include <linux/nl80211.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

#include "AppTestMain.h"
#include "platform/CaptiveNetwork.h"

using velarto::nl80211::Bssid;

namespace {

struct MessageDeleter {
  void operator()(nl_msg* message) const { nlmsg_free(message); }
};
using Message = std::unique_ptr<nl_msg, MessageDeleter>;

Message reply(std::uint8_t command) {
  Message message(nlmsg_alloc());
  genlmsg_put(message.get(), NL_AUTO_PORT, NL_AUTO_SEQ, 28, 0, NLM_F_MULTI, command, 1);
  return message;
}

Message interfaceReply(const char* name, const std::optional<QByteArray>& ssid) {
  auto message = reply(NL80211_CMD_NEW_INTERFACE);
  nla_put_u32(message.get(), NL80211_ATTR_WIPHY, 0);
  nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, 3);
  if (name) nla_put_string(message.get(), NL80211_ATTR_IFNAME, name);
  nla_put_u32(message.get(), NL80211_ATTR_IFTYPE, NL80211_IFTYPE_STATION);
  if (ssid) nla_put(message.get(), NL80211_ATTR_SSID, static_cast<int>(ssid->size()), ssid->data());
  return message;
}

Message bssReply(const Bssid& bssid, std::optional<std::uint32_t> status) {
  auto message = reply(NL80211_CMD_NEW_SCAN_RESULTS);
  nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, 3);
  nlattr* bss = nla_nest_start(message.get(), NL80211_ATTR_BSS);
  nla_put(message.get(), NL80211_BSS_BSSID, static_cast<int>(bssid.size()), bssid.data());
  nla_put_u32(message.get(), NL80211_BSS_FREQUENCY, 2412);
  if (status) nla_put_u32(message.get(), NL80211_BSS_STATUS, *status);
  nla_nest_end(message.get(), bss);
  return message;
}

std::vector<std::uint8_t> bytes(const QByteArray& raw) {
  return {raw.begin(), raw.end()};
}

}  // namespace

class CaptiveNetworkTest : public QObject {
  Q_OBJECT

 private slots:
  void readsNameIndexAndSsidOfAnInterface() {
    const auto joined = velarto::nl80211::parseInterface(interfaceReply("wlp2s0", "HomeNet").get());
    QVERIFY(joined);
    QCOMPARE(joined->name, std::string("wlp2s0"));
    QCOMPARE(joined->index, 3);
    QCOMPARE(joined->ssid, std::optional(bytes("HomeNet")));

    const auto idle = velarto::nl80211::parseInterface(interfaceReply("wlan1", {}).get());
    QVERIFY(idle && !idle->ssid);

    // A wireless device without a network interface (P2P) has no name: not a candidate.
    QVERIFY(!velarto::nl80211::parseInterface(interfaceReply(nullptr, "Direct").get()));
  }

  void takesOnlyTheAssociatedAccessPoint() {
    const Bssid bssid = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    QCOMPARE(
        velarto::nl80211::parseAssociatedBss(bssReply(bssid, NL80211_BSS_STATUS_ASSOCIATED).get()),
        std::optional(bssid));
    QVERIFY(!velarto::nl80211::parseAssociatedBss(
        bssReply(bssid, NL80211_BSS_STATUS_AUTHENTICATED).get()));
    QVERIFY(!velarto::nl80211::parseAssociatedBss(bssReply(bssid, {}).get()));
    QVERIFY(!velarto::nl80211::parseAssociatedBss(interfaceReply("wlan0", "HomeNet").get()));
  }

  void decodesSsidBytesAsUtf8OrElseLatin1_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("text");
    QTest::newRow("ASCII") << QByteArray("HomeNet") << "HomeNet";
    QTest::newRow("UTF-8") << QByteArray("咖啡馆 Wi-Fi") << "咖啡馆 Wi-Fi";
    QTest::newRow("Latin-1") << QByteArray("Caf\xe9") << "Café";
    QTest::newRow("cut UTF-8") << QByteArray("\xe5\x92") << "\u00e5\u0092";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3) << QString::fromLatin1("a\0b", 3);
  }

  void decodesSsidBytesAsUtf8OrElseLatin1() {
    QFETCH(QByteArray, raw);
    QFETCH(QString, text);
    QCOMPARE(velarto::decodeSsid(bytes(raw)), text);
  }

  void givesTheNetworkAsADictionary() {
    velarto::nl80211::WirelessInterface joined{3, "wlan0", bytes("HomeNet")};
    const Bssid bssid = {0xa0, 0x0b, 0x0c, 0xd0, 0xe1, 0xf2};
    QCOMPARE(velarto::networkInfo(joined, bssid),
             (QVariantMap{{"SSID", "HomeNet"}, {"BSSID", "a0:0b:0c:d0:e1:f2"}}));
    QCOMPARE(velarto::networkInfo(joined, {}), (QVariantMap{{"SSID", "HomeNet"}}));
    joined.ssid.reset();
    QCOMPARE(velarto::networkInfo(joined, bssid), QVariantMap());
  }

  // On a machine without Wi-Fi both calls give none, quietly; with Wi-Fi, every listed
  // interface answers with a dictionary.
  void asksThisMachineQuietly() {
    QTest::failOnWarning(QRegularExpression(".*"));
    const auto interfaces = CNCopySupportedInterfaces();
    for (const QString& name : interfaces.value_or(QStringList())) {
      QVERIFY(CNCopyCurrentNetworkInfo(name).has_value());
    }
    QVERIFY(!CNCopyCurrentNetworkInfo(QStringLiteral("no-such-interface")).has_value());
  }
};

VELARTO_APP_TEST_MAIN(CaptiveNetworkTest)
#include "captive_network_test.moc"
