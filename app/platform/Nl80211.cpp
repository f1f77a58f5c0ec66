#include "Nl80211.h"

#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>

#include <array>
#include <cstring>
#include <functional>

namespace velarto::nl80211 {

namespace {

using ReplyHandler = std::function<void(nl_msg*)>;

struct MessageDeleter {
  void operator()(nl_msg* message) const { nlmsg_free(message); }
};
struct CallbackDeleter {
  void operator()(nl_cb* callbacks) const { nl_cb_put(callbacks); }
};

// State of one dump while its replies come in.
struct DumpState {
  ReplyHandler* onReply;
  bool done = false;
  int error = 0;
};

int onValid(nl_msg* reply, void* arg) {
  (*static_cast<DumpState*>(arg)->onReply)(reply);
  return NL_OK;
}

int onFinish(nl_msg*, void* arg) {
  static_cast<DumpState*>(arg)->done = true;
  return NL_STOP;
}

int onError(sockaddr_nl*, nlmsgerr* error, void* arg) {
  auto* state = static_cast<DumpState*>(arg);
  state->error = error->error != 0 ? error->error : -1;
  state->done = true;
  return NL_STOP;
}

// Sends `request` as a dump and hands every reply to `onReply`; false when it failed.
bool dump(nl_sock* socket, nl_msg* request, ReplyHandler onReply) {
  if (nl_send_auto(socket, request) < 0) return false;
  std::unique_ptr<nl_cb, CallbackDeleter> callbacks(nl_cb_alloc(NL_CB_DEFAULT));
  if (!callbacks) return false;
  DumpState state{&onReply};
  nl_cb_set(callbacks.get(), NL_CB_VALID, NL_CB_CUSTOM, onValid, &state);
  nl_cb_set(callbacks.get(), NL_CB_FINISH, NL_CB_CUSTOM, onFinish, &state);
  nl_cb_err(callbacks.get(), NL_CB_CUSTOM, onError, &state);
  while (!state.done) {
    if (nl_recvmsgs(socket, callbacks.get()) < 0) return false;
  }
  return state.error == 0;
}

std::unique_ptr<nl_msg, MessageDeleter> dumpRequest(int family, std::uint8_t command) {
  std::unique_ptr<nl_msg, MessageDeleter> request(nlmsg_alloc());
  if (!request ||
      !genlmsg_put(request.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, NLM_F_DUMP, command, 0)) {
    return nullptr;
  }
  return request;
}

// The attributes read here, with the sizes a reply must give them; a reply that breaks
// them is not read at all.
const nla_policy* replyPolicy() {
  static const auto policy = [] {
    std::array<nla_policy, NL80211_ATTR_MAX + 1> rules{};
    rules[NL80211_ATTR_IFINDEX].type = NLA_U32;
    rules[NL80211_ATTR_IFTYPE].type = NLA_U32;
    rules[NL80211_ATTR_IFNAME].type = NLA_STRING;
    rules[NL80211_ATTR_SSID].maxlen = 32;
    rules[NL80211_ATTR_BSS].type = NLA_NESTED;
    return rules;
  }();
  return policy.data();
}

const nla_policy* bssPolicy() {
  static const auto policy = [] {
    std::array<nla_policy, NL80211_BSS_MAX + 1> rules{};
    rules[NL80211_BSS_BSSID].minlen = 6;
    rules[NL80211_BSS_BSSID].maxlen = 6;
    rules[NL80211_BSS_STATUS].type = NLA_U32;
    return rules;
  }();
  return policy.data();
}

}  // namespace

std::optional<WirelessInterface> parseInterface(nl_msg* reply) {
  nlattr* attrs[NL80211_ATTR_MAX + 1] = {};
  if (genlmsg_parse(nlmsg_hdr(reply), 0, attrs, NL80211_ATTR_MAX, replyPolicy()) < 0) return {};
  nlattr* name = attrs[NL80211_ATTR_IFNAME];
  if (!name || !attrs[NL80211_ATTR_IFINDEX]) return {};

  WirelessInterface found;
  found.index = static_cast<int>(nla_get_u32(attrs[NL80211_ATTR_IFINDEX]));
  found.name = nla_get_string(name);
  // An access point reports the SSID it offers; only a client is joined to a network.
  nlattr* type = attrs[NL80211_ATTR_IFTYPE];
  const bool client = type && (nla_get_u32(type) == NL80211_IFTYPE_STATION ||
                               nla_get_u32(type) == NL80211_IFTYPE_P2P_CLIENT);
  if (nlattr* ssid = attrs[NL80211_ATTR_SSID]; ssid && client) {
    const auto* bytes = static_cast<const std::uint8_t*>(nla_data(ssid));
    found.ssid.emplace(bytes, bytes + nla_len(ssid));
  }
  return found;
}

std::optional<Bssid> parseAssociatedBss(nl_msg* reply) {
  nlattr* attrs[NL80211_ATTR_MAX + 1] = {};
  if (genlmsg_parse(nlmsg_hdr(reply), 0, attrs, NL80211_ATTR_MAX, replyPolicy()) < 0) return {};
  if (!attrs[NL80211_ATTR_BSS]) return {};

  nlattr* bss[NL80211_BSS_MAX + 1] = {};
  if (nla_parse_nested(bss, NL80211_BSS_MAX, attrs[NL80211_ATTR_BSS], bssPolicy()) < 0) return {};
  nlattr* status = bss[NL80211_BSS_STATUS];
  nlattr* bssid = bss[NL80211_BSS_BSSID];
  if (!status || !bssid) return {};
  if (nla_get_u32(status) != NL80211_BSS_STATUS_ASSOCIATED) return {};

  Bssid result;
  std::memcpy(result.data(), nla_data(bssid), result.size());
  return result;
}

void Connection::SocketDeleter::operator()(nl_sock* socket) const {
  nl_socket_free(socket);
}

Connection::Connection(std::unique_ptr<nl_sock, SocketDeleter> connected, int familyId)
    : socket_(std::move(connected)), family_(familyId) {}

std::optional<Connection> Connection::open() {
  std::unique_ptr<nl_sock, SocketDeleter> socket(nl_socket_alloc());
  if (!socket || genl_connect(socket.get()) < 0) return {};
  const int family = genl_ctrl_resolve(socket.get(), "nl80211");
  if (family < 0) return {};
  return Connection(std::move(socket), family);
}

std::vector<WirelessInterface> Connection::interfaces() {
  std::vector<WirelessInterface> found;
  auto request = dumpRequest(family_, NL80211_CMD_GET_INTERFACE);
  if (!request) return found;
  const bool complete = dump(socket_.get(), request.get(), [&found](nl_msg* reply) {
    if (auto interface = parseInterface(reply)) found.push_back(std::move(*interface));
  });
  if (!complete) found.clear();
  return found;
}

std::optional<Bssid> Connection::associatedBssid(int interfaceIndex) {
  auto request = dumpRequest(family_, NL80211_CMD_GET_SCAN);
  if (!request || nla_put_u32(request.get(), NL80211_ATTR_IFINDEX,
                              static_cast<std::uint32_t>(interfaceIndex)) < 0) {
    return {};
  }
  std::optional<Bssid> associated;
  const bool complete = dump(socket_.get(), request.get(), [&associated](nl_msg* reply) {
    if (auto bssid = parseAssociatedBss(reply)) associated = bssid;
  });
  return complete ? associated : std::nullopt;
}

}  // namespace velarto::nl80211
