#include "guijobframe.h"

#include "qtxthreadcheck.h"

#include <QApplication>
#include <QChildEvent>
#include <QLocale>
#include <QPainter>
#include <QScopedValueRollback>
#include <QUrl>
#include <QWidget>
#include <QWindow>

namespace {

// Between the origin and the module's own title.
const QString kTitleSeparator = QStringLiteral(" \u2013 ");
// The origin in a title: window managers cut long titles at the end, which
// would be the registrable domain.
constexpr int kTitleOriginChars = 64;
constexpr int kBandPadding = 6;
// The widest a window is made so that its band shows the whole origin.
constexpr int kMaxWidenTo = 720;

// "Request from %1" in the languages the dialogs are translated to; the
// system locale chooses, English otherwise.
QString requestFromText()
{
    switch (QLocale().language()) {
    case QLocale::German:
        return QStringLiteral("Anfrage von %1");
    case QLocale::French:
        return QStringLiteral("Demande de %1");
    case QLocale::Spanish:
        return QStringLiteral("Solicitud de %1");
    case QLocale::Estonian:
        return QStringLiteral("Päring saidilt %1");
    default:
        return QStringLiteral("Request from %1");
    }
}

bool isHostLabel(const QByteArray &v_oLabel)
{
    if (v_oLabel.isEmpty() || v_oLabel.size() > 63 || v_oLabel.startsWith('-') || v_oLabel.endsWith('-'))
        return false;
    for (const char c : v_oLabel) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

// The host part and the ":port" part of "<host>[:<port>]"; false when malformed.
bool splitHostPort(const QByteArray &v_oHostPort, QByteArray *v_poHost, QByteArray *v_poPort)
{
    int iEnd = v_oHostPort.size();
    if (v_oHostPort.startsWith('[')) {
        iEnd = v_oHostPort.indexOf(']') + 1;
        if (iEnd <= 2)
            return false;
        for (const char c : v_oHostPort.mid(1, iEnd - 2)) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.'))
                return false;
        }
    } else {
        const int iColon = v_oHostPort.lastIndexOf(':');
        if (iColon >= 0)
            iEnd = iColon;
        const QList<QByteArray> oLabels = v_oHostPort.left(iEnd).split('.');
        for (const QByteArray &oLabel : oLabels) {
            if (!isHostLabel(oLabel))
                return false;
        }
    }
    *v_poHost = v_oHostPort.left(iEnd);
    *v_poPort = v_oHostPort.mid(iEnd);
    if (v_poPort->isEmpty())
        return true;
    const QByteArray oDigits = v_poPort->mid(1);
    bool bNumber = false;
    const int iPort = oDigits.toInt(&bNumber);
    return v_poPort->startsWith(':') && bNumber && oDigits.size() <= 5 && oDigits.at(0) != '+' && iPort > 0
           && iPort < 65536;
}

bool isIpAddress(const QByteArray &v_oHost)
{
    if (v_oHost.startsWith('['))
        return true;
    for (const char c : v_oHost) {
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    }
    return true;
}

// The band above a marked window's contents, painted here: plain text only,
// the registrable domain in bold.
class OriginBanner : public QWidget
{
    Q_OBJECT
    // What it shows at its width, for tests and tools that read properties.
    Q_PROPERTY(QStringList shownParts READ shownParts)
public:
    OriginBanner(const QtxOriginParts &v_oOrigin, QWidget *v_poWindow)
        : QWidget(v_poWindow)
        , m_oOrigin(v_oOrigin)
    {
        setObjectName(QStringLiteral("qtxOriginBanner"));
        setFocusPolicy(Qt::NoFocus);
        const QString oText = requestFromText();
        const int iArg = oText.indexOf(QLatin1String("%1"));
        m_oBefore = oText.left(iArg);
        m_oAfter = oText.mid(iArg + 2);
        setAccessibleName(oText.arg(m_oOrigin.whole()));
        setToolTip(accessibleName());
        // The application's font and palette, not the window's: a module's
        // style sheet, palette or font on its window must not shrink or hide
        // the band.
        // Every attribute counts as set: a painter would otherwise resolve the
        // unset ones (the size) from the window's font.
        m_oPlain = QApplication::font();
        m_oPlain.resolve(QFont::AllPropertiesResolved);
        m_oBold = m_oPlain;
        m_oBold.setBold(true);
    }

