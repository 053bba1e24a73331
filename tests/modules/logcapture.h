#pragma once

// Records the lines logged to one log4cpp category ("moduleTools" by default,
// where the module classes write while no server logger exists) as
// "<PRIORITY> <message>", for checks on the exact log texts.

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

class LogCapture : public log4cpp::AppenderSkeleton
{
public:
    explicit LogCapture(const char *v_pCategory = "moduleTools")
        : log4cpp::AppenderSkeleton("tst-capture")
        , m_oCategory(log4cpp::Category::getInstance(v_pCategory))
    {
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::DEBUG);
        m_oCategory.addAppender(*this);
    }
    ~LogCapture() override { m_oCategory.removeAppender(this); }

    QStringList lines() const
    {
        QMutexLocker oLock(&m_oMutex);
        return m_oLines;
    }
    void clear()
    {
        QMutexLocker oLock(&m_oMutex);
        m_oLines.clear();
    }
    // True when some line contains v_oText (priority included, e.g. "ERROR File ").
    bool has(const QString &v_oText) const { return !lines().filter(v_oText).isEmpty(); }
    int count(const QString &v_oText) const { return lines().filter(v_oText).size(); }

    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_poLayout) override { delete v_poLayout; }

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override
    {
        QMutexLocker oLock(&m_oMutex);
        m_oLines << QString::fromStdString(log4cpp::Priority::getPriorityName(v_oEvent.priority) + " "
                                           + v_oEvent.message);
    }

private:
    log4cpp::Category &m_oCategory;
    mutable QMutex m_oMutex;
    QStringList m_oLines;
};
