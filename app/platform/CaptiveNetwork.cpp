#include "CaptiveNetwork.h"

#include <utf8.h>

#include <algorithm>

namespace velarto {

QString decodeSsid(std::span<const std::uint8_t> bytes) {
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  const auto size = static_cast<qsizetype>(bytes.size());
  if (utf8::is_valid(text, text + size)) return QString::fromUtf8(text, size);
  return QString::fromLatin1(text, size);
}

QString formatBssid(const nl80211::Bssid& bssid) {
  QStringList octets;
  for (const std::uint8_t octet : bssid)
    octets << QStringLiteral("%1").arg(octet, 2, 16, QChar('0'));
  return octets.join(':');
}

QVariantMap networkInfo(const nl80211::WirelessInterface& interface,
                        const std::optional<nl80211::Bssid>& bssid) {
  QVariantMap info;
  if (!interface.ssid) return info;
  info.insert(QStringLiteral("SSID"), decodeSsid(*interface.ssid));
  if (bssid) info.insert(QStringLiteral("BSSID"), formatBssid(*bssid));
  return info;
}

}  // namespace velarto

std::optional<QStringList> CNCopySupportedInterfaces() {
  auto connection = velarto::nl80211::Connection::open();
  if (!connection) return std::nullopt;
  QStringList names;
  for (const auto& interface : connection->interfaces()) {
    names << QString::fromStdString(interface.name);
  }
  return names;
}

std::optional<QVariantMap> CNCopyCurrentNetworkInfo(const QString& interfaceName) {
  auto connection = velarto::nl80211::Connection::open();
  if (!connection) return std::nullopt;
  const auto interfaces = connection->interfaces();
  const auto named = std::find_if(interfaces.begin(), interfaces.end(), [&](const auto& interface) {
    return QString::fromStdString(interface.name) == interfaceName;
  });
  if (named == interfaces.end()) return std::nullopt;
  std::optional<velarto::nl80211::Bssid> bssid;
  if (named->ssid) bssid = connection->associatedBssid(named->index);
  return velarto::networkInfo(*named, bssid);
}
