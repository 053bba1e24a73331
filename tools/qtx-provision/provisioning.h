#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct ProvisionOptions
{
    QString appDir;        // folder of the executable and its INI file
    bool force = false;    // issue anew even when the current files work
    bool checkOnly = false;
    QString importCert;    // PEM files to use instead of issuing
    QString importKey;
    QByteArray importPass;
};

struct ProvisionResult
{
    bool ok = false;
    QString error;
    QStringList report; // one line per thing done or kept
};

ProvisionResult provision(const ProvisionOptions &v_oOptions);

// Where the local authority's certificate lives for this install folder
// (beside the server certificate named by the INI file).
QString authorityPath(const QString &v_oAppDir);
