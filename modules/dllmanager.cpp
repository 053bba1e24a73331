#include "dllmanager.h"
#include "qtxthreadcheck.h"

#include "dllmodule.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <new>

namespace {

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

} // namespace

DllManager::DllManager(const ModuleManagerConfig &v_oConfig)
    : m_oDirectories(v_oConfig.folders)
    , m_oRules(v_oConfig.rules)
{
    const char *pFunc = "DllManager::DllManager";
    for (const QString &oDirectory : qAsConst(m_oDirectories))
        QTX_LOG(logger(), NOTICE, pFunc) << "Dlls directory=" << oDirectory;
    QTX_LOG(logger(), NOTICE, pFunc) << "DllLoader created";
    // Always queued, also when emitted on the manager's own thread, so a module
    // is never unloaded inside the stack of the call that ended its session.
    connect(this, &DllManager::unloadModule, this, &DllManager::unloadModuleExecutor, Qt::QueuedConnection);
    connect(this, &DllManager::unloadIdleModule, this, &DllManager::unloadIdleModuleExecutor, Qt::QueuedConnection);
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
    m_oNames.clear();
    m_oSessionModules.clear();
    QTX_LOG(logger(), NOTICE, "DllManager::~DllManager") << "DllLoader destroyed";
}

bool DllManager::loadModuleForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return loadForSessionPriv(v_oModuleName, v_oSessionId) != nullptr;
}

DllModule *DllManager::acquireForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    DllModule *poModule = loadForSessionPriv(v_oModuleName, v_oSessionId);
    if (poModule)
        poModule->incrementUsage();
    return poModule;
}

DllModule *DllManager::tryAcquireForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    std::unique_lock<std::mutex> oGuard(m_oLock, std::try_to_lock);
    if (!oGuard.owns_lock())
        return nullptr;
    const auto itKey = m_oNames.constFind(v_oModuleName);
    if (itKey == m_oNames.constEnd() || !m_oSessionModules.contains(v_oSessionId, itKey.value()))
        return nullptr;
    DllModule *poModule = m_oModules.value(itKey.value(), nullptr);
    if (poModule)
        poModule->incrementUsage();
    return poModule;
}

void DllManager::logSessionUse(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId) const
{
    QTX_LOG(logger(), INFO, "DllManager::loadModuleForSession")
        << "v_oModuleName=" << v_oModuleName << ", v_oSessionId=" << qtxLogId(v_oSessionId);
}

void DllManager::logSessionUse(const DllModule &v_oModule, const QByteArray &v_oModuleName,
                               const QByteArray &v_oSessionId) const
{
    logSessionUse(v_oModuleName, v_oSessionId);
    v_oModule.logSessionKnown(v_oSessionId);
}

DllModule *DllManager::loadForSessionPriv(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId)
{
    logSessionUse(v_oModuleName, v_oSessionId);
    // A name that already leads to a loaded module needs no file look-up: every
    // module command of a session passes here.
    QByteArray oKey = m_oNames.value(v_oModuleName);
    DllModule *poModule = oKey.isEmpty() ? nullptr : m_oModules.value(oKey, nullptr);
    if (!poModule) {
        poModule = createModule(v_oModuleName);
        if (!poModule)
            return nullptr;
        oKey = m_oNames.value(v_oModuleName);
    }
    poModule->addSession(v_oSessionId);
    if (!m_oSessionModules.contains(v_oSessionId, oKey))
        m_oSessionModules.insert(v_oSessionId, oKey);
    return poModule;
}

bool DllManager::isValidModuleName(const QByteArray &v_oModuleName)
{
    if (v_oModuleName.isEmpty() || v_oModuleName.size() > 128)
        return false;
    for (const char c : v_oModuleName) {
        const bool bOk = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'
                         || c == '-';
        if (!bOk)
            return false;
    }
    return true;
}

DllModule *DllManager::acquireModule(const QByteArray &v_oModuleName)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    DllModule *poModule = getModulePriv(v_oModuleName);
    // Under the manager lock, which every unload holds: the module cannot go
    // between the lookup and the increment.
    if (poModule)
        poModule->incrementUsage();
    return poModule;
}

