// A PKCS#11 module for the Signer tests: one token with one certificate whose
// PIN state the test sets, for what SoftHSM2 cannot show (a locked PIN, the
// final try, a PIN pad). The state is read from the file QTX_FAKE_P11_STATE
// names, at every call: words "locked", "final", "low", "protected", "gone",
// "already" (C_Login answers CKR_USER_ALREADY_LOGGED_IN until a C_Logout),
// "always" (the key has CKA_ALWAYS_AUTHENTICATE and a signature PIN "1357" of
// its own for the context-specific log-in).
// The certificate is the DER file QTX_FAKE_P11_CERT names; the PIN is "2468".
// Signatures are fixed bytes: the tests check outcomes, not the cryptography.

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const CK_OBJECT_HANDLE kCert = 1;
const CK_OBJECT_HANDLE kKey = 2;
const char kId[] = "\x42";
int g_found = 0;      // objects handed out by the current search
bool g_search = false;
CK_OBJECT_CLASS g_searchClass = 0;
bool g_loggedOut = false;    // since C_Initialize
bool g_contextLogin = false; // since C_SignInit

std::string readFile(const char *v_pVariable)
{
    const char *pPath = std::getenv(v_pVariable);
    if (!pPath)
        return std::string();
    std::ifstream oFile(pPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(oFile), std::istreambuf_iterator<char>());
}

bool state(const char *v_pWord)
{
    return readFile("QTX_FAKE_P11_STATE").find(v_pWord) != std::string::npos;
}

void padded(unsigned char *v_pField, size_t v_uSize, const char *v_pText)
{
    std::memset(v_pField, ' ', v_uSize);
    std::memcpy(v_pField, v_pText, std::min(v_uSize, std::strlen(v_pText)));
}

CK_RV notSupported()
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

} // namespace

