#include "pkcs11token.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
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
QString padded(const CK_UTF8CHAR *v_pText, size_t v_uSize)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(v_pText), static_cast<int>(v_uSize)).trimmed();
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

QString certificateId(const TokenInfo &v_oToken, const QByteArray &v_oDer)
{
    QCryptographicHash oHash(QCryptographicHash::Sha256);
    for (const QString &oPart : {v_oToken.manufacturer, v_oToken.model, v_oToken.serial}) {
        oHash.addData(oPart.toUtf8());
        oHash.addData(QByteArray(1, '\0'));
    }
    oHash.addData(v_oDer);
    return QString::fromLatin1(oHash.result().left(20).toHex());
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
    Session(CK_FUNCTION_LIST *v_poModule, CK_SLOT_ID v_uiSlot) : m_module(v_poModule)
    {
        const CK_RV uiRv = m_module->C_OpenSession(v_uiSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &m_handle);
        if (uiRv != CKR_OK)
            throwForRv(uiRv, "C_OpenSession");
    }
    ~Session()
    {
        if (m_loggedIn)
            m_module->C_Logout(m_handle);
        m_module->C_CloseSession(m_handle);
    }
    CK_SESSION_HANDLE handle() const { return m_handle; }
    bool m_loggedIn = false;

private:
    CK_FUNCTION_LIST *m_module;
    CK_SESSION_HANDLE m_handle = 0;
};

bool acceptableModuleFile(const QString &v_oPath)
{
    if (v_oPath.isEmpty() || !QDir::isAbsolutePath(v_oPath))
        return false;
    struct stat oStat {};
    if (::stat(QFile::encodeName(v_oPath).constData(), &oStat) != 0 || !S_ISREG(oStat.st_mode))
        return false;
    if (oStat.st_uid != 0 && oStat.st_uid != ::geteuid())
        return false;
    return (oStat.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

SignerError::SignerError(const char *v_pCode, const QString &v_oMessage, const QJsonObject &v_oExtra)
    : std::runtime_error(errorJson(v_pCode, v_oMessage, v_oExtra).toStdString()), m_code(v_pCode)
{
}

void throwForRv(CK_RV v_uiRv, const char *v_pWhat, CK_FLAGS v_uiFlags)
{
    const QString oDetail = QStringLiteral("%1 returned 0x%2").arg(QLatin1String(v_pWhat)).arg(v_uiRv, 0, 16);
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

QString Pkcs11Context::extraModulePath()
{
    QString oPath = qEnvironmentVariable("QTX_PKCS11_MODULE");
    if (oPath.isEmpty() && QCoreApplication::instance()) {
        const QString oIni = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath()
                             + QStringLiteral("/QuorvexCryptoProvider.ini");
        if (QFileInfo::exists(oIni))
            oPath = QSettings(oIni, QSettings::IniFormat).value(QStringLiteral("signing/pkcs11Module")).toString();
    }
    return acceptableModuleFile(oPath) ? QFileInfo(oPath).canonicalFilePath() : QString();
}

Pkcs11Context::Pkcs11Context() : m_lock(s_mutex)
{
    const QString oExtraPath = extraModulePath();
    bool bExtraRegistered = false;
    m_registered = p11_kit_modules_load(nullptr, 0);
    for (CK_FUNCTION_LIST **ppModule = m_registered; ppModule && *ppModule; ++ppModule) {
        // Trust-policy modules carry the system's CA certificates, no keys.
        char *pTrust = p11_kit_config_option(*ppModule, "trust-policy");
        const bool bTrust = pTrust && (qstrcmp(pTrust, "yes") == 0 || qstrcmp(pTrust, "true") == 0);
        std::free(pTrust);
        char *pFile = p11_kit_module_get_filename(*ppModule);
        if (pFile && !oExtraPath.isEmpty()
            && QFileInfo(QFile::decodeName(pFile)).canonicalFilePath() == oExtraPath)
            bExtraRegistered = true;
        std::free(pFile);
        if (bTrust)
            continue;
        if (p11_kit_module_initialize(*ppModule) == CKR_OK)
            m_initialised.push_back(*ppModule);
    }
    if (!oExtraPath.isEmpty() && !bExtraRegistered) {
        m_extra = p11_kit_module_load(QFile::encodeName(oExtraPath).constData(), 0);
        if (m_extra && p11_kit_module_initialize(m_extra) != CKR_OK) {
            p11_kit_module_release(m_extra);
            m_extra = nullptr;
        }
    }
    collectSlots();
}

Pkcs11Context::~Pkcs11Context()
{
    for (CK_FUNCTION_LIST *poModule : m_initialised)
        p11_kit_module_finalize(poModule);
    if (m_registered)
        p11_kit_modules_release(m_registered);
    if (m_extra) {
        p11_kit_module_finalize(m_extra);
        p11_kit_module_release(m_extra);
    }
}

void Pkcs11Context::collectSlots()
{
    std::vector<CK_FUNCTION_LIST *> oModules = m_initialised;
    if (m_extra)
        oModules.push_back(m_extra);
    for (CK_FUNCTION_LIST *poModule : oModules) {
        CK_ULONG uiCount = 0;
        if (poModule->C_GetSlotList(CK_TRUE, nullptr, &uiCount) != CKR_OK || uiCount == 0)
            continue;
        std::vector<CK_SLOT_ID> oIds(uiCount);
        if (poModule->C_GetSlotList(CK_TRUE, oIds.data(), &uiCount) != CKR_OK)
            continue;
        oIds.resize(uiCount);
        for (CK_SLOT_ID uiSlot : oIds) {
            CK_TOKEN_INFO oInfo{};
            if (poModule->C_GetTokenInfo(uiSlot, &oInfo) != CKR_OK)
                continue;
            // An uninitialised token holds nothing to sign with.
            if (!(oInfo.flags & CKF_TOKEN_INITIALIZED))
                continue;
            m_slots.push_back(Slot{poModule, uiSlot, tokenInfo(oInfo)});
        }
    }
}

QList<TokenInfo> Pkcs11Context::tokens() const
{
    QList<TokenInfo> oTokens;
    for (const Slot &oSlot : m_slots)
        oTokens << oSlot.token;
    return oTokens;
}

QList<CertificateEntry> Pkcs11Context::certificates()
{
    QList<CertificateEntry> oEntries;
    for (int i = 0; i < static_cast<int>(m_slots.size()); ++i) {
        const Slot &oSlot = m_slots[static_cast<size_t>(i)];
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
                oEntry.id = certificateId(oSlot.token, oEntry.der);
                oEntries << oEntry;
            }
        } catch (const SignerError &) {
            // A token that vanished or fails while listing contributes nothing.
        }
    }
    // Tokens may hand out their objects in any order; the page gets a stable one.
    std::sort(oEntries.begin(), oEntries.end(), [](const CertificateEntry &v_oA, const CertificateEntry &v_oB) {
        return std::make_pair(v_oA.token.label, v_oA.id) < std::make_pair(v_oB.token.label, v_oB.id);
    });
    return oEntries;
}

CertificateEntry Pkcs11Context::find(const QString &v_oId)
{
    if (m_slots.empty())
        throw SignerError("NO_TOKEN", QStringLiteral("No token is present."));
    for (const CertificateEntry &oEntry : certificates()) {
        if (oEntry.id == v_oId)
            return oEntry;
    }
    throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("No present token has the certificate %1.").arg(v_oId));
}

