#include "pdfupdate.h"

// qpdf's own smart pointers are std::shared_ptr from 11 on; say so to its headers.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFTokenizer.hh>
#include <qpdf/QUtil.hh>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>

namespace pdfupdate {
namespace {

// The largest object number a PDF may use.
constexpr long long kMaxObjectNumber = 8388607;
// Field trees deeper than this are not followed.
constexpr int kMaxFieldDepth = 32;

[[noreturn]] void fail(const char *v_pCode, const std::string &v_oMessage)
{
    throw PdfFailure(v_pCode, v_oMessage);
}

std::string ref(const QPDFObjGen &v_oGen)
{
    return std::to_string(v_oGen.getObj()) + ' ' + std::to_string(v_oGen.getGen()) + " R";
}

// A dictionary's entry, or null for anything else: qpdf counts a lookup in a
// non-dictionary as a warning, and warnings refuse the document.
QPDFObjectHandle key(QPDFObjectHandle v_oDictionary, const char *v_pKey)
{
    return v_oDictionary.isDictionary() ? v_oDictionary.getKey(v_pKey) : QPDFObjectHandle::newNull();
}

std::string number(double v_dValue)
{
    return QUtil::double_to_string(v_dValue, 2);
}

// "1.7" of a document starting with "%PDF-1.7"; empty when it does not start so.
std::string headerVersion(const std::string &v_oPdf)
{
    if (v_oPdf.compare(0, 5, "%PDF-") != 0)
        return std::string();
    const std::size_t uiEnd = v_oPdf.find_first_not_of("0123456789.", 5);
    const std::string oVersion = v_oPdf.substr(5, (uiEnd == std::string::npos ? v_oPdf.size() : uiEnd) - 5);
    const std::size_t uiDot = oVersion.find('.');
    if (uiDot == 0 || uiDot == std::string::npos || uiDot + 1 == oVersion.size()
        || oVersion.find('.', uiDot + 1) != std::string::npos || oVersion.size() > 8)
        return std::string();
    return oVersion;
}

// A document read by qpdf, with where its last cross-reference section starts.
class Document
{
public:
    Document(const std::string &v_oPdf, const Limits &v_oLimits) : m_oPdf(v_oPdf)
    {
        // qpdf accepts bytes before the header and counts offsets from it;
        // the update's offsets and /ByteRange count from the file's start, so
        // the header qpdf takes must be the one at offset 0.
        const std::string oVersion = headerVersion(v_oPdf);
        if (oVersion.empty())
            fail("PDF_MALFORMED", "The document does not start with a PDF header.");
        m_oQpdf.setSuppressWarnings(true);
        // A damaged file is refused, not repaired: a repaired reading would
        // not be what other readers see, and the update's /Prev would point
        // into the damage.
        m_oQpdf.setAttemptRecovery(false);
        try {
            m_oQpdf.processMemoryFile("document", v_oPdf.data(), v_oPdf.size());
        } catch (const QPDFExc &oError) {
            if (oError.getErrorCode() == qpdf_e_password)
                fail("PDF_ENCRYPTED", "The document is encrypted.");
            throw;
        }
        if (m_oQpdf.isEncrypted())
            fail("PDF_ENCRYPTED", "The document is encrypted.");
        if (m_oQpdf.getPDFVersion() != oVersion)
            fail("PDF_MALFORMED", "The document has a second PDF header.");
        findLastSection();

        const std::map<QPDFObjGen, QPDFXRefEntry> oTable = m_oQpdf.getXRefTable();
        if (oTable.size() > v_oLimits.maxObjects)
            fail("PDF_TOO_COMPLEX", "The document has " + std::to_string(oTable.size()) + " objects.");
        // A cross-reference stream whose number the table gives to another
        // object reads differently once an update follows it.
        if (m_bLastIsStream) {
            const auto itStream = oTable.find(m_oLastStream);
            if (itStream != oTable.end()
                && (itStream->second.getType() != 1 || itStream->second.getOffset() != m_llLastSection))
                fail("PDF_MALFORMED", "The document's last cross-reference stream is not the object its number names.");
        }
        long long iNext = oTable.empty() ? 1 : oTable.rbegin()->first.getObj() + 1LL;
        QPDFObjectHandle oSize = trailer().getKey("/Size");
        if (!oSize.isInteger() || oSize.getIntValue() < 1 || oSize.getIntValue() > kMaxObjectNumber)
            fail("PDF_MALFORMED", "The trailer's /Size is missing or out of range.");
        m_llNextObject = std::max(iNext, oSize.getIntValue());

        m_oRoot = m_oQpdf.getRoot();
        if (!m_oRoot.isDictionary() || !m_oRoot.isIndirect())
            fail("PDF_MALFORMED", "The document has no catalog.");
    }

    // qpdf reads past much damage with a warning only (a null for an object
    // whose header does not match, a made-up key, an overridden /Type). A
    // signature must be over what every reader sees, and the objects we
    // write again must be the document's, not qpdf's repairs: any warning
    // but layout trivia refuses the document.
    void refuseDamage()
    {
        for (const QPDFExc &oWarning : m_oQpdf.getWarnings()) {
            const std::string oText = oWarning.getMessageDetail();
            if (oText == "extraneous whitespace seen before xref")
                continue;
            fail("PDF_MALFORMED", std::string("The document is damaged: ") + oWarning.what());
        }
    }

