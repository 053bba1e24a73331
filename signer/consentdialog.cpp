#include "consentdialog.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#ifdef QTX_SIGNER_TEST_HOOK
// Test hook (not in release packages): QTX_SIGNER_TEST_DIR names a folder of
// this account with no access for group or others. While the dialog is open it
// holds "dialog.txt" (what the dialog shows); a file "answer" written there by
// the test answers it: "cancel", "ok" or "pin:<PIN>". A page cannot set the
// server's environment, and no other account can write into the folder.
QByteArray testDir()
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
bool takeAnswer(const QByteArray &v_oDir, QByteArray *v_poAnswer)
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
    return true;
}
#endif

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

QLabel *plainLabel(const QString &v_oText, QWidget *v_poParent)
{
    auto *poLabel = new QLabel(v_oText, v_poParent);
    poLabel->setTextFormat(Qt::PlainText); // page-supplied text is never rich text
    poLabel->setWordWrap(true);
    poLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return poLabel;
}

} // namespace

void wipe(QByteArray *v_poSecret)
{
    if (!v_poSecret->isEmpty())
        OPENSSL_cleanse(v_poSecret->data(), static_cast<size_t>(v_poSecret->size()));
    v_poSecret->clear();
}

bool consentPossible()
{
#ifdef QTX_SIGNER_TEST_HOOK
    if (!testDir().isEmpty())
        return QCoreApplication::instance() && QCoreApplication::instance()->inherits("QApplication");
#endif
    if (!QCoreApplication::instance() || !QCoreApplication::instance()->inherits("QApplication"))
        return false;
    const QString oPlatform = QGuiApplication::platformName();
    return !oPlatform.isEmpty() && oPlatform != QLatin1String("offscreen") && oPlatform != QLatin1String("minimal")
           && oPlatform != QLatin1String("minimalegl");
}

ConsentAnswer askConsent(const ConsentRequest &v_oRequest)
{
    QDialog oDialog;
    oDialog.setWindowTitle(QObject::tr("Signature request"));
    oDialog.setMinimumWidth(460);
    auto *poLayout = new QVBoxLayout(&oDialog);
    const QString oOrigin = v_oRequest.origin.isEmpty() ? QObject::tr("(a client that sent no Origin)") : v_oRequest.origin;
    poLayout->addWidget(plainLabel(QObject::tr("The page %1 asks for your signature.").arg(oOrigin), &oDialog));

    auto *poForm = new QFormLayout();
    poForm->addRow(QObject::tr("Document:"), plainLabel(v_oRequest.documentName.isEmpty() ? QObject::tr("(not named)")
                                                                                         : v_oRequest.documentName,
                                                        &oDialog));
    auto *poDigest = plainLabel(groupedHex(v_oRequest.digest), &oDialog);
    poDigest->setFont(QFont(QStringLiteral("monospace")));
    poForm->addRow(QObject::tr("Digest (%1):").arg(v_oRequest.digestAlgorithm), poDigest);
    poForm->addRow(QObject::tr("Certificate:"), plainLabel(v_oRequest.certificate, &oDialog));
    poForm->addRow(QObject::tr("Issued by:"), plainLabel(v_oRequest.issuer, &oDialog));
    poForm->addRow(QObject::tr("Token:"), plainLabel(v_oRequest.tokenLabel, &oDialog));
    poForm->addRow(QObject::tr("Algorithm:"), plainLabel(v_oRequest.signatureAlgorithm, &oDialog));
    poLayout->addLayout(poForm);

    QString oWarning;
    if (v_oRequest.pinFinalTry)
        oWarning = QObject::tr("Last try: one more wrong PIN locks the token.");
    else if (v_oRequest.pinCountLow)
        oWarning = QObject::tr("A wrong PIN was entered before: only few tries are left.");
    if (!oWarning.isEmpty()) {
        auto *poWarning = plainLabel(oWarning, &oDialog);
        poWarning->setStyleSheet(QStringLiteral("color: #b00020; font-weight: bold"));
        poLayout->addWidget(poWarning);
    }

    QLineEdit *poPin = nullptr;
    if (v_oRequest.protectedPath) {
        poLayout->addWidget(plainLabel(QObject::tr("After \"Sign\", enter the PIN on the reader's keypad."), &oDialog));
    } else {
        poPin = new QLineEdit(&oDialog);
        poPin->setEchoMode(QLineEdit::Password);
        poPin->setPlaceholderText(QObject::tr("PIN"));
        poLayout->addWidget(poPin);
    }
    auto *poButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &oDialog);
    QPushButton *poSign = poButtons->button(QDialogButtonBox::Ok);
    poSign->setText(QObject::tr("Sign"));
    poButtons->button(QDialogButtonBox::Cancel)->setDefault(false);
    poLayout->addWidget(poButtons);
    QObject::connect(poButtons, &QDialogButtonBox::accepted, &oDialog, &QDialog::accept);
    QObject::connect(poButtons, &QDialogButtonBox::rejected, &oDialog, &QDialog::reject);
    if (poPin) {
        poSign->setEnabled(false);
        QObject::connect(poPin, &QLineEdit::textChanged, poSign,
                         [poSign](const QString &v_oText) { poSign->setEnabled(!v_oText.isEmpty()); });
        poPin->setFocus();
    }

#ifdef QTX_SIGNER_TEST_HOOK
    const QByteArray oTestDir = testDir();
    QTimer oHook;
    if (!oTestDir.isEmpty()) {
        QString oShown;
        for (QLabel *poLabel : oDialog.findChildren<QLabel *>())
            oShown += poLabel->text() + QLatin1Char('\n');
        oShown += QStringLiteral("pinField=%1\n").arg(poPin ? 1 : 0);
        QFile oFile(QString::fromLocal8Bit(oTestDir) + QStringLiteral("/dialog.txt"));
        if (oFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            oFile.write(oShown.toUtf8());
        oFile.close();
        const auto oPoll = [&oDialog, &oTestDir, poPin, poSign] {
            QByteArray oAnswer;
            if (!takeAnswer(oTestDir, &oAnswer))
                return;
            const bool bPin = oAnswer.startsWith("pin:") && poPin;
            const bool bOk = bPin || (oAnswer == "ok" && !poPin);
            if (bPin)
                poPin->setText(QString::fromUtf8(oAnswer.mid(4)));
            wipe(&oAnswer);
            if (bOk && poSign->isEnabled())
                poSign->click();
            else
                oDialog.reject();
        };
        QObject::connect(&oHook, &QTimer::timeout, &oDialog, oPoll);
        // An answer written before the dialog opened is taken at once.
        QTimer::singleShot(0, &oDialog, oPoll);
        oHook.start(20);
    }
#endif

    ConsentAnswer oAnswer;
    oAnswer.accepted = oDialog.exec() == QDialog::Accepted;
#ifdef QTX_SIGNER_TEST_HOOK
    oHook.stop();
    if (!oTestDir.isEmpty())
        ::unlink((oTestDir + "/dialog.txt").constData());
#endif
    if (oAnswer.accepted && poPin)
        oAnswer.pin = poPin->text().toUtf8();
    if (poPin)
        poPin->clear();
    return oAnswer;
}
