// A page stand-in that runs as any account: sends one HTTPS POST to the server
// and prints the reply, so multi-account tests can act as another user's client.
//
//   qtx_https_probe <port> <ca.pem> <path> [body] [Header: value]...
// Output: "STATUS <code>", then "H <name>: <value>" per header, then "BODY <body>".
#include "httpsclient.h"

#include <QCoreApplication>
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
    QList<QByteArray> oHeaders;
    for (int i = 5; i < oArgs.size(); ++i)
        oHeaders << oArgs.at(i).toUtf8();
    const HttpReply oReply = oClient.post(oArgs.at(3).toUtf8(), oArgs.size() > 4 ? oArgs.at(4).toUtf8() : QByteArray(), oHeaders);
    std::printf("STATUS %d\n", oReply.status);
    for (const auto &oHeader : oReply.headers)
        std::printf("H %s: %s\n", oHeader.first.constData(), oHeader.second.constData());
    std::printf("BODY %s\n", oReply.body.constData());
    return oReply.status == 0 ? 1 : 0;
}
