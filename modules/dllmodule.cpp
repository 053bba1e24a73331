#include "dllmodule.h"
#include "qtxthreadcheck.h"

#include "processutils.h"
#include "modulekeys.h"
#include "modulereader.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <vector>

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

// Exports that are entry points of the module, never commands.
const char *const kReservedExports[] = {"Init", "DeInit", "IsGuiFunction", "CanUnprivilegedRun",
                                        "CanUseOnTerminalServices", "_init", "_fini"};

bool isReservedExport(const QByteArray &v_oName)
{
    // Names with a leading '_' belong to the toolchain (C++ mangling, start-up code).
    if (v_oName.isEmpty() || v_oName.startsWith('_'))
        return true;
    for (const char *pName : kReservedExports) {
        if (v_oName == pName)
            return true;
    }
    return false;
}

QByteArray fdPath(int v_iFd)
{
    return "/proc/self/fd/" + QByteArray::number(v_iFd);
}

// Library files mapped through a descriptor, by file identity. The loader
// knows such a library by every name /proc/self/fd/<n> it was opened under, so
// a descriptor whose name the loader has seen stays open for as long as the
// library is mapped: the name must never come to mean another file. A file
// opened again while it is mapped is mapped through the descriptor the loader
// knows already (the new one is closed), so loading a module again and again
// keeps one descriptor per library file. Module libraries stay mapped until
// the process ends (see DllModule::load), their entries with them.
struct MappedFile
{
    dev_t uiDevice;
    ino_t uiInode;
    int iFd;
    int iUses;
};
std::mutex g_mappedMutex;
std::vector<MappedFile> g_mapped;

// The descriptor to map the checked file open at v_iFd through: the one the
// loader knows for that file, or v_iFd itself. Give it back with releaseFd.
int acquireMappingFd(int v_iFd)
{
    struct stat oStat;
    if (::fstat(v_iFd, &oStat) != 0)
        return v_iFd;
    std::lock_guard<std::mutex> oGuard(g_mappedMutex);
    for (MappedFile &oFile : g_mapped) {
        if (oFile.uiDevice == oStat.st_dev && oFile.uiInode == oStat.st_ino) {
            if (oFile.iFd != v_iFd)
                ::close(v_iFd);
            ++oFile.iUses;
            return oFile.iFd;
        }
    }
    g_mapped.push_back(MappedFile{oStat.st_dev, oStat.st_ino, v_iFd, 1});
    return v_iFd;
}

// Gives back a descriptor of a library file: closed once nothing uses it and
// the loader has the file no longer mapped. A descriptor never acquired (a
// refused file) was never shown to the loader and is closed at once.
void releaseFd(int v_iFd)
{
    if (v_iFd < 0)
        return;
    std::lock_guard<std::mutex> oGuard(g_mappedMutex);
    const auto it = std::find_if(g_mapped.begin(), g_mapped.end(),
                                 [v_iFd](const MappedFile &v_oFile) { return v_oFile.iFd == v_iFd; });
    if (it != g_mapped.end()) {
        if (--it->iUses > 0)
            return;
        if (void *pHandle = dlopen(fdPath(v_iFd).constData(), RTLD_LAZY | RTLD_NOLOAD)) {
            dlclose(pHandle);
            return;
        }
        g_mapped.erase(it);
    }
    ::close(v_iFd);
}

// Whether only the owner (this account or root) can write: group write is
// accepted for the owner's own private group (no further members).
bool groupIsPrivate(uid_t v_uiOwner, gid_t v_uiGroup)
{
    std::vector<char> oBuffer(16384);
    struct passwd oPasswd;
    struct passwd *poPasswd = nullptr;
    if (getpwuid_r(v_uiOwner, &oPasswd, oBuffer.data(), oBuffer.size(), &poPasswd) != 0 || !poPasswd
        || poPasswd->pw_gid != v_uiGroup)
        return false;
    std::vector<char> oGroupBuffer(65536);
    struct group oGroup;
    struct group *poGroup = nullptr;
    if (getgrgid_r(v_uiGroup, &oGroup, oGroupBuffer.data(), oGroupBuffer.size(), &poGroup) != 0 || !poGroup)
        return false;
    return !poGroup->gr_mem || !poGroup->gr_mem[0];
}