    QPDF &qpdf() { return m_oQpdf; }
    QPDFObjectHandle root() const { return m_oRoot; }
    QPDFObjectHandle trailer() { return m_oQpdf.getTrailer(); }
    const std::string &bytes() const { return m_oPdf; }
    bool inTable(const QPDFObjGen &v_oGen) { return m_oQpdf.getXRefTable().count(v_oGen) != 0; }

    // The next object number of the update (none of the document's).
    QPDFObjGen newObject()
    {
        if (m_llNextObject >= kMaxObjectNumber)
            fail("PDF_TOO_COMPLEX", "The document uses every object number.");
        return QPDFObjGen(int(m_llNextObject++), 0);
    }
    long long size() const { return m_llNextObject; }
    qpdf_offset_t lastSection() const { return m_llLastSection; }
    bool lastSectionIsStream() const { return m_bLastIsStream; }

    // A reference to an object of the update, for arrays that qpdf writes out.
    QPDFObjectHandle handle(const QPDFObjGen &v_oGen)
    {
        return QPDFObjectHandle::parse(&m_oQpdf, "[" + ref(v_oGen) + "]").getArrayItem(0);
    }

private:
    // The offset after the last "startxref" near the end, read the way qpdf
    // read it, and whether a table or a stream starts there.
    void findLastSection()
    {
        const std::size_t uiTail = std::min<std::size_t>(m_oPdf.size(), 2048);
        auto poTail = std::make_shared<BufferInputSource>("document end", m_oPdf.substr(m_oPdf.size() - uiTail));
        struct StartXref : InputSource::Finder
        {
            explicit StartXref(std::shared_ptr<InputSource> v_poSource) : source(std::move(v_poSource)) {}
            bool check() override
            {
                QPDFTokenizer oTokenizer;
                if (!oTokenizer.readToken(source, "").isWord("startxref"))
                    return false;
                const QPDFTokenizer::Token oOffset = oTokenizer.readToken(source, "");
                offset = oOffset.isInteger() ? oOffset.getValue() : std::string();
                return !offset.empty();
            }
            std::shared_ptr<InputSource> source;
            std::string offset;
        } oFinder(poTail);
        if (!poTail->findLast("startxref", 0, 0, oFinder))
            fail("PDF_MALFORMED", "The document has no startxref.");
        m_llLastSection = oFinder.offset.size() > 12 || oFinder.offset[0] == '-' ? -1 : std::stoll(oFinder.offset);
        if (m_llLastSection < 0 || std::size_t(m_llLastSection) >= m_oPdf.size())
            fail("PDF_MALFORMED", "The document's startxref points outside it.");

        auto poSection = std::make_shared<BufferInputSource>(
            "cross-reference section", m_oPdf.substr(std::size_t(m_llLastSection), 64));
        QPDFTokenizer oTokenizer;
        const QPDFTokenizer::Token oFirst = oTokenizer.readToken(poSection, "", true);
        m_bLastIsStream = oFirst.isInteger();
        if (m_bLastIsStream) {
            const QPDFTokenizer::Token oGeneration = oTokenizer.readToken(poSection, "", true);
            if (oFirst.getValue().size() > 9 || !oGeneration.isInteger() || oGeneration.getValue().size() > 5
                || !oTokenizer.readToken(poSection, "", true).isWord("obj"))
                fail("PDF_MALFORMED", "The document's last cross-reference stream has no object header.");
            m_oLastStream = QPDFObjGen(std::stoi(oFirst.getValue()), std::stoi(oGeneration.getValue()));
        }
        const bool bStreamTrailer = trailer().getKey("/Type").isNameAndEquals("/XRef");
        if (!(oFirst.isWord("xref") || oFirst.isInteger()) || m_bLastIsStream != bStreamTrailer)
            fail("PDF_MALFORMED", "The document's last cross-reference section is not where startxref says.");
    }

    const std::string &m_oPdf;
    QPDF m_oQpdf;
    QPDFObjectHandle m_oRoot;
    qpdf_offset_t m_llLastSection = 0;
    bool m_bLastIsStream = false;
    QPDFObjGen m_oLastStream;
    long long m_llNextObject = 1;
};

// Collects the objects of an update and writes them with their
// cross-reference section and trailer.
class UpdateWriter
{
public:
    UpdateWriter(Document &v_oDocument) : m_oDocument(v_oDocument), m_ulBase(v_oDocument.bytes().size())
    {
        // A document whose last line has no end-of-line still gets its
        // "%%EOF" line ended before the update.
        m_oOut = "\n";
    }

    // "N G obj <body> endobj"; returns the offset of the body in the update.
    std::size_t object(const QPDFObjGen &v_oGen, const std::string &v_oBody)
    {
        // One object in two roles (a page that is also the catalog, one
        // array as a page's annotations and the form's fields) would get two
        // new versions, and the later would lose the earlier's change.
        if (!m_oOffsets.emplace(v_oGen, m_ulBase + m_oOut.size()).second)
            fail("PDF_MALFORMED", "The document uses object " + std::to_string(v_oGen.getObj()) + " in two roles.");
        m_oOut += std::to_string(v_oGen.getObj()) + ' ' + std::to_string(v_oGen.getGen()) + " obj\n";
        const std::size_t uiBody = m_oOut.size();
        m_oOut += v_oBody;
        m_oOut += "\nendobj\n";
        return uiBody;
    }

