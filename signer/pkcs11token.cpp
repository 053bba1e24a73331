#include "pkcs11token.h"

#include "signersettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::mutex Pkcs11Context::s_mutex;

namespace {

QByteArray errorJson(const char *v_pCode, const QString &v_oMessage, const QJsonObject &v_oExtra)
{
    QJsonObject oObject = v_oExtra;
    oObject.insert(QStringLiteral("error"), QString::fromLatin1(v_pCode));
    oObject.insert(QStringLiteral("message"), v_oMessage);
    return QJsonDocument(oObject).toJson(QJsonDocument::Compact);
}

// PKCS#11 fixed-size text fields are blank-padded, not terminated.
QString padded(const CK_UTF8CHAR *v_pText, size_t v_ulSize)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(v_pText), static_cast<int>(v_ulSize)).trimmed();
}

TokenInfo tokenInfo(const CK_TOKEN_INFO &v_oInfo)
{
    TokenInfo oToken;
    oToken.label = padded(v_oInfo.label, sizeof v_oInfo.label);
    oToken.manufacturer = padded(v_oInfo.manufacturerID, sizeof v_oInfo.manufacturerID);
    oToken.model = padded(v_oInfo.model, sizeof v_oInfo.model);
    oToken.serial = padded(v_oInfo.serialNumber, sizeof v_oInfo.serialNumber);
    oToken.flags = v_oInfo.flags;
    return oToken;
}

// Reads one variable-length attribute; empty when absent.
QByteArray attribute(CK_FUNCTION_LIST *v_poModule, CK_SESSION_HANDLE v_uiSession, CK_OBJECT_HANDLE v_uiObject,
                     CK_ATTRIBUTE_TYPE v_uiType)
{
    CK_ATTRIBUTE oAttr{v_uiType, nullptr, 0};
    if (v_poModule->C_GetAttributeValue(v_uiSession, v_uiObject, &oAttr, 1) != CKR_OK
        || oAttr.ulValueLen == CK_UNAVAILABLE_INFORMATION || oAttr.ulValueLen > 1 << 20)
        return QByteArray();
    QByteArray oValue(static_cast<int>(oAttr.ulValueLen), '\0');
    oAttr.pValue = oValue.data();
    if (v_poModule->C_GetAttributeValue(v_uiSession, v_uiObject, &oAttr, 1) != CKR_OK)
        return QByteArray();
    oValue.truncate(static_cast<int>(oAttr.ulValueLen));
    return oValue;
}

std::vector<CK_OBJECT_HANDLE> findObjects(CK_FUNCTION_LIST *v_poModule, CK_SESSION_HANDLE v_uiSession,
                                          CK_ATTRIBUTE *v_poTemplate, CK_ULONG v_uiCount)
{
    std::vector<CK_OBJECT_HANDLE> oObjects;
    CK_RV uiRv = v_poModule->C_FindObjectsInit(v_uiSession, v_poTemplate, v_uiCount);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_FindObjectsInit");
    CK_OBJECT_HANDLE aBatch[32];
    CK_ULONG uiFound = 0;
    while ((uiRv = v_poModule->C_FindObjects(v_uiSession, aBatch, 32, &uiFound)) == CKR_OK && uiFound > 0
           && oObjects.size() < 4096)
        oObjects.insert(oObjects.end(), aBatch, aBatch + uiFound);
    v_poModule->C_FindObjectsFinal(v_uiSession);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_FindObjects");
    return oObjects;
}

// A read-only session that closes itself.
class Session
{
public:
    Session(CK_FUNCTION_LIST *v_poModule, CK_SLOT_ID v_uiSlot) : m_poModule(v_poModule)
    {
        const CK_RV uiRv = m_poModule->C_OpenSession(v_uiSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &m_ulHandle);
        if (uiRv != CKR_OK)
            throwForRv(uiRv, "C_OpenSession");
    }
    ~Session()
    {
        if (m_bLoggedIn)
            m_poModule->C_Logout(m_ulHandle);
        m_poModule->C_CloseSession(m_ulHandle);
    }
    CK_SESSION_HANDLE handle() const { return m_ulHandle; }
    bool m_bLoggedIn = false;

private:
    CK_FUNCTION_LIST *m_poModule;
    CK_SESSION_HANDLE m_ulHandle = 0;
};

