// The current Wi-Fi network, in the shape the configuration screen asks for it: first the
// names of the wireless interfaces, then, for one name, a dictionary of the network that
// interface is joined to. Built on nl80211.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <optional>
#include <span>

#include "Nl80211.h"

// Names of the machine's wireless interfaces; none when the kernel has no wireless support.
std::optional<QStringList> CNCopySupportedInterfaces();

// The network `interfaceName` is joined to: "SSID" (text) and, where known, "BSSID"
// ("aa:bb:cc:dd:ee:ff"). Empty when the interface is joined to none; none when there is no
// such wireless interface.
std::optional<QVariantMap> CNCopyCurrentNetworkInfo(const QString& interfaceName);

namespace velarto {

// An SSID is raw bytes: UTF-8 when they are valid UTF-8, Latin-1 otherwise.
QString decodeSsid(std::span<const std::uint8_t> bytes);

QString formatBssid(const nl80211::Bssid& bssid);

// The dictionary CNCopyCurrentNetworkInfo gives for one interface.
QVariantMap networkInfo(const nl80211::WirelessInterface& interface,
                        const std::optional<nl80211::Bssid>& bssid);

}  // namespace velarto
