#include "qtsignerui.h"

#include "pdfpreview.h"

#include "signersettings.h"
#include "translations.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QStringList>
#include <QTranslator>
#include <QVBoxLayout>

#ifdef QTX_SIGNER_TEST_HOOK
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <openssl/crypto.h>

// Strings handed to Qt are made at run time (tr(), QString::fromLatin1()),
// never QStringLiteral: Qt may keep a copy of a string (a font family, a style
// sheet, an object name) after the command, and a literal's copy points into
// this library.

namespace {

struct SignerText
{
    Q_DECLARE_TR_FUNCTIONS(SignerDialog)
};

// The room the origin's line has, in pixels.
constexpr int kOriginWidth = 440;

QString text(const char *v_pLatin1)
{
    return QString::fromLatin1(v_pLatin1);
}

// The translation of the system's language is installed while a dialog is
// open, and removed with it: the translator reads the .qm data in place, and
// that data lives in this library.
class TranslatorScope
{
public:
    TranslatorScope()
    {
        const QStringList oLanguages = QLocale::system().uiLanguages();
        const EmbeddedTranslation *poChosen = nullptr;
        for (const QString &oLanguage : oLanguages) {
            const QString oCode = oLanguage.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0).toLower();
            for (int i = 0; i < kSignerTranslationCount && !poChosen; ++i) {
                if (oCode == QLatin1String(kSignerTranslations[i].language))
                    poChosen = &kSignerTranslations[i];
            }
            if (poChosen)
                break;
        }
        for (int i = 0; i < kSignerTranslationCount && !poChosen; ++i) {
            if (qstrcmp(kSignerTranslations[i].language, "en") == 0)
                poChosen = &kSignerTranslations[i];
        }
        if (poChosen && m_oTranslator.load(poChosen->data, poChosen->size))
            m_bInstalled = QCoreApplication::installTranslator(&m_oTranslator);
    }
    ~TranslatorScope()
    {
        if (m_bInstalled)
            QCoreApplication::removeTranslator(&m_oTranslator);
    }
    TranslatorScope(const TranslatorScope &) = delete;
    TranslatorScope &operator=(const TranslatorScope &) = delete;

private:
    QTranslator m_oTranslator;
    bool m_bInstalled = false;
};

QLabel *plainLabel(const QString &v_oText, QWidget *v_poParent)
{
    auto *poLabel = new QLabel(v_oText, v_poParent);
    poLabel->setTextFormat(Qt::PlainText); // nothing a page sent is ever rich text
    poLabel->setWordWrap(true);
    poLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    poLabel->setAccessibleName(v_oText);
    return poLabel;
}

// A page's text: one line, escaped, never wrapped, in a box of its own.
QLabel *pageTextLabel(const QString &v_oText, QWidget *v_poParent)
{
    QLabel *poLabel = plainLabel(displayLine(v_oText), v_poParent);
    poLabel->setWordWrap(false);
    return poLabel;
}

QString groupedHex(const QByteArray &v_oBytes)
{
    const QByteArray oHex = v_oBytes.toHex();
    QString oText;
    for (int i = 0; i < oHex.size(); i += 8) {
        if (i > 0)
            oText += (i % 32 == 0) ? QLatin1Char('\n') : QLatin1Char(' ');
        oText += QString::fromLatin1(oHex.mid(i, 8));
    }
    return oText;
}

QString pinWarning(bool v_bLow, bool v_bFinal)
{
    if (v_bFinal)
        return SignerText::tr("Last try: one more wrong PIN locks the card.");
    if (v_bLow)
        return SignerText::tr("A wrong PIN was entered before: only few tries are left.");
    return QString();
}

QLabel *warningLabel(const QString &v_oText, QWidget *v_poParent)
{
    QLabel *poLabel = plainLabel(v_oText, v_poParent);
    QFont oFont = poLabel->font();
    oFont.setBold(true);
    poLabel->setFont(oFont);
    QPalette oPalette = poLabel->palette();
    oPalette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x20));
    poLabel->setPalette(oPalette);
    return poLabel;
}

// Two lines: the holder, then the issuer, validity, key and token.
QString certificateLines(const CertificateCard &v_oCard)
{
    return displayLine(v_oCard.commonName.isEmpty() ? v_oCard.subject : v_oCard.commonName, 80) + QLatin1String("\n    ")
           + SignerText::tr("Issued by %1, valid until %2, %3, on \"%4\"")
                 .arg(displayLine(v_oCard.issuer, 60), v_oCard.notAfter, v_oCard.keyText, displayLine(v_oCard.tokenLabel, 40));
}

} // namespace

// ---- PIN field ---------------------------------------------------------------

PinEdit::PinEdit(QWidget *v_poParent) : QLineEdit(v_poParent)
{
    setEchoMode(QLineEdit::Password);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setContextMenuPolicy(Qt::NoContextMenu);
    setAcceptDrops(false);
    setDragEnabled(false);
    setMaxLength(static_cast<int>(SecretBuffer::kCapacity));
}