// The configured module, opened once: the checks below apply to the file the
// descriptor holds, and the library is loaded through that descriptor, so no
// other file can take its place between the check and the load.
struct CheckedFile
{
    int fd = -1;
    struct stat info {};
    QString name;
    QString problem;
    ~CheckedFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void openChecked(const QString &v_oPath, CheckedFile *v_poFile)
{
    v_poFile->name = QFileInfo(v_oPath).fileName();
    if (!QDir::isAbsolutePath(v_oPath)) {
        v_poFile->problem = QStringLiteral("not an absolute path");
        return;
    }
    v_poFile->fd = ::open(QFile::encodeName(v_oPath).constData(), O_RDONLY | O_CLOEXEC);
    if (v_poFile->fd < 0 || ::fstat(v_poFile->fd, &v_poFile->info) != 0) {
        v_poFile->problem = QStringLiteral("cannot be opened");
        return;
    }
    if (!S_ISREG(v_poFile->info.st_mode))
        v_poFile->problem = QStringLiteral("not a regular file");
    else if (v_poFile->info.st_uid != 0 && v_poFile->info.st_uid != ::geteuid())
        v_poFile->problem = QStringLiteral("owned by another account");
    else if (v_poFile->info.st_mode & (S_IWGRP | S_IWOTH))
        v_poFile->problem = QStringLiteral("writable by group or others");
}

} // namespace

SignerError::SignerError(const char *v_pCode, const QString &v_oMessage, const QJsonObject &v_oExtra)
    : std::runtime_error(errorJson(v_pCode, v_oMessage, v_oExtra).toStdString()), m_oCode(v_pCode)
{
}

QString ckrName(CK_RV v_uiRv)
{
#define QTX_CKR(name) {name, #name}
    static const std::pair<CK_RV, const char *> kNames[] = {
        QTX_CKR(CKR_OK), QTX_CKR(CKR_CANCEL), QTX_CKR(CKR_HOST_MEMORY), QTX_CKR(CKR_SLOT_ID_INVALID),
        QTX_CKR(CKR_GENERAL_ERROR), QTX_CKR(CKR_FUNCTION_FAILED), QTX_CKR(CKR_ARGUMENTS_BAD),
        QTX_CKR(CKR_CANT_LOCK), QTX_CKR(CKR_ATTRIBUTE_TYPE_INVALID), QTX_CKR(CKR_DATA_INVALID),
        QTX_CKR(CKR_DATA_LEN_RANGE), QTX_CKR(CKR_DEVICE_ERROR), QTX_CKR(CKR_DEVICE_MEMORY),
        QTX_CKR(CKR_DEVICE_REMOVED), QTX_CKR(CKR_FUNCTION_CANCELED), QTX_CKR(CKR_FUNCTION_NOT_SUPPORTED),
        QTX_CKR(CKR_KEY_HANDLE_INVALID), QTX_CKR(CKR_KEY_SIZE_RANGE), QTX_CKR(CKR_KEY_TYPE_INCONSISTENT),
        QTX_CKR(CKR_KEY_FUNCTION_NOT_PERMITTED), QTX_CKR(CKR_MECHANISM_INVALID),
        QTX_CKR(CKR_MECHANISM_PARAM_INVALID), QTX_CKR(CKR_OBJECT_HANDLE_INVALID), QTX_CKR(CKR_OPERATION_ACTIVE),
        QTX_CKR(CKR_OPERATION_NOT_INITIALIZED), QTX_CKR(CKR_PIN_INCORRECT), QTX_CKR(CKR_PIN_INVALID),
        QTX_CKR(CKR_PIN_LEN_RANGE), QTX_CKR(CKR_PIN_EXPIRED), QTX_CKR(CKR_PIN_LOCKED), QTX_CKR(CKR_SESSION_CLOSED),
        QTX_CKR(CKR_SESSION_COUNT), QTX_CKR(CKR_SESSION_HANDLE_INVALID), QTX_CKR(CKR_TOKEN_NOT_PRESENT),
        QTX_CKR(CKR_TOKEN_NOT_RECOGNIZED), QTX_CKR(CKR_USER_ALREADY_LOGGED_IN), QTX_CKR(CKR_USER_NOT_LOGGED_IN),
        QTX_CKR(CKR_USER_PIN_NOT_INITIALIZED), QTX_CKR(CKR_USER_TYPE_INVALID),
        QTX_CKR(CKR_USER_ANOTHER_ALREADY_LOGGED_IN), QTX_CKR(CKR_BUFFER_TOO_SMALL),
        QTX_CKR(CKR_CRYPTOKI_NOT_INITIALIZED), QTX_CKR(CKR_CRYPTOKI_ALREADY_INITIALIZED),
        QTX_CKR(CKR_LIBRARY_LOAD_FAILED), QTX_CKR(CKR_FUNCTION_REJECTED)};
#undef QTX_CKR
    for (const auto &oName : kNames) {
        if (oName.first == v_uiRv)
            return QString::fromLatin1(oName.second);
    }
    return QStringLiteral("0x%1").arg(v_uiRv, 0, 16);
}

