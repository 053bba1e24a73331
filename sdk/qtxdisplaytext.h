#pragma once

// Page-supplied text for a module's dialog, made safe to show: one line, with
// nothing in it that can make it look like the dialog's own lines.
//
//   poLabel->setTextFormat(Qt::PlainText);
//   poLabel->setText(qtxDisplayText(QString::fromUtf8(v_oRequest.value("documentName")), 120));
//
// - Line breaks become the two characters "\n" (CR "\r", tab "\t"); every other
//   control character (C0, DEL, C1), the line and paragraph separators
//   (U+2028, U+2029) and the bidirectional formatting characters (U+061C,
//   U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), which reorder what follows
//   them ("invoice_\u202Efdp.exe" would read "invoice_exe.pdf"), become
//   "\uXXXX"; a lone surrogate becomes "\uXXXX" as well. Everything else, all
//   scripts and emoji included, stays as it is.
// - At most v_iMaxChars characters (UTF-16 code units) come out, escapes
//   counted: a longer text keeps its beginning and its end (a file name's
//   extension) with "…" (U+2026) between them, never cutting an escape or a
//   surrogate pair. v_iMaxChars below 8 counts as 8.
//
// Show the result as plain text (Qt::PlainText), in an area of its own that
// says it comes from the page, and never as a window title.

#include <QString>
#include <QStringList>

inline QString qtxDisplayText(const QString &v_oText, int v_iMaxChars)
{
    const auto isBidiControl = [](char16_t c) {
        return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    };
    // One display unit per source character (a surrogate pair is one unit):
    // an escape is never split by the shortening below.
    QStringList oUnits;
    oUnits.reserve(v_oText.size());
    int iLength = 0;
    for (int i = 0; i < v_oText.size(); ++i) {
        const char16_t c = v_oText.at(i).unicode();
        QString oUnit;
        if (c == '\n')
            oUnit = QStringLiteral("\\n");
        else if (c == '\r')
            oUnit = QStringLiteral("\\r");
        else if (c == '\t')
            oUnit = QStringLiteral("\\t");
        else if (QChar::isHighSurrogate(c) && i + 1 < v_oText.size() && QChar::isLowSurrogate(v_oText.at(i + 1).unicode()))
            oUnit = v_oText.mid(i++, 2);
        else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || isBidiControl(c)
                 || QChar::isSurrogate(c))
            oUnit = QStringLiteral("\\u") + QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0'));
        else
            oUnit = QString(QChar(c));
        iLength += oUnit.size();
        oUnits.append(oUnit);
    }
    const int iMax = v_iMaxChars < 8 ? 8 : v_iMaxChars;
    if (iLength <= iMax)
        return oUnits.join(QString());
    // The ellipsis takes one place; the rest is shared, the end getting the
    // smaller half.
    const int iTailBudget = (iMax - 1) / 2;
    const int iHeadBudget = iMax - 1 - iTailBudget;
    QString oHead;
    for (const QString &oUnit : qAsConst(oUnits)) {
        if (oHead.size() + oUnit.size() > iHeadBudget)
            break;
        oHead += oUnit;
    }
    QString oTail;
    for (int i = oUnits.size() - 1; i >= 0 && oTail.size() + oUnits.at(i).size() <= iTailBudget; --i)
        oTail.prepend(oUnits.at(i));
    return oHead + QChar(0x2026) + oTail;
}
