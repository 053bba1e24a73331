#pragma once

// The listening socket on 127.0.0.1, made with the kernel's own calls: socket,
// bind and listen with the queue length the caller gives. Non-blocking, since
// the I/O threads accept from it with accept4 and watch it with epoll. The
// socket belongs to this object and is closed with it.

#include <QHostAddress>
#include <QString>

class ListenSocket
{
public:
    ListenSocket() = default;
    ~ListenSocket() { close(); }
    ListenSocket(const ListenSocket &) = delete;
    ListenSocket &operator=(const ListenSocket &) = delete;

    enum Step { Created, Bound, Listening };
    struct Error
    {
        Step failed = Created; // the step that failed: Created means socket() itself
        int code = 0;          // errno of that step; 0 when it succeeded
        explicit operator bool() const { return code != 0; }
    };

    // Binds to v_uiPort on the loopback address (0: a port the kernel picks)
    // and listens with a queue of v_iBacklog connections. On failure nothing
    // is left open.
    Error open(quint16 v_uiPort, int v_iBacklog);
    void close();

    bool isOpen() const { return m_iFd >= 0; }
    int fd() const { return m_iFd; }
    // The address and port the socket is bound to (the kernel's choice for 0).
    QHostAddress address() const { return m_oAddress; }
    quint16 port() const { return m_uiPort; }

    // How a failed bind or listen is described in the log: the texts the
    // port search has always written for a taken or protected port, the
    // system's own text otherwise.
    static QString describe(const Error &v_oError);

private:
    int m_iFd = -1;
    QHostAddress m_oAddress;
    quint16 m_uiPort = 0;
};