void throwForRv(CK_RV v_uiRv, const char *v_pWhat, CK_FLAGS v_uiFlags)
{
    const QString oDetail = QStringLiteral("%1 returned %2").arg(QLatin1String(v_pWhat), ckrName(v_uiRv));
    QJsonObject oPinState;
    if (v_uiFlags & CKF_USER_PIN_FINAL_TRY)
        oPinState.insert(QStringLiteral("triesLeft"), QStringLiteral("final"));
    else if (v_uiFlags & CKF_USER_PIN_COUNT_LOW)
        oPinState.insert(QStringLiteral("triesLeft"), QStringLiteral("low"));
    switch (v_uiRv) {
    case CKR_PIN_INCORRECT:
        throw SignerError("PIN_INCORRECT", QStringLiteral("The PIN is wrong."), oPinState);
    case CKR_PIN_LOCKED:
        throw SignerError("PIN_LOCKED", QStringLiteral("The PIN is locked; unblock it with the PUK or the card's tool."));
    case CKR_PIN_LEN_RANGE:
        throw SignerError("PIN_INCORRECT", QStringLiteral("The PIN has the wrong length."), oPinState);
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_RECOGNIZED:
        throw SignerError("TOKEN_REMOVED", QStringLiteral("The token was removed: ") + oDetail);
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("The token refuses this algorithm: ") + oDetail);
    case CKR_FUNCTION_CANCELED:
        throw SignerError("CANCELLED", QStringLiteral("The operation was cancelled on the token."));
    default:
        throw SignerError("TOKEN_ERROR", oDetail);
    }
}

Pkcs11Context::Pkcs11Context() : m_oLock(s_mutex)
{
    std::vector<std::pair<dev_t, ino_t>> oRegisteredFiles;
    m_poRegistered = p11_kit_modules_load(nullptr, 0);
    for (CK_FUNCTION_LIST **ppModule = m_poRegistered; ppModule && *ppModule; ++ppModule) {
        char *pFile = p11_kit_module_get_filename(*ppModule);
        ModuleReport oReport;
        oReport.source = QStringLiteral("p11-kit");
        oReport.loaded = true;
        if (pFile) {
            oReport.name = QFileInfo(QFile::decodeName(pFile)).fileName();
            struct stat oStat {};
            if (::stat(pFile, &oStat) == 0)
                oRegisteredFiles.emplace_back(oStat.st_dev, oStat.st_ino);
        }
        std::free(pFile);
        // Trust-policy modules carry the system's CA certificates, no keys.
        char *pTrust = p11_kit_config_option(*ppModule, "trust-policy");
        const bool bTrust = pTrust && (qstrcmp(pTrust, "yes") == 0 || qstrcmp(pTrust, "true") == 0);
        std::free(pTrust);
        if (bTrust)
            continue;
        const CK_RV uiRv = p11_kit_module_initialize(*ppModule);
        oReport.initialize = ckrName(uiRv);
        if (uiRv == CKR_OK) {
            m_oInitialised.push_back(*ppModule);
            collectSlots(*ppModule, &oReport);
        }
        m_oReports.push_back(oReport);
    }
    loadExtraModule(oRegisteredFiles);
}

