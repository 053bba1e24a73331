#include "dllmodule.h"
#include "dllmodule_p.h"
#include "qtxthreadcheck.h"

#include "qtxlogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <dlfcn.h>
#include <link.h>

#include <exception>

namespace dllmodule {

// The module lock: one for every module in the process.
std::mutex g_moduleMutex;

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

QByteArray fdPath(int v_iFd)
{
    return "/proc/self/fd/" + QByteArray::number(v_iFd);
}

} // namespace dllmodule

using namespace dllmodule;

void DllModule::DeferredDelete::operator()(QLibrary *v_poLibrary) const
{
    // The handle may belong to another thread (the one that loaded the module).
    v_poLibrary->deleteLater();
}

DllModule::DllModule(const QByteArray &v_oModuleName, const ModuleLoadRules &v_oRules)
    : m_oModuleName(v_oModuleName)
    , m_oRules(v_oRules)
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
    // Reads files and runs the module's Init under the module lock.
    QTX_ASSERT_NOT_IO_THREAD();
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

    QString oProblem = folderProblem(oModuleInfo.absolutePath());
    if (oProblem.isEmpty())
        m_iLibraryFd = openTrusted(oLibraryPath, &oProblem);
    if (m_iLibraryFd < 0) {
        QTX_LOG(logger(), ERROR, pFunc) << "Module " << m_oModuleName << " refused: " << oLibraryPath
                                        << " or its folder is " << oProblem;
        return false;
    }

    if (!isLibrarySigned(oLibraryPath))
        return false;

    addAdditionalLibPathIfNeeded(v_oModulePath);
    if (!checkDependencies(oModuleInfo.absolutePath() + QLatin1Char('/') + oModuleInfo.fileName())) {
        dropLibrary();
        return false;
    }
    // The verified open file itself; the full name, or QLibrary would also try a "lib" prefix.
    m_iLibraryFd = acquireMappingFd(m_iLibraryFd);
    m_poLibrary.reset(new QLibrary(QString::fromLatin1(fdPath(m_iLibraryFd))));
    // Mapped until the process ends, whatever unload says: Qt keeps what a
    // module hands it (a font family or a metatype in its caches, a property
    // of the application object) and would read it after an unmap, at the
    // latest when the application object goes. DeInit still runs and the
    // module object still goes; a later load of the same file finds its code
    // and static data as they were (static initialisers do not run again,
    // Init does).
    m_poLibrary->setLoadHints(QLibrary::PreventUnloadHint);
    // Its deferred deletion runs on the main thread, whose loop lasts as long as
    // the process: the thread loading the module (a request worker the pool may
    // retire) may be gone when the module is unloaded, and a deletion posted to
    // it would never run.
    if (QCoreApplication *poApp = QCoreApplication::instance())
        m_poLibrary->moveToThread(poApp->thread());

    if (!loadXmlFile(v_oModulePath))
        return false;

    loadDependencies();
    if (!m_poLibrary || !m_poLibrary->load()) {
        QTX_LOG(logger(), ERROR, pFunc) << "Module library loading by QLibrary failed! Error description: "
                                        << (m_poLibrary ? m_poLibrary->errorString() : QString());
        m_bLoaded = false;
        dropLibrary();
        return false;
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Module library loaded by QLibrary.";
    m_bLoaded = true;
    if (void *pHandle = dlopen(fdPath(m_iLibraryFd).constData(), RTLD_LAZY | RTLD_NOLOAD)) {
        struct link_map *poMap = nullptr;
        if (dlinfo(pHandle, RTLD_DI_LINKMAP, &poMap) == 0)
            m_pLinkMap = poMap;
        dlclose(pHandle);
    }
    if (!initGuarded()) {
        // A failed Init leaves nothing behind: the library goes without DeInit.
        m_poLibrary->unload();
        m_bLoaded = false;
        dropLibrary();
        return false;
    }
    m_poCommands = describeCommands();

    if (!m_oRules.serverMode)
        return true;
    return canUseOnTerminalServices();
}

void DllModule::addSession(const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_oSessionIndex.contains(v_oSessionId)) {
        logSessionKnown(v_oSessionId);
        return;
    }
    m_oSessions.append(v_oSessionId);
    m_oSessionIndex.insert(v_oSessionId);
    QTX_LOG(logger(), INFO, "DllModule::addSession")
        << "session <" << qtxLogId(v_oSessionId) << "> appended to module <" << m_oModuleName << ">";
}

void DllModule::logSessionKnown(const QByteArray &v_oSessionId) const
{
    QTX_LOG(logger(), INFO, "DllModule::addSession")
        << "Module " << m_oModuleName << " already in seasion " << qtxLogId(v_oSessionId);
}

void DllModule::removeSession(const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (m_oSessionIndex.remove(v_oSessionId) && m_oSessions.removeOne(v_oSessionId)) {
        QTX_LOG(logger(), INFO, "DllModule::removeSession")
            << "session <" << qtxLogId(v_oSessionId) << "> removed from module <" << m_oModuleName << ">";
    } else {
        QTX_LOG(logger(), WARN, "DllModule::removeSession")
            << "Module " << m_oModuleName << " not used in seasion " << qtxLogId(v_oSessionId);
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
    m_oSessionIndex.clear();
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
    QTX_ASSERT_NOT_IO_THREAD();
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_bLoaded || !m_poLibrary) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oModuleName << " not loaded!";
        return false;
    }
    if (m_ulUsage != 0 || !m_oSessions.isEmpty()) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oModuleName << " can't be unloaded. Module in use!";
        return false;
    }
    m_poCommands.reset();
    m_oLateCommands.clear();
    if (!m_poLibrary->isLoaded()) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " unloaded";
        return true;
    }
    if (const auto pDeInit = reinterpret_cast<tpInitFun>(getFunctionPriv("DeInit"))) {
        UsageGuard oUsage(m_ulUsage);
        // A throwing DeInit still lets the library go.
        try {
            pDeInit();
        } catch (const std::exception &oException) {
            QTX_LOG(logger(), ERROR, pFunc) << "DeInit of module " << m_oModuleName << " threw: " << oException.what();
        } catch (...) {
            QTX_LOG(logger(), ERROR, pFunc) << "DeInit of module " << m_oModuleName << " threw";
        }
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
    m_pLinkMap = nullptr;
    // The module first, then the libraries it needed.
    releaseFd(m_iLibraryFd);
    m_iLibraryFd = -1;
    for (const Dependency &oDependency : qAsConst(m_oDependencies)) {
        dlclose(oDependency.pHandle);
        releaseFd(oDependency.iFd);
    }
    m_oDependencies.clear();
}
