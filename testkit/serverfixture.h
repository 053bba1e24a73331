#pragma once

// Runs the real server binary from a temporary install folder: a copy of the
// executable (its INI is found beside its real path), the INI file, and
// XDG_CONFIG_HOME inside the folder so the log file is the test's own.

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ServerFixture
{
public:
    ServerFixture();
    ~ServerFixture();

    bool isValid() const { return m_dir.isValid(); }
    QString path(const QString &v_oRelative = QString()) const;

    // The name the server runs under here. One server per account and
    // executable name may run, and the dispatcher finds an account's instance
    // by its own name: under a name of their own, the servers of tests and
    // benches neither meet a server the account already runs (scripts/run.sh's,
    // the package's units) nor answer for it.
    static QString executableName() { return QStringLiteral("QuorvexCryptoProvider-test"); }
    // Copies the server executable (or a stand-in) into the folder under that name.
    bool installBinary(const QString &v_oSourcePath);
    // The installed executable.
    QString executable() const { return path(executableName()); }
    bool writeIni(const QByteArray &v_oContent);
    // The server executable and the INI file.
    bool install(const QByteArray &v_oIni) { return installBinary(serverBinary()) && writeIni(v_oIni); }
    // Copies the build's signed example modules into modules/; false when there are none.
    bool installModules();

    // Starts the copied executable with the given arguments; the environment
    // carries XDG_CONFIG_HOME and the offscreen platform. With an account name the
    // server runs as that account (the test must be root).
    void start(const QStringList &v_oArguments = {QStringLiteral("-console")}, const QString &v_oAccount = QString());
    // Runs qtx-provision for the instance (as the account, which must own
    // config/: shareWith): its secret, authority, certificate and encrypted key in
    // the key store under config/, and a public copy of the authority in
    // certs/QTX-ca.pem for the test's clients.
    bool provision(const QString &v_oAccount = QString());
    // For the Signer's suites and benches: the server with the INI, the signed
    // modules and (on request) the PDF helper beside it, provisioned.
    bool installSigner(const QByteArray &v_oIni, bool v_bPdfHelper);
    // The instance's authority for the clients (after provision()).
    QList<QSslCertificate> authority() const;
    // The instance's key store: config/Quorvex/QuorvexCryptoProvider.
    QString storePath(const QString &v_oRelative = QString()) const;
    // Lets another account use the folder (the server reads and writes below it).
    void shareWith(const QString &v_oAccount);
    QProcess &process() { return m_process; }
    // Extra environment for the next start().
    void setEnvironmentValue(const QString &v_oName, const QString &v_oValue) { m_extraEnv.insert(v_oName, v_oValue); }

    QString logFilePath() const;
    QStringList logMessages() const; // message part of every log line
    bool logContains(const QString &v_oMessage) const;
    // Some log message contains the text (checked once).
    bool logHas(const QString &v_oText) const { return !logMessages().filter(v_oText).isEmpty(); }
    // Waits until the log holds the line (or the process ended).
    bool waitForLog(const QString &v_oMessage, int v_iTimeoutMs = 20000);
    // Waits for "Listening on port <port>".
    bool waitListening(int v_iPort, int v_iTimeoutMs = 20000);

    static QString serverBinary();
    // Creates a local account for multi-account tests (root only); false when impossible.
    static bool ensureAccount(const QString &v_oAccount);
    // The server refuses modules to root clients: as root, runs this program
    // again in place as the account (created when missing, HOME=/tmp) through
    // setpriv. Returns -1 to go on in this process (not root), 0 when the
    // account cannot be made (said on stderr), 1 when setpriv could not run.
    // Call it before the QCoreApplication is made.
    static int rerunAsAccount(int argc, char *argv[], const char *v_pAccount);
    // Runs a program as the account (root only; empty: as this process); its exit code, -1 when it did not end.
    static int runAs(const QString &v_oAccount, const QString &v_oProgram, const QStringList &v_oArguments,
                     QByteArray *v_poOutput = nullptr, const QProcessEnvironment &v_oEnv = QProcessEnvironment());
    // Starts a program as the account (empty: as this process), not waiting for it.
    // setpriv executes the program in place, so the process id is the program's.
    static void startAs(QProcess &v_oProcess, const QString &v_oAccount, const QString &v_oProgram,
                        const QStringList &v_oArguments);
    static bool isRoot();
    // A loopback port whose next v_iCount - 1 ports are free as well, or 0.
    static int freeBase(int v_iCount = 4);

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QMap<QString, QString> m_extraEnv;
};