void Pkcs11Context::loadExtraModule(const std::vector<std::pair<dev_t, ino_t>> &v_oRegistered)
{
    const QString oPath = SignerSettings::read().pkcs11Module;
    if (oPath.isEmpty())
        return;
    CheckedFile oFile;
    openChecked(oPath, &oFile);
    ModuleReport oReport;
    oReport.name = oFile.name;
    oReport.source = QStringLiteral("configured");
    if (oFile.problem.isEmpty()) {
        for (const auto &oId : v_oRegistered) {
            if (oId.first == oFile.info.st_dev && oId.second == oFile.info.st_ino)
                return; // p11-kit has it already; it is in the list above
        }
        const QByteArray oByDescriptor = "/proc/self/fd/" + QByteArray::number(oFile.fd);
        m_poExtra = p11_kit_module_load(oByDescriptor.constData(), 0);
        if (!m_poExtra)
            oReport.problem = QStringLiteral("p11_kit_module_load failed");
    } else {
        oReport.problem = QStringLiteral("refused: ") + oFile.problem;
    }
    if (m_poExtra) {
        oReport.loaded = true;
        const CK_RV uiRv = p11_kit_module_initialize(m_poExtra);
        oReport.initialize = ckrName(uiRv);
        if (uiRv == CKR_OK) {
            collectSlots(m_poExtra, &oReport);
        } else {
            p11_kit_module_release(m_poExtra);
            m_poExtra = nullptr;
        }
    }
    m_oReports.push_back(oReport);
}

Pkcs11Context::~Pkcs11Context()
{
    for (CK_FUNCTION_LIST *poModule : m_oInitialised)
        p11_kit_module_finalize(poModule);
    if (m_poRegistered)
        p11_kit_modules_release(m_poRegistered);
    if (m_poExtra) {
        p11_kit_module_finalize(m_poExtra);
        p11_kit_module_release(m_poExtra);
    }
}

void Pkcs11Context::collectSlots(CK_FUNCTION_LIST *v_poModule, ModuleReport *v_poReport)
{
    CK_ULONG uiCount = 0;
    CK_RV uiRv = v_poModule->C_GetSlotList(CK_FALSE, nullptr, &uiCount);
    if (uiRv == CKR_OK)
        v_poReport->slotCount = static_cast<int>(uiCount);
    uiCount = 0;
    if (uiRv == CKR_OK)
        uiRv = v_poModule->C_GetSlotList(CK_TRUE, nullptr, &uiCount);
    if (uiRv != CKR_OK) {
        v_poReport->problem = QStringLiteral("C_GetSlotList: ") + ckrName(uiRv);
        return;
    }
    std::vector<CK_SLOT_ID> oIds(uiCount);
    if (uiCount > 0 && (uiRv = v_poModule->C_GetSlotList(CK_TRUE, oIds.data(), &uiCount)) != CKR_OK) {
        v_poReport->problem = QStringLiteral("C_GetSlotList: ") + ckrName(uiRv);
        return;
    }
    oIds.resize(std::min<size_t>(uiCount, oIds.size()));
    for (CK_SLOT_ID uiSlot : oIds) {
        CK_TOKEN_INFO oInfo{};
        if ((uiRv = v_poModule->C_GetTokenInfo(uiSlot, &oInfo)) != CKR_OK) {
            v_poReport->problem = QStringLiteral("C_GetTokenInfo: ") + ckrName(uiRv);
            continue;
        }
        // An uninitialised token holds nothing to sign with.
        if (!(oInfo.flags & CKF_TOKEN_INITIALIZED))
            continue;
        ++v_poReport->tokenCount;
        m_oSlots.push_back(Slot{v_poModule, uiSlot, tokenInfo(oInfo)});
    }
}

