#include "peheaderdata.h"

#include "qtxlogger.h"

#include <QFile>

namespace {

// Little-endian 32-bit value at v_iPos, or false when it would lie outside the mapping.
bool readU32(const uchar *v_pData, qint64 v_iSize, qint64 v_iPos, quint32 *v_puiValue)
{
    if (v_iPos < 0 || v_iPos > v_iSize - 4)
        return false;
    const uchar *p = v_pData + v_iPos;
    *v_puiValue = quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
    return true;
}

} // namespace

PEHeaderData::PEHeaderData(QFile *v_poFile)
    : m_poFile(v_poFile)
{
}

void PEHeaderData::loadData()
{
    const char *pFunc = "PEHeaderData::loadData";
    if (!m_poFile) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "File pointer is empty!";
        return;
    }
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc)
        << "Checking position of authenticode signature in file: " << m_poFile->fileName();
    if (!m_poFile->isOpen()) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "File isn't open";
        return;
    }
    const qint64 iSize = m_poFile->size();
    uchar *pData = iSize > 0 ? m_poFile->map(0, iSize) : nullptr;
    if (!pData) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "Couldn't map file";
        return;
    }

    bool bValid = iSize >= 2 && pData[0] == 'M' && pData[1] == 'Z';
    quint32 uiLfanew = 0, uiHeaderSize = 0, uiSecurityPos = 0, uiSecuritySize = 0;
    bValid = bValid && readU32(pData, iSize, kLfanewOffset, &uiLfanew)
             && readU32(pData, iSize, qint64(uiLfanew) + kSizeOfHeadersOffset, &uiHeaderSize)
             && readU32(pData, iSize, qint64(uiLfanew) + kSecurityDirOffset, &uiSecurityPos)
             && readU32(pData, iSize, qint64(uiLfanew) + kSecurityDirSizeOffset, &uiSecuritySize);
    // The positions read are used as file offsets later: they must lie in the file too.
    if (bValid && (qint64(uiHeaderSize) > iSize || (uiSecuritySize != 0 && qint64(uiSecurityPos) > iSize)))
        bValid = false;
    if (bValid) {
        m_iHeaderSize = uiHeaderSize;
        m_iAuthenticodePosition = uiSecuritySize != 0 ? qint64(uiSecurityPos) : 0;
    } else {
        QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "Invalid PE file header";
    }
    m_poFile->unmap(pData);

    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc)
        << "Authenticode signature position: " << m_iAuthenticodePosition;
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "PEHeader size: " << m_iHeaderSize;
}