void DllManager::releaseModule(DllModule *v_poModule)
{
    if (!v_poModule)
        return;
    std::unique_lock<std::mutex> oGuard(m_oLock, std::try_to_lock);
    if (!oGuard.owns_lock()) {
        if (QThread::currentThread() != thread()) {
            // A load or unload holds the manager. The caller may be an I/O
            // thread serving other clients: the module, kept by this very
            // reference meanwhile, is given back from the manager's thread.
            QMetaObject::invokeMethod(this, [this, v_poModule] { releaseModule(v_poModule); }, Qt::QueuedConnection);
            return;
        }
        oGuard.lock();
    }
    const quint64 ulUsage = v_poModule->decrementUsage();
    if (ulUsage != 0 || !v_poModule->getSessions().isEmpty())
        return;
    // Every session that used it has ended while this call held it: the unload
    // they asked for was refused, so it is done now.
    for (auto it = m_oModules.cbegin(); it != m_oModules.cend(); ++it) {
        if (it.value() == v_poModule) {
            emit unloadIdleModule(it.key());
            return;
        }
    }
}

void DllManager::unloadIdleModuleExecutor(QByteArray v_oKey)
{
    QTX_ASSERT_OWN_THREAD(this);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    DllModule *poModule = m_oModules.value(v_oKey, nullptr);
    if (!poModule || poModule->getUsage() != 0 || !poModule->getSessions().isEmpty())
        return;
    if (poModule->unload())
        dropModulePriv(v_oKey);
}

QByteArray DllManager::resolveKey(const QByteArray &v_oModuleName) const
{
    for (const QString &oDirectory : m_oDirectories) {
        const QFileInfo oInfo(oDirectory + QDir::separator() + QString::fromLatin1(v_oModuleName)
                              + QStringLiteral(".so"));
        if (oInfo.exists()) {
            const QString oCanonical = oInfo.canonicalFilePath();
            if (!oCanonical.isEmpty())
                return QFile::encodeName(oCanonical);
        }
    }
    return QByteArray();
}

void DllManager::dropModulePriv(const QByteArray &v_oKey)
{
    delete m_oModules.take(v_oKey);
    for (auto it = m_oNames.begin(); it != m_oNames.end();) {
        if (it.value() == v_oKey)
            it = m_oNames.erase(it);
        else
            ++it;
    }
}

DllModule *DllManager::getModule(const QByteArray &v_oModuleName)
{
    QTX_LOG(logger(), INFO, "DllManager::getModule") << "v_oModuleName=" << v_oModuleName;
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return getModulePriv(v_oModuleName);
}

bool DllManager::moduleExists(const QByteArray &v_oModuleName)
{
    if (getModule(v_oModuleName))
        return true;
    return isValidModuleName(v_oModuleName) && !resolveKey(v_oModuleName).isEmpty();
}

void DllManager::unloadAllModulesForSession(const QByteArray &v_oSessionId)
{
    QTX_LOG(logger(), INFO, "DllManager::unloadAllModulesForSession") << "v_oSessionId=" << qtxLogId(v_oSessionId);
    emit unloadModule(v_oSessionId);
}

