// The user instance's question to the dispatcher: only the expected
// certificate gets the request, the answer is read without running this
// thread's event loop, and a peer that never answers cannot hold it longer
// than the deadline; a reply it cannot read is no reply.

#include "dispatcherquery.h"

#include <QMutex>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {

QString dataFile(const char *v_pName)
{
    return QStringLiteral(QTX_TEST_SOURCE_DIR "/data/") + QLatin1String(v_pName);
}

const QByteArray kBody = "host/alice";

QSslCertificate certificate(const char *v_pName)
{
    const QList<QSslCertificate> oList = QSslCertificate::fromPath(dataFile(v_pName));
    return oList.isEmpty() ? QSslCertificate() : oList.first();
}

// A dispatcher stand-in on a thread of its own. "silent" takes the TCP
// connection and never speaks TLS.
class FakeDispatcher : public QTcpServer
{
public:
    QString certName;
    bool silent = false;
    int status = 200;
    QByteArray reply; // written instead of the usual reply when set

    QList<QByteArray> requests()
    {
        QMutexLocker oLock(&m_mutex);
        return m_requests;
    }

protected:
    void incomingConnection(qintptr v_iDescriptor) override
    {
        if (silent) {
            auto *pSocket = new QTcpSocket(this);
            pSocket->setSocketDescriptor(v_iDescriptor);
            return;
        }
        auto *pSocket = new QSslSocket(this);
        pSocket->setSocketDescriptor(v_iDescriptor);
        pSocket->setLocalCertificate(dataFile(qPrintable(certName + QStringLiteral("-cert.pem"))));
        pSocket->setPrivateKey(dataFile(qPrintable(certName + QStringLiteral("-key.pem"))));
        auto *pBuffer = new QByteArray;
        connect(pSocket, &QObject::destroyed, [pBuffer] { delete pBuffer; });
        connect(pSocket, &QSslSocket::readyRead, pSocket, [this, pSocket, pBuffer] {
            *pBuffer += pSocket->readAll();
            if (!pBuffer->contains("\r\n\r\n") || !pBuffer->endsWith("processPid=42"))
                return;
            {
                QMutexLocker oLock(&m_mutex);
                m_requests.append(*pBuffer);
            }
            pSocket->write(!reply.isEmpty() ? reply
                                            : "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: "
                                                  + QByteArray::number(kBody.size())
                                                  + "\r\nConnection: close\r\n\r\n" + kBody);
            pSocket->disconnectFromHost();
        });
        pSocket->startServerEncryption();
    }

private:
    QMutex m_mutex;
    QList<QByteArray> m_requests;
};

} // namespace

class TestDispatcherQuery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void query_data();
    void query();

private:
    QThread m_thread;
};

void TestDispatcherQuery::initTestCase()
{
    QVERIFY(!certificate("expected-cert.pem").isNull());
    m_thread.start();
}

void TestDispatcherQuery::cleanupTestCase()
{
    m_thread.quit();
    m_thread.wait();
}

void TestDispatcherQuery::query_data()
{
    QTest::addColumn<QString>("served"); // certificate the peer shows; empty: nobody listens
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("reply"); // empty: a usual one with the status
    QTest::addColumn<int>("status");       // what the query reports; 0: it fails
    QTest::newRow("expected certificate") << "expected" << false << QByteArray() << 200;
    QTest::newRow("expected certificate, not found") << "expected" << false << QByteArray() << 404;
    const QByteArray oChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nhost\r\n6\r\n/alice\r\n0\r\n\r\n";
    QTest::newRow("chunked reply") << "expected" << false << oChunked << 200;
    QTest::newRow("truncated reply") << "expected" << false << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\nhost")
                                     << 0;
    QTest::newRow("oversized reply") << "expected" << false << "HTTP/1.1 200 OK\r\n\r\n" + QByteArray(70000, 'x') << 0;
    QTest::newRow("bad status line") << "expected" << false << QByteArray("HTTP/1.1 OK\r\n\r\n") << 0;
    QTest::newRow("another certificate gets no request") << "other" << false << QByteArray() << 0;
    QTest::newRow("silent peer") << "expected" << true << QByteArray() << 0;
    QTest::newRow("nobody listens") << QString() << false << QByteArray() << 0;
}

void TestDispatcherQuery::query()
{
    QFETCH(QString, served);
    QFETCH(bool, silent);
    QFETCH(QByteArray, reply);
    QFETCH(int, status);
    const bool bRequested = served == QLatin1String("expected") && !silent;

    auto *pPeer = new FakeDispatcher;
    pPeer->certName = served;
    pPeer->silent = silent;
    pPeer->status = status;
    pPeer->reply = reply;
    pPeer->moveToThread(&m_thread);
    bool bListening = false;
    QMetaObject::invokeMethod(pPeer, [&] { bListening = pPeer->listen(QHostAddress::LocalHost, 0); },
                              Qt::BlockingQueuedConnection);
    QVERIFY(bListening);
    quint16 uiPort = pPeer->serverPort();
    if (served.isEmpty()) {
        QMetaObject::invokeMethod(pPeer, [&] { pPeer->close(); }, Qt::BlockingQueuedConnection);
    }

    // Events of this thread must wait: nothing may run inside the query.
    bool bTimerRan = false;
    QTimer::singleShot(0, this, [&] { bTimerRan = true; });
    QPointer<QObject> pDeferred = new QObject;
    pDeferred->deleteLater();

    const DispatcherReply oReply = postToDispatcher(uiPort, "/GET_USERNAME_FOR_PID", "processPid=42",
                                                    certificate("expected-cert.pem"), 1500);
    QVERIFY(!bTimerRan);
    QVERIFY(!pDeferred.isNull());
    QCOMPARE(oReply.status, status);
    QCOMPARE(oReply.body, status ? kBody : QByteArray()); // a failed query carries none
    QCOMPARE(oReply.error.isEmpty(), status != 0);
    const QList<QByteArray> oRequests = pPeer->requests();
    QCOMPARE(oRequests.size(), bRequested ? 1 : 0);
    if (bRequested) {
        const QByteArray &oRequest = oRequests.first();
        QVERIFY2(oRequest.startsWith("POST /GET_USERNAME_FOR_PID HTTP/1.1\r\n"), oRequest.constData());
        // The server refuses an HTTP/1.1 request without Host.
        QVERIFY(oRequest.contains("\r\nHost: 127.0.0.1:" + QByteArray::number(uiPort) + "\r\n"));
        QVERIFY(oRequest.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
        QVERIFY(oRequest.contains("\r\nContent-Length: 13\r\n"));
    }
    QTRY_VERIFY(bTimerRan);
    QMetaObject::invokeMethod(pPeer, [pPeer] { delete pPeer; }, Qt::BlockingQueuedConnection);
}

QTEST_GUILESS_MAIN(TestDispatcherQuery)
#include "tst_dispatcher_query.moc"