SecretBuffer PinEdit::take()
{
    SecretBuffer oPin = std::move(m_oSecret);
    m_iCharacters = 0;
    showCount();
    return oPin;
}

void PinEdit::showCount()
{
    setText(QString(m_iCharacters, QLatin1Char('*')));
    end(false);
}

void PinEdit::keyPressEvent(QKeyEvent *v_poEvent)
{
    switch (v_poEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        v_poEvent->ignore(); // the dialog's keys
        return;
    case Qt::Key_Backspace:
        if (m_iCharacters > 0) {
            m_oSecret.chopCharacter();
            --m_iCharacters;
            showCount();
        }
        v_poEvent->accept();
        return;
    default:
        break;
    }
    v_poEvent->accept();
    if (v_poEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return; // no paste, no undo, no shortcuts
    const QString oText = v_poEvent->text();
    if (oText.isEmpty())
        return;
    for (const QChar c : oText) {
        if (!c.isPrint() && !c.isSurrogate())
            return;
    }
    QByteArray oUtf8 = oText.toUtf8();
    if (m_oSecret.append(oUtf8.constData(), static_cast<size_t>(oUtf8.size()))) {
        m_iCharacters += oText.toUcs4().size();
        showCount();
    }
    OPENSSL_cleanse(oUtf8.data(), static_cast<size_t>(oUtf8.size()));
}

void PinEdit::typeText(const QString &v_oText)
{
    for (const uint uiCode : v_oText.toUcs4()) {
        QKeyEvent oEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&uiCode, 1));
        keyPressEvent(&oEvent);
    }
}

void PinEdit::inputMethodEvent(QInputMethodEvent *v_poEvent)
{
    v_poEvent->ignore();
}

void PinEdit::mousePressEvent(QMouseEvent *v_poEvent)
{
    setFocus(Qt::MouseFocusReason);
    v_poEvent->accept();
}

void PinEdit::mouseMoveEvent(QMouseEvent *v_poEvent)
{
    v_poEvent->accept();
}

void PinEdit::mouseDoubleClickEvent(QMouseEvent *v_poEvent)
{
    v_poEvent->accept();
}

// ---- token watcher ---------------------------------------------------------------

TokenWatcher::TokenWatcher(QObject *v_poContext, TokenPoll v_oPoll, std::function<void(const TokenSnapshot &)> v_oDeliver)
    : m_poContext(v_poContext)
    , m_oPoll(std::move(v_oPoll))
    , m_oDeliver(std::move(v_oDeliver))
    , m_oThread([this] { run(); })
{
}

TokenWatcher::~TokenWatcher()
{
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bStop = true;
    }
    m_oWake.notify_all();
    m_oThread.join();
}

void TokenWatcher::run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> oLock(m_oMutex);
            if (m_oWake.wait_for(oLock, std::chrono::milliseconds(kIntervalMs), [this] { return m_bStop; }))
                return;
        }
        TokenSnapshot oSnapshot;
        try {
            oSnapshot = m_oPoll();
        } catch (...) {
            continue; // a reader that failed this time is asked again next time
        }
        // Dropped by Qt if the dialog is gone before the main thread gets to it.
        auto oDeliver = m_oDeliver;
        QMetaObject::invokeMethod(m_poContext, [oDeliver, oSnapshot] { oDeliver(oSnapshot); }, Qt::QueuedConnection);
    }
}

// ---- the frame every dialog shares ----------------------------------------------------