// Empty when the object may be trusted: owned by root or this account and
// writable by nobody else.
QString writableByOthers(const struct stat &v_oStat)
{
    if (v_oStat.st_uid != 0 && v_oStat.st_uid != geteuid())
        return QStringLiteral("owned by another account");
    if (v_oStat.st_mode & S_IWOTH)
        return QStringLiteral("writable by every account");
    if ((v_oStat.st_mode & S_IWGRP) && !groupIsPrivate(v_oStat.st_uid, v_oStat.st_gid))
        return QStringLiteral("writable by its group");
    return QString();
}

QString folderProblem(const QString &v_oFolder)
{
    struct stat oStat;
    if (::stat(QFile::encodeName(v_oFolder).constData(), &oStat) != 0 || !S_ISDIR(oStat.st_mode))
        return QStringLiteral("not a folder");
    return writableByOthers(oStat);
}

// Opens a library file for mapping; -1 with the reason when it must not be used.
int openTrusted(const QString &v_oPath, QString *v_poProblem)
{
    const int iFd = ::open(QFile::encodeName(v_oPath).constData(), O_RDONLY | O_CLOEXEC);
    if (iFd < 0) {
        *v_poProblem = QStringLiteral("cannot be opened");
        return -1;
    }
    struct stat oStat;
    if (::fstat(iFd, &oStat) != 0 || !S_ISREG(oStat.st_mode)) {
        ::close(iFd);
        *v_poProblem = QStringLiteral("not a regular file");
        return -1;
    }
    *v_poProblem = writableByOthers(oStat);
    if (!v_poProblem->isEmpty()) {
        ::close(iFd);
        return -1;
    }
    return iFd;
}

} // namespace

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

bool DllModule::isLibrarySigned(const QString &v_oLibraryPath)
{
    const char *pFunc = "DllModule::isLibrarySigned";
    const ModuleReader oReader(m_iLibraryFd, true);
    // The built-in key and the vendors' keys of the administrator's folder.
    QStringList oKeyProblems;
    const ModuleKeys oKeys = ModuleKeys::load(m_oRules.keysDir, &oKeyProblems);
    for (const QString &oProblem : oKeyProblems)
        QTX_LOG(logger(), WARN, pFunc) << "Module key not trusted: " << oProblem;
    const ModuleReader::Verdict oVerdict = oReader.verifyWith(oKeys);
    if (oVerdict.verified) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Module " << m_oModuleName << " verified. Key: " << oVerdict.keySource
                                         << " " << oVerdict.fingerprint;
        return true;
    }
    QTX_LOG(logger(), WARN, pFunc) << "Verification error: module " << m_oModuleName << " refused: " << oVerdict.why;
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
    // The environment is not changed: the loader reads LD_LIBRARY_PATH only at
    // process start, and setenv would race with getenv on module threads. The
    // folder's libraries are mapped by the module itself (loadDependencies).
    static std::mutex s_oFoldersMutex;
    static QStringList s_oFolders;
    std::lock_guard<std::mutex> oGuard(s_oFoldersMutex);
    if (s_oFolders.contains(oDir)) {
        QTX_LOG(logger(), INFO, pFunc) << "Module has additional libraries and path to them has been already added: "
                                       << oDir;
        return;
    }
    s_oFolders << oDir;
    QTX_LOG(logger(), NOTICE, pFunc) << "Adding library path to support additional module libs: " << oDir;
}

