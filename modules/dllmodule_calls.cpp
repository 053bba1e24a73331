// Calling a loaded module's exports: Init, the consent and GUI queries under
// the module lock, and the record of its commands made once at load.

#include "dllmodule.h"
#include "dllmodule_p.h"
#include "qtxthreadcheck.h"

#include "qtxlogger.h"

#include <QLibrary>

#include <dlfcn.h>
#include <link.h>

#include <exception>

using namespace dllmodule;

namespace {

typedef bool (*tpBoolFun)();
typedef bool (*tpFunctionQuery)(tpfun);

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

} // namespace

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