DllModule *DllManager::createModule(const QByteArray &v_oModuleName)
{
    const char *pFunc = "DllManager::createModule";
    QTX_LOG(logger(), INFO, pFunc) << "v_oModuleName=" << v_oModuleName;
    if (!isValidModuleName(v_oModuleName)) {
        QTX_LOG(logger(), WARN, pFunc) << "Module name refused: not a plain module name";
        return nullptr;
    }
    const QByteArray oKey = resolveKey(v_oModuleName);
    if (oKey.isEmpty()) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << v_oModuleName << " not found";
        return nullptr;
    }
    if (DllModule *poExisting = m_oModules.value(oKey, nullptr)) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << v_oModuleName << " already loaded";
        m_oNames.insert(v_oModuleName, oKey);
        return poExisting;
    }
    try {
        // Loaded from the library's own folder under its own name, so every name
        // that leads to this file gets the same library, command file and folder.
        const QFileInfo oCanonical(QFile::decodeName(oKey));
        QString oModulePath = oCanonical.absolutePath() + QDir::separator() + oCanonical.fileName();
        oModulePath.chop(3); // ".so"
        QTX_LOG(logger(), INFO, pFunc) << "oLibraryPath=" << oModulePath;
        auto *poModule = new DllModule(v_oModuleName, m_oRules);
        const bool bLoaded = poModule->load(oModulePath);
        QTX_LOG(logger(), INFO, pFunc) << "bLoaded=" << bLoaded;
        if (!bLoaded) {
            QTX_LOG(logger(), WARN, pFunc) << "Module " << v_oModuleName << " not found";
            // Its destructor unloads the library if loading got that far.
            delete poModule;
            return nullptr;
        }
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << v_oModuleName << " loaded";
        m_oModules.insert(oKey, poModule);
        m_oNames.insert(v_oModuleName, oKey);
        return poModule;
    } catch (const std::bad_alloc &oException) {
        QTX_LOG(logger(), ERROR, pFunc) << "Not enough memory: " << oException.what();
        return nullptr;
    }
}

DllModule *DllManager::getModulePriv(const QByteArray &v_oModuleName)
{
    const auto it = m_oNames.constFind(v_oModuleName);
    return it == m_oNames.constEnd() ? nullptr : m_oModules.value(it.value(), nullptr);
}

QList<QByteArray> DllManager::getModulesNames(const QByteArray &v_oSessionId)
{
    QTX_LOG(logger(), INFO, "DllManager::getModulesNames") << "v_oSessionId=" << qtxLogId(v_oSessionId);
    return m_oSessionModules.values(v_oSessionId);
}

void DllManager::unloadModuleExecutor(QByteArray v_oSessionId)
{
    QTX_ASSERT_OWN_THREAD(this);
    const char *pFunc = "DllManager::unloadModuleExecutor";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionID=" << qtxLogId(v_oSessionId);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    const QList<QByteArray> oNames = getModulesNames(v_oSessionId);
    bool bAllUnloaded = true;
    for (const QByteArray &oKey : oNames) {
        const DllModule *poModule = m_oModules.value(oKey, nullptr);
        const QByteArray oName = poModule ? poModule->getModuleName() : oKey;
        const bool bUnloaded = unloadModuleForSessionPriv(oKey, v_oSessionId);
        QTX_LOG(logger(), INFO, pFunc) << "Module <" << oName << "> unloaded = " << bUnloaded;
        bAllUnloaded = bAllUnloaded && bUnloaded;
    }
    QTX_LOG(logger(), INFO, pFunc) << "bAllModulesUnloaded=" << bAllUnloaded;
}

bool DllManager::unloadModuleForSessionPriv(const QByteArray &v_oKey, const QByteArray &v_oSessionId)
{
    const char *pFunc = "DllManager::unloadModuleForSessionPriv";
    DllModule *poModule = m_oModules.value(v_oKey, nullptr);
    const QByteArray oName = poModule ? poModule->getModuleName() : v_oKey;
    QTX_LOG(logger(), INFO, pFunc) << "v_oModuleName=" << oName << ", v_oSessionId=" << qtxLogId(v_oSessionId);
    if (!m_oSessionModules.contains(v_oSessionId, v_oKey)) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << oName << " not loaded for sessionId=" << qtxLogId(v_oSessionId);
        return false;
    }
    if (!poModule) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << oName << " not loaded. Don't need to unload";
        m_oSessionModules.remove(v_oSessionId, v_oKey);
        return false;
    }
    poModule->removeSession(v_oSessionId);
    // Refused while another session or a running job holds it; the last
    // releaseModule of a job then unloads it.
    const bool bUnloaded = poModule->unload();
    m_oSessionModules.remove(v_oSessionId, v_oKey);
    if (bUnloaded)
        dropModulePriv(v_oKey);
    QTX_LOG(logger(), INFO, pFunc) << "bUnloaded=" << bUnloaded;
    return bUnloaded;
}