QJsonArray Pkcs11Context::reportJson() const
{
    QJsonArray oModules;
    for (const ModuleReport &oReport : m_oReports) {
        QJsonObject oModule;
        oModule.insert(QStringLiteral("module"), oReport.name);
        oModule.insert(QStringLiteral("source"), oReport.source);
        oModule.insert(QStringLiteral("loaded"), oReport.loaded);
        oModule.insert(QStringLiteral("initialize"), oReport.initialize);
        oModule.insert(QStringLiteral("slots"), oReport.slotCount);
        oModule.insert(QStringLiteral("tokens"), oReport.tokenCount);
        if (!oReport.problem.isEmpty())
            oModule.insert(QStringLiteral("problem"), oReport.problem);
        oModules.append(oModule);
    }
    return oModules;
}

QString Pkcs11Context::reportText() const
{
    QStringList oParts;
    for (const ModuleReport &oReport : m_oReports) {
        QString oPart = QStringLiteral("%1 (%2): ").arg(oReport.name, oReport.source);
        if (!oReport.loaded)
            oPart += QStringLiteral("not loaded");
        else if (oReport.initialize != QLatin1String("CKR_OK"))
            oPart += QStringLiteral("C_Initialize ") + (oReport.initialize.isEmpty() ? QStringLiteral("not called")
                                                                                     : oReport.initialize);
        else
            oPart += QStringLiteral("%1 slot(s), %2 with a token").arg(oReport.slotCount).arg(oReport.tokenCount);
        if (!oReport.problem.isEmpty())
            oPart += QStringLiteral(", ") + oReport.problem;
        oParts << oPart;
    }
    return oParts.isEmpty() ? QStringLiteral("no PKCS#11 module is registered or configured") : oParts.join(QStringLiteral("; "));
}

QList<CertificateEntry> Pkcs11Context::certificates()
{
    QList<CertificateEntry> oEntries;
    for (int i = 0; i < static_cast<int>(m_oSlots.size()); ++i) {
        const Slot &oSlot = m_oSlots[static_cast<size_t>(i)];
        try {
            Session oSession(oSlot.module, oSlot.id);
            CK_OBJECT_CLASS uiKeyClass = CKO_PRIVATE_KEY;
            CK_ATTRIBUTE aKeyTemplate[] = {{CKA_CLASS, &uiKeyClass, sizeof uiKeyClass}};
            QList<QByteArray> oKeyIds;
            for (CK_OBJECT_HANDLE uiKey : findObjects(oSlot.module, oSession.handle(), aKeyTemplate, 1))
                oKeyIds << attribute(oSlot.module, oSession.handle(), uiKey, CKA_ID);
            // Tokens that need a log-in usually hide private keys until then: a
            // certificate with an id may then still have its key there.
            const bool bKeysHidden = oKeyIds.isEmpty() && (oSlot.token.flags & CKF_LOGIN_REQUIRED);

            CK_OBJECT_CLASS uiCertClass = CKO_CERTIFICATE;
            CK_CERTIFICATE_TYPE uiCertType = CKC_X_509;
            CK_ATTRIBUTE aCertTemplate[] = {{CKA_CLASS, &uiCertClass, sizeof uiCertClass},
                                            {CKA_CERTIFICATE_TYPE, &uiCertType, sizeof uiCertType}};
            for (CK_OBJECT_HANDLE uiCert : findObjects(oSlot.module, oSession.handle(), aCertTemplate, 2)) {
                CertificateEntry oEntry;
                oEntry.ckaId = attribute(oSlot.module, oSession.handle(), uiCert, CKA_ID);
                oEntry.der = attribute(oSlot.module, oSession.handle(), uiCert, CKA_VALUE);
                if (oEntry.der.isEmpty() || oEntry.ckaId.isEmpty())
                    continue;
                if (!oKeyIds.contains(oEntry.ckaId) && !bKeysHidden)
                    continue;
                oEntry.token = oSlot.token;
                oEntry.slotIndex = i;
                oEntries << oEntry;
            }
        } catch (const SignerError &) {
            // A token that vanished or fails while listing contributes nothing.
        }
    }
    // Tokens may hand out their objects in any order; the picker gets a stable one.
    std::sort(oEntries.begin(), oEntries.end(), [](const CertificateEntry &v_oA, const CertificateEntry &v_oB) {
        return std::make_pair(v_oA.token.label, v_oA.der) < std::make_pair(v_oB.token.label, v_oB.der);
    });
    return oEntries;
}

