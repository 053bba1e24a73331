#pragma once

// The server's exception family. Every class can be cloned and re-thrown with
// its dynamic type (QException::raise/clone), so a failure raised on a worker
// thread keeps its class when QtConcurrent or a queued hand-off re-throws it.

#include <QException>
#include <QString>

#include <memory>

class BaseException : public QException
{
public:
    explicit BaseException(const QString &v_oMessage);
    BaseException(const QString &v_oMessage, const BaseException &v_oCause);
    BaseException(const BaseException &v_oOther);
    BaseException &operator=(const BaseException &v_oOther);
    ~BaseException() override;

    // UTF-8 bytes of the what text; valid until the next setWhatMessage or destruction.
    const char *what() const noexcept override;
    void raise() const override;
    BaseException *clone() const override;

    // The message, then one line per cause, each indented one tab step further.
    QString getStackTrace();

    // The cause this exception was built with, or null.
    const BaseException *getInner() const { return m_poInner.get(); }

protected:
    QString getMessage() const;
    QString getWhatMessage() const;
    void setMessage(const QString &v_oMessage);
    void setWhatMessage(const QString &v_oWhatMessage);
    void setStackTrace(const QString &v_oStackTrace);

private:
    QString generateStackTrace();

    QString m_oMessage;
    QString m_oWhatMessage;
    char *m_pWhatBuffer = nullptr;
    QString m_oStackTrace;
    std::shared_ptr<BaseException> m_poInner;
};

// Declares a subclass that keeps its own type through clone() and raise().
#define QTX_DECLARE_EXCEPTION(Name, Base)                                         \
    class Name : public Base                                                     \
    {                                                                            \
    public:                                                                      \
        using Base::Base;                                                        \
        Name(const Name &) = default;                                            \
        Name &operator=(const Name &) = default;                                 \
        ~Name() override = default;                                              \
        void raise() const override { throw *this; }                             \
        Name *clone() const override { return new Name(*this); }                 \
    };

// The two exceptions that modules may construct and throw themselves. Every
// member is defined out of line, so the executable carries (and exports) their
// constructors, destructor, assignment and virtual table for modules to bind to.
#define QTX_DECLARE_EXPORTED_EXCEPTION(Name, Base)                                \
    class Name : public Base                                                     \
    {                                                                            \
    public:                                                                      \
        explicit Name(const QString &v_oMessage);                                \
        Name(const QString &v_oMessage, const BaseException &v_oCause);          \
        Name(const Name &v_oOther);                                              \
        Name &operator=(const Name &v_oOther);                                   \
        ~Name() override;                                                        \
        void raise() const override;                                             \
        Name *clone() const override;                                            \
    };

QTX_DECLARE_EXPORTED_EXCEPTION(NotImplementedException, BaseException)
QTX_DECLARE_EXPORTED_EXCEPTION(UnsupportedCharsException, BaseException)

// Base for the exceptions that also carry a text meant for the client.
class DetailedException : public BaseException
{
public:
    DetailedException(const QString &v_oMessage, const QString &v_oDetailMessage);
    DetailedException(const DetailedException &) = default;
    DetailedException &operator=(const DetailedException &) = default;
    ~DetailedException() override = default;
    void raise() const override { throw *this; }
    DetailedException *clone() const override { return new DetailedException(*this); }

    virtual QString getDetailMessage() const;

private:
    QString m_oDetailMessage;
};

QTX_DECLARE_EXCEPTION(UserServerPortException, DetailedException)
QTX_DECLARE_EXCEPTION(ProcessUtilsImplException, DetailedException)
QTX_DECLARE_EXCEPTION(ActiveSessionException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(EnumProcessesException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(FileTimeToSystemTimeException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(FunctionNotImplementedException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(GetExtendedTcpTableException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(GetProcessTimesException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(GetTokenInformationException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(LookupAccountSidException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(OpenProcessException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(OpenProcessTokenException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(WTSEnumerateSessionsException, ProcessUtilsImplException)
QTX_DECLARE_EXCEPTION(WTSQuerySessionInformationException, ProcessUtilsImplException)

// Detail text of every platform failure except ActiveSessionException.
extern const char *const kQtxUnexpectedErrorDetail;
