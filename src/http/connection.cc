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

// The failure of a connect attempt to `peer` (as describePeer says it) that
// returned `result`, with the system's error number `error` (0: none known).
Status connectFailure(int result, const std::string& peer, bool proxy, const char* name,
                      int error) {
  if (result == kHostNotFound) {
    return Status(kHostNotFound,
                  formatText("cannot resolve the %s name %s", proxy ? "proxy" : "host", name));
  }
  if (error == ECONNREFUSED) return Status(kCannotConnect, peer + " refused the connection");
  std::string sentence = "cannot connect to " + peer;
  if (error != 0) sentence += formatText(" (%s)", strerror(error));
  return Status(kCannotConnect, sentence);
}

}  // namespace

Status HttpSession::connectAndSend(const char* method) {
  closeSlot(0);
  if (!url.hasText()) {
    if (unusableAddress.data() == nullptr) return Status(kNoAddress, "no address to request");
    return Status(kNoAddress, formatText("no usable address in \"%s\"", unusableAddress.data()));
  }
  int selectedPort = (targetIsTls ? tlsPort : port) & kPortMask;
  peerIsProxy = settings[5].hasText();
  const char* target = peerIsProxy ? settings[5].data() : host.data();
  if (target == nullptr) target = "";
  peerName.assign(target);
  peerPort = selectedPort;

  int fd = transport->openSocket();
  if (fd <= 0) return Status(kNoSocket, "cannot create a socket to connect to " + describePeer());

  TextBuffer where(static_cast<int32_t>(strlen(target)) + 16);
  int32_t room = 0;
  char* into = where.tail(&room);
  snprintf(into, static_cast<size_t>(room) + 1, "%s:%d", target, selectedPort);
  where.commit(static_cast<int32_t>(strlen(into)));
  report(kConnectTrace, where.data(), kNetworkText);

  // The transport leaves the reason of a failed connect in errno.
  errno = 0;
  int result = transport->connectSocket(fd, target, selectedPort);
  int connectError = errno;
  if (result != kOk) {
    // The socket never reaches a slot; nothing else would close it.
    transport->close(nullptr, fd);
    return connectFailure(result, describePeer(), peerIsProxy, target, connectError);
  }
  // The waits for response data have their limit; the blocking calls get
  // the same one.
  if (timeoutSeconds > 0) transport->limitBlocking(fd, timeoutSeconds);
  if (selectedPort == (tlsPort & kPortMask)) {
    startTls(*transport, &tls[0], fd, isDottedAddress(target) ? nullptr : target);
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

void startTls(Transport& transport, TlsLink** linkSlot, int socket, const char* serverName) {
  if (*linkSlot != nullptr) return;
  *linkSlot = transport.startTls(socket, serverName);
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
