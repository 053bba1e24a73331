#pragma once

// The Signer's dialogs as Qt widgets (main thread only). Private to
// qtsignerui.cpp apart from what the test hook and the dialogs share.

#include "secretbuffer.h"
#include "signerui.h"

#include <QDialog>
#include <QLineEdit>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <thread>

class QLabel;
class QPushButton;
class QVBoxLayout;

// A PIN field that never holds the PIN: every key goes into a SecretBuffer,
// and the line edit shows (and keeps in its undo history) one filler
// character per character typed. No paste, no drag and drop, no input method,
// no selection or cursor movement.
class PinEdit : public QLineEdit
{
public:
    explicit PinEdit(QWidget *v_poParent);
    const SecretBuffer &secret() const { return m_oSecret; }
    // Moves the PIN out and empties the field.
    SecretBuffer take();
    // Feeds text through the same key path as a keyboard (the test hook).
    void typeText(const QString &v_oText);

protected:
    void keyPressEvent(QKeyEvent *v_poEvent) override;
    void inputMethodEvent(QInputMethodEvent *v_poEvent) override;
    void mousePressEvent(QMouseEvent *v_poEvent) override;
    void mouseMoveEvent(QMouseEvent *v_poEvent) override;
    void mouseDoubleClickEvent(QMouseEvent *v_poEvent) override;

private:
    void showCount();
    SecretBuffer m_oSecret;
    int m_iCharacters = 0;
};

// Polls the tokens on a thread of its own while a dialog is open and hands
// each snapshot to the dialog on the main thread. Stopped and joined before
// the dialog goes, so no thread outlives the command.
class TokenWatcher
{
public:
    TokenWatcher(QObject *v_poContext, TokenPoll v_oPoll, std::function<void(const TokenSnapshot &)> v_oDeliver);
    ~TokenWatcher();
    TokenWatcher(const TokenWatcher &) = delete;
    TokenWatcher &operator=(const TokenWatcher &) = delete;

    static constexpr int kIntervalMs = 1000;

private:
    void run();
    QObject *m_poContext;
    TokenPoll m_oPoll;
    std::function<void(const TokenSnapshot &)> m_oDeliver;
    std::mutex m_oMutex;
    std::condition_variable m_oWake;
    bool m_bStop = false;
    std::thread m_oThread;
};

// What every Signer dialog shares: the requesting origin in a line of its own
// with the registrable domain in bold, a time-out, a confirm button that stays
// disabled for a short delay after the window appears or comes back to the
// front (a held Enter or a click aimed at the page cannot approve), on top of
// the browser, and accessible names on every control.
class RequestDialog : public QDialog
{
public:
    RequestDialog(const char *v_pKind, const WebOrigin &v_oOrigin, const QString &v_oTitle, const QString &v_oLead);
    // Shows the dialog in front and waits for the answer.
    Outcome run();

protected:
    QVBoxLayout *body() const { return m_poBody; }
    QPushButton *confirmButton() const { return m_poConfirm; }
    // Subclasses say whether their own condition holds (a PIN typed, a card
    // present, a certificate chosen); the button also waits for the delay.
    void setReady(bool v_bReady);
    QLabel *addLabel(const QString &v_oText, QVBoxLayout *v_poLayout = nullptr);
    // The status line ("insert your card"), empty when all is well.
    void setStatus(const QString &v_oText);
    // A window that only reports (a batch's progress): no confirm button and
    // no time-out; Cancel stays.
    void setReportOnly();
    virtual PinEdit *pinEdit() const { return nullptr; }
    virtual bool pick(int v_iIndex, bool v_bRemember);

    bool event(QEvent *v_poEvent) override;
    void keyPressEvent(QKeyEvent *v_poEvent) override;
    void keyReleaseEvent(QKeyEvent *v_poEvent) override;
    void showEvent(QShowEvent *v_poEvent) override;

private:
    void restartDelay();
    void updateConfirm();
    void tick();
    void showCountdown();
#ifdef QTX_SIGNER_TEST_HOOK
    void hookTick();
    QByteArray shownText() const;
    QByteArray m_oHookDir;
    QByteArray m_oLastShown;
    std::function<bool()> m_oPending;
    QTimer m_oHook;
#endif

    const char *m_pKind;
    QVBoxLayout *m_poBody = nullptr;
    QLabel *m_poStatus = nullptr;
    QLabel *m_poCountdown = nullptr;
    QPushButton *m_poConfirm = nullptr;
    QPushButton *m_poCancel = nullptr;
    QTimer m_oDelay;
    QTimer m_oClock;
    int m_iDelayMs = 1000;
    int m_iSecondsLeft = 120;
    bool m_bReady = false;
    bool m_bDelayPassed = false;
    bool m_bTimedOut = false;
    bool m_bEnterHeld = false;
    bool m_bReportOnly = false;
};

// The progress window of a batch (batchdialog.cpp).
void runBatchProgressDialog(const WebOrigin &v_oOrigin, BatchMonitor &v_oMonitor);

#ifdef QTX_SIGNER_TEST_HOOK
// The test hook's folder (QTX_SIGNER_TEST_DIR when it is this account's and
// private), empty otherwise; its answer file; a file written into it.
QByteArray signerTestDir();
bool signerTestTakeAnswer(const QByteArray &v_oDir, QByteArray *v_poAnswer);
void signerTestWrite(const QByteArray &v_oDir, const char *v_pName, const QByteArray &v_oData);
#endif