    void stream(const QPDFObjGen &v_oGen, const std::string &v_oDictionary, const std::string &v_oData)
    {
        object(v_oGen, "<< " + v_oDictionary + " /Length " + std::to_string(v_oData.size()) + " >>\nstream\n" + v_oData
                           + "\nendstream");
    }

    // A new version of an object of the document, as qpdf writes it out.
    void replace(QPDFObjectHandle v_oObject, QPDFObjectHandle v_oNewValue)
    {
        object(v_oObject.getObjGen(), v_oNewValue.unparseResolved());
    }

    std::string &out() { return m_oOut; }

    // Appends the cross-reference section (of the kind the document's last
    // one is) and the trailer; returns the whole update.
    std::string finish()
    {
        QPDFObjectHandle oTrailer = m_oDocument.trailer();
        std::string oKeys = " /Root " + ref(m_oDocument.root().getObjGen());
        QPDFObjectHandle oInfo = oTrailer.getKey("/Info");
        if (oInfo.isIndirect())
            oKeys += " /Info " + ref(oInfo.getObjGen());
        QPDFObjectHandle oId = oTrailer.getKey("/ID");
        if (oId.isArray() && oId.getArrayNItems() == 2 && oId.getArrayItem(0).isString()
            && oId.getArrayItem(1).isString())
            oKeys += " /ID " + oId.unparse();
        oKeys += " /Prev " + std::to_string(m_oDocument.lastSection());

        if (m_oDocument.lastSectionIsStream()) {
            const QPDFObjGen oXref = m_oDocument.newObject();
            std::map<QPDFObjGen, std::size_t> oAll = m_oOffsets;
            oAll[oXref] = m_ulBase + m_oOut.size();
            std::string oEntries;
            for (const auto &oEntry : oAll) {
                const unsigned long long uiOffset = oEntry.second;
                const char aEntry[7] = {1,
                                        char(uiOffset >> 24),
                                        char(uiOffset >> 16),
                                        char(uiOffset >> 8),
                                        char(uiOffset),
                                        char(oEntry.first.getGen() >> 8),
                                        char(oEntry.first.getGen())};
                oEntries.append(aEntry, sizeof aEntry);
            }
            const std::size_t uiXref = m_ulBase + m_oOut.size();
            const std::string oIndex = index(oAll, true);
            stream(oXref, "/Type /XRef /Size " + std::to_string(m_oDocument.size()) + " /W [1 4 2] /Index [" + oIndex + "]" + oKeys,
                   oEntries);
            m_oOut += "startxref\n" + std::to_string(uiXref) + "\n%%EOF\n";
        } else {
            const std::size_t uiXref = m_ulBase + m_oOut.size();
            m_oOut += "xref\n" + index(m_oOffsets, false);
            m_oOut += "trailer\n<< /Size " + std::to_string(m_oDocument.size()) + oKeys + " >>\n";
            m_oOut += "startxref\n" + std::to_string(uiXref) + "\n%%EOF\n";
        }
        return m_oOut;
    }

private:
    // The subsections: runs of consecutive object numbers; for a table with
    // their entries, for a stream the /Index pairs.
    static std::string index(const std::map<QPDFObjGen, std::size_t> &v_oOffsets, bool v_bPairsOnly)
    {
        std::string oText;
        auto it = v_oOffsets.begin();
        while (it != v_oOffsets.end()) {
            auto itEnd = it;
            int iCount = 0;
            while (itEnd != v_oOffsets.end() && itEnd->first.getObj() == it->first.getObj() + iCount) {
                ++itEnd;
                ++iCount;
            }
            if (v_bPairsOnly) {
                oText += (oText.empty() ? "" : " ") + std::to_string(it->first.getObj()) + ' ' + std::to_string(iCount);
            } else {
                oText += std::to_string(it->first.getObj()) + ' ' + std::to_string(iCount) + '\n';
                for (auto itEntry = it; itEntry != itEnd; ++itEntry) {
                    char aLine[24];
                    std::snprintf(aLine, sizeof aLine, "%010llu %05d n\r\n",
                                  static_cast<unsigned long long>(itEntry->second), itEntry->first.getGen());
                    oText += aLine;
                }
            }
            it = itEnd;
        }
        return oText;
    }

