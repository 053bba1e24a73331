#include "dllmodule.h"

#include "csettings.h"
#include "processutils.h"
#include "modulereader.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <mutex>

namespace {

// The module lock: one for every module in the process.
std::mutex g_moduleMutex;

typedef bool (*tpBoolFun)();
typedef bool (*tpFunctionQuery)(tpfun);

// Counts one call into the library for as long as it runs, also when it throws.
// Used with the module lock held.
class UsageGuard
{
public:
    explicit UsageGuard(quint64 &v_ulUsage) : m_ulUsage(v_ulUsage) { ++m_ulUsage; }
    ~UsageGuard() { --m_ulUsage; }
    UsageGuard(const UsageGuard &) = delete;
    UsageGuard &operator=(const UsageGuard &) = delete;

private:
    quint64 &m_ulUsage;
};

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

} // namespace

void DllModule::DeferredDelete::operator()(QLibrary *v_poLibrary) const
{
    // The handle may belong to another thread (the one that loaded the module).
    v_poLibrary->deleteLater();
}

DllModule::DllModule(const QByteArray &v_oModuleName)
    : m_oModuleName(v_oModuleName)
{
    QTX_LOG(logger(), INFO, "DllModule::setModuleName") << "v_oModuleName=" << m_oModuleName;
}

DllModule::~DllModule()
{
    {
        std::lock_guard<std::mutex> oGuard(g_moduleMutex);
        clearSessionsPriv();
    }
    if (m_bLoaded)
        unload();
}

