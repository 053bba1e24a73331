#pragma once

// Template part of commands.h.

#include <QEventLoop>
#include <QMetaObject>

#include <future>
#include <thread>

namespace signer {

template <typename Work>
auto offMainThread(Work v_oWork) -> decltype(v_oWork())
{
    std::packaged_task<decltype(v_oWork())()> oTask(std::move(v_oWork));
    auto oFuture = oTask.get_future();
    QEventLoop oLoop;
    std::thread oThread([&oTask, &oLoop] {
        oTask();
        QMetaObject::invokeMethod(&oLoop, "quit", Qt::QueuedConnection);
    });
    // Queued calls (a dialog the work asks for) run meanwhile; input waits.
    oLoop.exec(QEventLoop::ExcludeUserInputEvents);
    oThread.join();
    return oFuture.get();
}

} // namespace signer