    Document &m_oDocument;
    const std::size_t m_ulBase;
    std::string m_oOut;
    std::map<QPDFObjGen, std::size_t> m_oOffsets;
};

// What the document's form already holds.
struct FormState
{
    std::set<std::string> names;
    std::size_t fields = 0;
    int signatureFields = 0;
};

std::string fieldNamePart(QPDFObjectHandle v_oField)
{
    QPDFObjectHandle oName = v_oField.getKey("/T");
    return oName.isString() ? oName.getUTF8Value() : std::string();
}

// An earlier signature's byte range must start at 0, end inside the file and
// leave out exactly its /Contents string; otherwise it is damaged or forged,
// and adding a signature to it would bless that.
void checkSignatureValue(Document &v_oDocument, QPDFObjectHandle v_oValue, const std::string &v_oName)
{
    if (!v_oValue.isDictionary())
        return;
    QPDFObjectHandle oRange = v_oValue.getKey("/ByteRange");
    QPDFObjectHandle oContents = v_oValue.getKey("/Contents");
    const std::string oFailure = "The signature field \"" + v_oName + "\" has a byte range that does not fit the document.";
    if (!oRange.isArray() || oRange.getArrayNItems() != 4 || !oContents.isString())
        fail("PDF_SIGNATURE_INVALID", oFailure);
    long long aRange[4];
    for (int i = 0; i < 4; ++i) {
        QPDFObjectHandle oItem = oRange.getArrayItem(i);
        if (!oItem.isInteger())
            fail("PDF_SIGNATURE_INVALID", oFailure);
        aRange[i] = oItem.getIntValue();
    }
    const long long iSize = static_cast<long long>(v_oDocument.bytes().size());
    const std::string &oBytes = v_oDocument.bytes();
    if (aRange[0] != 0 || aRange[1] <= 0 || aRange[2] <= aRange[1] + 1 || aRange[3] < 0 || aRange[2] > iSize
        || aRange[3] > iSize - aRange[2] || oBytes[std::size_t(aRange[1])] != '<'
        || oBytes[std::size_t(aRange[2] - 1)] != '>'
        || aRange[2] - aRange[1] - 2 != 2 * static_cast<long long>(oContents.getStringValue().size()))
        fail("PDF_SIGNATURE_INVALID", oFailure);
}

void walkFields(Document &v_oDocument, QPDFObjectHandle v_oFields, const std::string &v_oParent,
                const std::string &v_oParentType, int v_iDepth, std::set<QPDFObjGen> &v_oSeen, FormState &v_oState,
                const Limits &v_oLimits)
{
    if (!v_oFields.isArray())
        return;
    if (v_iDepth > kMaxFieldDepth)
        fail("PDF_TOO_COMPLEX", "The document's form fields nest too deeply.");
    const int iCount = v_oFields.getArrayNItems();
    for (int i = 0; i < iCount; ++i) {
        QPDFObjectHandle oField = v_oFields.getArrayItem(i);
        if (!oField.isDictionary())
            continue;
        if (oField.isIndirect() && !v_oSeen.insert(oField.getObjGen()).second)
            continue; // listed twice or a loop
        if (++v_oState.fields > v_oLimits.maxFields)
            fail("PDF_TOO_COMPLEX", "The document has too many form fields.");
        const std::string oPart = fieldNamePart(oField);
        const std::string oName = oPart.empty() ? v_oParent : v_oParent.empty() ? oPart : v_oParent + '.' + oPart;
        QPDFObjectHandle oType = oField.getKey("/FT");
        const std::string oFieldType = oType.isName() ? oType.getName() : v_oParentType;
        if (!oName.empty())
            v_oState.names.insert(oName);
        if (oFieldType == "/Sig" && !oPart.empty()) {
            ++v_oState.signatureFields;
            checkSignatureValue(v_oDocument, oField.getKey("/V"), oName);
        }
        walkFields(v_oDocument, oField.getKey("/Kids"), oName, oFieldType, v_iDepth + 1, v_oSeen, v_oState, v_oLimits);
    }
}

// A certification signature that allows no changes (DocMDP P=1) would be
// broken by any further signature.
void checkCertification(QPDFObjectHandle v_oRoot)
{
    QPDFObjectHandle oReferences = key(key(key(v_oRoot, "/Perms"), "/DocMDP"), "/Reference");
    if (!oReferences.isArray())
        return;
    const int iCount = std::min(oReferences.getArrayNItems(), 16);
    for (int i = 0; i < iCount; ++i) {
        QPDFObjectHandle oReference = oReferences.getArrayItem(i);
        if (!key(oReference, "/TransformMethod").isNameAndEquals("/DocMDP"))
            continue;
        QPDFObjectHandle oLevel = key(key(oReference, "/TransformParams"), "/P");
        if (oLevel.isInteger() && oLevel.getIntValue() == 1)
            fail("PDF_CHANGES_NOT_ALLOWED", "The document is certified with no changes allowed, signatures included.");
    }
}

// Rough Helvetica advance widths (per 1000 units) for fitting the text; the
// reader lays out the real glyphs.
double textWidth(const std::string &v_oWinAnsi, double v_dSize, bool v_bBold)
{
    double dUnits = 0;
    for (unsigned char c : v_oWinAnsi) {
        if (c == ' ' || std::string_view("iljI.,:;'!|").find(char(c)) != std::string_view::npos)
            dUnits += 278;
        else if (c == 'f' || c == 't' || c == 'r')
            dUnits += 333;
        else if (c == 'm' || c == 'w' || c == 'M' || c == 'W')
            dUnits += 889;
        else if (c >= 'A' && c <= 'Z')
            dUnits += 700;
        else
            dUnits += 556;
    }
    return dUnits * v_dSize / 1000.0 * (v_bBold ? 1.06 : 1.0);
}

// The visible signature: a thin frame and the lines, the first in bold, at
// the largest size (4 to 12 points) at which they fit; lines too long even at
// the smallest size are cut with "...".
std::string appearanceContent(const std::vector<std::string> &v_oLines, double v_dWidth, double v_dHeight)
{
    const double dMargin = std::min(4.0, std::min(v_dWidth, v_dHeight) / 8);
    const double dInnerWidth = v_dWidth - 2 * dMargin;
    std::vector<std::string> oLines;
    for (const std::string &oLine : v_oLines)
        oLines.push_back(QUtil::utf8_to_win_ansi(oLine, '?'));
    for (std::string &oLine : oLines)
        std::replace_if(oLine.begin(), oLine.end(), [](char v_cChar) { return (unsigned char)v_cChar < 0x20; }, '?');

    double dSize = 12;
    if (!oLines.empty())
        dSize = std::min(dSize, (v_dHeight - 2 * dMargin) / (oLines.size() * 1.25));
    for (std::size_t i = 0; i < oLines.size(); ++i) {
        const double dWidth = textWidth(oLines[i], 1, i == 0);
        if (dWidth > 0)
            dSize = std::min(dSize, dInnerWidth / dWidth);
    }
    dSize = std::max(dSize, 4.0);
    for (std::size_t i = 0; i < oLines.size(); ++i) {
        std::string &oLine = oLines[i];
        if (textWidth(oLine, dSize, i == 0) <= dInnerWidth)
            continue;
        while (!oLine.empty() && textWidth(oLine + "...", dSize, i == 0) > dInnerWidth)
            oLine.pop_back();
        if (!oLine.empty())
            oLine += "...";
    }

    std::string oContent = "q 0.15 0.3 0.55 RG 0.8 w " + number(0.4) + ' ' + number(0.4) + ' '
                           + number(v_dWidth - 0.8) + ' ' + number(v_dHeight - 0.8) + " re S Q\n";
    oContent += "BT 0 0 0 rg\n";
    double dY = v_dHeight - dMargin - dSize;
    for (std::size_t i = 0; i < oLines.size(); ++i) {
        oContent += (i == 0 ? "/F1 " : "/F2 ") + number(dSize) + " Tf 1 0 0 1 " + number(dMargin) + ' ' + number(dY)
                    + " Tm " + QPDFObjectHandle::newString(oLines[i]).unparse() + " Tj\n";
        dY -= dSize * 1.25;
    }
    oContent += "ET";
    return oContent;
}

// A direct copy of the array (a new one when it is missing) with one more item.
QPDFObjectHandle appendedArray(QPDFObjectHandle v_oArray, QPDFObjectHandle v_oItem)
{
    QPDFObjectHandle oArray = v_oArray.isArray() ? v_oArray.shallowCopy() : QPDFObjectHandle::newArray();
    oArray.appendItem(v_oItem);
    return oArray;
}

// The document and its update read as one file, where they lie: a copy of
// the whole would cost as much as qpdf's reading of it (a 10 MB document's
// copy and its page faults). Behaves as qpdf's BufferInputSource does.
class JoinedInputSource : public InputSource
{
public:
    JoinedInputSource(const std::string &v_oFirst, const std::string &v_oSecond)
        : m_oFirst(v_oFirst), m_oSecond(v_oSecond), m_llEnd(qpdf_offset_t(v_oFirst.size() + v_oSecond.size()))
    {
    }