CK_FLAGS Pkcs11Context::currentFlags(const CertificateEntry &v_oEntry)
{
    const Slot &oSlot = m_slots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_TOKEN_INFO oInfo{};
    const CK_RV uiRv = oSlot.module->C_GetTokenInfo(oSlot.id, &oInfo);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_GetTokenInfo");
    return oInfo.flags;
}

bool Pkcs11Context::supportsMechanism(const CertificateEntry &v_oEntry, CK_MECHANISM_TYPE v_uiType)
{
    const Slot &oSlot = m_slots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_MECHANISM_INFO oInfo{};
    return oSlot.module->C_GetMechanismInfo(oSlot.id, v_uiType, &oInfo) == CKR_OK && (oInfo.flags & CKF_SIGN);
}

QByteArray Pkcs11Context::sign(const CertificateEntry &v_oEntry, const QByteArray *v_poPin,
                               const SignMechanism &v_oMechanism, const QByteArray &v_oData)
{
    const Slot &oSlot = m_slots.at(static_cast<size_t>(v_oEntry.slotIndex));
    CK_FUNCTION_LIST *poModule = oSlot.module;
    Session oSession(poModule, oSlot.id);
    CK_RV uiRv = poModule->C_Login(oSession.handle(), CKU_USER,
                                   v_poPin ? reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(v_poPin->constData()))
                                           : nullptr,
                                   v_poPin ? static_cast<CK_ULONG>(v_poPin->size()) : 0);
    if (uiRv == CKR_PIN_INCORRECT || uiRv == CKR_PIN_LEN_RANGE) {
        CK_TOKEN_INFO oInfo{};
        poModule->C_GetTokenInfo(oSlot.id, &oInfo);
        if (oInfo.flags & CKF_USER_PIN_LOCKED)
            throwForRv(CKR_PIN_LOCKED, "C_Login");
        throwForRv(uiRv, "C_Login", oInfo.flags);
    }
    if (uiRv != CKR_OK && uiRv != CKR_USER_ALREADY_LOGGED_IN)
        throwForRv(uiRv, "C_Login");
    oSession.m_loggedIn = uiRv == CKR_OK;

    CK_OBJECT_CLASS uiKeyClass = CKO_PRIVATE_KEY;
    QByteArray oCkaId = v_oEntry.ckaId;
    CK_ATTRIBUTE aTemplate[] = {{CKA_CLASS, &uiKeyClass, sizeof uiKeyClass},
                                {CKA_ID, oCkaId.data(), static_cast<CK_ULONG>(oCkaId.size())}};
    const std::vector<CK_OBJECT_HANDLE> oKeys = findObjects(poModule, oSession.handle(), aTemplate, 2);
    if (oKeys.empty())
        throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("The token has no private key for this certificate."));

    CK_MECHANISM oMechanism{v_oMechanism.type, nullptr, 0};
    CK_RSA_PKCS_PSS_PARAMS oPss = v_oMechanism.pss;
    if (v_oMechanism.usePss) {
        oMechanism.pParameter = &oPss;
        oMechanism.ulParameterLen = sizeof oPss;
    }
    uiRv = poModule->C_SignInit(oSession.handle(), &oMechanism, oKeys.front());
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_SignInit");
    QByteArray oData = v_oData;
    CK_ULONG uiLength = 0;
    uiRv = poModule->C_Sign(oSession.handle(), reinterpret_cast<CK_BYTE *>(oData.data()),
                            static_cast<CK_ULONG>(oData.size()), nullptr, &uiLength);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_Sign");
    QByteArray oSignature(static_cast<int>(uiLength), '\0');
    uiRv = poModule->C_Sign(oSession.handle(), reinterpret_cast<CK_BYTE *>(oData.data()),
                            static_cast<CK_ULONG>(oData.size()), reinterpret_cast<CK_BYTE *>(oSignature.data()),
                            &uiLength);
    if (uiRv != CKR_OK)
        throwForRv(uiRv, "C_Sign");
    oSignature.truncate(static_cast<int>(uiLength));
    return oSignature;
}
