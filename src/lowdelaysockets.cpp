#include "lowdelaysockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

bool intOption(int descriptor, int level, int name, int* value)
{
    socklen_t length = sizeof(*value);
    return ::getsockopt(descriptor, level, name, value, &length) == 0;
}

bool isTcp(int descriptor)
{
    int type = 0;
    int protocol = 0;
    return intOption(descriptor, SOL_SOCKET, SO_TYPE, &type) && type == SOCK_STREAM &&
           intOption(descriptor, SOL_SOCKET, SO_PROTOCOL, &protocol) && protocol == IPPROTO_TCP;
}

// The peer's port of a connected IPv4 or IPv6 socket; 0 for anything else.
quint16 peerPort(int descriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return 0;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    return 0;
}

// A descriptor closed and reused by another thread meanwhile is at worst another TCP
// connection to the same port, which gains as well.
bool switchToLowDelay(int descriptor, quint16 port)
{
    if (!isTcp(descriptor) || peerPort(descriptor) != port ||
        LowDelaySockets::isLowDelay(descriptor))
        return false;
    const int on = 1;
    return ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

} // namespace

namespace LowDelaySockets {

int applyToConnectionsTo(quint16 port)
{
    const std::unique_ptr<DIR, DirectoryCloser> descriptors(::opendir("/proc/self/fd"));
    if (!descriptors || port == 0)
        return 0;
    const int own = ::dirfd(descriptors.get());
    int changed = 0;
    while (const dirent* entry = ::readdir(descriptors.get())) {
        char* end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || descriptor == own)
            continue;
        if (switchToLowDelay(int(descriptor), port))
            ++changed;
    }
    return changed;
}

bool isLowDelay(int descriptor)
{
    int value = 0;
    return intOption(descriptor, IPPROTO_TCP, TCP_NODELAY, &value) && value != 0;
}

} // namespace LowDelaySockets
