// Read-only access to the kernel's wireless configuration (nl80211 over generic netlink):
// which wireless interfaces exist and which network each one is joined to. Needs no
// privileges and no network manager.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct nl_msg;
struct nl_sock;

namespace velarto::nl80211 {

using Bssid = std::array<std::uint8_t, 6>;

struct WirelessInterface {
  int index = 0;
  std::string name;
  // Raw SSID bytes of the network the interface is joined to as a client; absent when it is
  // joined to none or is not a client (an access point, a monitor).
  std::optional<std::vector<std::uint8_t>> ssid;
};

// One reply of an interface dump; none when it names no network interface (a wireless
// device without one, such as a P2P device).
std::optional<WirelessInterface> parseInterface(nl_msg* reply);

// One reply of a scan-results dump: the BSSID when that entry is the access point the
// interface is associated with, otherwise none.
std::optional<Bssid> parseAssociatedBss(nl_msg* reply);

class Connection {
 public:
  // None when the kernel has no nl80211 family (no wireless support) or no socket can be had.
  static std::optional<Connection> open();

  // Every wireless interface with a name, in the kernel's order; empty when a request fails.
  std::vector<WirelessInterface> interfaces();
  // The BSSID of the access point `interfaceIndex` is associated with, if any.
  std::optional<Bssid> associatedBssid(int interfaceIndex);

 private:
  struct SocketDeleter {
    void operator()(nl_sock* socket) const;
  };
  Connection(std::unique_ptr<nl_sock, SocketDeleter> connected, int familyId);

  std::unique_ptr<nl_sock, SocketDeleter> socket_;
  int family_;
};

}  // namespace velarto::nl80211
