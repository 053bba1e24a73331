#include "dispatcherquery.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {

constexpr int kMaxReplyBytes = 64 * 1024;

// Parses a complete reply from the bytes read so far; false while more are needed.
bool parseReply(const QByteArray &v_oData, bool v_bClosed, DispatcherReply *v_poReply)
{
    const int iHeaderEnd = v_oData.indexOf("\r\n\r\n");
    if (iHeaderEnd < 0)
        return false;
    const QList<QByteArray> oLines = v_oData.left(iHeaderEnd).split('\n');
    const QList<QByteArray> oStatus = oLines.value(0).trimmed().split(' ');
    if (oStatus.size() < 2 || !oStatus.at(0).startsWith("HTTP/1.")) {
        v_poReply->error = QStringLiteral("malformed status line");
        return true;
    }
    qint64 iLength = -1;
    for (int i = 1; i < oLines.size(); ++i) {
        const QByteArray oLine = oLines.at(i).trimmed();
        const int iColon = oLine.indexOf(':');
        if (iColon > 0 && oLine.left(iColon).trimmed().toLower() == "x-qtx-uid")
            v_poReply->uid = oLine.mid(iColon + 1).trimmed();
        if (iColon > 0 && oLine.left(iColon).trimmed().toLower() == "content-length") {
            bool bOk = false;
            iLength = oLine.mid(iColon + 1).trimmed().toLongLong(&bOk);
            if (!bOk || iLength < 0 || iLength > kMaxReplyBytes) {
                v_poReply->error = QStringLiteral("invalid Content-Length");
                return true;
            }
        }
    }
    const QByteArray oBody = v_oData.mid(iHeaderEnd + 4);
    if (iLength >= 0 ? oBody.size() < iLength : !v_bClosed)
        return false;
    bool bOk = false;
    v_poReply->status = oStatus.at(1).toInt(&bOk);
    if (!bOk)
        v_poReply->status = 0;
    v_poReply->body = iLength >= 0 ? oBody.left(static_cast<int>(iLength)) : oBody;
    return true;
}

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
    QByteArray oData;
    for (;;) {
        oData += oSocket.readAll();
        const bool bClosed = oSocket.state() != QAbstractSocket::ConnectedState;
        if (oData.size() > kMaxReplyBytes) {
            oReply.error = QStringLiteral("reply too large");
            break;
        }
        if (parseReply(oData, bClosed, &oReply))
            break;
        if (bClosed) {
            oReply.error = QStringLiteral("connection closed before the reply was complete");
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
    oSocket.abort();
    return oReply;
}
