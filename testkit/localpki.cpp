#include "localpki.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>

namespace {

bool write(const QString &v_oPath, const QByteArray &v_oData)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oData) == v_oData.size();
}

struct Issued
{
    const char *name;
    const char *issuer;
    const char *section;
    int serial;
    bool revoked;
    bool rsa;
};

// Everything but the root, in the order they are made.
const Issued kIssued[] = {
    {"issuing", "root", "issuing", 0x10, false, false},
    {"ocsp", "issuing", "ocsp", 0x20, false, false},
    {"tsa", "issuing", "tsa", 0x21, false, false},
    {"signer", "issuing", "signer", 0x30, false, false},
    {"revoked", "issuing", "signer", 0x31, true, false},
    {"crlsigner", "issuing", "crlsigner", 0x32, false, false},
    {"crlrevoked", "issuing", "crlsigner", 0x33, true, false},
    {"rsa", "issuing", "signer", 0x34, false, true},
};

} // namespace

LocalPki::LocalPki(const QString &v_oFolder) : m_folder(v_oFolder)
{
    m_responder.setWorkingDirectory(m_folder);
    m_responder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_responder.start(QStringLiteral("/usr/bin/python3"),
                      {QStringLiteral(QTX_TESTKIT_SOURCE_DIR "/pkiresponder.py"), m_folder});
    QElapsedTimer oClock;
    oClock.start();
    while (!m_responder.canReadLine() && oClock.elapsed() < 10000 && m_responder.state() != QProcess::NotRunning)
        m_responder.waitForReadyRead(500);
    if (!m_responder.canReadLine()) {
        m_error = QStringLiteral("the responder did not start: %1").arg(m_responder.errorString());
        return;
    }
    m_port = quint16(m_responder.readLine().trimmed().toUInt());
    if (m_port == 0)
        m_error = QStringLiteral("the responder named no port");
    else if (!make() && m_error.isEmpty())
        m_error = QStringLiteral("the certificates could not be made");
}

LocalPki::~LocalPki()
{
    if (m_responder.state() == QProcess::NotRunning)
        return;
    m_responder.closeWriteChannel();
    if (!m_responder.waitForFinished(5000)) {
        m_responder.kill();
        m_responder.waitForFinished(5000);
    }
}

QString LocalPki::url(const QString &v_oPath) const
{
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(v_oPath);
}

QByteArray LocalPki::certificateDer(const QString &v_oName) const
{
    QByteArray oDer;
    openssl({QStringLiteral("x509"), QStringLiteral("-in"), v_oName + QStringLiteral(".pem"), QStringLiteral("-outform"),
             QStringLiteral("DER")},
            &oDer);
    return oDer;
}

int LocalPki::openssl(const QStringList &v_oArguments, QByteArray *v_poOutput) const
{
    QProcess oProcess;
    oProcess.setWorkingDirectory(m_folder);
    if (!v_poOutput)
        oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.start(QStringLiteral("openssl"), v_oArguments);
    const bool bDone = oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit;
    if (v_poOutput)
        *v_poOutput = oProcess.readAllStandardOutput();
    return bDone ? oProcess.exitCode() : -1;
}

