// Child process for the platform tests (plain POSIX, no Qt). "listen <port>" (0: any
// free one) and "connect <port>" on 127.0.0.1 print the local port; "ignoreterm"
// ignores SIGTERM; "connectdrop <port> <uid> <gid>" connects first and then
// gives up its rights to that account; any other mode just sleeps. Prints "ready" when set up, then
// sleeps until killed (at most 60 s).
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0);
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    const bool listening = !std::strcmp(mode, "listen");
    const bool dropping = !std::strcmp(mode, "connectdrop");
    if (listening || dropping || !std::strcmp(mode, "connect")) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listening ? (::bind(fd, sa, sizeof(addr)) || ::listen(fd, 4)) : ::connect(fd, sa, sizeof(addr))) {
            std::perror(mode);
            return 2;
        }
        if (dropping && (argc < 5 || ::setgroups(0, nullptr) || ::setgid(static_cast<gid_t>(std::atoi(argv[4])))
                         || ::setuid(static_cast<uid_t>(std::atoi(argv[3]))))) {
            std::perror(mode);
            return 2;
        }
        socklen_t len = sizeof(addr);
        ::getsockname(fd, sa, &len);
        std::printf("%u\n", ntohs(addr.sin_port));
    } else if (!std::strcmp(mode, "ignoreterm")) {
        std::signal(SIGTERM, SIG_IGN);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 600; ++i)
        ::usleep(100000);
}
