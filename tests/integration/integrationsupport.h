#pragma once

// Shared by the integration tests: the INI of an instance serving its
// provisioned certificate, installing and starting one, quitting it with
// Ctrl-C, polling a job's result, and a reply as one comparable value.

#include "httpsclient.h"
#include "serverfixture.h"

#include <QtTest>

#include <csignal>

#include <unistd.h>

namespace tst {

// The instance's port, its provisioned certificate, modules/ and sessions kept
// for 10 minutes; v_oMore (further sections) appended, v_oListener (lines) in [listener].
inline QByteArray tlsIni(int v_iPort, const QByteArray &v_oMore = QByteArray(), const QByteArray &v_oListener = QByteArray())
{
    return "[listener]\nport=" + QByteArray::number(v_iPort) + '\n' + v_oListener
           + "readTimeout=20000\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\n"
             "keyFile=certs/QTX-key-server.pem\n[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n"
           + v_oMore;
}

// Root's instance is the dispatcher on the configured port; any other
// account's listens on the next one.
inline quint16 ownPort(int v_iBase) { return quint16(ServerFixture::isRoot() ? v_iBase : v_iBase + 1); }

// Installs the server (and the example modules), then provisions its key store
// as the account, which gets the folder's config/.
inline bool prepare(ServerFixture &v_oServer, const QByteArray &v_oIni, const QString &v_oAccount = QString(),
                    bool v_bModules = false)
{
    if (!v_oServer.install(v_oIni) || (v_bModules && !v_oServer.installModules()))
        return false;
    if (!v_oAccount.isEmpty())
        v_oServer.shareWith(v_oAccount);
    return v_oServer.provision(v_oAccount);
}

// prepare(), then the server runs as the account: true once it listens on v_iPort.
inline bool startServer(ServerFixture &v_oServer, const QByteArray &v_oIni, int v_iPort,
                        const QString &v_oAccount = QString(), bool v_bModules = false)
{
    if (!prepare(v_oServer, v_oIni, v_oAccount, v_bModules))
        return false;
    v_oServer.start({QStringLiteral("-console")}, v_oAccount);
    return v_oServer.waitListening(v_iPort);
}

inline QString logDump(const ServerFixture &v_oServer) { return v_oServer.logMessages().join(QLatin1Char('\n')); }

// The exit code once the process ended normally; -1 when it did not end in time or crashed.
inline int exitCodeOf(QProcess &v_oProcess, int v_iTimeoutMs = 30000)
{
    return v_oProcess.waitForFinished(v_iTimeoutMs) && v_oProcess.exitStatus() == QProcess::NormalExit
               ? v_oProcess.exitCode()
               : -1;
}

// Ctrl-C quits the running server through its event loop: true when it then exits with code 0.
inline bool quitsOnCtrlC(QProcess &v_oProcess)
{
    if (v_oProcess.state() != QProcess::Running)
        return false;
    ::kill(static_cast<pid_t>(v_oProcess.processId()), SIGINT);
    return exitCodeOf(v_oProcess, 15000) == 0;
}

// Asks for a job's result until it is no longer 202 (still running).
template <typename Ask>
HttpReply pollResult(const Ask &v_oAsk)
{
    HttpReply oReply;
    for (int i = 0; i < 50 && (oReply = v_oAsk()).status == 202; ++i)
        QTest::qWait(100);
    return oReply;
}

// "<status> <reason>|<body>": a reply in one comparable value.
inline QByteArray text(const HttpReply &v_oReply)
{
    return QByteArray::number(v_oReply.status) + ' ' + v_oReply.reason + '|' + v_oReply.body;
}

} // namespace tst
