#include "csslconnectionhandler.h"

#include "ctlscontext.h"
#include "httprequest.h"
#include "qtxlogger.h"
#include "uniquepass.h"

#include <openssl/ssl.h>

#include <cstring>
#include <unistd.h>

bool CInputBuffer::canReadLine() const
{
    return m_pos < m_size && std::memchr(m_data.constData() + m_pos, '\n', size_t(m_size - m_pos)) != nullptr;
}

char *CInputBuffer::reserve(int v_iBytes)
{
    if (m_pos == m_size) {
        // Everything was read: start over at the front.
        m_pos = m_size = 0;
        m_data.resize(0);
    } else if (m_pos > 0 && m_pos >= m_size / 2) {
        compact();
    }
    // Shrinking back in commit() keeps the allocation for the next read.
    m_data.resize(m_size + v_iBytes);
    return m_data.data() + m_size;
}

void CInputBuffer::compact()
{
    if (m_pos == 0)
        return;
    m_data.remove(0, m_pos);
    m_size -= m_pos;
    m_pos = 0;
    if (m_size == 0)
        m_data = QByteArray(); // an idle connection keeps no buffer
}

qint64 CInputBuffer::readData(char *v_pData, qint64 v_iMax)
{
    const int iCount = int(qMin<qint64>(v_iMax, m_size - m_pos));
    if (iCount <= 0)
        return 0;
    std::memcpy(v_pData, m_data.constData() + m_pos, size_t(iCount));
    m_pos += iCount;
    return iCount;
}

qint64 CInputBuffer::readLineData(char *v_pData, qint64 v_iMax)
{
    // Up to and including the first line feed, at most v_iMax bytes.
    const int iAvailable = int(qMin<qint64>(v_iMax, m_size - m_pos));
    if (iAvailable <= 0)
        return 0;
    const char *pStart = m_data.constData() + m_pos;
    const void *pFeed = std::memchr(pStart, '\n', size_t(iAvailable));
    const int iCount = pFeed ? int(static_cast<const char *>(pFeed) - pStart) + 1 : iAvailable;
    std::memcpy(v_pData, pStart, size_t(iCount));
    m_pos += iCount;
    return iCount;
}

CSslConnectionHandler::CSslConnectionHandler(int v_iFd, SSL *v_poSsl, const norrweb::HttpConnectionInfo &v_oInfo,
                                             qint64 v_iNowMs)
    : m_fd(v_iFd)
    , m_ssl(v_poSsl)
    , m_info(v_oInfo)
    , m_lastActivity(v_iNowMs)
{
}

CSslConnectionHandler::~CSslConnectionHandler()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_fd >= 0)
        ::close(m_fd);
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