    qpdf_offset_t findAndSkipNextEOL() override
    {
        qpdf_offset_t llEol = m_llPos;
        while (llEol < m_llEnd && !isEol(at(llEol)))
            ++llEol;
        if (llEol >= m_llEnd) {
            m_llPos = m_llEnd;
            return m_llEnd;
        }
        m_llPos = llEol + 1;
        while (m_llPos < m_llEnd && isEol(at(m_llPos)))
            ++m_llPos;
        return llEol;
    }
    std::string const &getName() const override { return m_oName; }
    qpdf_offset_t tell() override { return m_llPos; }
    void seek(qpdf_offset_t v_llOffset, int v_iWhence) override
    {
        qpdf_offset_t llTo = v_llOffset;
        if (v_iWhence == SEEK_CUR)
            llTo += m_llPos;
        else if (v_iWhence == SEEK_END)
            llTo += m_llEnd;
        if (llTo < 0)
            throw std::runtime_error(m_oName + ": seek before the start");
        m_llPos = llTo;
    }
    void rewind() override { m_llPos = 0; }
    size_t read(char *v_pBuffer, size_t v_uiLength) override
    {
        last_offset = m_llPos;
        if (m_llPos >= m_llEnd) {
            m_llPos = m_llEnd;
            return 0;
        }
        const size_t uiCount = std::min(v_uiLength, size_t(m_llEnd - m_llPos));
        const size_t uiFirstSize = m_oFirst.size();
        size_t uiDone = 0;
        if (size_t(m_llPos) < uiFirstSize) {
            uiDone = std::min(uiCount, uiFirstSize - size_t(m_llPos));
            std::memcpy(v_pBuffer, m_oFirst.data() + m_llPos, uiDone);
        }
        if (uiDone < uiCount)
            std::memcpy(v_pBuffer + uiDone, m_oSecond.data() + (size_t(m_llPos) + uiDone - uiFirstSize), uiCount - uiDone);
        m_llPos += qpdf_offset_t(uiCount);
        return uiCount;
    }
    void unreadCh(char) override
    {
        if (m_llPos > 0)
            --m_llPos;
    }

private:
    static bool isEol(char v_c) { return v_c == '\r' || v_c == '\n'; }
    char at(qpdf_offset_t v_llPos) const
    {
        const size_t uiPos = size_t(v_llPos);
        return uiPos < m_oFirst.size() ? m_oFirst[uiPos] : m_oSecond[uiPos - m_oFirst.size()];
    }