bool DllModule::checkDependencies(const QString &v_oFolder)
{
    const char *pFunc = "DllModule::checkDependencies";
    m_oDependencyFiles.clear();
    if (!QFileInfo(v_oFolder).isDir())
        return true;
    const QString oFolderProblem = folderProblem(v_oFolder);
    if (!oFolderProblem.isEmpty()) {
        QTX_LOG(logger(), ERROR, pFunc) << "Module " << m_oModuleName << " refused: its library folder " << v_oFolder
                                        << " is " << oFolderProblem;
        return false;
    }
    const QFileInfoList oEntries = QDir(v_oFolder).entryInfoList(QDir::Files | QDir::System, QDir::Name);
    for (const QFileInfo &oEntry : oEntries) {
        const QString oName = oEntry.fileName();
        if (!oName.endsWith(QLatin1String(".so")) && !oName.contains(QLatin1String(".so.")))
            continue;
        QString oProblem;
        const int iFd = openTrusted(oEntry.absoluteFilePath(), &oProblem);
        if (iFd < 0) {
            QTX_LOG(logger(), ERROR, pFunc) << "Module " << m_oModuleName << " refused: library "
                                            << oEntry.absoluteFilePath() << " is " << oProblem;
            return false;
        }
        ::close(iFd);
        m_oDependencyFiles << oEntry.absoluteFilePath();
    }
    return true;
}

