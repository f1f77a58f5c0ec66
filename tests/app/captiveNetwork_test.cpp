// The current-network layer: nl80211 replies built here attribute by attribute, the SSID's
// decoding, the dictionary it gives, and the calls on this machine (with or without Wi-Fi).
#include <linux/nl80211.h>
#include <netlink/genl/genl.h>

#include <QtTest>

#include "platform/CaptiveNetwork.h"

using namespace velarto;

namespace {

using Message = std::unique_ptr<nl_msg, decltype(&nlmsg_free)>;

// Replies as the kernel sends them in a dump; `ifname` null for a device without a netdev.
Message interfaceReply(const char* ifname, const char* ssid,
                       std::uint32_t type = NL80211_IFTYPE_STATION) {
  Message reply(nlmsg_alloc(), &nlmsg_free);
  genlmsg_put(reply.get(), 0, 0, 28, 0, NLM_F_MULTI, NL80211_CMD_NEW_INTERFACE, 1);
  nla_put_u32(reply.get(), NL80211_ATTR_IFINDEX, 3);
  if (ifname) nla_put_string(reply.get(), NL80211_ATTR_IFNAME, ifname);
  nla_put_u32(reply.get(), NL80211_ATTR_IFTYPE, type);
  if (ssid) nla_put(reply.get(), NL80211_ATTR_SSID, static_cast<int>(std::strlen(ssid)), ssid);
  return reply;
}

const nl80211::Bssid kBssid = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

Message bssReply(std::uint32_t status) {
  Message reply(nlmsg_alloc(), &nlmsg_free);
  genlmsg_put(reply.get(), 0, 0, 28, 0, NLM_F_MULTI, NL80211_CMD_NEW_SCAN_RESULTS, 1);
  nlattr* bss = nla_nest_start(reply.get(), NL80211_ATTR_BSS);
  nla_put(reply.get(), NL80211_BSS_BSSID, static_cast<int>(kBssid.size()), kBssid.data());
  nla_put_u32(reply.get(), NL80211_BSS_FREQUENCY, 2412);
  nla_put_u32(reply.get(), NL80211_BSS_STATUS, status);
  nla_nest_end(reply.get(), bss);
  return reply;
}

std::vector<std::uint8_t> bytes(const QByteArray& raw) {
  return {raw.begin(), raw.end()};
}

}  // namespace

class CaptiveNetworkTest : public QObject {
  Q_OBJECT

 private slots:
  void readsTheInterfacesAndTheirNetwork() {
    const auto joined = nl80211::parseInterface(interfaceReply("wlp2s0", "HomeNet").get());
    QVERIFY(joined && joined->name == "wlp2s0" && joined->index == 3);
    QCOMPARE(joined->ssid, std::optional(bytes("HomeNet")));
    const auto idle = nl80211::parseInterface(interfaceReply("wlan1", nullptr).get());
    QVERIFY(idle && !idle->ssid);
    QVERIFY(!nl80211::parseInterface(interfaceReply(nullptr, "Direct").get()));
    auto shortIndex = interfaceReply("wlan0", "HomeNet");  // a second, one-byte index
    nla_put(shortIndex.get(), NL80211_ATTR_IFINDEX, 1, "x");
    QVERIFY(!nl80211::parseInterface(shortIndex.get()));
    QVERIFY(!nl80211::parseInterface(interfaceReply("wlan0", std::string(33, 's').c_str()).get()));
    QVERIFY(
        !nl80211::parseInterface(interfaceReply("ap0", "Hotspot", NL80211_IFTYPE_AP).get())->ssid);

    QCOMPARE(nl80211::parseAssociatedBss(bssReply(NL80211_BSS_STATUS_ASSOCIATED).get()),
             std::optional(kBssid));
    QVERIFY(!nl80211::parseAssociatedBss(bssReply(NL80211_BSS_STATUS_AUTHENTICATED).get()));
    QVERIFY(!nl80211::parseAssociatedBss(interfaceReply("wlan0", "HomeNet").get()));

    QCOMPARE(networkInfo(*joined, kBssid),
             (QVariantMap{{"SSID", "HomeNet"}, {"BSSID", "00:1a:2b:3c:4d:5e"}}));
    QCOMPARE(networkInfo(*joined, std::nullopt), (QVariantMap{{"SSID", "HomeNet"}}));
    QCOMPARE(networkInfo(*idle, kBssid), QVariantMap());
  }

  void decodesSsidBytesAsUtf8OrElseLatin1() {  // also cut UTF-8 and a NUL inside
    const std::pair<QByteArray, QString> cases[] = {
        {"咖啡馆 Wi-Fi", "咖啡馆 Wi-Fi"},
        {"Caf\xe9", "Café"},
        {"\xe5\x92", "\u00e5\u0092"},
        {QByteArray("a\0b", 3), QString::fromLatin1("a\0b", 3)}};
    for (const auto& [raw, text] : cases) QCOMPARE(decodeSsid(bytes(raw)), text);
  }

  // Without Wi-Fi both calls give none, quietly; with Wi-Fi, every listed interface answers.
  void asksThisMachineQuietly() {
    QTest::failOnWarning(QRegularExpression(".*"));
    for (const QString& name : CNCopySupportedInterfaces().value_or(QStringList())) {
      QVERIFY(CNCopyCurrentNetworkInfo(name).has_value());
    }
    QVERIFY(!CNCopyCurrentNetworkInfo(QStringLiteral("no-such-interface")).has_value());
  }
};

QTEST_GUILESS_MAIN(CaptiveNetworkTest)
#include "captiveNetwork_test.moc"