    const std::string &m_oFirst;
    const std::string &m_oSecond;
    const qpdf_offset_t m_llEnd;
    qpdf_offset_t m_llPos = 0;
    const std::string m_oName = "updated document";
};

// What the update must have done, read back by qpdf from the whole new
// document: a writing mistake is caught here, not by the signer's readers.
void checkUpdated(const std::string &v_oPdf, const std::string &v_oUpdate, int v_iPages,
                  const std::function<bool(QPDF &)> &v_oCheck)
{
    bool bOk = false;
    std::string oWhy = "it reads back otherwise";
    try {
        QPDF oQpdf;
        oQpdf.setSuppressWarnings(true);
        oQpdf.setAttemptRecovery(false);
        oQpdf.processInputSource(std::make_shared<JoinedInputSource>(v_oPdf, v_oUpdate));
        bOk = QPDFPageDocumentHelper(oQpdf).getAllPages().size() == std::size_t(v_iPages) && v_oCheck(oQpdf);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &oError) {
        oWhy = oError.what();
    }
    if (!bOk)
        throw PdfFailure("PDF_ENGINE_ERROR", "The update written for the document is wrong: " + oWhy);
}

bool lists(QPDFObjectHandle v_oArray, const QPDFObjGen &v_oGen)
{
    if (!v_oArray.isArray())
        return false;
    for (QPDFObjectHandle oItem : v_oArray.getArrayAsVector()) {
        if (oItem.isIndirect() && oItem.getObjGen() == v_oGen)
            return true;
    }
    return false;
}

constexpr const char *kTooMuchMemory = "The document needs more memory than a document may use.";

// Failures of qpdf and of memory as the page's errors.
template <typename F>
auto guarded(F v_oWork) -> decltype(v_oWork())
{
    try {
        return v_oWork();
    } catch (const PdfFailure &) {
        throw;
    } catch (const std::bad_alloc &) {
        fail("PDF_TOO_COMPLEX", kTooMuchMemory);
    } catch (const std::length_error &) {
        fail("PDF_TOO_COMPLEX", kTooMuchMemory);
    } catch (const std::exception &oError) {
        std::string oMessage = oError.what();
        // qpdf passes a failed allocation on inside its own error.
        if (oMessage.find("bad_alloc") != std::string::npos)
            fail("PDF_TOO_COMPLEX", kTooMuchMemory);
        if (oMessage.size() > 300)
            oMessage = oMessage.substr(0, 300) + "...";
        fail("PDF_MALFORMED", "The document cannot be read: " + oMessage);
    }
}

SignatureUpdate prepare(const std::string &v_oPdf, const SignatureRequest &v_oRequest, const Limits &v_oLimits)
{
    SignatureUpdate oResult;
    Document oDocument(v_oPdf, v_oLimits);
    QPDFObjectHandle oRoot = oDocument.root();
    checkCertification(oRoot);

    // Pages: qpdf refuses loops; every page must be a dictionary of the file.
    std::vector<QPDFPageObjectHelper> oPages = QPDFPageDocumentHelper(oDocument.qpdf()).getAllPages();
    if (oPages.empty())
        fail("PDF_MALFORMED", "The document has no pages.");
    if (oPages.size() > v_oLimits.maxPages)
        fail("PDF_TOO_COMPLEX", "The document has " + std::to_string(oPages.size()) + " pages.");
    oResult.pageCount = static_cast<int>(oPages.size());
    if (v_oRequest.page < -1 || v_oRequest.page >= oResult.pageCount)
        fail("BAD_REQUEST", "The document has no page " + std::to_string(v_oRequest.page + 1) + ".");
    oResult.pageIndex = v_oRequest.page < 0 ? oResult.pageCount - 1 : v_oRequest.page;
    QPDFPageObjectHelper oPageHelper = oPages[std::size_t(oResult.pageIndex)];
    QPDFObjectHandle oPage = oPageHelper.getObjectHandle();
    if (!oPage.isDictionary() || !oPage.isIndirect() || !oDocument.inTable(oPage.getObjGen()))
        fail("PDF_MALFORMED", "The page tree lists a page that is not an object of the document.");

    // The form: names in use, and earlier signatures that must be intact.
    QPDFObjectHandle oForm = oRoot.getKey("/AcroForm");
    if (!oForm.isNull() && !oForm.isDictionary())
        fail("PDF_MALFORMED", "The document's form is not a dictionary.");
    FormState oState;
    std::set<QPDFObjGen> oSeen;
    walkFields(oDocument, key(oForm, "/Fields"), std::string(), std::string(), 0, oSeen, oState, v_oLimits);

    std::string oFieldName = v_oRequest.fieldName;
    if (oFieldName.empty()) {
        for (int n = oState.signatureFields + 1; oFieldName.empty() || oState.names.count(oFieldName); ++n)
            oFieldName = "Signature" + std::to_string(n);
    } else if (oState.names.count(oFieldName)) {
        fail("PDF_FIELD_EXISTS", "The document already has a field named \"" + oFieldName + "\".");
    }
    oResult.fieldName = oFieldName;

    // Where the box goes, in the page's default user space.
    double dLeft = 0, dBottom = 0, dRight = 0, dTop = 0;
    if (v_oRequest.visible) {
        QPDFObjectHandle oBox = oPageHelper.getCropBox();
        if (!oBox.isRectangle())
            fail("PDF_MALFORMED", "The page has no valid media box.");
        const QPDFObjectHandle::Rectangle oRect = oBox.getArrayAsRectangle();
        const double dX0 = std::min(oRect.llx, oRect.urx), dX1 = std::max(oRect.llx, oRect.urx);
        const double dY0 = std::min(oRect.lly, oRect.ury), dY1 = std::max(oRect.lly, oRect.ury);
        const double dEps = 0.01;
        if (!(std::isfinite(dX0) && std::isfinite(dX1) && std::isfinite(dY0) && std::isfinite(dY1)))
            fail("PDF_MALFORMED", "The page has no valid media box.");
        if (!(v_oRequest.width >= 10 && v_oRequest.height >= 10 && v_oRequest.x >= 0 && v_oRequest.y >= 0
              && v_oRequest.x + v_oRequest.width <= dX1 - dX0 + dEps && v_oRequest.y + v_oRequest.height <= dY1 - dY0 + dEps))
            fail("BAD_REQUEST", "The signature box (" + number(v_oRequest.x) + ", " + number(v_oRequest.y) + ", "
                                    + number(v_oRequest.width) + " x " + number(v_oRequest.height)
                                    + ") does not fit on the page (" + number(dX1 - dX0) + " x " + number(dY1 - dY0)
                                    + " points) or is smaller than 10 x 10 points.");
        dLeft = dX0 + v_oRequest.x;
        dTop = dY1 - v_oRequest.y;
        dRight = dLeft + v_oRequest.width;
        dBottom = dTop - v_oRequest.height;
    }

    // The objects the update copies, read now, before the damage check.
    (void)key(oPage, "/Annots").isArray();
    (void)key(oForm, "/Fields").isArray();
    oDocument.refuseDamage();

    UpdateWriter oWriter(oDocument);
    const QPDFObjGen oSigGen = oDocument.newObject();
    const QPDFObjGen oFieldGen = oDocument.newObject();
    const QPDFObjGen oAppearanceGen = oDocument.newObject();

    // The signature dictionary with its two placeholders.
    std::string oSig = "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter /ETSI.CAdES.detached /ByteRange ";
    const std::size_t uiRangeInBody = oSig.size();
    oSig += '[' + std::string(kByteRangeWidth - 2, ' ') + ']';
    oSig += " /Contents ";
    const std::size_t uiContentsInBody = oSig.size();
    oResult.contentsWidth = 2 * v_oRequest.reservedBytes + 2;
    oSig += '<' + std::string(2 * v_oRequest.reservedBytes, '0') + '>';
    oSig += " /M " + QPDFObjectHandle::newString(v_oRequest.pdfDate).unparse();
    if (!v_oRequest.signerName.empty())
        oSig += " /Name " + QPDFObjectHandle::newUnicodeString(v_oRequest.signerName).unparse();
    oSig += " >>";
    const std::size_t uiSigBody = oWriter.object(oSigGen, oSig);
    oResult.byteRangeOffset = uiSigBody + uiRangeInBody;
    oResult.byteRangeWidth = kByteRangeWidth;
    oResult.contentsOffset = uiSigBody + uiContentsInBody;

    // The field, merged with its widget; printed and locked.
    std::string oField = "<< /Type /Annot /Subtype /Widget /FT /Sig /T "
                         + QPDFObjectHandle::newUnicodeString(oFieldName).unparse() + " /V " + ref(oSigGen)
                         + " /F 132 /P " + ref(oPage.getObjGen()) + " /Rect [" + number(dLeft) + ' ' + number(dBottom)
                         + ' ' + number(dRight) + ' ' + number(dTop) + "] /AP << /N " + ref(oAppearanceGen) + " >> >>";
    oWriter.object(oFieldGen, oField);

    if (v_oRequest.visible) {
        const double dWidth = dRight - dLeft, dHeight = dTop - dBottom;
        oWriter.stream(oAppearanceGen,
                       "/Type /XObject /Subtype /Form /BBox [0 0 " + number(dWidth) + ' ' + number(dHeight)
                           + "] /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold"
                             " /Encoding /WinAnsiEncoding >> /F2 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica"
                             " /Encoding /WinAnsiEncoding >> >> >>",
                       appearanceContent(v_oRequest.lines, dWidth, dHeight));
    } else {
        oWriter.stream(oAppearanceGen, "/Type /XObject /Subtype /Form /BBox [0 0 0 0]", std::string());
    }

    // The page lists the widget.
    QPDFObjectHandle oFieldRef = oDocument.handle(oFieldGen);
    QPDFObjectHandle oAnnots = oPage.getKey("/Annots");
    if (oAnnots.isArray() && oAnnots.isIndirect()) {
        oWriter.replace(oAnnots, appendedArray(oAnnots, oFieldRef));
    } else {
        QPDFObjectHandle oNewPage = oPage.shallowCopy();
        oNewPage.replaceKey("/Annots", appendedArray(oAnnots, oFieldRef));
        oWriter.replace(oPage, oNewPage);
    }

    // The form lists the field and says that the document has signatures
    // and must be changed by incremental updates only (SigFlags 3).
    QPDFObjectHandle oNewForm = oForm.isDictionary() ? oForm.shallowCopy() : QPDFObjectHandle::newDictionary();
    QPDFObjectHandle oFields = key(oForm, "/Fields");
    if (oFields.isArray() && oFields.isIndirect())
        oWriter.replace(oFields, appendedArray(oFields, oFieldRef));
    else
        oNewForm.replaceKey("/Fields", appendedArray(oFields, oFieldRef));
    QPDFObjectHandle oFlags = oNewForm.getKey("/SigFlags");
    oNewForm.replaceKey("/SigFlags", QPDFObjectHandle::newInteger((oFlags.isInteger() ? oFlags.getIntValue() : 0) | 3));
    if (oForm.isIndirect()) {
        oWriter.replace(oForm, oNewForm);
    } else {
        QPDFObjectHandle oNewRoot = oRoot.shallowCopy();
        oNewRoot.replaceKey("/AcroForm", oNewForm);
        oWriter.replace(oRoot, oNewRoot);
    }

    oResult.bytes = oWriter.finish();
    const QPDFObjGen oPageGen = oPage.getObjGen();
    checkUpdated(v_oPdf, oResult.bytes, oResult.pageCount, [&](QPDF &v_oQpdf) {
        QPDFObjectHandle oNewField = v_oQpdf.getObjectByObjGen(oFieldGen);
        return lists(key(key(v_oQpdf.getRoot(), "/AcroForm"), "/Fields"), oFieldGen)
               && lists(key(v_oQpdf.getObjectByObjGen(oPageGen), "/Annots"), oFieldGen)
               && key(oNewField, "/V").getObjGen() == oSigGen
               && key(v_oQpdf.getObjectByObjGen(oSigGen), "/Contents").isString();
    });
    return oResult;
}

std::string dssUpdate(const std::string &v_oPdf, const ValidationItems &v_oItems, const Limits &v_oLimits)
{
    Document oDocument(v_oPdf, v_oLimits);
    QPDFObjectHandle oRoot = oDocument.root();
    QPDFObjectHandle oDss = oRoot.getKey("/DSS");
    if (!oDss.isNull() && !oDss.isDictionary())
        fail("PDF_MALFORMED", "The document's /DSS is not a dictionary.");
    QPDFObjectHandle oNewDss = oDss.isDictionary() ? oDss.shallowCopy() : QPDFObjectHandle::newDictionary();
    for (const char *pKey : {"/Certs", "/OCSPs", "/CRLs"})
        (void)oNewDss.getKey(pKey).isArray();
    oDocument.refuseDamage();

    UpdateWriter oWriter(oDocument);
    std::set<std::string> oWritten;
    const auto add = [&](const char *v_pKey, const std::vector<std::string> &v_oItems) {
        QPDFObjectHandle oArray = oNewDss.getKey(v_pKey);
        QPDFObjectHandle oNew = oArray.isArray() ? oArray.shallowCopy() : QPDFObjectHandle::newArray();
        bool bAdded = false;
        for (const std::string &oItem : v_oItems) {
            if (oItem.empty() || !oWritten.insert(oItem).second)
                continue;
            const QPDFObjGen oGen = oDocument.newObject();
            oWriter.stream(oGen, std::string(), oItem);
            oNew.appendItem(oDocument.handle(oGen));
            bAdded = true;
        }
        if (!bAdded)
            return;
        if (oArray.isArray() && oArray.isIndirect())
            oWriter.replace(oArray, oNew);
        else
            oNewDss.replaceKey(v_pKey, oNew);
    };
    add("/Certs", v_oItems.certificates);
    add("/OCSPs", v_oItems.ocspResponses);
    add("/CRLs", v_oItems.crls);
    if (oWritten.empty())
        return std::string();

    if (oDss.isIndirect()) {
        oWriter.replace(oDss, oNewDss);
    } else {
        QPDFObjectHandle oNewRoot = oRoot.shallowCopy();
        oNewRoot.replaceKey("/DSS", oNewDss);
        oWriter.replace(oRoot, oNewRoot);
    }
    const std::string oUpdate = oWriter.finish();
    const int iPages = static_cast<int>(QPDFPageDocumentHelper(oDocument.qpdf()).getAllPages().size());
    checkUpdated(v_oPdf, oUpdate, iPages, [&](QPDF &v_oQpdf) {
        return key(v_oQpdf.getRoot(), "/DSS").isDictionary();
    });
    return oUpdate;
}

} // namespace

SignatureUpdate prepareSignature(const std::string &v_oPdf, const SignatureRequest &v_oRequest, const Limits &v_oLimits)
{
    return guarded([&] { return prepare(v_oPdf, v_oRequest, v_oLimits); });
}

std::string appendDss(const std::string &v_oPdf, const ValidationItems &v_oItems, const Limits &v_oLimits)
{
    return guarded([&] { return dssUpdate(v_oPdf, v_oItems, v_oLimits); });
}

} // namespace pdfupdate
