#include "httpsclient.h"

#include <QElapsedTimer>
#include <QSslConfiguration>

#include <algorithm>

QByteArray HttpReply::header(const QByteArray &v_oName) const
{
    for (const auto &oHeader : headers)
        if (oHeader.first.compare(v_oName, Qt::CaseInsensitive) == 0)
            return oHeader.second;
    return QByteArray();
}

bool HttpReply::hasHeader(const QByteArray &v_oName) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &oHeader) { return oHeader.first.compare(v_oName, Qt::CaseInsensitive) == 0; });
}

qint64 parseReplyHead(const QByteArray &v_oHead, HttpReply *v_poReply)
{
    const QList<QByteArray> oLines = v_oHead.split('\n');
    const QByteArray oStatus = oLines.value(0).trimmed();
    v_poReply->status = oStatus.mid(9, 3).toInt();
    v_poReply->reason = oStatus.mid(13);
    for (int i = 1; i < oLines.size(); ++i) {
        const QByteArray oLine = oLines.at(i).trimmed();
        const int iColon = oLine.indexOf(':');
        if (iColon > 0)
            v_poReply->headers.append(qMakePair(oLine.left(iColon), oLine.mid(iColon + 1).trimmed()));
    }
    return v_poReply->header("Content-Length").toLongLong();
}

HttpsClient::HttpsClient(quint16 v_uiPort, const QList<QSslCertificate> &v_oCa)
    : m_port(v_uiPort)
    , m_ca(v_oCa)
{
}

bool HttpsClient::connect()
{
    m_socket = std::make_unique<QSslSocket>();
    QSslConfiguration oConfig = m_socket->sslConfiguration();
    oConfig.setCaCertificates(m_ca);
    m_socket->setSslConfiguration(oConfig);
    if (!m_localAddress.isNull() && !m_socket->bind(m_localAddress, m_localPort))
        return false;
    m_socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);
    return m_socket->waitForEncrypted(20000);
}

HttpReply HttpsClient::exchange(const QByteArray &v_oRequest, int v_iTimeoutMs)
{
    HttpReply oReply;
    if ((!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) && !connect())
        return oReply;
    m_socket->write(v_oRequest);
    QElapsedTimer oTimer;
    oTimer.start();
    QByteArray oData;
    int iHeaderEnd = -1;
    qint64 iLength = -1;
    while (oTimer.elapsed() < v_iTimeoutMs) {
        if (iHeaderEnd < 0) {
            iHeaderEnd = oData.indexOf("\r\n\r\n");
            if (iHeaderEnd >= 0)
                iLength = parseReplyHead(oData.left(iHeaderEnd), &oReply);
        }
        if (iHeaderEnd >= 0 && oData.size() >= iHeaderEnd + 4 + iLength)
            break;
        if (!m_socket->waitForReadyRead(200) && m_socket->state() != QAbstractSocket::ConnectedState
            && !m_socket->bytesAvailable())
            break;
        oData += m_socket->readAll();
    }
    oReply.raw = oData;
    if (iHeaderEnd >= 0)
        oReply.body = oData.mid(iHeaderEnd + 4);
    return oReply;
}

QByteArray formPost(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray &oHeader : v_oHeaders)
        oRequest += oHeader + "\r\n";
    if (!v_oBody.isEmpty())
        oRequest += "Content-Type: application/x-www-form-urlencoded\r\n";
    return oRequest + "Content-Length: " + QByteArray::number(v_oBody.size()) + "\r\n\r\n" + v_oBody;
}

HttpReply HttpsClient::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    return exchange(formPost(v_oPath, v_oBody, v_oHeaders));
}
