#include "csslconnectionhandler.h"

#include "ctlscontext.h"
#include "qtxlogger.h"
#include "uniquepass.h"

#include <openssl/ssl.h>

#include <unistd.h>

CSslConnectionHandler::CSslConnectionHandler(int v_iFd, SSL *v_poSsl, const norrweb::HttpExchange::Limits &v_oLimits,
                                             const norrweb::HttpConnectionInfo &v_oInfo, qint64 v_iNowMs)
    : m_iFd(v_iFd)
    , m_poSsl(v_poSsl)
    , m_oHttp(v_oLimits, v_oInfo)
    , m_llLastActivity(v_iNowMs)
{
}

CSslConnectionHandler::~CSslConnectionHandler()
{
    if (m_poSsl)
        SSL_free(m_poSsl);
    if (m_iFd >= 0)
        ::close(m_iFd);
}

void CSslConnectionHandler::GetKeyPassPhrase(SecurePass &v_oPassPhrase)
{
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::GetKeyPassPhrase") << "Getting KeyPassPhrase...";
    UniquePass oSource(4);
    oSource.getPassword(v_oPassPhrase);
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::GetKeyPassPhrase") << "Got KeyPassPhrase.";
}

void CSslConnectionHandler::clearCertificateCache()
{
    CTlsContext::clearCertificateCache();
}
