// Stands in for a running server instance: listens on a loopback port, prints
// it, and runs until it is ended.
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    QTcpServer oServer;
    if (!oServer.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%u\n", static_cast<unsigned>(oServer.serverPort()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