RequestDialog::RequestDialog(const char *v_pKind, const WebOrigin &v_oOrigin, const QString &v_oTitle,
                             const QString &v_oLead)
    : m_pKind(v_pKind)
{
    const SignerSettings oSettings = SignerSettings::read();
    m_iDelayMs = oSettings.confirmDelayMs;
    m_iSecondsLeft = oSettings.dialogTimeoutSeconds;

    setWindowTitle(v_oTitle);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint
                   | Qt::WindowStaysOnTopHint);
    setMinimumWidth(520);
    setAccessibleName(v_oTitle);
    auto *poLayout = new QVBoxLayout(this);

    QLabel *poLead = plainLabel(v_oLead, this);
    poLayout->addWidget(poLead);
    // The origin alone on its line, in a larger font, the registrable domain in
    // bold; the labels before the registrable domain give way until it fits.
    auto *poOrigin = new QLabel(this);
    QFont oOriginFont = poOrigin->font();
    if (oOriginFont.pointSizeF() > 0)
        oOriginFont.setPointSizeF(oOriginFont.pointSizeF() * 1.3);
    poOrigin->setFont(oOriginFont);
    oOriginFont.setBold(true);
    const QFontMetrics oMetrics(oOriginFont);
    int iChars = 64;
    while (iChars > 24 && oMetrics.horizontalAdvance(originPlain(v_oOrigin, iChars)) > kOriginWidth)
        iChars -= 2;
    poOrigin->setText(originRich(v_oOrigin, iChars));
    poOrigin->setTextFormat(Qt::RichText); // built from checked, escaped parts only
    poOrigin->setTextInteractionFlags(Qt::TextSelectableByMouse);
    poOrigin->setAccessibleName(SignerText::tr("Requesting site: %1").arg(v_oOrigin.text));
    poOrigin->setProperty("plainText", originPlain(v_oOrigin, iChars));
    poLayout->addWidget(poOrigin);

    m_poBody = new QVBoxLayout();
    poLayout->addLayout(m_poBody);

    m_poStatus = warningLabel(QString(), this);
    m_poStatus->hide();
    poLayout->addWidget(m_poStatus);
    m_poCountdown = plainLabel(QString(), this);
    poLayout->addWidget(m_poCountdown);

    auto *poButtons = new QDialogButtonBox(this);
    m_poConfirm = poButtons->addButton(text("OK"), QDialogButtonBox::AcceptRole);
    m_poCancel = poButtons->addButton(SignerText::tr("Cancel"), QDialogButtonBox::RejectRole);
    m_poCancel->setAccessibleName(SignerText::tr("Cancel"));
    // Neither button reacts to Enter on its own: keyPressEvent decides.
    for (QPushButton *poButton : {m_poConfirm, m_poCancel}) {
        poButton->setAutoDefault(false);
        poButton->setDefault(false);
    }
    connect(poButtons, &QDialogButtonBox::accepted, this, [this] {
        if (m_poConfirm->isEnabled())
            accept();
    });
    connect(poButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    poLayout->addWidget(poButtons);

    m_oDelay.setSingleShot(true);
    // A coarse timer may fire up to 5% early: the delay is a floor.
    m_oDelay.setTimerType(Qt::PreciseTimer);
    connect(&m_oDelay, &QTimer::timeout, this, [this] {
        m_bDelayPassed = true;
        updateConfirm();
#ifdef QTX_SIGNER_TEST_HOOK
        // A test's answer that waited for the delay confirms now, not at
        // the hook's next tick.
        if (m_oPending && m_oPending())
            m_oPending = nullptr;
#endif
    });
    connect(&m_oClock, &QTimer::timeout, this, [this] { tick(); });
    updateConfirm();
}

QLabel *RequestDialog::addLabel(const QString &v_oText, QVBoxLayout *v_poLayout)
{
    QLabel *poLabel = plainLabel(v_oText, this);
    (v_poLayout ? v_poLayout : m_poBody)->addWidget(poLabel);
    return poLabel;
}

void RequestDialog::setStatus(const QString &v_oText)
{
    m_poStatus->setText(v_oText);
    m_poStatus->setAccessibleName(v_oText);
    m_poStatus->setVisible(!v_oText.isEmpty());
}

void RequestDialog::setReportOnly()
{
    m_bReportOnly = true;
    m_poConfirm->hide();
    m_poCountdown->hide();
}

void RequestDialog::setReady(bool v_bReady)
{
    m_bReady = v_bReady;
    updateConfirm();
}

void RequestDialog::updateConfirm()
{
    m_poConfirm->setEnabled(m_bReady && m_bDelayPassed);
    m_poConfirm->setAccessibleName(m_poConfirm->text());
}

void RequestDialog::restartDelay()
{
    m_bDelayPassed = false;
    updateConfirm();
    m_oDelay.start(m_iDelayMs);
}

void RequestDialog::tick()
{
    if (--m_iSecondsLeft <= 0) {
        m_bTimedOut = true;
        reject();
        return;
    }
    showCountdown();
}

void RequestDialog::showCountdown()
{
    const QString oLeft = QStringLiteral("%1:%2").arg(m_iSecondsLeft / 60).arg(m_iSecondsLeft % 60, 2, 10, QLatin1Char('0'));
    m_poCountdown->setText(SignerText::tr("Without an answer this request is cancelled in %1.").arg(oLeft));
}

void RequestDialog::showEvent(QShowEvent *v_poEvent)
{
    QDialog::showEvent(v_poEvent);
    restartDelay();
}

bool RequestDialog::event(QEvent *v_poEvent)
{
    // Coming back to the front starts the delay again: a click or a key meant
    // for the window before cannot land on the button.
    if (v_poEvent->type() == QEvent::WindowActivate) {
        restartDelay();
    } else if (v_poEvent->type() == QEvent::WindowDeactivate) {
        m_oDelay.stop();
        m_bDelayPassed = false;
        updateConfirm();
    }
    return QDialog::event(v_poEvent);
}

void RequestDialog::keyPressEvent(QKeyEvent *v_poEvent)
{
    if (v_poEvent->key() == Qt::Key_Return || v_poEvent->key() == Qt::Key_Enter) {
        // Only a fresh press on an enabled button confirms: not a repeat of a
        // key held since before (typed into the page, or while the button was
        // still disabled).
        if (!v_poEvent->isAutoRepeat() && !m_bEnterHeld && m_poConfirm->isEnabled())
            m_poConfirm->click();
        else
            m_bEnterHeld = true;
        v_poEvent->accept();
        return;
    }
    QDialog::keyPressEvent(v_poEvent);
}

