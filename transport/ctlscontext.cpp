#include "ctlscontext.h"

#include "csslconnectionhandler.h"
#include "keystore.h"
#include "qtxlogger.h"
#include "secureobject.h"
#include "uniquepass.h"

#include <QFile>
#include <QPair>
#include <QSslCipher>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>

namespace {

// Certificate and key bytes, read once for the process; an entry still empty is
// read again when the next context is built.
std::mutex g_cacheMutex;
QByteArray g_certificateBytes;
QByteArray g_keyBytes;

QByteArray opensslError()
{
    char aBuffer[256];
    const unsigned long uError = ERR_get_error();
    if (uError == 0)
        return QByteArrayLiteral("unknown error");
    ERR_error_string_n(uError, aBuffer, sizeof aBuffer);
    ERR_clear_error();
    return QByteArray(aBuffer);
}

int passPhraseCallback(char *v_pBuffer, int v_iSize, int, void *v_pPass)
{
    const SecurePass *poPass = static_cast<const SecurePass *>(v_pPass);
    const int iLength = poPass->data() ? qMin(int(poPass->size()), v_iSize) : 0;
    if (iLength > 0)
        memcpy(v_pBuffer, poPass->data(), size_t(iLength));
    return iLength;
}

// Installs certificate and key; the key must open with the pass phrase and belong
// to the certificate, or every handshake would fail later without a clue.
bool useCertificateAndKey(SSL_CTX *v_poContext, const QByteArray &v_oCertPem, const QByteArray &v_oKeyPem,
                          SecurePass &v_oPass)
{
    BIO *poCertBio = BIO_new_mem_buf(v_oCertPem.constData(), v_oCertPem.size());
    BIO *poKeyBio = BIO_new_mem_buf(v_oKeyPem.constData(), v_oKeyPem.size());
    X509 *poCert = poCertBio ? PEM_read_bio_X509(poCertBio, nullptr, nullptr, nullptr) : nullptr;
    // The pass phrase is copied straight into OpenSSL's buffer: no further clear-text copy.
    EVP_PKEY *poKey = poKeyBio ? PEM_read_bio_PrivateKey(poKeyBio, nullptr, passPhraseCallback, &v_oPass) : nullptr;
    bool bOk = poCert && poKey && SSL_CTX_use_certificate(v_poContext, poCert) == 1
               && SSL_CTX_use_PrivateKey(v_poContext, poKey) == 1 && SSL_CTX_check_private_key(v_poContext) == 1;
    EVP_PKEY_free(poKey);
    X509_free(poCert);
    BIO_free(poKeyBio);
    BIO_free(poCertBio);
    ERR_clear_error();
    return bOk;
}

// The account's own key store first; the files the INI names only when the
// store has no certificate and key (an install provisioned the old way, tests).
QPair<QString, QString> certificateAndKeyFiles(const CTlsContext::Config &v_oConfig, const char *v_pLogFunction)
{
    const auto oPaths = qMakePair(v_oConfig.certificateFile, v_oConfig.keyFile);
    const QString oCert = KeyStore::certificatePath();
    const QString oKey = KeyStore::keyPath();
    if (QFile::exists(oCert) && QFile::exists(oKey)) {
        QTX_LOG(QTXLogger::Instance(), INFO, v_pLogFunction) << "Certificate and key of this account: " << oCert << ", " << oKey;
        // What a client has to trust, at the default level (a -console run shows it on its terminal).
        QTX_LOG(QTXLogger::Instance(), NOTICE, v_pLogFunction) << "Authority of this account: " << KeyStore::authorityPath();
        const QString oWhy = KeyStore::privacyProblem(oKey);
        if (!oWhy.isEmpty())
            QTX_LOG(QTXLogger::Instance(), WARN, v_pLogFunction) << "The key file is not this account's alone: " << oWhy;
        return qMakePair(oCert, oKey);
    }
    QTX_LOG(QTXLogger::Instance(), NOTICE, v_pLogFunction)
        << "No certificate and key in " << KeyStore::folder() << ": using " << oPaths.first << ", " << oPaths.second;
    return oPaths;
}

} // namespace