extern "C" {

CK_RV C_Initialize(void *)
{
    g_loggedOut = false;
    return CKR_OK;
}
CK_RV C_Finalize(void *) { return CKR_OK; }

CK_RV C_GetInfo(CK_INFO *v_poInfo)
{
    std::memset(v_poInfo, 0, sizeof *v_poInfo);
    v_poInfo->cryptokiVersion.major = 2;
    v_poInfo->cryptokiVersion.minor = 40;
    padded(v_poInfo->manufacturerID, sizeof v_poInfo->manufacturerID, "QTX tests");
    padded(v_poInfo->libraryDescription, sizeof v_poInfo->libraryDescription, "fake token");
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID *v_pSlots, CK_ULONG *v_puiCount)
{
    const CK_ULONG uiCount = state("gone") ? 0 : 1;
    if (v_pSlots && *v_puiCount < uiCount)
        return CKR_BUFFER_TOO_SMALL;
    if (v_pSlots && uiCount)
        v_pSlots[0] = 7;
    *v_puiCount = uiCount;
    return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID, CK_SLOT_INFO *v_poInfo)
{
    std::memset(v_poInfo, 0, sizeof *v_poInfo);
    padded(v_poInfo->slotDescription, sizeof v_poInfo->slotDescription, "fake reader");
    padded(v_poInfo->manufacturerID, sizeof v_poInfo->manufacturerID, "QTX tests");
    v_poInfo->flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO *v_poInfo)
{
    if (state("gone"))
        return CKR_TOKEN_NOT_PRESENT;
    std::memset(v_poInfo, 0, sizeof *v_poInfo);
    padded(v_poInfo->label, sizeof v_poInfo->label, "Fake Card");
    padded(v_poInfo->manufacturerID, sizeof v_poInfo->manufacturerID, "QTX tests");
    padded(v_poInfo->model, sizeof v_poInfo->model, "fake");
    padded(v_poInfo->serialNumber, sizeof v_poInfo->serialNumber, "0001");
    v_poInfo->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED;
    if (state("protected"))
        v_poInfo->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    if (state("locked"))
        v_poInfo->flags |= CKF_USER_PIN_LOCKED;
    if (state("final"))
        v_poInfo->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
    if (state("low"))
        v_poInfo->flags |= CKF_USER_PIN_COUNT_LOW;
    v_poInfo->ulMaxPinLen = 8;
    v_poInfo->ulMinPinLen = 4;
    return CKR_OK;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID, CK_MECHANISM_TYPE v_uiType, CK_MECHANISM_INFO *v_poInfo)
{
    if (v_uiType != CKM_RSA_PKCS)
        return CKR_MECHANISM_INVALID;
    std::memset(v_poInfo, 0, sizeof *v_poInfo);
    v_poInfo->ulMinKeySize = 1024;
    v_poInfo->ulMaxKeySize = 4096;
    v_poInfo->flags = CKF_SIGN | CKF_HW;
    return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID, CK_FLAGS, void *, CK_NOTIFY, CK_SESSION_HANDLE *v_puiSession)
{
    if (state("gone"))
        return CKR_TOKEN_NOT_PRESENT;
    *v_puiSession = 11;
    return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE) { return CKR_OK; }
CK_RV C_CloseAllSessions(CK_SLOT_ID) { return CKR_OK; }
CK_RV C_Logout(CK_SESSION_HANDLE)
{
    g_loggedOut = true;
    return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE, CK_USER_TYPE v_uiUser, CK_UTF8CHAR *v_pPin, CK_ULONG v_uiLength)
{
    if (state("locked"))
        return CKR_PIN_LOCKED;
    if (v_uiUser == CKU_CONTEXT_SPECIFIC) {
        if (!v_pPin || std::string(reinterpret_cast<char *>(v_pPin), v_uiLength) != "1357")
            return CKR_PIN_INCORRECT;
        g_contextLogin = true;
        return CKR_OK;
    }
    if (state("already") && !g_loggedOut)
        return CKR_USER_ALREADY_LOGGED_IN;
    if (state("protected"))
        return v_pPin == nullptr ? CKR_OK : CKR_ARGUMENTS_BAD;
    if (!v_pPin || std::string(reinterpret_cast<char *>(v_pPin), v_uiLength) != "2468")
        return CKR_PIN_INCORRECT;
    return CKR_OK;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE *v_poTemplate, CK_ULONG v_uiCount)
{
    g_search = true;
    g_found = 0;
    g_searchClass = CK_UNAVAILABLE_INFORMATION;
    for (CK_ULONG i = 0; i < v_uiCount; ++i) {
        if (v_poTemplate[i].type == CKA_CLASS)
            std::memcpy(&g_searchClass, v_poTemplate[i].pValue, sizeof g_searchClass);
    }
    return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE *v_puiObjects, CK_ULONG v_uiMax, CK_ULONG *v_puiCount)
{
    *v_puiCount = 0;
    if (!g_search || g_found > 0 || v_uiMax < 1)
        return CKR_OK;
    g_found = 1;
    if (g_searchClass == CKO_CERTIFICATE) {
        v_puiObjects[0] = kCert;
        *v_puiCount = 1;
    } else if (g_searchClass == CKO_PRIVATE_KEY) {
        v_puiObjects[0] = kKey;
        *v_puiCount = 1;
    }
    return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE)
{
    g_search = false;
    return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE v_uiObject, CK_ATTRIBUTE *v_poTemplate, CK_ULONG v_uiCount)
{
    CK_RV uiRv = CKR_OK;
    for (CK_ULONG i = 0; i < v_uiCount; ++i) {
        std::string oValue;
        if (v_poTemplate[i].type == CKA_ID)
            oValue = kId;
        else if (v_poTemplate[i].type == CKA_ALWAYS_AUTHENTICATE && v_uiObject == kKey)
            oValue = std::string(1, state("always") ? CK_TRUE : CK_FALSE);
        else if (v_poTemplate[i].type == CKA_VALUE && v_uiObject == kCert)
            oValue = readFile("QTX_FAKE_P11_CERT");
        else {
            v_poTemplate[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            uiRv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (v_poTemplate[i].pValue) {
            if (v_poTemplate[i].ulValueLen < oValue.size())
                return CKR_BUFFER_TOO_SMALL;
            std::memcpy(v_poTemplate[i].pValue, oValue.data(), oValue.size());
        }
        v_poTemplate[i].ulValueLen = oValue.size();
    }
    return uiRv;
}

CK_RV C_SignInit(CK_SESSION_HANDLE, CK_MECHANISM *v_poMechanism, CK_OBJECT_HANDLE v_uiKey)
{
    g_contextLogin = false;
    return v_poMechanism->mechanism == CKM_RSA_PKCS && v_uiKey == kKey ? CKR_OK : CKR_MECHANISM_INVALID;
}

CK_RV C_Sign(CK_SESSION_HANDLE, CK_BYTE *, CK_ULONG, CK_BYTE *v_pSignature, CK_ULONG *v_puiLength)
{
    if (state("gone"))
        return CKR_DEVICE_REMOVED;
    if (state("always") && !g_contextLogin)
        return CKR_USER_NOT_LOGGED_IN;
    if (v_pSignature) {
        if (*v_puiLength < 256)
            return CKR_BUFFER_TOO_SMALL;
        std::memset(v_pSignature, 0x5a, 256);
    }
    *v_puiLength = 256;
    return CKR_OK;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST **v_ppList)
{
    static CK_FUNCTION_LIST s_list;
    // Every entry not set below answers "not supported" (called with whatever
    // arguments: the x86-64 calling convention makes that harmless).
    auto **ppEntry = reinterpret_cast<CK_RV (**)()>(&s_list.C_Initialize);
    const size_t uCount = (sizeof s_list - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void *);
    for (size_t i = 0; i < uCount; ++i)
        ppEntry[i] = &notSupported;
    s_list.version.major = 2;
    s_list.version.minor = 40;
    s_list.C_Initialize = C_Initialize;
    s_list.C_Finalize = C_Finalize;
    s_list.C_GetInfo = C_GetInfo;
    s_list.C_GetFunctionList = C_GetFunctionList;
    s_list.C_GetSlotList = C_GetSlotList;
    s_list.C_GetSlotInfo = C_GetSlotInfo;
    s_list.C_GetTokenInfo = C_GetTokenInfo;
    s_list.C_GetMechanismInfo = C_GetMechanismInfo;
    s_list.C_OpenSession = C_OpenSession;
    s_list.C_CloseSession = C_CloseSession;
    s_list.C_CloseAllSessions = C_CloseAllSessions;
    s_list.C_Login = C_Login;
    s_list.C_Logout = C_Logout;
    s_list.C_FindObjectsInit = C_FindObjectsInit;
    s_list.C_FindObjects = C_FindObjects;
    s_list.C_FindObjectsFinal = C_FindObjectsFinal;
    s_list.C_GetAttributeValue = C_GetAttributeValue;
    s_list.C_SignInit = C_SignInit;
    s_list.C_Sign = C_Sign;
    *v_ppList = &s_list;
    return CKR_OK;
}

} // extern "C"
