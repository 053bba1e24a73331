#include "dispatcherquery.h"

#include "httpresponsereader.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {

// The dispatcher's replies are a few hundred bytes; this bounds a hostile one.
constexpr int kMaxReplyBytes = 64 * 1024;
// Bytes taken from the socket at a time, so a flood never piles up unread.
constexpr int kReadSlice = 16 * 1024;

} // namespace

DispatcherReply postToDispatcher(quint16 v_uiPort, const QByteArray &v_oPath, const QByteArray &v_oBody,
                                 const QSslCertificate &v_oExpected, int v_iTimeoutMs)
{
    DispatcherReply oReply;
    if (v_oExpected.isNull()) {
        oReply.error = QStringLiteral("no certificate to expect");
        return oReply;
    }
    const QDeadlineTimer oDeadline(v_iTimeoutMs);
    QSslSocket oSocket;
    QSslConfiguration oConfig = oSocket.sslConfiguration();
    oConfig.setProtocol(QSsl::TlsV1_2OrLater);
    // The chain is not what is trusted here but the one certificate itself,
    // compared below once the handshake is done.
    oConfig.setPeerVerifyMode(QSslSocket::VerifyNone);
    oSocket.setSslConfiguration(oConfig);
    oSocket.setReadBufferSize(kReadSlice);
    oSocket.connectToHostEncrypted(QHostAddress(QHostAddress::LocalHost).toString(), v_uiPort);
    if (!oSocket.waitForEncrypted(static_cast<int>(qMax<qint64>(1, oDeadline.remainingTime())))) {
        oReply.error = QStringLiteral("no TLS connection: ") + oSocket.errorString();
        oSocket.abort();
        return oReply;
    }
    if (oSocket.peerCertificate() != v_oExpected) {
        oReply.error = QStringLiteral("the peer's certificate is not the expected one");
        oSocket.abort();
        return oReply;
    }
    const QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(v_uiPort)
                                + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                                + QByteArray::number(v_oBody.size()) + "\r\nConnection: close\r\n\r\n" + v_oBody;
    oSocket.write(oRequest);
    norrweb::HttpLimits oLimits;
    oLimits.maxRequestSize = kMaxReplyBytes;
    norrweb::HttpResponseReader oReader(oLimits);
    char aSlice[kReadSlice];
    while (oReader.state() == norrweb::HttpResponseReader::Reading) {
        const qint64 llRead = oSocket.read(aSlice, sizeof aSlice);
        if (llRead > 0) {
            oReader.feed(aSlice, int(llRead));
            continue;
        }
        if (llRead < 0 || oSocket.state() != QAbstractSocket::ConnectedState) {
            oReader.finish();
            break;
        }
        if (oDeadline.hasExpired()) {
            oReply.error = QStringLiteral("no reply in time");
            break;
        }
        if (!oSocket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, oDeadline.remainingTime())))
            && oSocket.state() == QAbstractSocket::ConnectedState) {
            oReply.error = oDeadline.hasExpired() ? QStringLiteral("no reply in time") : oSocket.errorString();
            break;
        }
    }
    if (oReader.state() == norrweb::HttpResponseReader::Complete) {
        oReply.status = oReader.status();
        oReply.body = oReader.body();
        oReply.uid = oReader.header("x-qtx-uid");
    } else if (oReader.state() == norrweb::HttpResponseReader::Failed) {
        oReply.error = QStringLiteral("bad reply: ") + QLatin1String(oReader.errorText());
    }
    oSocket.abort();
    return oReply;
}