CK_FLAGS Pkcs11Context::currentFlags(const CertificateEntry &v_oEntry)
{
    const Slot &oSlot = m_oSlots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_TOKEN_INFO oInfo{};
    const CK_RV uiRv = oSlot.module->C_GetTokenInfo(oSlot.id, &oInfo);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_GetTokenInfo");
    return oInfo.flags;
}

bool Pkcs11Context::supportsMechanism(const CertificateEntry &v_oEntry, CK_MECHANISM_TYPE v_uiType)
{
    const Slot &oSlot = m_oSlots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_MECHANISM_INFO oInfo{};
    return oSlot.module->C_GetMechanismInfo(oSlot.id, v_uiType, &oInfo) == CKR_OK && (oInfo.flags & CKF_SIGN);
}

namespace {

CK_RV login(CK_FUNCTION_LIST *v_poModule, CK_SESSION_HANDLE v_uiSession, CK_USER_TYPE v_uiUser,
            const SecretBuffer *v_poPin)
{
    // The module reads the PIN from our buffer in place: no copy is made here.
    return v_poModule->C_Login(v_uiSession, v_uiUser,
                               v_poPin ? reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(v_poPin->data())) : nullptr,
                               v_poPin ? static_cast<CK_ULONG>(v_poPin->size()) : 0);
}

// A refused PIN as the page's error, with the tries the token reports now.
[[noreturn]] void throwForPin(CK_FUNCTION_LIST *v_poModule, CK_SLOT_ID v_uiSlot, CK_RV v_uiRv, const char *v_pWhat)
{
    CK_TOKEN_INFO oInfo{};
    v_poModule->C_GetTokenInfo(v_uiSlot, &oInfo);
    if (oInfo.flags & CKF_USER_PIN_LOCKED)
        throwForRv(CKR_PIN_LOCKED, v_pWhat);
    throwForRv(v_uiRv, v_pWhat, oInfo.flags);
}

bool isPinRefusal(CK_RV v_uiRv)
{
    return v_uiRv == CKR_PIN_INCORRECT || v_uiRv == CKR_PIN_LEN_RANGE;
}

bool attributeTrue(CK_FUNCTION_LIST *v_poModule, CK_SESSION_HANDLE v_uiSession, CK_OBJECT_HANDLE v_uiObject,
                   CK_ATTRIBUTE_TYPE v_uiType)
{
    CK_BBOOL bValue = CK_FALSE;
    CK_ATTRIBUTE oAttr{v_uiType, &bValue, sizeof bValue};
    return v_poModule->C_GetAttributeValue(v_uiSession, v_uiObject, &oAttr, 1) == CKR_OK && bValue == CK_TRUE;
}

} // namespace

QByteArray Pkcs11Context::sign(const CertificateEntry &v_oEntry, const SecretBuffer *v_poPin,
                               const SignMechanism &v_oMechanism, const QByteArray &v_oData, const PinAgain &v_oAgain)
{
    QByteArray oSignature;
    signEach(v_oEntry, v_poPin, v_oMechanism, v_oAgain,
             [&](const SignInSession &v_oSign) { oSignature = v_oSign(v_oData); });
    return oSignature;
}

