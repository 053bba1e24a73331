// Loading a module's files: the trusted open of the library, its folder, its
// own libraries and its command file, the signature check, and the table of
// descriptors the loader maps libraries through.

#include "dllmodule.h"
#include "dllmodule_p.h"

#include "modulekeys.h"
#include "modulereader.h"
#include "processutils.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace {

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

} // namespace

namespace dllmodule {

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

} // namespace dllmodule

using namespace dllmodule;

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
