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