void Pkcs11Context::signEach(const CertificateEntry &v_oEntry, const SecretBuffer *v_poPin,
                             const SignMechanism &v_oMechanism, const PinAgain &v_oAgain,
                             const std::function<void(const SignInSession &)> &v_oWork)
{
    const Slot &oSlot = m_oSlots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_FUNCTION_LIST *poModule = oSlot.module;
    Session oSession(poModule, oSlot.id);
    CK_RV uiRv = login(poModule, oSession.handle(), CKU_USER, v_poPin);
    if (uiRv == CKR_USER_ALREADY_LOGGED_IN) {
        // Someone (another program on a shared card, an earlier session) left
        // the token logged in: without a fresh log-in the PIN just typed would
        // never be checked.
        poModule->C_Logout(oSession.handle());
        uiRv = login(poModule, oSession.handle(), CKU_USER, v_poPin);
    }
    if (isPinRefusal(uiRv))
        throwForPin(poModule, oSlot.id, uiRv, "C_Login");
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_Login");
    oSession.m_bLoggedIn = true;

    CK_OBJECT_CLASS uiKeyClass = CKO_PRIVATE_KEY;
    QByteArray oCkaId = v_oEntry.ckaId;
    CK_ATTRIBUTE aTemplate[] = {{CKA_CLASS, &uiKeyClass, sizeof uiKeyClass},
                                {CKA_ID, oCkaId.data(), static_cast<CK_ULONG>(oCkaId.size())}};
    const std::vector<CK_OBJECT_HANDLE> oKeys = findObjects(poModule, oSession.handle(), aTemplate, 2);
    if (oKeys.empty())
        throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("The token has no private key for this certificate."));
    const bool bAlwaysAuthenticate = attributeTrue(poModule, oSession.handle(), oKeys.front(), CKA_ALWAYS_AUTHENTICATE);

    CK_MECHANISM oMechanism{v_oMechanism.type, nullptr, 0};
    CK_RSA_PKCS_PSS_PARAMS oPss = v_oMechanism.pss;
    if (v_oMechanism.usePss) {
        oMechanism.pParameter = &oPss;
        oMechanism.ulParameterLen = sizeof oPss;
    }
    SecretBuffer oSignaturePin; // the separate signature PIN, once asked for
    const SignInSession oSign = [&](const QByteArray &v_oData) {
        CK_RV uiSignRv = poModule->C_SignInit(oSession.handle(), &oMechanism, oKeys.front());
        if (uiSignRv != CKR_OK)
            throwForRv(uiSignRv, "C_SignInit");
        if (bAlwaysAuthenticate) {
            // Qualified signature keys want the PIN for each operation as well.
            // The PIN just typed is tried first; a token with a separate signature
            // PIN refuses it and the user is asked for that one (a PIN pad asks itself).
            const SecretBuffer *poPin = v_poPin && !oSignaturePin.empty() ? &oSignaturePin : v_poPin;
            uiSignRv = login(poModule, oSession.handle(), CKU_CONTEXT_SPECIFIC, poPin);
            for (int iTry = 0; v_poPin && isPinRefusal(uiSignRv) && iTry < 3; ++iTry) {
                CK_TOKEN_INFO oInfo{};
                poModule->C_GetTokenInfo(oSlot.id, &oInfo);
                if (oInfo.flags & CKF_USER_PIN_LOCKED)
                    throwForRv(CKR_PIN_LOCKED, "C_Login");
                oSignaturePin.clear();
                if (!v_oAgain || !v_oAgain(&oSignaturePin, oInfo.flags))
                    throw SignerError("CANCELLED", QStringLiteral("The user did not give the signature PIN."));
                uiSignRv = login(poModule, oSession.handle(), CKU_CONTEXT_SPECIFIC, &oSignaturePin);
            }
            if (isPinRefusal(uiSignRv)) {
                oSignaturePin.clear();
                throwForPin(poModule, oSlot.id, uiSignRv, "C_Login (context-specific)");
            }
            if (uiSignRv != CKR_OK)
                throwForRv(uiSignRv, "C_Login (context-specific)");
        }
        QByteArray oData = v_oData;
        CK_ULONG uiLength = 0;
        uiSignRv = poModule->C_Sign(oSession.handle(), reinterpret_cast<CK_BYTE *>(oData.data()),
                                    static_cast<CK_ULONG>(oData.size()), nullptr, &uiLength);
        if (uiSignRv != CKR_OK)
            throwForRv(uiSignRv, "C_Sign");
        QByteArray oSignature(static_cast<int>(uiLength), '\0');
        uiSignRv = poModule->C_Sign(oSession.handle(), reinterpret_cast<CK_BYTE *>(oData.data()),
                                    static_cast<CK_ULONG>(oData.size()), reinterpret_cast<CK_BYTE *>(oSignature.data()),
                                    &uiLength);
        if (uiSignRv != CKR_OK)
            throwForRv(uiSignRv, "C_Sign");
        oSignature.truncate(static_cast<int>(uiLength));
        return oSignature;
    };
    try {
        v_oWork(oSign);
    } catch (...) {
        oSignaturePin.clear();
        throw;
    }
    oSignaturePin.clear();
}
