#include "listensocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

ListenSocket::Error ListenSocket::open(quint16 v_uiPort, int v_iBacklog)
{
    close();
    const int iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (iFd < 0)
        return Error{Created, errno};
    // A port whose connections of an earlier run linger in TIME_WAIT can be
    // bound again at once; a port another socket listens on still cannot.
    const int iOne = 1;
    ::setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof iOne);

    sockaddr_in oAddress{};
    oAddress.sin_family = AF_INET;
    oAddress.sin_port = htons(v_uiPort);
    oAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Error oError;
    if (::bind(iFd, reinterpret_cast<const sockaddr *>(&oAddress), sizeof oAddress) != 0)
        oError = Error{Bound, errno};
    else if (::listen(iFd, v_iBacklog) != 0)
        oError = Error{Listening, errno};
    socklen_t uLength = sizeof oAddress;
    if (!oError && ::getsockname(iFd, reinterpret_cast<sockaddr *>(&oAddress), &uLength) != 0)
        oError = Error{Listening, errno};
    if (oError) {
        ::close(iFd);
        return oError;
    }
    m_iFd = iFd;
    m_oAddress.setAddress(ntohl(oAddress.sin_addr.s_addr));
    m_uiPort = ntohs(oAddress.sin_port);
    return Error{};
}

void ListenSocket::close()
{
    if (m_iFd >= 0)
        ::close(m_iFd);
    m_iFd = -1;
    m_uiPort = 0;
}

QString ListenSocket::describe(const Error &v_oError)
{
    // The texts Qt's listener gave for these, which the log has always shown.
    if (v_oError.failed == Bound) {
        switch (v_oError.code) {
        case EADDRINUSE:
            return QStringLiteral("The bound address is already in use");
        case EACCES:
            return QStringLiteral("The address is protected");
        case EADDRNOTAVAIL:
            return QStringLiteral("The address is not available");
        default:
            break;
        }
    } else if (v_oError.failed == Listening && v_oError.code == EADDRINUSE) {
        return QStringLiteral("Another socket is already listening on the same port");
    }
    return QString::fromLocal8Bit(std::strerror(v_oError.code));
}