void RequestDialog::keyReleaseEvent(QKeyEvent *v_poEvent)
{
    if ((v_poEvent->key() == Qt::Key_Return || v_poEvent->key() == Qt::Key_Enter) && !v_poEvent->isAutoRepeat())
        m_bEnterHeld = false;
    QDialog::keyReleaseEvent(v_poEvent);
}

bool RequestDialog::pick(int, bool)
{
    return false;
}

Outcome RequestDialog::run()
{
    if (m_poConfirm->accessibleName().isEmpty())
        m_poConfirm->setAccessibleName(m_poConfirm->text());
    showCountdown();
    // Named once: a screen reader is not to announce every second.
    m_poCountdown->setAccessibleName(m_poCountdown->text());
    if (!m_bReportOnly)
        m_oClock.start(1000);
#ifdef QTX_SIGNER_TEST_HOOK
    m_oHookDir = signerTestDir();
    if (!m_oHookDir.isEmpty()) {
        connect(&m_oHook, &QTimer::timeout, this, [this] { hookTick(); });
        m_oHook.start(20);
        // The dialog's text for the test as soon as the dialog runs.
        QTimer::singleShot(0, this, [this] { hookTick(); });
    }
#endif
    QTimer::singleShot(0, this, [this] {
        raise();
        activateWindow();
    });
    const int iResult = exec();
    m_oClock.stop();
    m_oDelay.stop();
#ifdef QTX_SIGNER_TEST_HOOK
    m_oHook.stop();
    if (!m_oHookDir.isEmpty())
        ::unlink((m_oHookDir + "/dialog.txt").constData());
#endif
    if (m_bTimedOut)
        return Outcome::TimedOut;
    return iResult == QDialog::Accepted ? Outcome::Accepted : Outcome::Cancelled;
}

#ifdef QTX_SIGNER_TEST_HOOK
// What the dialog shows, one line per widget, rewritten whenever it changes.
QByteArray RequestDialog::shownText() const
{
    QString oShown = QStringLiteral("dialog=%1\ntitle=%2\n").arg(QLatin1String(m_pKind), windowTitle());
    for (QWidget *poWidget : findChildren<QWidget *>()) {
        if (!poWidget->isVisibleTo(this))
            continue;
        if (auto *poLabel = qobject_cast<QLabel *>(poWidget)) {
            const QVariant oPlain = poLabel->property("plainText");
            oShown += (oPlain.isValid() ? oPlain.toString() : poLabel->text()) + QLatin1Char('\n');
        } else if (auto *poList = qobject_cast<QListWidget *>(poWidget)) {
            for (int i = 0; i < poList->count(); ++i)
                oShown += QStringLiteral("item%1=%2%3\n")
                              .arg(i)
                              .arg(poList->item(i)->text().replace(QLatin1String("\n    "), QLatin1String(" | ")),
                                   poList->item(i)->icon().isNull() ? QString() : QStringLiteral(" | [preview]"));
        } else if (auto *poCheck = qobject_cast<QCheckBox *>(poWidget)) {
            oShown += QStringLiteral("check=%1 %2\n").arg(poCheck->text()).arg(poCheck->isChecked() ? 1 : 0);
        } else if (auto *poButton = qobject_cast<QPushButton *>(poWidget)) {
            oShown += QStringLiteral("button=%1 enabled=%2\n").arg(poButton->text()).arg(poButton->isEnabled() ? 1 : 0);
        }
    }
    oShown += QStringLiteral("pinField=%1\n").arg(pinEdit() ? 1 : 0);
    return oShown.toUtf8();
}

// Answers from the test: "cancel", "ok", "pin:<PIN>", "pick:<index>" or
// "pick:<index>:remember". An answer that confirms waits until the button is
// enabled (the delay, a card to come back).
void RequestDialog::hookTick()
{
    const QByteArray oShown = shownText();
    if (oShown != m_oLastShown) {
        signerTestWrite(m_oHookDir, "dialog.txt", oShown);
        m_oLastShown = oShown;
    }
    if (m_oPending) {
        if (m_oPending())
            m_oPending = nullptr;
        return;
    }
    QByteArray oAnswer;
    if (!signerTestTakeAnswer(m_oHookDir, &oAnswer))
        return;
    const auto oConfirm = [this] {
        if (!m_poConfirm->isEnabled())
            return false;
        m_poConfirm->click();
        return true;
    };
    if (oAnswer.startsWith("pin:") && pinEdit()) {
        pinEdit()->typeText(QString::fromUtf8(oAnswer.mid(4)));
        m_oPending = oConfirm;
    } else if (oAnswer == "ok" && !pinEdit()) {
        m_oPending = oConfirm;
    } else if (oAnswer.startsWith("pick:")) {
        const QList<QByteArray> oParts = oAnswer.split(':');
        if (pick(oParts.value(1).toInt(), oParts.value(2) == "remember"))
            m_oPending = oConfirm;
        else
            reject();
    } else {
        reject();
    }
    OPENSSL_cleanse(oAnswer.data(), static_cast<size_t>(oAnswer.size()));
}
#endif