    int bandHeight() const { return QFontMetrics(m_oBold, this).height() + 2 * kBandPadding; }

    // The whole text.
    QSize sizeHint() const override
    {
        const QFontMetrics oPlain(m_oPlain, this);
        return QSize(oPlain.horizontalAdvance(m_oBefore + m_oOrigin.head + m_oOrigin.tail + m_oAfter)
                         + QFontMetrics(m_oBold, this).horizontalAdvance(m_oOrigin.site) + 2 * kBandPadding,
                     bandHeight());
    }

    // Enough for everything but the head, elided to "…".
    QSize minimumSizeHint() const override
    {
        const QFontMetrics oPlain(m_oPlain, this);
        const int iWidth = oPlain.horizontalAdvance(m_oBefore + QChar(0x2026) + m_oOrigin.tail + m_oAfter)
                           + QFontMetrics(m_oBold, this).horizontalAdvance(m_oOrigin.site) + 2 * kBandPadding;
        return QSize(qMin(iWidth, 640), bandHeight());
    }

    // What the band shows at its width: before, head, site (bold), tail, after.
    QStringList shownParts() const
    {
        const QFontMetrics oPlain(m_oPlain, this);
        const QFontMetrics oBold(m_oBold, this);
        const int iAvailable = width() - 2 * kBandPadding;
        const int iFixed = oPlain.horizontalAdvance(m_oBefore + m_oOrigin.tail + m_oAfter);
        QString oSite = m_oOrigin.site;
        QString oHead = m_oOrigin.head;
        if (iFixed + oPlain.horizontalAdvance(oHead) + oBold.horizontalAdvance(oSite) > iAvailable) {
            oHead = oPlain.elidedText(oHead, Qt::ElideMiddle, qMax(0, iAvailable - iFixed - oBold.horizontalAdvance(oSite)));
            // Only a window narrower than the site itself cuts into it.
            oSite = oBold.elidedText(oSite, Qt::ElideMiddle, qMax(0, iAvailable - iFixed - oPlain.horizontalAdvance(oHead)));
        }
        return {m_oBefore, oHead, oSite, m_oOrigin.tail, m_oAfter};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter oPainter(this);
        const QPalette oPalette = QGuiApplication::palette();
        oPainter.fillRect(rect(), oPalette.color(QPalette::Highlight));
        oPainter.setPen(oPalette.color(QPalette::HighlightedText));
        const QStringList oParts = shownParts();
        const int iBaseline = kBandPadding + QFontMetrics(m_oBold, this).ascent();
        int iX = kBandPadding;
        for (int i = 0; i < oParts.size(); ++i) {
            oPainter.setFont(i == 2 ? m_oBold : m_oPlain);
            oPainter.drawText(iX, iBaseline, oParts.at(i));
            iX += oPainter.fontMetrics().horizontalAdvance(oParts.at(i));
        }
    }

private:
    QtxOriginParts m_oOrigin;
    QString m_oBefore;
    QString m_oAfter;
    QFont m_oPlain;
    QFont m_oBold;
};

} // namespace

