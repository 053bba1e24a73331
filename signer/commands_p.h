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

template <typename Work>
QByteArray signWithReceipt(ConsentAnswer &v_oAnswer, SignerStore &v_oStore, Receipt &v_oReceipt,
                           const QString &v_oOutcome, Work v_oWork)
{
    try {
        const QByteArray oResult = offMainThread(std::move(v_oWork));
        v_oAnswer.pin.clear();
        v_oReceipt.outcome = v_oOutcome;
        writeReceipt(v_oStore, v_oReceipt);
        return oResult;
    } catch (const SignerError &v_oError) {
        v_oAnswer.pin.clear();
        v_oReceipt.outcome = QString::fromLatin1(v_oError.code());
        writeReceipt(v_oStore, v_oReceipt);
        throw;
    } catch (...) {
        v_oAnswer.pin.clear();
        throw;
    }
}

} // namespace signer