// ---- the picker ---------------------------------------------------------------

namespace {

class PickerDialog : public RequestDialog
{
    Q_DECLARE_TR_FUNCTIONS(SignerDialog)
public:
    PickerDialog(const PickRequest &v_oRequest, const TokenSnapshot &v_oFirst)
        : RequestDialog("picker", v_oRequest.origin,
                        v_oRequest.purpose == Purpose::Login ? tr("Choose a certificate to log in")
                                                             : tr("Choose a certificate for signing"),
                        v_oRequest.purpose == Purpose::Login ? tr("This site asks which certificate you log in with:")
                                                             : tr("This site asks which certificate you sign with:"))
        , m_ePurpose(v_oRequest.purpose)
    {
        addLabel(tr("The site will see the certificate you choose: your name and the certificate's details. "
                    "If you cancel, it learns nothing."));
        m_poList = new QListWidget(this);
        m_poList->setAccessibleName(tr("Certificates"));
        m_poList->setSelectionMode(QAbstractItemView::SingleSelection);
        m_poList->setMinimumHeight(120);
        m_poList->setWordWrap(true);
        m_poList->setSpacing(3);
        m_poList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        body()->addWidget(m_poList);
        m_poMissing = addLabel(QString());
        m_poRemember = new QCheckBox(tr("Let this site see this certificate from now on"), this);
        m_poRemember->setAccessibleName(m_poRemember->text());
        body()->addWidget(m_poRemember);
        confirmButton()->setText(tr("Select"));
        connect(m_poList, &QListWidget::itemSelectionChanged, this, [this] { setReady(!selectedFingerprint().isEmpty()); });
        connect(m_poList, &QListWidget::itemDoubleClicked, this, [this] {
            if (confirmButton()->isEnabled())
                confirmButton()->click();
        });
        showTokens(v_oFirst);
        m_poList->setFocus();
    }

    void showTokens(const TokenSnapshot &v_oSnapshot)
    {
        // Rebuilt only when something changed: the user may be moving in the list.
        QString oKey = v_oSnapshot.anyToken ? QStringLiteral("1") : QStringLiteral("0");
        for (const CertificateCard &oCard : v_oSnapshot.certificates)
            oKey += oCard.fingerprint + QString::number(static_cast<int>(oCard.unfit));
        if (oKey == m_oLastKey)
            return;
        m_oLastKey = oKey;
        const QString oSelected = selectedFingerprint();
        m_oShown.clear();
        m_poList->clear();
        int iLoginOnly = 0, iSigningOnly = 0, iExpired = 0, iOther = 0;
        for (const CertificateCard &oCard : v_oSnapshot.certificates) {
            switch (oCard.unfit) {
            case Unfit::None:
                m_oShown << oCard;
                m_poList->addItem(certificateLines(oCard));
                m_poList->item(m_poList->count() - 1)->setData(Qt::AccessibleTextRole, certificateLines(oCard));
                break;
            case Unfit::LoginOnly: ++iLoginOnly; break;
            case Unfit::SigningOnly: ++iSigningOnly; break;
            case Unfit::Expired:
            case Unfit::NotYetValid: ++iExpired; break;
            default: ++iOther; break;
            }
        }
        QStringList oMissing;
        if (iLoginOnly)
            oMissing << tr("%n certificate(s) for log-in only are not shown.", nullptr, iLoginOnly);
        if (iSigningOnly)
            oMissing << tr("%n certificate(s) for signing only are not shown.", nullptr, iSigningOnly);
        if (iExpired)
            oMissing << tr("%n certificate(s) outside their validity period are not shown.", nullptr, iExpired);
        if (iOther)
            oMissing << tr("%n certificate(s) for other uses are not shown.", nullptr, iOther);
        m_poMissing->setText(oMissing.join(QLatin1Char(' ')));
        m_poMissing->setAccessibleName(m_poMissing->text());
        m_poMissing->setVisible(!oMissing.isEmpty());
        for (int i = 0; i < m_oShown.size(); ++i) {
            // One certificate that fits is chosen already; of several, none is.
            if (m_oShown.at(i).fingerprint == oSelected || m_oShown.size() == 1)
                m_poList->setCurrentRow(i, QItemSelectionModel::ClearAndSelect);
        }
        m_bTokenMissing = !v_oSnapshot.anyToken;
        if (m_bTokenMissing)
            setStatus(tr("Insert your card or token."));
        else if (m_oShown.isEmpty())
            setStatus(m_ePurpose == Purpose::Login ? tr("No certificate on your cards or tokens is for log-in.")
                                                  : tr("No certificate on your cards or tokens is for signing."));
        else
            setStatus(QString());
        m_poList->setVisible(!m_oShown.isEmpty());
        setReady(!selectedFingerprint().isEmpty());
    }