bool DllModule::load(const QString &v_oModulePath)
{
    const char *pFunc = "DllModule::load";
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    QTX_LOG(logger(), INFO, pFunc) << "v_oModulePath=" << v_oModulePath;

    const QFileInfo oModuleInfo(v_oModulePath);
    const QString oLibraryPath =
        oModuleInfo.absolutePath() + QDir::separator() + oModuleInfo.fileName() + QStringLiteral(".so");
    if (!QFileInfo::exists(oLibraryPath)) {
        QTX_LOG(logger(), WARN, pFunc) << "File " << oLibraryPath << " not found!";
        return false;
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " found. File=" << oLibraryPath;

    if (!isLibrarySigned(oLibraryPath))
        return false;

    addAdditionalLibPathIfNeeded(v_oModulePath);
    // The full file name: QLibrary would otherwise also try a "lib" prefix.
    m_poLibrary.reset(new QLibrary(oLibraryPath));

    if (!loadXmlFile(v_oModulePath))
        return false;

    if (!m_poLibrary || !m_poLibrary->load()) {
        QTX_LOG(logger(), ERROR, pFunc) << "Module library loading by QLibrary failed! Error description: "
                                        << (m_poLibrary ? m_poLibrary->errorString() : QString());
        m_bLoaded = false;
        return false;
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Module library loaded by QLibrary.";
    m_bLoaded = true;
    callInit();

    if (!CSettings::Instance()->ReadWindowsServerMode())
        return true;
    return canUseOnTerminalServices();
}

bool DllModule::isLibrarySigned(const QString &v_oLibraryPath)
{
    const char *pFunc = "DllModule::isLibrarySigned";
    const ModuleReader oReader(v_oLibraryPath, true);
    if (oReader.verify()) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " verified.";
        return true;
    }
    QTX_LOG(logger(), WARN, pFunc) << "Verification error: "
                                   << (oReader.isOk() ? "the signature does not match the built-in key"
                                                      : "no consistent signature block");
    const QString oMessage = QStringLiteral("File ") + v_oLibraryPath + QStringLiteral(" is not verified module file!!!");
    QTX_LOG(logger(), ERROR, pFunc) << oMessage;
    QString oSource = QCoreApplication::applicationName();
    if (oSource.isEmpty())
        oSource = QString::fromLatin1(kQtxApplicationName);
    try {
        createProcessUtils()->reportEventLogError(oSource, oMessage);
    } catch (const std::exception &oException) {
        QTX_LOG(logger(), WARN, pFunc) << "Exception: " << oException.what();
    }
    dropLibrary();
    return false;
}

void DllModule::addAdditionalLibPathIfNeeded(const QString &v_oModulePath)
{
    const char *pFunc = "DllModule::addAdditionalLibPathIfNeeded";
    const QFileInfo oModuleInfo(v_oModulePath);
    const QString oDir = oModuleInfo.absolutePath() + QLatin1Char('/') + oModuleInfo.fileName();
    if (!QFileInfo(oDir).isDir()) {
        QTX_LOG(logger(), INFO, pFunc) << "Module lib doesn't have any additional libs";
        return;
    }
    try {
        const std::unique_ptr<ProcessUtils> poUtils = createProcessUtils();
        if (poUtils->getLibraryPath().toUtf8().contains(oDir.toUtf8())) {
            QTX_LOG(logger(), INFO, pFunc)
                << "Module has additional libraries and path to them has been already added: " << oDir;
            return;
        }
        QTX_LOG(logger(), NOTICE, pFunc) << "Adding library path to support additional module libs: " << oDir;
        poUtils->appendToLibraryPath(oDir);
    } catch (const std::exception &oException) {
        QTX_LOG(logger(), WARN, pFunc) << "Exception: " << oException.what();
    }
}

bool DllModule::loadXmlFile(const QString &v_oModulePath)
{
    const char *pFunc = "DllModule::loadXmlFile";
    const QString oXmlPath = QFileInfo(v_oModulePath).fileName().contains(QLatin1Char('.'))
                                 ? v_oModulePath
                                 : v_oModulePath + QStringLiteral(".xml");
    if (!QFileInfo::exists(oXmlPath)) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " loaded without Xml file.";
        m_bXmlLoaded = false;
        return true;
    }
    const bool bFileLoaded = m_oXmlReader.ReadFile(oXmlPath);
    QTX_LOG(logger(), INFO, pFunc) << "bFileLoaded=" << bFileLoaded;
    m_bXmlLoaded = bFileLoaded;
    if (!bFileLoaded) {
        dropLibrary();
        QTX_LOG(logger(), WARN, pFunc) << "Error when parsing xml file for module " << m_oModuleName;
        return false;
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Xml file for module " << m_oModuleName << " loaded.";
    return true;
}

bool DllModule::canUseOnTerminalServices()
{
    const char *pFunc = "DllModule::canUseOnTerminalServices";
    if (m_poLibrary && !m_poLibrary->isLoaded())
        callInit();
    const auto pFunction = reinterpret_cast<tpBoolFun>(getFunctionPriv("CanUseOnTerminalServices"));
    if (!pFunction)
        return false;
    bool bCanUse = false;
    {
        UsageGuard oUsage(m_ulUsage);
        bCanUse = pFunction();
    }
    if (!bCanUse)
        QTX_LOG(logger(), WARN, pFunc) << "bCanUseOnTerminalServices (from module)=" << bCanUse;
    return bCanUse;
}

QFunctionPointer DllModule::getFunctionPriv(const char *v_pSymbol)
{
    // Resolving loads the library if it is not loaded.
    const QFunctionPointer pFunction = m_poLibrary ? m_poLibrary->resolve(v_pSymbol) : nullptr;
    if (!pFunction) {
        QTX_LOG(logger(), WARN, "DllModule::getFunctionPriv")
            << "Problem with resolving function \"" << v_pSymbol << "\" from module \"" << m_oModuleName
            << "\". Error: " << (m_poLibrary ? m_poLibrary->errorString() : QStringLiteral("no library handle"));
    }
    return pFunction;
}

void DllModule::callInit()
{
    const auto pInit = reinterpret_cast<tpInitFun>(getFunctionPriv("Init"));
    if (!pInit)
        return;
    UsageGuard oUsage(m_ulUsage);
    pInit();
}

tpfun DllModule::getFunction(const QByteArray &v_oCommand)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    const QString oCommand = QString::fromUtf8(v_oCommand);
    const QString oFunctionName = m_bXmlLoaded ? m_oXmlReader.GetCommands().value(oCommand) : oCommand;
    QTX_LOG(logger(), INFO, "DllModule::getFunction")
        << "function name <" << oFunctionName << "> for command <" << v_oCommand << ">";
    if (m_poLibrary && !m_poLibrary->isLoaded())
        callInit();
    return reinterpret_cast<tpfun>(getFunctionPriv(oFunctionName.toUtf8().constData()));
}

