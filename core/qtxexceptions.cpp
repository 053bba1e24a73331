#include "qtxexceptions.h"

#include <cstring>

const char *const kQtxUnexpectedErrorDetail =
    "The QTX server encountered an unexpected error and was unable to complete your request.";

BaseException::BaseException(const QString &v_oMessage)
    : m_oMessage(v_oMessage)
{
    setWhatMessage(v_oMessage);
    setStackTrace(generateStackTrace());
}

BaseException::BaseException(const QString &v_oMessage, const BaseException &v_oCause)
    : m_oMessage(v_oMessage)
    , m_poInner(v_oCause.clone())
{
    // The trace of a chained exception is built when asked for.
    setWhatMessage(v_oMessage);
}

BaseException::BaseException(const BaseException &v_oOther)
    : QException(v_oOther)
    , m_oMessage(v_oOther.m_oMessage)
    , m_oStackTrace(v_oOther.m_oStackTrace)
    , m_poInner(v_oOther.m_poInner)
{
    setWhatMessage(v_oOther.m_oWhatMessage);
}

BaseException &BaseException::operator=(const BaseException &v_oOther)
{
    if (this != &v_oOther) {
        QException::operator=(v_oOther);
        m_oMessage = v_oOther.m_oMessage;
        m_oStackTrace = v_oOther.m_oStackTrace;
        m_poInner = v_oOther.m_poInner;
        setWhatMessage(v_oOther.m_oWhatMessage);
    }
    return *this;
}

BaseException::~BaseException()
{
    delete[] m_pWhatBuffer;
}

const char *BaseException::what() const noexcept
{
    return m_pWhatBuffer ? m_pWhatBuffer : "";
}

void BaseException::raise() const
{
    throw *this;
}

BaseException *BaseException::clone() const
{
    return new BaseException(*this);
}

QString BaseException::getStackTrace()
{
    m_oStackTrace = generateStackTrace();
    return m_oStackTrace;
}

QString BaseException::getMessage() const
{
    return m_oMessage;
}

QString BaseException::getWhatMessage() const
{
    return m_oWhatMessage;
}

void BaseException::setMessage(const QString &v_oMessage)
{
    m_oMessage = v_oMessage;
}

void BaseException::setWhatMessage(const QString &v_oWhatMessage)
{
    m_oWhatMessage = v_oWhatMessage;
    const QByteArray oBytes = v_oWhatMessage.toUtf8();
    char *pNew = new char[static_cast<size_t>(oBytes.size()) + 1];
    std::memcpy(pNew, oBytes.constData(), static_cast<size_t>(oBytes.size()) + 1);
    delete[] m_pWhatBuffer;
    m_pWhatBuffer = pNew;
}

void BaseException::setStackTrace(const QString &v_oStackTrace)
{
    m_oStackTrace = v_oStackTrace;
}

QString BaseException::generateStackTrace()
{
    if (!m_poInner)
        return m_oWhatMessage;
    return QStringLiteral("%1\n\t%2").arg(m_oWhatMessage, m_poInner->getStackTrace());
}

DetailedException::DetailedException(const QString &v_oMessage, const QString &v_oDetailMessage)
    : BaseException(v_oMessage)
    , m_oDetailMessage(v_oDetailMessage)
{
}

QString DetailedException::getDetailMessage() const
{
    return m_oDetailMessage;
}

#define QTX_DEFINE_EXPORTED_EXCEPTION(Name, Base)                                            \
    Name::Name(const QString &v_oMessage) : Base(v_oMessage) {}                             \
    Name::Name(const QString &v_oMessage, const BaseException &v_oCause)                     \
        : Base(v_oMessage, v_oCause) {}                                                      \
    Name::Name(const Name &v_oOther) = default;                                              \
    Name &Name::operator=(const Name &v_oOther) = default;                                   \
    Name::~Name() = default;                                                                 \
    void Name::raise() const { throw *this; }                                                \
    Name *Name::clone() const { return new Name(*this); }

QTX_DEFINE_EXPORTED_EXCEPTION(NotImplementedException, BaseException)
QTX_DEFINE_EXPORTED_EXCEPTION(UnsupportedCharsException, BaseException)