    QString selectedFingerprint() const
    {
        const QList<QListWidgetItem *> oSelected = m_poList->selectedItems();
        const int iRow = oSelected.isEmpty() ? -1 : m_poList->row(oSelected.first());
        return iRow >= 0 && iRow < m_oShown.size() ? m_oShown.at(iRow).fingerprint : QString();
    }
    bool remember() const { return m_poRemember->isChecked(); }
    bool tokenMissing() const { return m_bTokenMissing; }

protected:
    bool pick(int v_iIndex, bool v_bRemember) override
    {
        if (v_iIndex < 0 || v_iIndex >= m_oShown.size())
            return false;
        m_poList->setCurrentRow(v_iIndex, QItemSelectionModel::ClearAndSelect);
        m_poRemember->setChecked(v_bRemember);
        return true;
    }

private:
    Purpose m_ePurpose;
    QListWidget *m_poList = nullptr;
    QLabel *m_poMissing = nullptr;
    QCheckBox *m_poRemember = nullptr;
    QList<CertificateCard> m_oShown;
    QString m_oLastKey;
    bool m_bTokenMissing = false;
};

// ---- consent and PIN ------------------------------------------------------------

class ConsentDialog : public RequestDialog
{
    Q_DECLARE_TR_FUNCTIONS(SignerDialog)
public:
    explicit ConsentDialog(const ConsentRequest &v_oRequest)
        : RequestDialog("consent", v_oRequest.origin,
                        v_oRequest.purpose == Purpose::Login ? tr("Log-in request") : tr("Signature request"),
                        v_oRequest.purpose == Purpose::Login ? tr("Log in to:") : tr("A site asks for your signature:"))
        , m_oFingerprint(v_oRequest.certificate.fingerprint)
        , m_bProtectedPath(v_oRequest.protectedPath)
    {
        if (!v_oRequest.documents.isEmpty()) {
            addBatchList(v_oRequest.documents);
        } else if (v_oRequest.purpose == Purpose::Sign) {
            // What the page sent, apart from the dialog's own lines.
            auto *poPage = new QGroupBox(tr("Document, as the site names it"), this);
            poPage->setAccessibleName(poPage->title());
            auto *poPageLayout = new QVBoxLayout(poPage);
            QLabel *poName = pageTextLabel(v_oRequest.documentName, poPage);
            if (v_oRequest.documentName.isEmpty())
                poName->setText(tr("(not named)"));
            poName->setAccessibleName(tr("Document name: %1").arg(poName->text()));
            poPageLayout->addWidget(poName);
            QLabel *poDigestCaption = plainLabel(tr("%1 digest of the document:").arg(v_oRequest.digestAlgorithm), poPage);
            poPageLayout->addWidget(poDigestCaption);
            QLabel *poDigest = plainLabel(groupedHex(v_oRequest.digest), poPage);
            poDigest->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            poDigest->setAccessibleName(tr("Digest: %1").arg(QString::fromLatin1(v_oRequest.digest.toHex())));
            poPageLayout->addWidget(poDigest);
            if (v_oRequest.pdfPageCount > 0)
                poPageLayout->addWidget(pdfPreviewWidget(v_oRequest, poPage));
            body()->addWidget(poPage);
        }
        auto *poForm = new QFormLayout();
        const CertificateCard &oCard = v_oRequest.certificate;
        const auto row = [this, poForm](const QString &v_oLabel, const QString &v_oValue) {
            QLabel *poValue = plainLabel(v_oValue, this);
            poValue->setAccessibleName(v_oLabel + QLatin1Char(' ') + v_oValue);
            poForm->addRow(v_oLabel, poValue);
        };
        row(tr("Certificate:"), displayLine(oCard.commonName.isEmpty() ? oCard.subject : oCard.commonName, 80));
        row(tr("Issued by:"), displayLine(oCard.issuer, 80));
        row(tr("Valid until:"), oCard.notAfter);
        row(tr("Card or token:"), displayLine(oCard.tokenLabel, 40));
        if (!v_oRequest.signatureAlgorithm.isEmpty())
            row(tr("Algorithm:"), v_oRequest.signatureAlgorithm);
        body()->addLayout(poForm);

        const QString oWarning = pinWarning(v_oRequest.pinCountLow, v_oRequest.pinFinalTry);
        if (!oWarning.isEmpty())
            body()->addWidget(warningLabel(oWarning, this));
        const QString oConfirm = v_oRequest.purpose == Purpose::Login ? tr("Log in") : tr("Sign");
        if (m_bProtectedPath) {
            addLabel(tr("After \"%1\", enter the PIN on the reader's keypad.").arg(oConfirm));
        } else {
            m_poPin = new PinEdit(this);
            m_poPin->setPlaceholderText(tr("PIN"));
            m_poPin->setAccessibleName(tr("PIN"));
            auto *poPinForm = new QFormLayout();
            poPinForm->addRow(tr("PIN:"), m_poPin);
            body()->addLayout(poPinForm);
            connect(m_poPin, &QLineEdit::textChanged, this, [this] { refresh(); });
            m_poPin->setFocus();
        }
        confirmButton()->setText(oConfirm);
        refresh();
    }

