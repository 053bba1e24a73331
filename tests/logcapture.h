#pragma once

// Records "<PRIORITY> <message>" of every line logged to one log4cpp category
// (by default "moduleTools") while it lives, from any thread; an optional hook
// sees each line on the logging thread once it is recorded.

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <QStringList>

#include <functional>
#include <mutex>

class LogCapture : public log4cpp::AppenderSkeleton
{
public:
    explicit LogCapture(log4cpp::Category &v_oCategory = log4cpp::Category::getInstance("moduleTools"))
        : log4cpp::AppenderSkeleton("tst-log-capture")
        , m_oCategory(v_oCategory)
    {
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::DEBUG);
        m_oCategory.setPriority(log4cpp::Priority::DEBUG);
        m_oCategory.addAppender(*this); // by reference: not owned by the category
    }
    ~LogCapture() override { m_oCategory.removeAppender(this); }

    QStringList lines() const
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        return m_oLines;
    }
    int count(const QString &v_oText) const { return lines().filter(v_oText).size(); }
    bool has(const QString &v_oText) const { return count(v_oText) > 0; }
    // Priority name of the first line containing the text, or empty.
    QString priorityOf(const QString &v_oText) const
    {
        const QStringList oLines = lines().filter(v_oText);
        return oLines.isEmpty() ? QString() : oLines.first().section(QLatin1Char(' '), 0, 0);
    }
    void onLine(std::function<void(const QString &)> v_oHook)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_oHook = std::move(v_oHook);
    }

    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_poLayout) override { delete v_poLayout; }

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override
    {
        const QString oLine =
            QString::fromStdString(log4cpp::Priority::getPriorityName(v_oEvent.priority) + " " + v_oEvent.message);
        std::function<void(const QString &)> oHook;
        {
            std::lock_guard<std::mutex> oLock(m_oMutex);
            m_oLines << oLine;
            oHook = m_oHook;
        }
        if (oHook)
            oHook(oLine);
    }

private:
    log4cpp::Category &m_oCategory;
    // A std::mutex, not a QMutex: ThreadSanitizer sees its locking (Qt's is not instrumented).
    mutable std::mutex m_oMutex;
    QStringList m_oLines;
    std::function<void(const QString &)> m_oHook;
};
