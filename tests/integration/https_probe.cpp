// A page stand-in that runs as any account: sends one HTTPS POST to the server
// and prints the reply, so multi-account tests can act as another user's client.
//
//   qtx_https_probe <port> <ca.pem> <path> [body] [Header: value]...
// Output: "STATUS <code> <reason>", then "H <name>: <value>" per header, then "BODY <body>".
// QTX_PROBE_BIND=<address>:<port> connects from that local address and port;
// QTX_PROBE_HOLD_MS=<n> then prints "LOCAL <port>" and keeps the connection
// open for n ms (a connection another test process can aim at).
#include "httpsclient.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSslCertificate>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    const QStringList oArgs = QCoreApplication::arguments();
    if (oArgs.size() < 4) {
        std::fprintf(stderr, "usage: qtx_https_probe <port> <ca.pem> <path> [body] [Header: value]...\n");
        return 2;
    }
    HttpsClient oClient(static_cast<quint16>(oArgs.at(1).toUInt()), QSslCertificate::fromPath(oArgs.at(2)));
    const QString oBind = qEnvironmentVariable("QTX_PROBE_BIND");
    if (!oBind.isEmpty())
        oClient.bindLocal(QHostAddress(oBind.section(QLatin1Char(':'), 0, 0)), oBind.section(QLatin1Char(':'), 1).toUShort());
    QList<QByteArray> oHeaders;
    for (int i = 5; i < oArgs.size(); ++i)
        oHeaders << oArgs.at(i).toUtf8();
    const HttpReply oReply = oClient.post(oArgs.at(3).toUtf8(), oArgs.size() > 4 ? oArgs.at(4).toUtf8() : QByteArray(), oHeaders);
    std::printf("STATUS %d %s\n", oReply.status, oReply.reason.constData());
    for (const auto &oHeader : oReply.headers)
        std::printf("H %s: %s\n", oHeader.first.constData(), oHeader.second.constData());
    std::printf("BODY %s\n", oReply.body.constData());
    const int iHoldMs = qEnvironmentVariableIntValue("QTX_PROBE_HOLD_MS");
    if (iHoldMs > 0 && oReply.status != 0) {
        std::printf("LOCAL %u\n", unsigned(oClient.socket().localPort()));
        std::fflush(stdout);
        oClient.socket().waitForDisconnected(iHoldMs);
    }
    return oReply.status == 0 ? 1 : 0;
}
