#pragma once

#include "filesupport.h"

// What the Signer benches share: a SoftHSM2 token in a temporary folder, the
// real server with the Signer whose dialogs the module's test hook answers,
// commands timed through POST and GET_RESULT, and `pkcs11-tool --sign` with
// the same key as the anchor the server is measured against.

#include "benchclient.h"
#include "toolrun.h"
#include "serverfixture.h"

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <vector>

namespace signerbench {

extern const QString kSoftHsm;
extern const QString kPin;

using tst::readFile;
using tst::writeFile;
using stk::words;
double median(std::vector<double> v_oTimes);
// The first three fields of /proc/loadavg.
QByteArray loadAverage();

// A bench's main: as root it runs itself again as the account qtxsigner (the
// server refuses modules to root clients), then v_oBench with the command
// line's counts (argument i + 1, at least 1, v_oDefaults[i] when absent) in a
// QCoreApplication. Its exit code.
int benchMain(int argc, char *argv[], const std::vector<int> &v_oDefaults,
              const std::function<int(const std::vector<int> &)> &v_oBench);

class SignerBench
{
public:
    explicit SignerBench(const char *v_pName);
    ~SignerBench();

    QString dir() const { return m_work.path(); }
    // Runs the program (the first word) in the token's environment; its
    // output on stderr when it fails.
    bool run(QStringList v_oWords) const;
    // An empty token with the user PIN kPin.
    bool initToken(const QString &v_oLabel);
    // The key v_oBase.key and certificate v_oBase.pem onto the token under v_oId.
    bool importKey(const QString &v_oLabel, const QString &v_oBase, const QString &v_oId);
    // A self-signed certificate for document signing ("rsa:2048" or "ec" for
    // P-256) on the token under id 01.
    bool selfSignedSigner(const QString &v_oLabel, const QString &v_oNewKey);
    // The server with the Signer on this token; v_oSigning adds lines to its
    // [signing] section. The PDF helper is installed beside it on request.
    bool startServer(const QByteArray &v_oSigning = QByteArray(), bool v_bPdfHelper = false);

    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {}) const;
    // The hook's text of the dialog of this kind once it shows; empty when none did.
    QByteArray waitForDialog(const QByteArray &v_oKind, int v_iTimeoutMs = 20000) const;
    // Gives the shown dialog its answer and waits until the hook took it.
    bool answer(const QByteArray &v_oAnswer, int v_iTimeoutMs = 20000) const;
    // GET_RESULT polled every 2 ms until the command is done.
    // All requests go over one kept-alive connection (see client()).
    HttpReply result(const QByteArray &v_oSession, const QByteArray &v_oCmdId) const;
    // A whole command: the raw request (its "CMDID" replaced by a new id) gets
    // 202, its dialog of v_oKind the answer, and GET_RESULT a result that is no
    // error. The milliseconds from the answer to the result in *v_pdMs.
    bool command(const QByteArray &v_oSession, const QByteArray &v_oRequest, const QByteArray &v_oKind,
                 const QByteArray &v_oAnswer, QByteArray *v_poBody, double *v_pdMs = nullptr);
    // A POST's head from https://shop.example with the session and "CMDID".
    static QByteArray head(const QByteArray &v_oPath, const QByteArray &v_oSession, const QByteArray &v_oType,
                           qint64 v_iLength);
    // The site's id of the first certificate for signing, picked and remembered.
    QByteArray pickSigningCertificate(const QByteArray &v_oSession);
    // `pkcs11-tool --sign` of the file with the token's key.
    bool toolSign(const QString &v_oLabel, const QString &v_oId, const QString &v_oMechanism,
                  const QString &v_oInput) const;

    ServerFixture &server() { return m_server; }

private:
    // The bench's one kept-alive connection, as a page's browser keeps one
    // (made again when the server closed it), on OpenSSL directly
    // (benchclient.h).
    BenchClient &client() const;

    const char *m_pName;
    QTemporaryDir m_work;
    QProcessEnvironment m_env;
    ServerFixture m_server;
    QString m_hook;
    quint16 m_uiPort = 0;
    QList<QSslCertificate> m_ca;
    int m_iCmdId = 0;
    mutable std::unique_ptr<BenchClient> m_poClient;
};

} // namespace signerbench
