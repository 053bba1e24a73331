#pragma once

// Shared pieces of the platform tests: a log capture on the "processUtils"
// category and a child process made from qtx_platform_helper.

#include "qtxlogger.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

#include <QByteArray>
#include <QDir>
#include <QMutex>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Lines written to the processUtils category while the capture lives.
class LogCapture : public log4cpp::AppenderSkeleton
{
public:
    LogCapture()
        : log4cpp::AppenderSkeleton("platformTestCapture")
        , m_category(ProcessUtilsLogger::Instance().GetCategory())
    {
        m_category.setPriority(log4cpp::Priority::DEBUG);
        m_category.addAppender(*this);  // by reference: not owned by the category
    }
    ~LogCapture() override { m_category.removeAppender(this); }

    QStringList lines() const
    {
        QMutexLocker oLock(&m_mutex);
        return m_lines;
    }
    bool contains(const QString &v_oText) const
    {
        for (const QString &oLine : lines()) {
            if (oLine.contains(v_oText))
                return true;
        }
        return false;
    }
    // Priority name of the first line containing the text, or empty.
    QString priorityOf(const QString &v_oText) const
    {
        QMutexLocker oLock(&m_mutex);
        for (int i = 0; i < m_lines.size(); ++i) {
            if (m_lines.at(i).contains(v_oText))
                return m_priorities.at(i);
        }
        return QString();
    }
    void clear()
    {
        QMutexLocker oLock(&m_mutex);
        m_lines.clear();
        m_priorities.clear();
    }

    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_pLayout) override { delete v_pLayout; }

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override
    {
        QMutexLocker oLock(&m_mutex);
        m_lines.append(QString::fromStdString(v_oEvent.message));
        m_priorities.append(QString::fromStdString(log4cpp::Priority::getPriorityName(v_oEvent.priority)));
    }

private:
    log4cpp::Category &m_category;
    mutable QMutex m_mutex;
    QStringList m_lines;
    QStringList m_priorities;
};

// Keeps the logger's folder out of the real home; call before the first log line.
inline void isolateUserDataDir()
{
    static QTemporaryDir s_oDir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_oDir.path()));
}

// A running qtx_platform_helper; killed and reaped when it goes out of scope.
class HelperProcess
{
public:
    // Starts the helper (optionally through a wrapper such as setpriv) and
    // waits for its "ready" line; value() is the first line printed before it.
    bool start(const QStringList &v_oArguments, const QStringList &v_oWrapper = QStringList())
    {
        QStringList oCommand = v_oWrapper;
        oCommand << QStringLiteral(QTX_PLATFORM_HELPER) << v_oArguments;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(oCommand.first(), oCommand.mid(1));
        if (!m_process.waitForStarted(5000))
            return false;
        QByteArray oOutput;
        while (!oOutput.contains("ready\n")) {
            if (!m_process.waitForReadyRead(5000))
                return false;
            oOutput += m_process.readAllStandardOutput();
        }
        const QList<QByteArray> oLines = oOutput.split('\n');
        m_value = oLines.size() > 2 ? oLines.first() : QByteArray();
        return true;
    }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return static_cast<quint16>(m_value.toUInt()); }
    QProcess &process() { return m_process; }
    ~HelperProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
    QByteArray m_value;
};