void DllModule::loadDependencies()
{
    const char *pFunc = "DllModule::loadDependencies";
    // Libraries of the folder may need each other: map what can be mapped and
    // retry the rest until a round makes no progress.
    QStringList oPending = m_oDependencyFiles;
    bool bProgress = true;
    while (bProgress && !oPending.isEmpty()) {
        bProgress = false;
        for (auto it = oPending.begin(); it != oPending.end();) {
            QString oProblem;
            int iFd = openTrusted(*it, &oProblem);
            if (iFd >= 0)
                iFd = acquireMappingFd(iFd);
            // Mapped until the process ends, like the module (see load).
            void *pHandle =
                iFd >= 0 ? dlopen(fdPath(iFd).constData(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE) : nullptr;
            if (pHandle) {
                m_oDependencies.append(Dependency{pHandle, iFd});
                it = oPending.erase(it);
                bProgress = true;
            } else {
                releaseFd(iFd);
                ++it;
            }
        }
    }
    for (const QString &oFile : qAsConst(oPending))
        QTX_LOG(logger(), WARN, pFunc) << "Library " << oFile << " of module " << m_oModuleName << " not loaded";
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
    // The command file decides which functions a page may call and which run for
    // other accounts: it is trusted only on the library's terms (owned by root or
    // this account, writable by nobody else), and read from the file checked.
    QString oProblem;
    const int iFd = openTrusted(oXmlPath, &oProblem);
    if (iFd < 0) {
        dropLibrary();
        QTX_LOG(logger(), WARN, pFunc) << "Command file " << oXmlPath << " of module " << m_oModuleName
                                       << " refused: " << oProblem;
        return false;
    }
    const bool bFileLoaded = m_oXmlReader.ReadFile(oXmlPath, iFd);
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

bool DllModule::callQuery(const char *v_pSymbol, QFunctionPointer v_pFunction, tpfun v_poArgument, bool v_bOnThrow)
{
    QTX_ASSERT_NOT_IO_THREAD();
    UsageGuard oUsage(m_ulUsage);
    try {
        if (!v_poArgument && std::string(v_pSymbol) == "CanUseOnTerminalServices")
            return reinterpret_cast<tpBoolFun>(v_pFunction)();
        return reinterpret_cast<tpFunctionQuery>(v_pFunction)(v_poArgument);
    } catch (const std::exception &oException) {
        QTX_LOG(logger(), ERROR, "DllModule::callQuery")
            << v_pSymbol << " of module " << m_oModuleName << " threw: " << oException.what();
    } catch (...) {
        QTX_LOG(logger(), ERROR, "DllModule::callQuery") << v_pSymbol << " of module " << m_oModuleName << " threw";
    }
    return v_bOnThrow;
}

std::optional<bool> DllModule::askModule(const char *v_pSymbol, tpfun v_poArgument, bool v_bOnThrow)
{
    if (m_poLibrary && !m_poLibrary->isLoaded())
        initGuarded();
    const QFunctionPointer pQuery = getFunctionPriv(v_pSymbol);
    if (!pQuery)
        return std::nullopt;
    return callQuery(v_pSymbol, pQuery, v_poArgument, v_bOnThrow);
}

bool DllModule::canUseOnTerminalServices()
{
    const char *pFunc = "DllModule::canUseOnTerminalServices";
    const std::optional<bool> oAnswer = askModule("CanUseOnTerminalServices", nullptr, false);
    if (!oAnswer)
        return false;
    const bool bCanUse = *oAnswer;
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
        return nullptr;
    }
    // dlsym searches the library's dependencies as well: only what the module
    // itself defines is one of its exports.
    Dl_info oInfo;
    void *pMap = nullptr;
    if (m_pLinkMap
        && (!dladdr1(reinterpret_cast<void *>(pFunction), &oInfo, &pMap, RTLD_DL_LINKMAP) || pMap != m_pLinkMap)) {
        QTX_LOG(logger(), WARN, "DllModule::getFunctionPriv")
            << "Function \"" << v_pSymbol << "\" is not defined by module \"" << m_oModuleName << "\"";
        return nullptr;
    }
    return pFunction;
}

void DllModule::callInit()
{
    QTX_ASSERT_NOT_IO_THREAD();
    const auto pInit = reinterpret_cast<tpInitFun>(getFunctionPriv("Init"));
    if (!pInit)
        return;
    UsageGuard oUsage(m_ulUsage);
    try {
        pInit();
    } catch (const std::exception &oException) {
        QTX_LOG(logger(), ERROR, "DllModule::callInit") << "Init of module " << m_oModuleName
                                                         << " threw: " << oException.what();
        throw;
    } catch (...) {
        QTX_LOG(logger(), ERROR, "DllModule::callInit") << "Init of module " << m_oModuleName << " threw";
        throw;
    }
}

bool DllModule::initGuarded()
{
    try {
        callInit();
        return true;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<const DllModule::CommandTable> DllModule::describeCommands()
{
    // Only the command file names the functions: without one nothing is
    // described, and every command of the module goes to a worker.
    auto poTable = std::make_shared<CommandTable>();
    if (!m_bXmlLoaded)
        return poTable;
    const QFunctionPointer pQuery = getFunctionPriv("IsGuiFunction");
    const QMap<QString, QString> &oCommands = m_oXmlReader.GetCommands();
    for (auto it = oCommands.constBegin(); it != oCommands.constEnd(); ++it) {
        CommandInfo oInfo;
        oInfo.valid = true;
        oInfo.params = m_oXmlReader.GetRequestParams().values(it.key());
        oInfo.functionName = it.value();
        const QByteArray oSymbol = oInfo.functionName.toUtf8();
        oInfo.reserved = isReservedExport(oSymbol) || oSymbol.contains('\0');
        if (!oInfo.reserved)
            oInfo.function = reinterpret_cast<tpfun>(getFunctionPriv(oSymbol.constData()));
        // Asked only for a function there is, as the launcher asks.
        if (oInfo.function && pQuery) {
            oInfo.guiQueried = true;
            oInfo.gui = callQuery("IsGuiFunction", pQuery, oInfo.function, true);
        }
        poTable->commands.insert(it.key().toUtf8(), std::move(oInfo));
    }
    poTable->complete = true;
    return poTable;
}

bool DllModule::tryDescribeCommand(const QByteArray &v_oCommand, CommandInfo *v_poInfo)
{
    // Runs on I/O threads: reads the record made at load, calls nothing of the module.
    std::unique_lock<std::mutex> oGuard(g_moduleMutex, std::try_to_lock);
    if (!oGuard.owns_lock() || !m_poLibrary || !m_poLibrary->isLoaded() || !m_poCommands || !m_poCommands->complete)
        return false;
    const auto it = m_poCommands->commands.constFind(v_oCommand);
    if (it == m_poCommands->commands.constEnd()) {
        // Not in the command file: not a command, nothing to ask the module.
        *v_poInfo = CommandInfo();
        return true;
    }
    *v_poInfo = *it;
    return true;
}

DllModule::CommandInfo DllModule::describeCommand(const QByteArray &v_oCommand)
{
    QTX_ASSERT_NOT_IO_THREAD();
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_poLibrary || !m_poCommands)
        return CommandInfo();
    if (m_poCommands->complete)
        return m_poCommands->commands.value(v_oCommand);
    const auto it = m_oLateCommands.constFind(v_oCommand);
    if (it != m_oLateCommands.constEnd())
        return *it;
    // Every export is a command under its own name: only names that resolve
    // are kept, so a page's made-up names cannot grow the table.
    CommandInfo oInfo;
    oInfo.valid = true;
    oInfo.functionName = QString::fromUtf8(v_oCommand);
    oInfo.reserved = isReservedExport(v_oCommand) || v_oCommand.contains('\0');
    if (oInfo.reserved)
        return oInfo;
    oInfo.function = reinterpret_cast<tpfun>(getFunctionPriv(v_oCommand.constData()));
    if (!oInfo.function)
        return oInfo;
    if (const QFunctionPointer pQuery = getFunctionPriv("IsGuiFunction")) {
        oInfo.guiQueried = true;
        // A throwing query counts as a GUI function: the safer way to run it.
        oInfo.gui = callQuery("IsGuiFunction", pQuery, oInfo.function, true);
    }
    m_oLateCommands.insert(v_oCommand, oInfo);
    return oInfo;
}

tpfun DllModule::getFunction(const QByteArray &v_oCommand, const CommandInfo *v_poKnown)
{
    std::unique_lock<std::mutex> oGuard(g_moduleMutex, std::defer_lock);
    if (!v_poKnown)
        oGuard.lock();
    const QString oFunctionName = v_poKnown ? v_poKnown->functionName
                                  : m_bXmlLoaded ? m_oXmlReader.GetCommands().value(QString::fromUtf8(v_oCommand))
                                                 : QString::fromUtf8(v_oCommand);
    QTX_LOG(logger(), INFO, "DllModule::getFunction")
        << "function name <" << oFunctionName << "> for command <" << v_oCommand << ">";
    const QByteArray oSymbol = oFunctionName.toUtf8();
    if (v_poKnown ? v_poKnown->reserved : isReservedExport(oSymbol) || oSymbol.contains('\0')) {
        QTX_LOG(logger(), WARN, "DllModule::getFunction")
            << "Function \"" << oFunctionName << "\" of module \"" << m_oModuleName << "\" is not a command";
        return nullptr;
    }
    if (v_poKnown)
        return v_poKnown->function;
    if (m_poLibrary && !m_poLibrary->isLoaded() && !initGuarded())
        return nullptr;
    return reinterpret_cast<tpfun>(getFunctionPriv(oSymbol.constData()));
}

bool DllModule::isCommandValid(const QByteArray &v_oCommand, const CommandInfo *v_poKnown)
{
    std::unique_lock<std::mutex> oGuard(g_moduleMutex, std::defer_lock);
    if (!v_poKnown)
        oGuard.lock();
    if (v_poKnown ? v_poKnown->valid
                  : !m_bXmlLoaded || m_oXmlReader.GetCommands().contains(QString::fromUtf8(v_oCommand)))
        return true;
    QTX_LOG(logger(), WARN, "DllModule::isCommandValid")
        << "Command \"" << v_oCommand << "\" in module \"" << m_oModuleName << "\" not found.";
    return false;
}

bool DllModule::isGuiFunction(const CommandInfo &v_oInfo)
{
    if (!v_oInfo.guiQueried)
        return true;
    QTX_LOG(logger(), INFO, "DllModule::isGuiFunction") << "bGuiFunction (from module)=" << v_oInfo.gui;
    return v_oInfo.gui;
}

bool DllModule::canUnprivilegedRun(tpfun v_poFunction)
{
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    const std::optional<bool> oAnswer = askModule("CanUnprivilegedRun", v_poFunction, false);
    if (!oAnswer)
        return false;
    const bool bCanRun = *oAnswer;
    QTX_LOG(logger(), INFO, "DllModule::canUnprivilegedRun") << "bCanUnprivilegedRun (from module)=" << bCanRun;
    return bCanRun;
}

QStringList DllModule::getRequestParams(const QByteArray &v_oCommand, const CommandInfo *v_poKnown)
{
    if (v_poKnown)
        return v_poKnown->params;
    std::lock_guard<std::mutex> oGuard(g_moduleMutex);
    if (!m_bXmlLoaded)
        return QStringList();
    return m_oXmlReader.GetRequestParams().values(QString::fromUtf8(v_oCommand));
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