bool LocalPki::make()
{
    const QString oBase = url(QString());
    const QByteArray oExtensions = QStringLiteral(
        "[issuing]\nbasicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\ncrlDistributionPoints=URI:%1root.crl\n"
        "[ocsp]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=OCSPSigning\nnoCheck=ignored\n"
        "[tsa]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n"
        "authorityInfoAccess=OCSP;URI:%1ocsp\n"
        "[signer]\nkeyUsage=critical,digitalSignature,nonRepudiation\nsubjectKeyIdentifier=hash\n"
        "authorityKeyIdentifier=keyid\nauthorityInfoAccess=OCSP;URI:%1ocsp\n"
        "[crlsigner]\nkeyUsage=critical,digitalSignature,nonRepudiation\ncrlDistributionPoints=URI:%1issuing.crl\n")
                                        .arg(oBase)
                                        .toLatin1();
    const QByteArray oCa = "[ca_root]\ndatabase=root-index.txt\ncrlnumber=root-crlnumber\ncertificate=root.pem\n"
                           "private_key=root.key\ndefault_md=sha256\ndefault_crl_days=7\n"
                           "[ca_issuing]\ndatabase=index.txt\ncrlnumber=issuing-crlnumber\ncertificate=issuing.pem\n"
                           "private_key=issuing.key\ndefault_md=sha256\ndefault_crl_days=7\n";
    const QByteArray oTsaCommon = "serial=./tsaserial\ncrypto_device=builtin\nsigner_cert=./tsa.pem\n"
                                  "certs=./issuing.pem\nsigner_key=./tsa.key\nsigner_digest=sha256\n"
                                  "default_policy=1.2.3.4.1\nother_policies=1.2.3.4.5\naccuracy=secs:1\n"
                                  "ordering=yes\ntsa_name=yes\ness_cert_id_chain=no\ness_cert_id_alg=sha256\n";
    const QByteArray oTsa = "[tsa_main]\n" + oTsaCommon + "digests=sha256,sha384,sha512\n[tsa_sha512]\n" + oTsaCommon
                            + "digests=sha512\n";
    if (!write(file(QStringLiteral("ext.cnf")), oExtensions) || !write(file(QStringLiteral("ca.cnf")), oCa)
        || !write(file(QStringLiteral("tsa.cnf")), oTsa) || !write(file(QStringLiteral("tsaserial")), "01\n")
        || !write(file(QStringLiteral("root-index.txt")), QByteArray())
        || !write(file(QStringLiteral("root-crlnumber")), "01\n")
        || !write(file(QStringLiteral("issuing-crlnumber")), "01\n"))
        return false;

    const auto key = [this](const QString &v_oName, bool v_bRsa) {
        return openssl({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), v_bRsa ? QStringLiteral("RSA") : QStringLiteral("EC"),
                        QStringLiteral("-pkeyopt"),
                        v_bRsa ? QStringLiteral("rsa_keygen_bits:2048") : QStringLiteral("ec_paramgen_curve:P-256"),
                        QStringLiteral("-out"), v_oName + QStringLiteral(".key")})
               == 0;
    };
    if (!key(QStringLiteral("root"), false)
        || openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-new"), QStringLiteral("-key"),
                    QStringLiteral("root.key"), QStringLiteral("-subj"), QStringLiteral("/O=QTX Tests/CN=QTX Test Root CA"),
                    QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-out"), QStringLiteral("root.pem"),
                    QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                    QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")})
               != 0)
        return false;

    QByteArray oIndex;
    const QByteArray oExpiry = QDateTime::currentDateTimeUtc().addDays(800).toString(QStringLiteral("yyMMddHHmmss'Z'")).toLatin1();
    const QByteArray oRevokedAt = QDateTime::currentDateTimeUtc().addDays(-1).toString(QStringLiteral("yyMMddHHmmss'Z'")).toLatin1();
    for (const Issued &oCert : kIssued) {
        const QString oName = QLatin1String(oCert.name);
        const QString oSubject = QStringLiteral("/O=QTX Tests/CN=QTX Test %1").arg(oName);
        if (!key(oName, oCert.rsa)
            || openssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"), oName + QStringLiteral(".key"),
                        QStringLiteral("-subj"), oSubject, QStringLiteral("-out"), oName + QStringLiteral(".csr")})
                   != 0
            || openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), oName + QStringLiteral(".csr"),
                        QStringLiteral("-CA"), QLatin1String(oCert.issuer) + QStringLiteral(".pem"), QStringLiteral("-CAkey"),
                        QLatin1String(oCert.issuer) + QStringLiteral(".key"), QStringLiteral("-set_serial"),
                        QString::number(oCert.serial), QStringLiteral("-days"), QStringLiteral("800"),
                        QStringLiteral("-extfile"), QStringLiteral("ext.cnf"), QStringLiteral("-extensions"),
                        QLatin1String(oCert.section), QStringLiteral("-sha256"), QStringLiteral("-out"),
                        oName + QStringLiteral(".pem")})
                   != 0)
            return false;
        if (qstrcmp(oCert.issuer, "issuing") == 0)
            oIndex += (oCert.revoked ? "R\t" : "V\t") + oExpiry + '\t' + (oCert.revoked ? oRevokedAt : QByteArray()) + '\t'
                      + QByteArray::number(oCert.serial, 16).toUpper().rightJustified(2, '0') + "\tunknown\t"
                      + oSubject.toLatin1() + '\n';
    }
    if (!write(file(QStringLiteral("index.txt")), oIndex))
        return false;
    for (const char *pCa : {"root", "issuing"}) {
        const QString oName = QLatin1String(pCa);
        if (openssl({QStringLiteral("ca"), QStringLiteral("-gencrl"), QStringLiteral("-config"), QStringLiteral("ca.cnf"),
                     QStringLiteral("-name"), QStringLiteral("ca_") + oName, QStringLiteral("-out"), oName + QStringLiteral(".crl.pem")})
                != 0
            || openssl({QStringLiteral("crl"), QStringLiteral("-in"), oName + QStringLiteral(".crl.pem"), QStringLiteral("-outform"),
                        QStringLiteral("DER"), QStringLiteral("-out"), oName + QStringLiteral(".crl")})
                   != 0)
            return false;
    }
    return true;
}