    void showTokens(const TokenSnapshot &v_oSnapshot)
    {
        m_bPresent = false;
        for (const CertificateCard &oCard : v_oSnapshot.certificates)
            m_bPresent = m_bPresent || oCard.fingerprint == m_oFingerprint;
        refresh();
    }

    SecretBuffer takePin() { return m_poPin ? m_poPin->take() : SecretBuffer(); }

protected:
    // Every document of a batch on a line of its own: name, what it is, hash.
    void addBatchList(const QList<BatchLine> &v_oDocuments)
    {
        auto *poBox = new QGroupBox(tr("%n document(s), as the site names them", nullptr, v_oDocuments.size()), this);
        poBox->setAccessibleName(poBox->title());
        auto *poLayout = new QVBoxLayout(poBox);
        auto *poList = new QListWidget(poBox);
        poList->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        poList->setSelectionMode(QAbstractItemView::NoSelection);
        poList->setMinimumHeight(200);
        bool bPreviews = false;
        for (const BatchLine &oLine : v_oDocuments) {
            QString oText = displayLine(oLine.name.isEmpty() ? tr("(not named)") : oLine.name, 80) + QStringLiteral("\n    ")
                            + oLine.kind;
            if (!oLine.hash.isEmpty())
                oText += QStringLiteral("\n    ") + groupedHex(oLine.hash).replace(QLatin1Char('\n'), QLatin1Char(' '));
            if (oLine.pdf && oLine.preview.isNull() && oLine.refusal.isEmpty())
                oText += QStringLiteral("\n    ") + tr("No preview");
            if (!oLine.refusal.isEmpty())
                oText += QStringLiteral("\n    ") + tr("Will not be signed: %1").arg(oLine.refusal);
            auto *poItem = new QListWidgetItem(oText, poList);
            poItem->setData(Qt::AccessibleTextRole, oText);
            if (!oLine.preview.isNull()) {
                poItem->setIcon(QIcon(QPixmap::fromImage(oLine.preview)));
                bPreviews = true;
            }
        }
        if (bPreviews)
            poList->setIconSize(QSize(kBatchPreviewSide, kBatchPreviewSide));
        poLayout->addWidget(poList);
        body()->addWidget(poBox);
    }

    PinEdit *pinEdit() const override { return m_poPin; }

private:
    void refresh()
    {
        setStatus(m_bPresent ? QString() : tr("Insert the card or token with this certificate."));
        setReady(m_bPresent && (!m_poPin || !m_poPin->secret().empty()));
    }

    QString m_oFingerprint;
    bool m_bProtectedPath = false;
    bool m_bPresent = true;
    PinEdit *m_poPin = nullptr;
};

class PinAgainDialog : public RequestDialog
{
    Q_DECLARE_TR_FUNCTIONS(SignerDialog)
public:
    explicit PinAgainDialog(const PinRequest &v_oRequest)
        : RequestDialog("pin", v_oRequest.origin, tr("Signature PIN"), tr("A site asks for your signature:"))
    {
        addLabel(tr("The card needs the PIN for this signature once more: %1")
                     .arg(displayLine(v_oRequest.certificate.commonName, 80)));
        const QString oWarning = pinWarning(v_oRequest.pinCountLow, v_oRequest.pinFinalTry);
        if (!oWarning.isEmpty())
            body()->addWidget(warningLabel(oWarning, this));
        m_poPin = new PinEdit(this);
        m_poPin->setPlaceholderText(tr("PIN"));
        m_poPin->setAccessibleName(tr("PIN"));
        body()->addWidget(m_poPin);
        connect(m_poPin, &QLineEdit::textChanged, this, [this] { setReady(!m_poPin->secret().empty()); });
        confirmButton()->setText(tr("Sign"));
        m_poPin->setFocus();
    }
    SecretBuffer takePin() { return m_poPin->take(); }

protected:
    PinEdit *pinEdit() const override { return m_poPin; }

private:
    PinEdit *m_poPin = nullptr;
};

// ---- the interface's implementation ------------------------------------------------------

class QtSignerUi : public SignerUi
{
public:
    bool available() const override
    {
        auto *poApp = QCoreApplication::instance();
        if (!poApp || !poApp->inherits("QApplication"))
            return false;
#ifdef QTX_SIGNER_TEST_HOOK
        if (!signerTestDir().isEmpty())
            return true;
#endif
        // Qt falls back to these without a display: a dialog there would wait unseen.
        const QString oPlatform = QGuiApplication::platformName();
        return !oPlatform.isEmpty() && oPlatform != QLatin1String("offscreen") && oPlatform != QLatin1String("minimal")
               && oPlatform != QLatin1String("minimalegl");
    }