bool qtxIsWebOrigin(const QByteArray &v_oOrigin)
{
    const int iSchemeEnd = v_oOrigin.indexOf("://");
    if (v_oOrigin.size() > 512 || iSchemeEnd < 1)
        return false;
    for (int i = 0; i < iSchemeEnd; ++i) {
        const char c = v_oOrigin.at(i);
        const bool bLetter = c >= 'a' && c <= 'z';
        if (!bLetter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return false;
    }
    QByteArray oHost;
    QByteArray oPort;
    return splitHostPort(v_oOrigin.mid(iSchemeEnd + 3), &oHost, &oPort);
}

QtxOriginParts QtxOriginParts::of(const QByteArray &v_oOrigin)
{
    QtxOriginParts oParts;
    const int iHostStart = v_oOrigin.indexOf("://") + 3;
    QByteArray oHost;
    QByteArray oPort;
    if (iHostStart < 3 || !splitHostPort(v_oOrigin.mid(iHostStart), &oHost, &oPort)) {
        oParts.site = QString::fromLatin1(v_oOrigin);
        return oParts;
    }
    oParts.tail = QString::fromLatin1(oPort);
    int iSiteStart = 0;
    if (!isIpAddress(oHost)) {
        // The public suffix from Qt's copy of the public suffix list; a suffix
        // the list does not know counts as one label, as browsers count it.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const QString oSuffix = QUrl(QStringLiteral("http://") + QString::fromLatin1(oHost)).topLevelDomain();
        QT_WARNING_POP
        const int iSuffixLabels = oSuffix.isEmpty() ? 1 : int(oSuffix.count(QLatin1Char('.')));
        const QList<QByteArray> oLabels = oHost.split('.');
        const int iSiteLabels = qMin(int(oLabels.size()), iSuffixLabels + 1);
        for (int i = 0; i < oLabels.size() - iSiteLabels; ++i)
            iSiteStart += oLabels.at(i).size() + 1;
    }
    oParts.head = QString::fromLatin1(v_oOrigin.left(iHostStart + iSiteStart));
    oParts.site = QString::fromLatin1(oHost.mid(iSiteStart));
    return oParts;
}

QString QtxOriginParts::shortened(int v_iMaxChars) const
{
    const QString oEnd = site + tail;
    if (head.size() + oEnd.size() <= v_iMaxChars)
        return whole();
    const QChar cEllipsis(0x2026);
    if (oEnd.size() + 2 > v_iMaxChars) {
        const int iKeep = qMax(2, v_iMaxChars - 1);
        return oEnd.left(iKeep - iKeep / 2) + cEllipsis + oEnd.right(iKeep / 2);
    }
    const int iHead = v_iMaxChars - oEnd.size() - 1;
    return head.left(iHead - iHead / 2) + cEllipsis + head.right(iHead / 2) + oEnd;
}

GuiJobFrame::GuiJobFrame(const QByteArray &v_oOrigin, qint64 v_llTimeoutMs, std::function<void()> v_oOnTimeout)
    : m_oOrigin(QtxOriginParts::of(v_oOrigin))
    , m_oTitlePrefix(m_oOrigin.shortened(kTitleOriginChars))
    , m_oOnTimeout(std::move(v_oOnTimeout))
{
    QTX_ASSERT_OWN_THREAD(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(this);
    if (v_llTimeoutMs > 0) {
        m_oTimeout.setInterval(int(qMin<qint64>(v_llTimeoutMs, 24 * 3600 * 1000)));
        // Then every second: a module may open its next window after the first was closed.
        connect(&m_oTimeout, &QTimer::timeout, this, [this] {
            m_oTimeout.setInterval(1000);
            if (m_oOnTimeout)
                m_oOnTimeout();
        });
        m_oTimeout.start();
    }
}

GuiJobFrame::~GuiJobFrame()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

QString GuiJobFrame::titleFor(const QtxOriginParts &v_oOrigin, const QString &v_oModuleTitle)
{
    const QString oPrefix = v_oOrigin.shortened(kTitleOriginChars);
    return v_oModuleTitle.isEmpty() ? oPrefix : oPrefix + kTitleSeparator + v_oModuleTitle;
}

QWidget *GuiJobFrame::bannerOf(const QWidget *v_poWindow)
{
    return v_poWindow ? v_poWindow->findChild<QWidget *>(QStringLiteral("qtxOriginBanner"), Qt::FindDirectChildrenOnly)
                      : nullptr;
}

bool GuiJobFrame::isFramed(const QWidget *v_poWidget) const
{
    if (!v_poWidget->isWindow())
        return false;
    switch (v_poWidget->windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Drawer:
    case Qt::Tool:
    case Qt::SplashScreen:
        return true;
    default:
        // Popups and tool tips belong to a window that is marked; the desktop
        // and foreign windows are none of the module's.
        return false;
    }
}

bool GuiJobFrame::eventFilter(QObject *v_poObject, QEvent *v_poEvent)
{
    switch (v_poEvent->type()) {
    case QEvent::Polish:
    case QEvent::Show: {
        if (!v_poObject->isWidgetType())
            break;
        auto *poWidget = static_cast<QWidget *>(v_poObject);
        if (!m_oMarked.contains(poWidget) && isFramed(poWidget))
            mark(poWidget);
        if (v_poEvent->type() == QEvent::Show && m_oMarked.contains(poWidget))
            bringToFront(poWidget);
        break;
    }
    case QEvent::Resize:
    case QEvent::WindowTitleChange:
    case QEvent::ChildAdded: {
        if (!v_poObject->isWidgetType())
            break;
        auto *poWindow = static_cast<QWidget *>(v_poObject);
        const auto it = m_oMarked.constFind(poWindow);
        if (it == m_oMarked.constEnd() || !it.value())
            break;
        if (v_poEvent->type() == QEvent::Resize)
            placeBanner(poWindow);
        else if (v_poEvent->type() == QEvent::WindowTitleChange)
            keepTitle(poWindow);
        else if (static_cast<QChildEvent *>(v_poEvent)->child() != it.value())
            // A child added later must not cover the band.
            it.value()->raise();
        break;
    }
    default:
        break;
    }
    return false;
}

void GuiJobFrame::mark(QWidget *v_poWindow)
{
    auto *poBanner = new OriginBanner(m_oOrigin, v_poWindow);
    m_oMarked.insert(v_poWindow, poBanner);
    connect(v_poWindow, &QObject::destroyed, this, [this, v_poWindow] { m_oMarked.remove(v_poWindow); });
    const int iBand = poBanner->bandHeight();
    QMargins oMargins = v_poWindow->contentsMargins();
    oMargins.setTop(oMargins.top() + iBand);
    v_poWindow->setContentsMargins(oMargins);
    if (!v_poWindow->layout()) {
        // Children placed by hand move down below the band.
        for (QObject *poChild : v_poWindow->children()) {
            auto *poWidget = qobject_cast<QWidget *>(poChild);
            if (poWidget && poWidget != poBanner && !poWidget->isWindow())
                poWidget->move(poWidget->x(), poWidget->y() + iBand);
        }
        if (v_poWindow->testAttribute(Qt::WA_Resized))
            v_poWindow->resize(v_poWindow->width(), v_poWindow->height() + iBand);
    }
    placeBanner(v_poWindow);
    poBanner->show();
    poBanner->raise();
    keepTitle(v_poWindow);
}

void GuiJobFrame::placeBanner(QWidget *v_poWindow)
{
    QWidget *poBanner = m_oMarked.value(v_poWindow);
    if (poBanner)
        poBanner->setGeometry(0, 0, v_poWindow->width(), static_cast<OriginBanner *>(poBanner)->bandHeight());
}

void GuiJobFrame::keepTitle(QWidget *v_poWindow)
{
    if (m_bSettingTitle)
        return;
    const QString oTitle = v_poWindow->windowTitle();
    if (oTitle == m_oTitlePrefix || oTitle.startsWith(m_oTitlePrefix + kTitleSeparator))
        return;
    const QScopedValueRollback<bool> oSetting(m_bSettingTitle, true);
    v_poWindow->setWindowTitle(titleFor(m_oOrigin, oTitle));
}

void GuiJobFrame::bringToFront(QWidget *v_poWindow)
{
    QWidget *poBanner = m_oMarked.value(v_poWindow);
    // Wide enough for the whole origin where a window of reasonable width
    // holds it, and at least for the registrable domain. Laid out by now, so
    // the window's own layout has had its say.
    if (poBanner) {
        const int iWidth = qMax(qMin(poBanner->sizeHint().width(), kMaxWidenTo), poBanner->minimumSizeHint().width());
        if (v_poWindow->width() < iWidth)
            v_poWindow->resize(iWidth, v_poWindow->height());
    }
    if (QWindow *poHandle = v_poWindow->windowHandle())
        poHandle->setFlag(Qt::WindowStaysOnTopHint, true);
    // Once the window is on the screen.
    QTimer::singleShot(0, v_poWindow, [v_poWindow] {
        v_poWindow->raise();
        v_poWindow->activateWindow();
    });
}

#include "guijobframe.moc"
