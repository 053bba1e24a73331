#pragma once

#include <QObject>

class QTimer;

// Ends the process when a debugger (any tracer) attaches. Polls TracerPid of
// /proc/self/status; compiled to an inert object in Debug builds so developers
// can debug the server.
class SwitchOffDebugging : public QObject
{
    Q_OBJECT
public:
    explicit SwitchOffDebugging(QObject *v_poParent = nullptr, int v_iIntervalMs = 1000);
    ~SwitchOffDebugging() override;

    // The pid of the process tracing this one, 0 when none (or unreadable).
    static qint64 TracerPid(const QString &v_oStatusPath = QStringLiteral("/proc/self/status"));

private slots:
    void check();

private:
    QTimer *m_poTimer = nullptr;
};
