#pragma once

// Process-wide configuration: one INI file beside the executable, read-only for
// the life of the process. Every getter may be called from any thread; one
// non-recursive mutex serialises them.

#include "qtxlogger.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCipher>
#include <QString>
#include <QStringList>
#include <QVariant>

class QSettings;

class CSettings : public QObject
{
    Q_OBJECT
public:
    // Created on first use. Ends the process with exit code 0 when the INI file is missing.
    static CSettings *Instance();

    QString ReadIniFilePath();
    int ReadListenerPort();
    bool ReadWindowsServerMode();
    // [listener] dispatcherAccount: the account whose instance is the dispatcher
    // (empty when absent: root's instance is).
    QString ReadDispatcherAccount();
    int ReadLogLevel();
    // [logging2] logSensitiveData: "true" (any case) shows request data and ids in the log.
    bool ReadLogSensitiveData();
    QString ReadLogFilePath();
    // Level, sensitive-data switch and server mode in one value.
    QTXLogger::Settings ReadLoggingSettings();
    QStringList ReadDllLoaderDirPaths();
    // [dllLoader] moduleKeysDir: the folder of vendors' module-signing public
    // keys (default /etc/quorvex/module-keys.d; empty: the built-in key only).
    QString ReadModuleKeysDir();
    int ReadTimeoutInterval();
    QPair<QString, QString> ReadSslCertificateCertAndKeyFiles();
    QList<QSslCipher> ReadSslEnabledCiphersList();
    // A resource cap of the [limits] group: the configured value when it is a
    // positive integer, v_llDefault otherwise (absent, zero, negative, text).
    qint64 ReadLimit(const QString &v_oKey, qint64 v_llDefault);

    // The built-in cipher text (the Windows 7 addition never applies here).
    static QString BuiltInCipherString();

public slots:
    void PrintSettings();

private:
    CSettings();
    ~CSettings() override;

    // Value of group/key; caller holds the mutex. Warns when asked and absent.
    QVariant ReadVariant(const QString &v_oGroup, const QString &v_oKey, bool v_bWarnIfAbsent);
    QVariant ReadGroupValue(const QString &v_oGroup, const QString &v_oKey, const QVariant &v_oDefault);

    QSettings *m_poSettings = nullptr;
    QString m_oUserDataDir;
    QString m_oAppDir;
};