bool DllModule::isCommandValid(const QByteArray &v_oCommand)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_bXmlLoaded || m_oXmlReader.GetCommands().contains(QString::fromUtf8(v_oCommand)))
        return true;
    QTX_LOG(logger(), WARN, "DllModule::isCommandValid")
        << "Command \"" << v_oCommand << "\" in module \"" << m_oModuleName << "\" not found.";
    return false;
}

bool DllModule::isGuiFunction(tpfun v_poFunction)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_poLibrary && !m_poLibrary->isLoaded())
        callInit();
    const auto pQuery = reinterpret_cast<tpFunctionQuery>(getFunctionPriv("IsGuiFunction"));
    if (!pQuery)
        return true;
    bool bGuiFunction = true;
    {
        UsageGuard oUsage(m_ulUsage);
        bGuiFunction = pQuery(v_poFunction);
    }
    QTX_LOG(logger(), INFO, "DllModule::isGuiFunction") << "bGuiFunction (from module)=" << bGuiFunction;
    return bGuiFunction;
}

bool DllModule::canUnprivilegedRun(tpfun v_poFunction)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_poLibrary && !m_poLibrary->isLoaded())
        callInit();
    const auto pQuery = reinterpret_cast<tpFunctionQuery>(getFunctionPriv("CanUnprivilegedRun"));
    if (!pQuery)
        return false;
    bool bCanRun = false;
    {
        UsageGuard oUsage(m_ulUsage);
        bCanRun = pQuery(v_poFunction);
    }
    QTX_LOG(logger(), INFO, "DllModule::canUnprivilegedRun") << "bCanUnprivilegedRun (from module)=" << bCanRun;
    return bCanRun;
}

QStringList DllModule::getRequestParams(const QByteArray &v_oCommand)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_bXmlLoaded)
        return QStringList();
    return m_oXmlReader.GetRequestParams().values(QString::fromUtf8(v_oCommand));
}

void DllModule::addSession(const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_oSessions.contains(v_oSessionId)) {
        QTX_LOG(logger(), INFO, "DllModule::addSession")
            << "Module " << m_oModuleName << " already in seasion " << v_oSessionId;
        return;
    }
    m_oSessions.append(v_oSessionId);
    QTX_LOG(logger(), INFO, "DllModule::addSession")
        << "session <" << v_oSessionId << "> appended to module <" << m_oModuleName << ">";
}

void DllModule::removeSession(const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_oSessions.removeAll(v_oSessionId) > 0) {
        QTX_LOG(logger(), INFO, "DllModule::removeSession")
            << "session <" << v_oSessionId << "> removed from module <" << m_oModuleName << ">";
    } else {
        QTX_LOG(logger(), WARN, "DllModule::removeSession")
            << "Module " << m_oModuleName << " not used in seasion " << v_oSessionId;
    }
}

void DllModule::clearSessions()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    clearSessionsPriv();
}

void DllModule::clearSessionsPriv()
{
    m_oSessions.clear();
    QTX_LOG(logger(), INFO, "DllModule::clearSessions") << "session list cleared";
}

QList<QByteArray> DllModule::getSessions()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    return m_oSessions;
}

quint64 DllModule::getUsage()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    return m_ulUsage;
}

bool DllModule::isLoaded()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    return m_bLoaded;
}

quint64 DllModule::incrementUsage()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    return ++m_ulUsage;
}

quint64 DllModule::decrementUsage()
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    return --m_ulUsage;
}

bool DllModule::unload()
{
    const char *pFunc = "DllModule::unload";
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_bLoaded || !m_poLibrary) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oModuleName << " not loaded!";
        return false;
    }
    if (m_ulUsage != 0 || !m_oSessions.isEmpty()) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oModuleName << " can't be unloaded. Module in use!";
        return false;
    }
    if (!m_poLibrary->isLoaded()) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " unloaded";
        return true;
    }
    if (const auto pDeInit = reinterpret_cast<tpInitFun>(getFunctionPriv("DeInit"))) {
        UsageGuard oUsage(m_ulUsage);
        pDeInit();
    }
    if (!m_poLibrary->unload()) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oModuleName
                                       << " can't be unloaded. Error: " << m_poLibrary->errorString();
        return false;
    }
    m_bLoaded = false;
    dropLibrary();
    QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " unloaded";
    return true;
}

void DllModule::dropLibrary()
{
    m_poLibrary.reset();
}
