// libFuzzer target for norrweb::HttpRequest and norrweb::HttpResponseReader.
//
// Input layout: byte 0 picks one of four limit settings (its high bit: a reply
// instead of a request), bytes 1-3 the slice sizes in which the rest is handed
// to the parser (a request's through an in-memory device). Invariants
// are checked after every step; a violation aborts so libFuzzer keeps the input.

#include "fuzzsupport.h"
#include "httprequest.h"
#include "httpresponsereader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using norrweb::HttpLimits;
using norrweb::HttpRequest;
using norrweb::HttpResponseReader;

namespace {

struct Limits
{
    int iMaxSize;
    int iMaxMultiPartSize;
};

// Defaults, then small limits that the fuzzer can actually reach.
const Limits kLimits[] = {{16000, 1000000}, {256, 1024}, {64, 300}, {4096, 70000}};
constexpr int kLimitCount = int(sizeof(kLimits) / sizeof(kLimits[0]));

struct Environment
{
    QTemporaryDir oScratch;    // settings files
    QTemporaryDir oTempFiles;  // TMPDIR of the parser's temporary files
    std::vector<std::unique_ptr<QSettings>> oSettings;
};

Environment *g_poEnvironment = nullptr;

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

int entryCount(const QString &v_oPath, QDir::Filters v_eFilters)
{
    return QDir(v_oPath).entryList(v_eFilters | QDir::NoDotAndDotDot).size();
}

int openDescriptors()
{
    return entryCount(QStringLiteral("/proc/self/fd"), QDir::AllEntries | QDir::System);
}

bool isFinal(HttpRequest::RequestState v_eState)
{
    return v_eState == HttpRequest::Complete || v_eState == HttpRequest::Aborted;
}

// One call of consumeAvailable with the checks that hold for every step.
void step(HttpRequest &v_oRequest, QBuffer &v_oDevice, const Limits &v_oLimits)
{
    const HttpRequest::RequestState eBefore = v_oRequest.getState();
    const qint32 iSizeBefore = v_oRequest.getCurrentSize();
    const qint64 iPosBefore = v_oDevice.pos();

    v_oRequest.consumeAvailable(&v_oDevice);

    const HttpRequest::RequestState eAfter = v_oRequest.getState();
    const qint64 iConsumed = v_oDevice.pos() - iPosBefore;
    FUZZ_CHECK(iConsumed >= 0);
    // Complete and Aborted are final and read nothing more.
    if (isFinal(eBefore)) {
        FUZZ_CHECK(eAfter == eBefore);
        FUZZ_CHECK(iConsumed == 0);
        FUZZ_CHECK(v_oRequest.getCurrentSize() == iSizeBefore);
    }
    // States only move forward.
    FUZZ_CHECK(int(eAfter) >= int(eBefore));
    FUZZ_CHECK(v_oRequest.getCurrentSize() >= iSizeBefore);
    // Lines are read with one byte over the remaining allowance at most.
    if (eBefore == HttpRequest::AwaitingRequestLine || eBefore == HttpRequest::AwaitingHeader)
        FUZZ_CHECK(iConsumed <= std::max<qint64>(0, qint64(v_oLimits.iMaxSize) - iSizeBefore + 1));
    if (eBefore == HttpRequest::AwaitingBody)
        FUZZ_CHECK(iConsumed <= std::max(v_oLimits.iMaxSize, 0x10000));
    // Until the header block ends, the plain limit applies; then either limit.
    if (eAfter != HttpRequest::Aborted) {
        const int iLimit = (eAfter == HttpRequest::AwaitingRequestLine || eAfter == HttpRequest::AwaitingHeader)
                               ? v_oLimits.iMaxSize
                               : std::max(v_oLimits.iMaxSize, v_oLimits.iMaxMultiPartSize);
        FUZZ_CHECK(v_oRequest.getCurrentSize() <= iLimit);
    }
    FUZZ_CHECK(v_oRequest.getBody().size() <= v_oLimits.iMaxSize);
}

void checkComplete(HttpRequest &v_oRequest, const Limits &v_oLimits)
{
    const int iLargest = std::max(v_oLimits.iMaxSize, v_oLimits.iMaxMultiPartSize);
    const QMultiMap<QByteArray, QByteArray> oParameters = v_oRequest.getAllParameters();
    for (auto it = oParameters.constBegin(); it != oParameters.constEnd(); ++it) {
        FUZZ_CHECK(it.key().size() <= iLargest);
        FUZZ_CHECK(it.value().size() <= iLargest);
    }
    FUZZ_CHECK(v_oRequest.getHeader("cookie").isEmpty());
    FUZZ_CHECK(!v_oRequest.getDecodedPath().isNull() || v_oRequest.getMethod().isEmpty());
    const auto &oFiles = v_oRequest.getUploadedFiles();
    for (auto it = oFiles.constBegin(); it != oFiles.constEnd(); ++it) {
        FUZZ_CHECK(it.value().size() <= v_oLimits.iMaxMultiPartSize);
        // Every uploaded file is announced as a parameter carrying its file name.
        FUZZ_CHECK(oParameters.contains(it.key()));
        // The content is a view into the request's mapped body: all of it readable.
        FUZZ_CHECK(QByteArray(it.value().constData(), it.value().size()) == it.value());
    }
}

// A reply read as it would come off a connection, then the connection ends.
void readReply(const QByteArray &v_oInput, const int *v_piSlices, const Limits &v_oLimits)
{
    HttpLimits oLimits;
    oLimits.maxRequestSize = v_oLimits.iMaxSize;
    HttpResponseReader oReader(oLimits);
    int iOffset = 0;
    int iSlice = 0;
    while (iOffset < v_oInput.size()) {
        const int iLength = std::min(v_piSlices[iSlice++ % 3], v_oInput.size() - iOffset);
        const HttpResponseReader::State eBefore = oReader.state();
        const HttpResponseReader::State eAfter = oReader.feed(v_oInput.constData() + iOffset, iLength);
        iOffset += iLength;
        // Complete and Failed are final.
        FUZZ_CHECK(eBefore == HttpResponseReader::Reading || eAfter == eBefore);
        FUZZ_CHECK(oReader.body().size() <= v_oLimits.iMaxSize);
    }
    const HttpResponseReader::State eEnd = oReader.finish();
    FUZZ_CHECK(eEnd != HttpResponseReader::Reading);
    FUZZ_CHECK((eEnd == HttpResponseReader::Failed) == (oReader.error() != HttpResponseReader::NoError));
    if (eEnd == HttpResponseReader::Complete) {
        FUZZ_CHECK(oReader.status() >= 200 && oReader.status() <= 999);
        FUZZ_CHECK(oReader.body().size() <= v_oLimits.iMaxSize);
    } else {
        FUZZ_CHECK(oReader.status() == 0 && oReader.body().isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(discardMessages);
    g_poEnvironment = new Environment;
    if (!g_poEnvironment->oScratch.isValid() || !g_poEnvironment->oTempFiles.isValid())
        std::abort();
    qputenv("TMPDIR", QFile::encodeName(g_poEnvironment->oTempFiles.path()));
    for (int i = 0; i < kLimitCount; ++i) {
        const QString oFile = g_poEnvironment->oScratch.filePath(QStringLiteral("limits%1.ini").arg(i));
        std::unique_ptr<QSettings> poSettings(new QSettings(oFile, QSettings::IniFormat));
        poSettings->beginGroup(QStringLiteral("listener"));
        poSettings->setValue(QStringLiteral("maxRequestSize"), kLimits[i].iMaxSize);
        poSettings->setValue(QStringLiteral("maxMultiPartSize"), kLimits[i].iMaxMultiPartSize);
        g_poEnvironment->oSettings.push_back(std::move(poSettings));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *v_pData, size_t v_uiSize)
{
    if (v_uiSize < 4)
        return 0;
    const int iConfig = v_pData[0] % kLimitCount;
    const Limits &oLimits = kLimits[iConfig];
    // Three slice sizes used in turn: small, medium, large.
    const int aiSlices[3] = {1 + v_pData[1] % 16, 1 + v_pData[2], 1 + v_pData[3] * 64};
    const QByteArray oInput(reinterpret_cast<const char *>(v_pData + 4), int(v_uiSize - 4));
    if (v_pData[0] & 0x80) {
        readReply(oInput, aiSlices, oLimits);
        return 0;
    }

    const QString oTempPath = g_poEnvironment->oTempFiles.path();
    const int iDescriptorsBefore = openDescriptors();
    {
        HttpRequest oRequest(HttpLimits::fromSettings(g_poEnvironment->oSettings[size_t(iConfig)].get()));
        QBuffer oDevice;
        oDevice.open(QIODevice::ReadOnly);
        int iOffset = 0;
        int iSlice = 0;
        while (iOffset < oInput.size()) {
            const int iLength = std::min(aiSlices[iSlice++ % 3], oInput.size() - iOffset);
            oDevice.buffer().append(oInput.constData() + iOffset, iLength);
            iOffset += iLength;
            // Like the connection handler: consume while bytes wait and the request is open.
            int iGuard = 0;
            while (oDevice.bytesAvailable() > 0 && !isFinal(oRequest.getState())) {
                step(oRequest, oDevice, oLimits);
                FUZZ_CHECK(++iGuard < 10 * 1000 * 1000);
            }
            // And once more, as a late readyRead would.
            step(oRequest, oDevice, oLimits);
        }
        if (oRequest.getState() == HttpRequest::Complete)
            checkComplete(oRequest, oLimits);
    }
    // Destroying the request removes every temporary file it made.
    FUZZ_CHECK(entryCount(oTempPath, QDir::AllEntries | QDir::Hidden | QDir::System) == 0);
    FUZZ_CHECK(openDescriptors() == iDescriptorsBefore);
    return 0;
}
