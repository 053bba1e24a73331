#include "dllmanager.h"

#include "csettings.h"
#include "dllmodule.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <new>

namespace {

std::mutex g_instanceMutex;
DllManager *g_instance = nullptr;

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

} // namespace

DllManager *DllManager::GetInstance()
{
    std::lock_guard<std::mutex> oGuard(g_instanceMutex);
    if (!g_instance) {
        try {
            g_instance = new DllManager();
        } catch (const std::bad_alloc &oException) {
            QTX_LOG(logger(), ERROR, "DllManager::GetInstance") << "Not enough memory: " << oException.what();
            return nullptr;
        }
        if (QCoreApplication *poApp = QCoreApplication::instance())
            g_instance->moveToThread(poApp->thread());
    }
    return g_instance;
}

DllManager::DllManager()
{
    const char *pFunc = "DllManager::DllManager";
    if (CSettings *poSettings = CSettings::Instance()) {
        m_oDirectories = poSettings->ReadDllLoaderDirPaths();
        for (const QString &oDirectory : qAsConst(m_oDirectories))
            QTX_LOG(logger(), NOTICE, pFunc) << "Dlls directory=" << oDirectory;
    } else {
        QTX_LOG(logger(), ERROR, pFunc) << "Problem with Settings module.";
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "DllLoader created";
    // Always queued, also when emitted on the manager's own thread, so a module
    // is never unloaded inside the stack of the call that ended its session.
    connect(this, &DllManager::unloadModule, this, &DllManager::unloadModuleExecutor, Qt::QueuedConnection);
}

DllManager::~DllManager()
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    for (DllModule *poModule : qAsConst(m_oModules)) {
        poModule->clearSessions();
        poModule->unload();
        delete poModule;
    }
    m_oModules.clear();
    m_oSessionModules.clear();
    QTX_LOG(logger(), NOTICE, "DllManager::~DllManager") << "DllLoader destroyed";
}

bool DllManager::loadModuleForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    QTX_LOG(logger(), INFO, "DllManager::loadModuleForSession")
        << "v_oModuleName=" << v_oModuleName << ", v_oSessionId=" << v_oSessionId;
    std::lock_guard<std::mutex> oGuard(m_oLock);
    DllModule *poModule = createModule(v_oModuleName);
    if (!poModule)
        return false;
    poModule->addSession(v_oSessionId);
    if (!m_oSessionModules.contains(v_oSessionId, v_oModuleName))
        m_oSessionModules.insert(v_oSessionId, v_oModuleName);
    return true;
}

DllModule *DllManager::getModule(const QByteArray &v_oModuleName)
{
    QTX_LOG(logger(), INFO, "DllManager::getModule") << "v_oModuleName=" << v_oModuleName;
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return getModulePriv(v_oModuleName);
}

void DllManager::unloadAllModulesForSession(const QByteArray &v_oSessionId)
{
    QTX_LOG(logger(), INFO, "DllManager::unloadAllModulesForSession") << "v_oSessionId=" << v_oSessionId;
    emit unloadModule(v_oSessionId);
}

DllModule *DllManager::createModule(const QByteArray &v_oModuleName)
{
    const char *pFunc = "DllManager::createModule";
    QTX_LOG(logger(), INFO, pFunc) << "v_oModuleName=" << v_oModuleName;
    if (DllModule *poExisting = m_oModules.value(v_oModuleName, nullptr)) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << v_oModuleName << " already loaded";
        return poExisting;
    }
    try {
        auto *poModule = new DllModule(v_oModuleName);
        bool bLoaded = false;
        for (const QString &oDirectory : qAsConst(m_oDirectories)) {
            const QString oLibraryPath = oDirectory + QDir::separator() + QString::fromUtf8(v_oModuleName);
            QTX_LOG(logger(), INFO, pFunc) << "oLibraryPath=" << oLibraryPath;
            bLoaded = poModule->load(oLibraryPath);
            QTX_LOG(logger(), INFO, pFunc) << "bLoaded=" << bLoaded;
            if (bLoaded)
                break;
        }
        if (!bLoaded) {
            QTX_LOG(logger(), WARN, pFunc) << "Module " << v_oModuleName << " not found";
            // Its destructor unloads the library if loading got that far.
            delete poModule;
            return nullptr;
        }
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << v_oModuleName << " loaded";
        m_oModules.insert(v_oModuleName, poModule);
        return poModule;
    } catch (const std::bad_alloc &oException) {
        QTX_LOG(logger(), ERROR, pFunc) << "Not enough memory: " << oException.what();
        return nullptr;
    }
}

DllModule *DllManager::getModulePriv(const QByteArray &v_oModuleName)
{
    return m_oModules.value(v_oModuleName, nullptr);
}

QList<QByteArray> DllManager::getModulesNames(const QByteArray &v_oSessionId)
{
    QTX_LOG(logger(), INFO, "DllManager::getModulesNames") << "v_oSessionId=" << v_oSessionId;
    return m_oSessionModules.values(v_oSessionId);
}

void DllManager::unloadModuleExecutor(QByteArray v_oSessionId)
{
    const char *pFunc = "DllManager::unloadModuleExecutor";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionID=" << v_oSessionId;
    std::lock_guard<std::mutex> oGuard(m_oLock);
    const QList<QByteArray> oNames = getModulesNames(v_oSessionId);
    bool bAllUnloaded = true;
    for (const QByteArray &oName : oNames) {
        const bool bUnloaded = unloadModuleForSessionPriv(oName, v_oSessionId);
        QTX_LOG(logger(), INFO, pFunc) << "Module <" << oName << "> unloaded = " << bUnloaded;
        bAllUnloaded = bAllUnloaded && bUnloaded;
    }
    QTX_LOG(logger(), INFO, pFunc) << "bAllModulesUnloaded=" << bAllUnloaded;
}

bool DllManager::unloadModuleForSessionPriv(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    const char *pFunc = "DllManager::unloadModuleForSessionPriv";
    QTX_LOG(logger(), INFO, pFunc) << "v_oModuleName=" << v_oModuleName << ", v_oSessionId=" << v_oSessionId;
    if (!m_oSessionModules.contains(v_oSessionId, v_oModuleName)) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << v_oModuleName << " not loaded for sessionId=" << v_oSessionId;
        return false;
    }
    DllModule *poModule = getModulePriv(v_oModuleName);
    if (!poModule) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << v_oModuleName << " not loaded. Don't need to unload";
        return false;
    }
    poModule->removeSession(v_oSessionId);
    const bool bUnloaded = poModule->unload();
    m_oSessionModules.remove(v_oSessionId, v_oModuleName);
    if (bUnloaded) {
        delete poModule;
        m_oModules.remove(v_oModuleName);
    }
    QTX_LOG(logger(), INFO, pFunc) << "bUnloaded=" << bUnloaded;
    return bUnloaded;
}