void CTlsContext::clearCertificateCache()
{
    std::lock_guard<std::mutex> oGuard(g_cacheMutex);
    g_certificateBytes.clear();
    g_keyBytes.clear();
}

CTlsContext::~CTlsContext()
{
    SSL_CTX_free(m_poContext);
}

std::shared_ptr<CTlsContext> CTlsContext::create(const Config &v_oConfig, const char *v_pLogFunction)
{
    std::shared_ptr<CTlsContext> poResult(new CTlsContext);
    SSL_CTX *poContext = SSL_CTX_new(TLS_server_method());
    if (!poContext) {
        QTX_LOG(QTXLogger::Instance(), ERROR, v_pLogFunction) << "SslError: " << opensslError();
        return poResult;
    }
    poResult->m_poContext = poContext;
    SSL_CTX_set_min_proto_version(poContext, TLS1_2_VERSION);
    // No renegotiation: a client could otherwise make the server do handshakes at will.
    SSL_CTX_set_options(poContext, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    // Partial writes keep memory per connection small. A connection keeps its
    // buffers while it is busy; the reactor frees those of idle ones.
    SSL_CTX_set_mode(poContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Read as much as the socket holds in one call, not a record header and then its body.
    SSL_CTX_set_read_ahead(poContext, 1);
    SSL_CTX_set_verify(poContext, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(poContext, SSL_SESS_CACHE_SERVER);
    static const unsigned char kSessionContext[] = "qtx";
    SSL_CTX_set_session_id_context(poContext, kSessionContext, sizeof kSessionContext - 1);

    QByteArray oCertBytes;
    QByteArray oKeyBytes;
    {
        std::lock_guard<std::mutex> oGuard(g_cacheMutex);
        if (g_certificateBytes.isEmpty() || g_keyBytes.isEmpty()) {
            const auto oPaths = certificateAndKeyFiles(v_oConfig, v_pLogFunction);
            if (QFile::exists(oPaths.first) && QFile::exists(oPaths.second)) {
                QFile oCert(oPaths.first);
                QFile oKey(oPaths.second);
                if (oCert.open(QIODevice::ReadOnly))
                    g_certificateBytes = oCert.readAll();
                if (oKey.open(QIODevice::ReadOnly))
                    g_keyBytes = oKey.readAll();
            }
        }
        oCertBytes = g_certificateBytes;
        oKeyBytes = g_keyBytes;
    }
    if (!oCertBytes.isEmpty() && !oKeyBytes.isEmpty()) {
        SecurePass oPass;
        CSslConnectionHandler::GetKeyPassPhrase(oPass);
        if (!useCertificateAndKey(poContext, oCertBytes, oKeyBytes, oPass))
            QTX_LOG(QTXLogger::Instance(), WARN, v_pLogFunction)
                << "The key does not open with this account's pass phrase or does not match the certificate";
        oPass.release();
    } else {
        QTX_LOG(QTXLogger::Instance(), WARN, v_pLogFunction) << "Cert file not found";
        QTX_LOG(QTXLogger::Instance(), WARN, v_pLogFunction) << "Key file not found";
    }

    QByteArray oCipherList;
    for (const QSslCipher &oCipher : v_oConfig.ciphers) {
        if (!oCipherList.isEmpty())
            oCipherList += ':';
        oCipherList += oCipher.name().toLatin1();
    }
    if (oCipherList.isEmpty() || SSL_CTX_set_cipher_list(poContext, oCipherList.constData()) != 1) {
        ERR_clear_error();
        QTX_LOG(QTXLogger::Instance(), ERROR, v_pLogFunction) << "EnabledCipherList is empty";
        return poResult;
    }
    poResult->m_bHasCiphers = true;
    return poResult;
}
