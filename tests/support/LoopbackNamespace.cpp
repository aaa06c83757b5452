#include "LoopbackNamespace.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Tarnwell::test {

namespace {

std::string Failed(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::string EnterLoopbackNamespace() {
    if (unshare(CLONE_NEWNET) != 0) {
        return Failed("cannot make a network namespace (unshare)");
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Failed("cannot open a socket in the new namespace");
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        why = Failed("cannot read the loopback interface's flags");
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) {
            why = Failed("cannot bring the loopback interface up");
        }
    }
    close(fd);
    return why;
}

void LoopbackNamespaceEnvironment::SetUp() {
    static const std::string why = EnterLoopbackNamespace();
    if (!why.empty()) {
        GTEST_SKIP() << "no loopback-only network namespace: " << why;
    }
}

}  // namespace Tarnwell::test
