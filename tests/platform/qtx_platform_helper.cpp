// Child process for the platform tests (plain POSIX, no Qt):
//   listen <port>   listen on 127.0.0.1:<port> (0: any free port), print the port
//   connect <port>  connect to 127.0.0.1:<port>, print the local port
//   sleep           do nothing
//   ignoreterm      ignore SIGTERM
// Each mode prints "ready" once set up, then sleeps until killed (at most 60 s).
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static int fail(const char *what)
{
    std::perror(what);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *mode = argv[1];
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0);
    if (!std::strcmp(mode, "listen") || !std::strcmp(mode, "connect")) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return fail("socket");
        if (!std::strcmp(mode, "listen")) {
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0)
                return fail("listen");
        } else if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            return fail("connect");
        }
        socklen_t len = sizeof(addr);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        std::printf("%u\n", ntohs(addr.sin_port));
    } else if (!std::strcmp(mode, "ignoreterm")) {
        std::signal(SIGTERM, SIG_IGN);
    } else if (std::strcmp(mode, "sleep") != 0) {
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 600; ++i)
        ::usleep(100000);
    return 0;
}
