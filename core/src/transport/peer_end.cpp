// The look at a stream's far end that never waits: poll with no timeout. POLLRDHUP is
// set once the peer's end of stream has arrived, whether or not its bytes before it have
// been read, so a peer that sent more and then closed is seen as well.
#include <poll.h>

#include <cerrno>

#include "quillfern/transport.hpp"

namespace quillfern::transport {

bool peer_has_ended(TransportStream& stream) noexcept {
    if (!stream.is_open()) return true;
    pollfd look{stream.native_handle(), POLLRDHUP, 0};
    int ready = 0;
    do {
        ready = ::poll(&look, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;  // nothing to see (or poll itself failed): the peer is taken to be there
    return (look.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace quillfern::transport
