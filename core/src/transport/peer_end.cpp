// The look at a stream's far end that never waits: poll with no timeout. POLLRDHUP is
// set once the peer's end of stream has arrived, whether or not its bytes before it have
// been read, so a peer that sent more and then closed is seen as well. POLLHUP comes when
// both directions are closed: on a Unix socket the peer's close gives it (its shutdown of
// sending alone does not); on TCP only a reset does, or a shutdown made here.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "quillfern/transport.hpp"

namespace quillfern::transport {

namespace {

bool is_unix_socket(int fd) noexcept {
    int domain = 0;
    socklen_t length = sizeof domain;
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_UNIX;
}

}  // namespace

PeerEnd peer_end(TransportStream& stream) noexcept {
    if (!stream.is_open()) return PeerEnd::Gone;
    pollfd look{stream.native_handle(), POLLRDHUP, 0};
    int ready = 0;
    do {
        ready = ::poll(&look, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return PeerEnd::Open;  // nothing to see (or poll itself failed): the peer is taken to be there
    if ((look.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return PeerEnd::Gone;
    if ((look.revents & POLLRDHUP) == 0) return PeerEnd::Open;
    return is_unix_socket(look.fd) ? PeerEnd::SendingShut : PeerEnd::Ended;
}

bool peer_has_ended(TransportStream& stream) noexcept { return peer_end(stream) != PeerEnd::Open; }

}  // namespace quillfern::transport
