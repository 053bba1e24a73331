#include "cxmlreader.h"

#include "qtxlogger.h"

bool CXmlReader::ReadFile(const QString &v_oPath, int v_iFd)
{
    const char *pFunc = "CXmlReader::ReadFile";
    m_oFilePath = v_oPath;
    m_oFile.setFileName(v_oPath);
    const bool bOpen = v_iFd >= 0 ? m_oFile.open(v_iFd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)
                                  : m_oFile.open(QIODevice::ReadOnly | QIODevice::Text);
    if (!bOpen) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "File with commands specification cannot be opened";
        return false;
    }
    m_oXmlReader.setDevice(&m_oFile);
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "Start parsing";

    m_oXmlReader.readNext();
    while (!m_oXmlReader.atEnd()) {
        if (m_oXmlReader.isStartElement()) {
            if (m_oXmlReader.name() == QLatin1String("commands"))
                ReadCommandsElement();
            else
                m_oXmlReader.raiseError(QStringLiteral("Not commands file"));
        } else {
            m_oXmlReader.readNext();
        }
    }
    m_oFile.close();

    if (m_oXmlReader.hasError()) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "Failed to parse file: " << m_oXmlReader.errorString();
        return false;
    }
    if (m_oFile.error() != QFileDevice::NoError) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "Cannot read file: " << m_oFile.errorString();
        return false;
    }
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "File parsed successfully";
    return true;
}

namespace {

// Element readers recurse once per nesting level; deeper files are refused
// rather than allowed to exhaust the thread's stack.
constexpr int kMaxDepth = 256;

struct DepthGuard
{
    explicit DepthGuard(int &v_iDepth) : m_iDepth(v_iDepth) { ++m_iDepth; }
    ~DepthGuard() { --m_iDepth; }
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;
    int &m_iDepth;
};

} // namespace

void CXmlReader::ReadChildren(Element v_eElement, const QString &v_oCommandName)
{
    const DepthGuard oDepth(m_iDepth);
    if (m_iDepth > kMaxDepth) {
        m_oXmlReader.raiseError(QStringLiteral("Elements nested too deeply"));
        return;
    }
    m_oXmlReader.readNext();
    while (!m_oXmlReader.atEnd()) {
        if (m_oXmlReader.isEndElement()) {
            m_oXmlReader.readNext();
            return;
        }
        if (!m_oXmlReader.isStartElement()) {
            m_oXmlReader.readNext();
            continue;
        }
        // The child reader leaves the stream on the token after its end tag,
        // which is examined again without reading.
        const QStringRef oName = m_oXmlReader.name();
        switch (v_eElement) {
        case Element::Commands:
            if (oName == QLatin1String("command"))
                ReadCommandElement();
            else
                SkipUnknownElement();
            break;
        case Element::Command:
            if (oName == QLatin1String("request"))
                ReadRequestElement(v_oCommandName);
            else if (oName == QLatin1String("response"))
                ReadResponseElement(v_oCommandName);
            else
                SkipUnknownElement();
            break;
        case Element::Request:
        case Element::Response:
            if (oName == QLatin1String("param"))
                ReadParamElement(v_oCommandName, v_eElement == Element::Request);
            else
                SkipUnknownElement();
            break;
        case Element::Unknown:
            SkipUnknownElement();
            break;
        }
    }
}

void CXmlReader::ReadCommandsElement()
{
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, "CXmlReader::ReadCommandsElement") << "Parse commands element";
    ReadChildren(Element::Commands, QString());
}

void CXmlReader::ReadCommandElement()
{
    const char *pFunc = "CXmlReader::ReadCommandElement";
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "Parse command element";
    const QXmlStreamAttributes oAttributes = m_oXmlReader.attributes();
    const QString oName = oAttributes.value(QLatin1String("name")).toString();
    const QString oMethod = oAttributes.value(QLatin1String("method")).toString();
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "name=" << oName << ", method=" << oMethod;
    m_oCommands.insert(oName, oMethod);
    ReadChildren(Element::Command, oName);
}

void CXmlReader::ReadRequestElement(const QString &v_oCommandName)
{
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, "CXmlReader::ReadRequestElement") << "Parse request element";
    ReadChildren(Element::Request, v_oCommandName);
}

void CXmlReader::ReadResponseElement(const QString &v_oCommandName)
{
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, "CXmlReader::ReadResponseElement") << "Parse response element";
    ReadChildren(Element::Response, v_oCommandName);
}

void CXmlReader::ReadParamElement(const QString &v_oCommandName, bool v_bIsRequest)
{
    const char *pFunc = "CXmlReader::ReadParamElement";
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "Parse param element";
    const QString oText = m_oXmlReader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, pFunc) << "param=" << oText;
    if (m_oXmlReader.isEndElement())
        m_oXmlReader.readNext();
    if (v_bIsRequest)
        m_oRequestParams.insert(v_oCommandName, oText);
    else
        m_oResponseParams.insert(v_oCommandName, oText);
}

void CXmlReader::SkipUnknownElement()
{
    QTX_LOG(ModuleToolsLogger::Instance(), INFO, "CXmlReader::SkipUnknownElement") << "Parse unknown element";
    ReadChildren(Element::Unknown, QString());
}
