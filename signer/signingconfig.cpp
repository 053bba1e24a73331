#include "signingconfig.h"

#include "pkcs11token.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int intValue(const QSettings &v_oIni, const char *v_pKey, int v_iDefault, int v_iMin, int v_iMax)
{
    bool bOk = false;
    const int iValue = v_oIni.value(QLatin1String(v_pKey)).toInt(&bOk);
    return bOk ? qBound(v_iMin, iValue, v_iMax) : v_iDefault;
}

QStringList listValue(const QSettings &v_oIni, const char *v_pKey)
{
    // QSettings splits an unquoted "a, b" itself; spaces separate as well.
    QStringList oItems;
    for (const QString &oPart : v_oIni.value(QLatin1String(v_pKey)).toStringList())
        oItems += oPart.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return oItems;
}

// The file's contents when root or this account owns it and nobody else may
// write it (the same rule as for an extra PKCS#11 module); read from the
// descriptor that was checked.
QByteArray trustedFile(const QString &v_oPath)
{
    const auto refuse = [&](const QString &v_oWhy) {
        return SignerError("SIGNING_CONFIG_ERROR", QStringLiteral("The certificate file %1 of [signing] %2.").arg(v_oPath, v_oWhy));
    };
    if (!QFileInfo(v_oPath).isAbsolute())
        throw refuse(QStringLiteral("is not an absolute path"));
    const int iFd = ::open(QFile::encodeName(v_oPath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (iFd < 0)
        throw refuse(QStringLiteral("cannot be opened"));
    QFile oFile;
    struct stat oStat {};
    if (fstat(iFd, &oStat) != 0 || !S_ISREG(oStat.st_mode) || (oStat.st_uid != 0 && oStat.st_uid != geteuid())
        || (oStat.st_mode & (S_IWGRP | S_IWOTH)) != 0 || oStat.st_size > (16 << 20)
        || !oFile.open(iFd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(iFd);
        throw refuse(QStringLiteral("is not a regular file of root or this account that only its owner may change"));
    }
    return oFile.readAll();
}

void addPem(const QByteArray &v_oPem, const std::function<void(X509 *)> &v_oAdd)
{
    BIO *poBio = BIO_new_mem_buf(v_oPem.constData(), v_oPem.size());
    while (X509 *poCert = PEM_read_bio_X509(poBio, nullptr, nullptr, nullptr)) {
        v_oAdd(poCert);
        X509_free(poCert);
    }
    BIO_free(poBio);
    ERR_clear_error(); // the end of the file reads as an error
}

} // namespace

QString messageOf(const SignerError &v_oError)
{
    return QJsonDocument::fromJson(v_oError.what()).object().value(QStringLiteral("message")).toString();
}

SigningConfig SigningConfig::fromIni(const QString &v_oPath)
{
    SigningConfig oConfig;
    QSettings oIni(v_oPath, QSettings::IniFormat);
    oIni.beginGroup(QStringLiteral("signing"));
    oConfig.tsaUrls = listValue(oIni, "tsaUrl");
    oConfig.tsaPolicy = oIni.value(QStringLiteral("tsaPolicy")).toString().toLatin1();
    oConfig.revocationUrls = listValue(oIni, "revocationUrls");
    oConfig.trustAnchorsFile = oIni.value(QStringLiteral("trustAnchors")).toString();
    oConfig.intermediatesFile = oIni.value(QStringLiteral("intermediates")).toString();
    oConfig.connectTimeoutMs = intValue(oIni, "connectTimeoutMs", oConfig.connectTimeoutMs, 100, 60000);
    oConfig.requestTimeoutMs = intValue(oIni, "requestTimeoutMs", oConfig.requestTimeoutMs, 1000, 120000);
    oConfig.maxReplyBytes = qint64(intValue(oIni, "maxReplyKiB", int(oConfig.maxReplyBytes >> 10), 16, 65536)) << 10;
    oConfig.maxCrlBytes = qint64(intValue(oIni, "maxCrlKiB", int(oConfig.maxCrlBytes >> 10), 16, 262144)) << 10;
    oConfig.ocspMaxAgeHours = intValue(oIni, "ocspMaxAgeHours", oConfig.ocspMaxAgeHours, 1, 24 * 366);
    PdfLimits &oPdf = oConfig.pdf;
    oPdf.maxDocumentBytes = qint64(intValue(oIni, "pdfMaxSizeMiB", int(oPdf.maxDocumentBytes >> 20), 1, 1024)) << 20;
    oPdf.memoryMiB = intValue(oIni, "pdfMemoryMiB", oPdf.memoryMiB, 128, 16384);
    oPdf.cpuSeconds = intValue(oIni, "pdfCpuSeconds", oPdf.cpuSeconds, 1, 600);
    oPdf.wallSeconds = intValue(oIni, "pdfTimeoutSeconds", oPdf.wallSeconds, 1, 600);
    oPdf.maxObjects = intValue(oIni, "pdfMaxObjects", oPdf.maxObjects, 1000, 8388607);
    oPdf.maxPages = intValue(oIni, "pdfMaxPages", oPdf.maxPages, 1, 1000000);
    return oConfig;
}

SigningConfig SigningConfig::fromServerIni()
{
    if (!QCoreApplication::instance())
        return SigningConfig();
    const QString oIni = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath()
                         + QStringLiteral("/QuorvexCryptoProvider.ini");
    return QFileInfo::exists(oIni) ? fromIni(oIni) : SigningConfig();
}

bool SigningConfig::revocationUrlAllowed(const QUrl &v_oUrl) const
{
    if (!v_oUrl.isValid() || v_oUrl.scheme() != QLatin1String("http") || !v_oUrl.userInfo().isEmpty()
        || v_oUrl.host().isEmpty())
        return false;
    for (const QString &oEntry : revocationUrls) {
        const QUrl oAllowed(oEntry);
        if (oAllowed.scheme() != QLatin1String("http")
            || oAllowed.host().compare(v_oUrl.host(), Qt::CaseInsensitive) != 0
            || oAllowed.port(80) != v_oUrl.port(80))
            continue;
        // "/ocsp" allows "/ocsp" and "/ocsp/x", not "/ocspx"; no path allows all.
        const QString oPath = oAllowed.path(QUrl::FullyEncoded);
        const QString oAsked = v_oUrl.path(QUrl::FullyEncoded);
        if (oPath.isEmpty() || oPath == QLatin1String("/") || oAsked == oPath
            || oAsked.startsWith(oPath.endsWith(QLatin1Char('/')) ? oPath : oPath + QLatin1Char('/')))
            return true;
    }
    return false;
}

TrustAnchors TrustAnchors::fromPem(const QByteArray &v_oAnchors, const QByteArray &v_oIntermediates)
{
    TrustAnchors oAnchors;
    oAnchors.m_poStore.reset(X509_STORE_new(), X509_STORE_free);
    oAnchors.m_poIntermediates.reset(sk_X509_new_null(), [](STACK_OF(X509) *v_poStack) {
        sk_X509_pop_free(v_poStack, X509_free);
    });
    X509_STORE *poStore = oAnchors.m_poStore.get();
    addPem(v_oAnchors, [poStore](X509 *v_poCert) { X509_STORE_add_cert(poStore, v_poCert); });
    STACK_OF(X509) *poIntermediates = oAnchors.m_poIntermediates.get();
    addPem(v_oIntermediates, [poIntermediates](X509 *v_poCert) {
        X509_up_ref(v_poCert);
        sk_X509_push(poIntermediates, v_poCert);
    });
    return oAnchors;
}

TrustAnchors TrustAnchors::load(const SigningConfig &v_oConfig)
{
    const QByteArray oIntermediates =
        v_oConfig.intermediatesFile.isEmpty() ? QByteArray() : trustedFile(v_oConfig.intermediatesFile);
    if (!v_oConfig.trustAnchorsFile.isEmpty())
        return fromPem(trustedFile(v_oConfig.trustAnchorsFile), oIntermediates);
    TrustAnchors oAnchors = fromPem(QByteArray(), oIntermediates);
    X509_STORE_set_default_paths(oAnchors.m_poStore.get());
    ERR_clear_error();
    return oAnchors;
}
