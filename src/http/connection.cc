// Connections of an HttpSession: opening the current connection (with TLS
// on the TLS port), the two slots and their shared connection, and the
// transport calls through which every request and response byte passes.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "http/session.h"
#include "http/transport.h"

namespace {

// Ports are 16-bit; settings may hold larger numbers.
const int kPortMask = 0xFFFF;

// True when `target` is written as an IPv4 address (the forms the resolver
// takes as an address rather than a name). Such targets send no server name.
bool isDottedAddress(const char* target) {
  in_addr parsed;
  return inet_aton(target, &parsed) != 0;
}

// The failure of a connect to `peer` (as describePeer says it), the
// host or proxy `name`, as the transport reported it.
Status connectFailure(const ConnectFailure& failure, const std::string& peer, bool proxy,
                      const char* name) {
  switch (failure.kind) {
    case ConnectFailure::kNoSocket:
      return Status(kNoSocket, "cannot create a socket to connect to " + peer);
    case ConnectFailure::kNotResolved:
      return Status(kHostNotFound,
                    formatText("cannot resolve the %s name %s", proxy ? "proxy" : "host", name));
    case ConnectFailure::kRefused:
      return Status(kCannotConnect, peer + " refused the connection");
    case ConnectFailure::kTimedOut:
      if (failure.seconds > 0) {
        return Status(kCannotConnect, formatText("%s did not accept the connection within %d s",
                                                 peer.c_str(), failure.seconds));
      }
      break;
    default:
      break;
  }
  std::string sentence = "cannot connect to " + peer;
  if (failure.error != 0) sentence += formatText(" (%s)", strerror(failure.error));
  return Status(kCannotConnect, sentence);
}

}  // namespace

Status HttpSession::connectAndSend(const char* method) {
  closeSlot(0);
  if (!url.hasText()) {
    if (unusableAddress.data == nullptr) return Status(kNoAddress, "no address to request");
    return Status(kNoAddress, formatText("no usable address in \"%s\"", unusableAddress.data));
  }
  int selectedPort = (targetIsTls ? tlsPort : port) & kPortMask;
  peerIsProxy = settings[5].hasText();
  const char* target = peerIsProxy ? settings[5].data : host.data;
  if (target == nullptr) target = "";
  peerName.assign(target);
  peerPort = selectedPort;

  TextBuffer where(static_cast<int32_t>(strlen(target)) + 16);
  snprintf(where.data, static_cast<size_t>(where.capacity) + 1, "%s:%d", target, selectedPort);
  where.length = static_cast<int32_t>(strlen(where.data));
  report(kConnectTrace, where.data, kNetworkText);

  ConnectFailure failure;
  int fd = transport->connectTo(target, selectedPort, 0, &failure);
  if (fd < 0) return connectFailure(failure, describePeer(), peerIsProxy, target);
  // The waits for response data have their limit; the blocking calls get
  // the same one.
  if (timeoutSeconds > 0) transport->limitBlocking(fd, timeoutSeconds);
  if (selectedPort == (tlsPort & kPortMask)) {
    TlsPeer peer;
    peer.name = target;
    peer.ipLiteral = isDottedAddress(target);
    peer.verify = false;
    startTls(*transport, &tls[0], fd, peer);
  }
  socket[0] = fd;
  return sendRequest(method);
}

void HttpSession::closeSlot(int slot) {
  status = 0;
  if (slot != 0 && slot != 1) return;
  int other = 1 - slot;
  if (socket[slot] != 0 && socket[slot] == socket[other]) {
    // The other slot still holds this connection: only this share goes.
    socket[slot] = 0;
    tls[slot] = nullptr;
  } else {
    closeLink(*transport, &tls[slot], &socket[slot]);
  }
}

void HttpSession::keepConnection() {
  closeSlot(1);
  socket[1] = socket[0];
  tls[1] = tls[0];
}

std::string startTls(Transport& transport, TlsLink** linkSlot, int socket, const TlsPeer& peer) {
  if (*linkSlot != nullptr) return std::string();
  TlsStart started = transport.startTls(socket, peer);
  *linkSlot = started.link;
  return started.untrusted;
}

void closeLink(Transport& transport, TlsLink** linkSlot, int32_t* socketSlot) {
  if (*socketSlot == 0 && *linkSlot == nullptr) return;
  transport.close(*linkSlot, *socketSlot);
  *linkSlot = nullptr;
  if (*socketSlot != 0) {
    *socketSlot = 0;
    report(kCloseTrace);
  }
}

int transportSend(Transport& transport, TlsLink* link, int socket, const char* data, int length,
                  int flags, int* sent) {
  int result = transport.send(link, socket, data, length, flags);
  if (sent != nullptr) *sent = result > 0 ? result : 0;
  return result > 0 ? kOk : kSendFailed;
}

int transportRecv(Transport& transport, TlsLink* link, int socket, char* buffer, int size,
                  int flags) {
  return transport.recv(link, socket, buffer, size, flags);
}
