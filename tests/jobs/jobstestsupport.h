#pragma once

// Shared by the job and time-out tests: the gates the JobsProbe module's Block
// command waits on, a capture of the "moduleTools" log lines, request
// builders, a watcher for modal dialogs and the process's thread count.

#include "jobrequest.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUuid>
#include <QWidget>
#include <QtTest>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Gates (jobsgate.cpp). Block calls wait until their gate is opened.
extern "C" void qtxJobsGateWait(const char *v_pGate);
void jobsGateOpen(const QByteArray &v_oGate);
int jobsGateWaiting(const QByteArray &v_oGate);   // calls blocked on the gate right now
int jobsGateReturned(const QByteArray &v_oGate);  // calls that have passed it
// The exception family's what() text, as a module throwing it produces it.
QByteArray jobsFamilyWhat(const QString &v_oMessage);

namespace jobs {

// Records "<PRIORITY> <message>" of every line logged to "moduleTools".
class LogCapture : public log4cpp::AppenderSkeleton
{
public:
    LogCapture()
        : log4cpp::AppenderSkeleton("tst-jobs-capture")
        , m_oCategory(log4cpp::Category::getInstance("moduleTools"))
    {
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::DEBUG);
        m_oCategory.addAppender(*this);
    }
    ~LogCapture() override { m_oCategory.removeAppender(this); }

    // Fresh strings: nothing of the list is shared with the logging threads.
    QStringList lines() const
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        QStringList oLines;
        oLines.reserve(int(m_oLines.size()));
        for (const std::string &oLine : m_oLines)
            oLines << QString::fromStdString(oLine);
        return oLines;
    }
    bool has(const QString &v_oText) const { return !lines().filter(v_oText).isEmpty(); }
    int count(const QString &v_oText) const { return lines().filter(v_oText).size(); }
    // Index of the first line containing v_oText, -1 when none.
    int indexOf(const QString &v_oText) const
    {
        const QStringList oLines = lines();
        for (int i = 0; i < oLines.size(); ++i)
            if (oLines.at(i).contains(v_oText))
                return i;
        return -1;
    }
    // Runs on the logging thread for every line, after it was recorded.
    void onLine(std::function<void(const QString &)> v_oHook)
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        m_oHook = std::move(v_oHook);
    }

    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_poLayout) override { delete v_poLayout; }

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override
    {
        const std::string oLine = log4cpp::Priority::getPriorityName(v_oEvent.priority) + " " + v_oEvent.message;
        std::function<void(const QString &)> oHook;
        {
            std::lock_guard<std::mutex> oGuard(m_oMutex);
            m_oLines.push_back(oLine);
            oHook = m_oHook;
        }
        if (oHook)
            oHook(QString::fromStdString(oLine));
    }

private:
    log4cpp::Category &m_oCategory;
    mutable std::mutex m_oMutex;
    std::vector<std::string> m_oLines;
    std::function<void(const QString &)> m_oHook;
};

inline QByteArray newId()
{
    return QUuid::createUuid().toByteArray();
}

inline JobRequest job(const QByteArray &v_oSessionId, const QByteArray &v_oCommand,
                      const tRequestMap &v_oParams = tRequestMap(), const QByteArray &v_oCommandId = newId())
{
    JobRequest oRequest;
    oRequest.oLibraryName = "JobsProbe";
    oRequest.oSessionId = v_oSessionId;
    oRequest.oCommandId = v_oCommandId;
    oRequest.oCommand = v_oCommand;
    oRequest.oRequestMap = v_oParams;
    return oRequest;
}

inline tRequestMap params(std::initializer_list<std::pair<QByteArray, QByteArray>> v_oPairs)
{
    tRequestMap oMap;
    for (const auto &oPair : v_oPairs)
        oMap.insert(oPair.first, oPair.second);
    return oMap;
}

inline QByteArray threadText(const QThread *v_poThread)
{
    return QByteArray::number(quintptr(v_poThread), 16);
}

// Polls v_oFetch while it answers 202 (the job runs), processing events in
// between; the fetch is not repeated once it answered otherwise, since a
// stored result is handed out only once.
inline CommandResult awaitResult(const std::function<CommandResult()> &v_oFetch, int v_iTimeoutMs = 20000)
{
    CommandResult oResult(202, "Accepted", QByteArray());
    const bool bDone = QTest::qWaitFor([&] {
        oResult = v_oFetch();
        return oResult.iStatusCode != 202;
    }, v_iTimeoutMs);
    Q_UNUSED(bDone);
    return oResult;
}

// Number of threads of this process.
inline int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Calls v_oAction (on the main thread, inside the dialog's own event loop) once
// a modal widget is shown. A polling timer, since the test's own code is stuck
// below the module's exec() meanwhile.
class ModalWatcher
{
public:
    explicit ModalWatcher(std::function<void(QWidget *)> v_oAction)
        : m_oAction(std::move(v_oAction))
    {
        m_oTimer.setInterval(5);
        QObject::connect(&m_oTimer, &QTimer::timeout, [this] {
            if (QWidget *poModal = QApplication::activeModalWidget()) {
                m_oTimer.stop();
                m_bSeen = true;
                m_oAction(poModal);
            }
        });
        m_oTimer.start();
    }
    bool seen() const { return m_bSeen; }

private:
    std::function<void(QWidget *)> m_oAction;
    QTimer m_oTimer;
    bool m_bSeen = false;
};

} // namespace jobs
