#pragma once

// Owns the listener thread. On that thread a ListenerTask creates the
// CSslListener and has it listen; start() and stop() reach the task as queued
// calls. A listener that cannot have its port logs why and emits failed() on
// the thread of the Listener; the owner decides what that means.

#include "ctlscontext.h"

#include <QObject>

#include <atomic>
#include <memory>

class CSslListener;
class QSettings;
class QThread;

namespace norrweb { class HttpRequestHandler; }

class ListenerTask : public QObject
{
    Q_OBJECT
public:
    ListenerTask(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, CTlsContext::Config v_oTls,
                 std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler);
    ~ListenerTask() override;

    CSslListener *server() const;
    // The bound port once listening, else 0; readable from any thread.
    quint16 port() const { return m_uiPort.load(std::memory_order_acquire); }

public slots:
    void startListening();
    void stopListening();

signals:
    void failed();

private:
    bool m_bSecure;
    std::shared_ptr<QSettings> m_poSettings;
    CTlsContext::Config m_oTls;
    std::shared_ptr<norrweb::HttpRequestHandler> m_poRequestHandler;
    std::shared_ptr<CSslListener> m_poServer;
    std::atomic<quint16> m_uiPort{0};
};

class Listener : public QObject
{
    Q_OBJECT
public:
    // v_poSettings is positioned on the listener group; v_oTls is what the
    // configuration names for TLS.
    Listener(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
             std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent = nullptr);
    ~Listener() override;

    // The port the server listens on, once listening (0 before); any thread.
    quint16 serverPort() const;
    // The server the task created, fetched on the listener thread (or null).
    CSslListener *server() const;

signals:
    void start();
    void stop();
    // The port could not be had (the reason is in the log); nothing listens.
    void failed();

private:
    std::shared_ptr<QThread> m_poThread;
    ListenerTask *m_poTask = nullptr; // lives on m_poThread; deleted there
};