    PickAnswer pickCertificate(const PickRequest &v_oRequest, const TokenSnapshot &v_oFirst,
                               const TokenPoll &v_oPoll) override
    {
        TranslatorScope oTranslation;
        PickerDialog oDialog(v_oRequest, v_oFirst);
        PickAnswer oAnswer;
        {
            TokenWatcher oWatcher(&oDialog, v_oPoll, [&oDialog](const TokenSnapshot &v_oSnapshot) { oDialog.showTokens(v_oSnapshot); });
            oAnswer.outcome = oDialog.run();
        }
        oAnswer.fingerprint = oDialog.selectedFingerprint();
        oAnswer.remember = oDialog.remember();
        oAnswer.tokenMissing = oDialog.tokenMissing();
        if (oAnswer.outcome == Outcome::Accepted && oAnswer.fingerprint.isEmpty())
            oAnswer.outcome = Outcome::Cancelled;
        return oAnswer;
    }

    ConsentAnswer askConsent(const ConsentRequest &v_oRequest, const TokenPoll &v_oPoll) override
    {
        TranslatorScope oTranslation;
        ConsentDialog oDialog(v_oRequest);
        ConsentAnswer oAnswer;
        {
            TokenWatcher oWatcher(&oDialog, v_oPoll, [&oDialog](const TokenSnapshot &v_oSnapshot) { oDialog.showTokens(v_oSnapshot); });
            oAnswer.outcome = oDialog.run();
        }
        // Taken in every case, so the field is emptied and the buffer wiped.
        SecretBuffer oPin = oDialog.takePin();
        if (oAnswer.outcome == Outcome::Accepted)
            oAnswer.pin = std::move(oPin);
        return oAnswer;
    }

    void showBatchProgress(const WebOrigin &v_oOrigin, BatchMonitor &v_oMonitor) override
    {
        TranslatorScope oTranslation;
        runBatchProgressDialog(v_oOrigin, v_oMonitor);
    }

    bool askPinAgain(const PinRequest &v_oRequest, SecretBuffer *v_poPin) override
    {
        TranslatorScope oTranslation;
        PinAgainDialog oDialog(v_oRequest);
        const bool bAccepted = oDialog.run() == Outcome::Accepted;
        SecretBuffer oPin = oDialog.takePin();
        if (bAccepted)
            *v_poPin = std::move(oPin);
        return bAccepted;
    }
};

} // namespace

SignerUi &signerUi()
{
    static QtSignerUi s_ui;
    return s_ui;
}

#ifdef QTX_SIGNER_TEST_HOOK
// Test hook (not in release packages): QTX_SIGNER_TEST_DIR names a folder of
// this account with no access for group or others. While a dialog is open it
// holds "dialog.txt" (what the dialog shows); a file "answer" written there by
// the test answers it. A page cannot set the server's environment, and no
// other account can write into the folder.
QByteArray signerTestDir()
{
    const QByteArray oDir = qgetenv("QTX_SIGNER_TEST_DIR");
    if (oDir.isEmpty() || oDir.at(0) != '/')
        return QByteArray();
    struct stat oStat {};
    if (::lstat(oDir.constData(), &oStat) != 0 || !S_ISDIR(oStat.st_mode) || oStat.st_uid != ::geteuid()
        || (oStat.st_mode & 077) != 0)
        return QByteArray();
    return oDir;
}

// Reads and removes the answer file, if there is one (never through a link).
bool signerTestTakeAnswer(const QByteArray &v_oDir, QByteArray *v_poAnswer)
{
    const QByteArray oPath = v_oDir + "/answer";
    const int iFd = ::open(oPath.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (iFd < 0)
        return false;
    char aBuffer[256];
    const ssize_t iRead = ::read(iFd, aBuffer, sizeof aBuffer);
    ::close(iFd);
    ::unlink(oPath.constData());
    *v_poAnswer = QByteArray(aBuffer, iRead > 0 ? static_cast<int>(iRead) : 0).trimmed();
    OPENSSL_cleanse(aBuffer, sizeof aBuffer);
    return true;
}

// Written aside and renamed, so a test never reads half a file.
void signerTestWrite(const QByteArray &v_oDir, const char *v_pName, const QByteArray &v_oData)
{
    const QString oPath = QString::fromLocal8Bit(v_oDir) + QLatin1Char('/') + QLatin1String(v_pName);
    QFile oFile(oPath + QStringLiteral(".new"));
    if (oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oData) == v_oData.size()) {
        oFile.close();
        ::rename(QFile::encodeName(oFile.fileName()).constData(), QFile::encodeName(oPath).constData());
    }
}
#endif
