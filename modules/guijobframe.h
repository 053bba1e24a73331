#pragma once

// The server's frame around one GUI job. While a GuiJobFrame lives (on the
// main thread, for the duration of one GUI module function), every top-level
// widget window that appears is marked with the web origin of the page that
// asked:
// - a band at the top of the window, reserved with the window's contents
//   margins and drawn by the server: "Request from <origin>", the origin
//   whole (elided in the middle only when the window is too narrow), its
//   registrable domain in bold, never rich text;
// - the window title starts with the origin, and keeps starting with it
//   whatever title the module sets;
// - the window stays above other windows (the browser) and is activated.
// And when the function still runs after the time-out, the frame calls its
// time-out handler (the worker closes every top-level window, as a session
// end does), then again every second while it runs.
//
// The application-wide event filter exists only while a GUI job runs: no other
// request pays for it. Popups and tool tips (menus, combo box lists) are not
// marked; they belong to a marked window.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QWidget;

// A serialised web origin as browsers send it in the Origin header:
// "<scheme>://<host>[:<port>]", lower-case ASCII host name (IDN as punycode)
// or IP address, nothing else. "null" (an opaque origin), an empty header and
// anything else are no origin a dialog can name.
bool qtxIsWebOrigin(const QByteArray &v_oOrigin);

// An origin cut where the display emphasises it: head ("https://www."), site
// (the registrable domain: the public suffix and the label before it, or the
// whole host for an IP address or a single label) and tail (":8443").
struct QtxOriginParts
{
    QString head;
    QString site;
    QString tail;
    static QtxOriginParts of(const QByteArray &v_oOrigin);
    QString whole() const { return head + site + tail; }
    // The origin in at most v_iMaxChars characters: site and tail kept whole
    // where they fit, the head elided in the middle ("…" between).
    QString shortened(int v_iMaxChars) const;
};

class GuiJobFrame : public QObject
{
    Q_OBJECT
public:
    // v_oOrigin: a valid web origin (qtxIsWebOrigin). v_llTimeoutMs <= 0: no time-out.
    GuiJobFrame(const QByteArray &v_oOrigin, qint64 v_llTimeoutMs, std::function<void()> v_oOnTimeout);
    ~GuiJobFrame() override;
    GuiJobFrame(const GuiJobFrame &) = delete;
    GuiJobFrame &operator=(const GuiJobFrame &) = delete;

    // The title a marked window shows for a module title.
    static QString titleFor(const QtxOriginParts &v_oOrigin, const QString &v_oModuleTitle);
    // The band of a marked window, null when it is not marked.
    static QWidget *bannerOf(const QWidget *v_poWindow);

protected:
    bool eventFilter(QObject *v_poObject, QEvent *v_poEvent) override;

private:
    bool isFramed(const QWidget *v_poWidget) const;
    void mark(QWidget *v_poWindow);
    void placeBanner(QWidget *v_poWindow);
    void keepTitle(QWidget *v_poWindow);
    void bringToFront(QWidget *v_poWindow);

    QtxOriginParts m_oOrigin;
    QString m_oTitlePrefix;
    // Marked windows and their bands.
    QHash<QWidget *, QPointer<QWidget>> m_oMarked;
    QTimer m_oTimeout;
    std::function<void()> m_oOnTimeout;
    bool m_bSettingTitle = false;
};
