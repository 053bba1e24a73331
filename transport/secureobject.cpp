#include "secureobject.h"

#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QTextCodec>
#include <QUuid>

#include <cstring>
#include <mutex>
#include <random>

namespace {

std::mutex g_randomMutex;

std::mt19937 &generator()
{
    // Seeded once from the platform's random device; thread-safe initialisation.
    static std::mt19937 s_oGenerator{std::random_device{}()};
    return s_oGenerator;
}

} // namespace

void qtxOverwriteRandom(void *v_pBuffer, std::size_t v_uiSize)
{
    auto *pBytes = static_cast<volatile unsigned char *>(v_pBuffer);
    std::lock_guard<std::mutex> oGuard(g_randomMutex);
    std::mt19937 &oGenerator = generator();
    for (std::size_t i = 0; i < v_uiSize; ++i)
        pBytes[i] = static_cast<unsigned char>(oGenerator() & 0xFFu);
}

void qtxOverwriteText(QString &v_oText)
{
    if (v_oText.isEmpty())
        return;
    QChar *pChars = v_oText.data(); // detaches: only this copy is overwritten
    qtxOverwriteRandom(pChars, static_cast<std::size_t>(v_oText.size()) * sizeof(QChar));
    v_oText.clear();
}

// ---------------------------------------------------------------------------

SecureObjectData::SecureObjectData(QByteArray &v_oSource)
    : m_oId(QUuid::createUuid().toString())
    , m_iSize(v_oSource.size())
{
    m_pData = new char[static_cast<std::size_t>(m_iSize) + 1];
    std::memset(m_pData, 0, static_cast<std::size_t>(m_iSize) + 1);
    if (m_iSize > 0) {
        std::memcpy(m_pData, v_oSource.constData(), static_cast<std::size_t>(m_iSize));
        qtxOverwriteRandom(v_oSource.data(), static_cast<std::size_t>(v_oSource.size()));
    }
    QTX_LOG(QTXLogger::Instance(), INFO, "SecureObjectData::SecureObjectData")
        << "Created SecureObjectData with id<" << m_oId << ">";
}

SecureObjectData::~SecureObjectData()
{
    clean();
    delete[] m_pData;
    QTX_LOG(QTXLogger::Instance(), INFO, "SecureObjectData::~SecureObjectData")
        << "Destroyed SecureObjectData with id<" << m_oId << ">";
}

void SecureObjectData::clean()
{
    if (m_pData && m_iSize > 0)
        qtxOverwriteRandom(m_pData, static_cast<std::size_t>(m_iSize));
    m_iSize = 0;
    QTX_LOG(QTXLogger::Instance(), INFO, "SecureObjectData::clean")
        << "Randomized SecureObjectData with id<" << m_oId << ">";
}

// ---------------------------------------------------------------------------

SecureObject::SecureObject(QByteArray &v_oSource)
    : m_poData(new SecureObjectData(v_oSource))
{
}

SecureObject::~SecureObject() = default;

const char *SecureObject::data() const
{
    return m_poData ? m_poData->bytes() : nullptr;
}

int SecureObject::size() const
{
    return m_poData ? m_poData->size() : 0;
}

void SecureObject::release()
{
    m_poData.reset();
}

void SecureObject::reset(QByteArray &v_oSource)
{
    m_poData = QExplicitlySharedDataPointer<SecureObjectData>(new SecureObjectData(v_oSource));
}

// ---------------------------------------------------------------------------

SecurePass::SecurePass(const QString &v_oText, const QByteArray &v_oCodecName)
    : m_oCodecName(v_oCodecName)
{
    setText(v_oText);
}

SecurePass::~SecurePass()
{
    qtxOverwriteText(m_oText);
}

bool SecurePass::encode(const QString &v_oText, QByteArray &v_oBytes) const
{
    QTextCodec *poCodec = QTextCodec::codecForName(m_oCodecName);
    if (!poCodec)
        return false;
    // One conversion that also reports unencodable characters: canEncode()
    // would convert the clear text once more and free that copy unwiped.
    QTextCodec::ConverterState oState(QTextCodec::IgnoreHeader);
    QByteArray oBytes = poCodec->fromUnicode(v_oText.constData(), v_oText.size(), &oState);
    if (oState.invalidChars != 0) {
        qtxOverwriteRandom(oBytes.data(), static_cast<std::size_t>(oBytes.size()));
        return false;
    }
    v_oBytes.swap(oBytes);
    return true;
}

void SecurePass::release()
{
    qtxOverwriteText(m_oText);
    SecureObject::release();
}

void SecurePass::setText(const QString &v_oText)
{
    qtxOverwriteText(m_oText);
    m_oText = v_oText;
    QByteArray oBytes;
    if (encode(m_oText, oBytes))
        reset(oBytes);
    else
        SecureObject::release();
}

void SecurePass::resize(int v_iLength, QChar v_cFill)
{
    QString oNew = m_oText;
    if (oNew.size() < v_iLength)
        oNew.append(QString(v_iLength - oNew.size(), v_cFill));
    setText(oNew);
    qtxOverwriteText(oNew);
}

int SecurePass::length() const
{
    return m_oText.size();
}

QChar SecurePass::at(int v_iPosition) const
{
    return m_oText.at(v_iPosition);
}

bool SecurePass::isEmpty() const
{
    return m_oText.isEmpty();
}

bool SecurePass::equals(const SecurePass &v_oOther) const
{
    return m_oText == v_oOther.m_oText;
}

bool SecurePass::notEquals(const SecurePass &v_oOther) const
{
    return !equals(v_oOther);
}

SecurePass SecurePass::copy() const
{
    QByteArray oBytes;
    if (!encode(m_oText, oBytes))
        throw UnsupportedCharsException(QStringLiteral("User has entered unsupported characters!"));
    qtxOverwriteRandom(oBytes.data(), static_cast<std::size_t>(oBytes.size()));
    return SecurePass(m_oText, m_oCodecName);
}

std::string SecurePass::toStdString() const
{
    return std::string(data() ? data() : "", static_cast<std::size_t>(size()));
}
