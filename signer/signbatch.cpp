// SignBatch and BatchProgress: many digests or PDFs under one consent, one PIN and
// one log-in, each signature handed to the page as it completes.
//
// While a batch runs, its finished items wait in a table keyed by the
// session and the page's batch id (and checked against the origin), until
// BatchProgress takes them or the batch ends and its reply takes the rest:
// every item reaches the page exactly once, and the table holds only what the
// page has not fetched yet. GUI commands run one at a time, so the table
// holds at most one batch in practice; its entry goes when SignBatch returns,
// whatever way it returns (the server cancels it when the session ends).

#include "commands.h"

#include "cmslevels.h"
#include "pdfsigner.h"
#include "signersettings.h"
#include "signingconfig.h"

#ifdef QTX_SIGNER_TEST_HOOK
#include "qtsignerui.h"
#endif

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// The JSON of the documents (a page sends it in a multipart body, which the
// server takes up to [listener] maxMultiPartSize, 1 MB by default): 1000
// documents with 300-character names fit.
constexpr int kMaxDocumentsJson = 512 << 10;
constexpr int kMaxDocumentName = 1024;

struct BatchDocument
{
    QString name;
    QByteArray digest;      // a PDF's: of its prepared byte ranges
    QByteArray refusalCode; // set: not signed, for this reason
    QString refusalMessage;
    // A PDF: the upload until it is prepared, then the prepared document
    // until it is signed (each is dropped as soon as it is not needed).
    QByteArray upload;
    qint64 size = 0;
    PreparedPdf prepared;
    QImage preview;
};

struct BatchRequest
{
    QString certId;
    QByteArray batchId;
    DigestAlgorithm digestAlgorithm = DigestAlgorithm::Sha256;
    QString digestName;
    SignatureScheme scheme = SignatureScheme::RsaPkcs1;
    QString schemeName;
    bool cms = false;
    SignatureLevel level = SignatureLevel::BaselineB;
    QString levelName;
    bool pdf = false; // PAdES signatures of uploaded PDFs
    PdfSignOptions pdfOptions;
    QList<BatchDocument> documents;
};

// The session as the server found it for this request (a reserved key: a page
// cannot name another session's id here).
QByteArray requestSession(const tRequestMap &v_oRequest)
{
    const QByteArray oSession = v_oRequest.value("keyHttpSessionId");
    if (oSession.isEmpty())
        throw SignerError("BAD_REQUEST", QStringLiteral("A batch belongs to a session; the request has none."));
    return oSession;
}

QByteArray requestBatchId(const tRequestMap &v_oRequest)
{
    const QByteArray oId = v_oRequest.value("batchId");
    if (!QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{1,64}$")).match(QString::fromLatin1(oId)).hasMatch())
        throw SignerError("BAD_REQUEST", QStringLiteral("batchId must be 1 to 64 letters, digits, '-' or '_'."));
    return oId;
}

BatchRequest parseRequest(const tRequestMap &v_oRequest)
{
    BatchRequest oBatch;
    oBatch.certId = signer::requestCertId(v_oRequest);
    oBatch.batchId = requestBatchId(v_oRequest);
    if (!parseDigestAlgorithm(v_oRequest.value("digestAlgorithm"), &oBatch.digestAlgorithm))
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("digestAlgorithm must be SHA-256, SHA-384 or SHA-512."));
    oBatch.digestName = QStringLiteral("SHA-%1").arg(digestLength(oBatch.digestAlgorithm) * 8);
    oBatch.scheme = signer::requestScheme(v_oRequest, &oBatch.schemeName);
    const int iMax = SignerSettings::read().batchMaxDocuments;
    QJsonObject oLimits;
    oLimits.insert(QStringLiteral("maxDocuments"), iMax);
    oLimits.insert(QStringLiteral("maxBytes"), kMaxDocumentsJson);

    // PDFs come as file parts document.0, document.1, ... (each part's file
    // name is the document's name); the map is sorted, so they are counted
    // without a scan of the rest.
    const QByteArray oFilePrefix = "keyHttpFile.document.";
    int iFiles = 0;
    for (auto it = v_oRequest.lowerBound(oFilePrefix); it != v_oRequest.cend() && it.key().startsWith(oFilePrefix); ++it)
        ++iFiles;
    const QByteArray oFormat = v_oRequest.value("format", iFiles > 0 ? "pdf" : "raw");
    if (oFormat != "raw" && oFormat != "cms" && oFormat != "pdf")
        throw SignerError("BAD_REQUEST", QStringLiteral("format must be raw, cms or pdf."));
    oBatch.cms = oFormat == "cms";
    oBatch.pdf = oFormat == "pdf";
    oBatch.level = signer::requestLevel(v_oRequest);
    if (oFormat == "raw" && oBatch.level != SignatureLevel::BaselineB)
        throw SignerError("BAD_REQUEST", QStringLiteral("level needs format cms or pdf: a raw signature has no level."));
    oBatch.levelName = signer::levelName(oBatch.level);
    if (oBatch.pdf) {
        if (iFiles == 0 || v_oRequest.contains("documents"))
            throw SignerError("BAD_REQUEST", QStringLiteral("A batch of PDFs takes file parts document.0, document.1, ... "
                                                            "and no documents list."));
        if (iFiles > iMax)
            throw SignerError("BATCH_TOO_LARGE",
                              QStringLiteral("%1 documents; a batch takes at most %2.").arg(iFiles).arg(iMax), oLimits);
        if (oBatch.scheme == SignatureScheme::RsaPss)
            throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("PDF signatures are RSA-PKCS1 or ECDSA."));
        oBatch.pdfOptions = signer::requestPdfOptions(v_oRequest);
        for (int i = 0; i < iFiles; ++i) {
            const QByteArray oField = "document." + QByteArray::number(i);
            if (!v_oRequest.contains("keyHttpFile." + oField))
                throw SignerError("BAD_REQUEST", QStringLiteral("The file parts must be document.0 to document.%1.")
                                                     .arg(iFiles - 1));
            BatchDocument oDoc;
            oDoc.name = QString::fromUtf8(v_oRequest.value(oField)).left(kMaxDocumentName);
            oDoc.upload = v_oRequest.value("keyHttpFile." + oField); // shared, not copied
            oDoc.size = oDoc.upload.size();
            oBatch.documents << oDoc;
        }
        return oBatch;
    }
    if (iFiles > 0)
        throw SignerError("BAD_REQUEST", QStringLiteral("File parts are PDFs: format pdf."));

    // Counted and sized before anything is parsed further, let alone shown.
    const QByteArray oJson = v_oRequest.value("documents");
    if (oJson.size() > kMaxDocumentsJson)
        throw SignerError("BATCH_TOO_LARGE", QStringLiteral("The documents take more than %1 bytes.").arg(kMaxDocumentsJson),
                          oLimits);
    QJsonParseError oError{};
    const QJsonDocument oDocument = QJsonDocument::fromJson(oJson, &oError);
    if (oError.error != QJsonParseError::NoError || !oDocument.isArray() || oDocument.array().isEmpty())
        throw SignerError("BAD_REQUEST", QStringLiteral("documents must be a JSON array of {name, digest}."));
    const QJsonArray oArray = oDocument.array();
    if (oArray.size() > iMax)
        throw SignerError("BATCH_TOO_LARGE",
                          QStringLiteral("%1 documents; a batch takes at most %2.").arg(oArray.size()).arg(iMax), oLimits);
    for (const QJsonValue &oValue : oArray) {
        if (!oValue.isObject())
            throw SignerError("BAD_REQUEST", QStringLiteral("documents must be a JSON array of {name, digest}."));
        BatchDocument oDoc;
        oDoc.name = oValue[QStringLiteral("name")].toString().left(kMaxDocumentName);
        // A document that cannot be signed is listed as such and answered with
        // its error; the others are not lost for it.
        const auto oDecoded = QByteArray::fromBase64Encoding(oValue[QStringLiteral("digest")].toString().toLatin1(),
                                                             QByteArray::AbortOnBase64DecodingErrors);
        if (!oDecoded || !oValue[QStringLiteral("digest")].isString()) {
            oDoc.refusalCode = "BAD_REQUEST";
            oDoc.refusalMessage = QStringLiteral("digest is not base64.");
        } else if ((*oDecoded).size() != digestLength(oBatch.digestAlgorithm)) {
            oDoc.refusalCode = "BAD_DIGEST_LENGTH";
            oDoc.refusalMessage = QStringLiteral("A %1 digest has %2 bytes, this one %3.")
                                      .arg(oBatch.digestName)
                                      .arg(digestLength(oBatch.digestAlgorithm))
                                      .arg((*oDecoded).size());
        } else {
            oDoc.digest = *oDecoded;
        }
        oBatch.documents << oDoc;
    }
    return oBatch;
}

// ---- the table of running batches --------------------------------------------------

struct RunningBatch
{
    QString origin;
    int total = 0;
    int done = 0;          // items made, fetched or not
    bool signing = false;  // the user consented
    QJsonArray pending;    // made, not fetched yet
};

class BatchTable
{
public:
    static BatchTable &instance()
    {
        static BatchTable s_table;
        return s_table;
    }

    // BAD_REQUEST when the session runs a batch of this id already.
    void open(const QByteArray &v_oSession, const QByteArray &v_oId, const QString &v_oOrigin, int v_iTotal)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        auto &oSlot = m_oBatches[{v_oSession, v_oId}];
        if (oSlot)
            throw SignerError("BAD_REQUEST", QStringLiteral("This session runs a batch with this id already."));
        oSlot = std::make_unique<RunningBatch>();
        oSlot->origin = v_oOrigin;
        oSlot->total = v_iTotal;
    }

    void startSigning(const QByteArray &v_oSession, const QByteArray &v_oId)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        if (RunningBatch *poBatch = find(v_oSession, v_oId))
            poBatch->signing = true;
    }

    void add(const QByteArray &v_oSession, const QByteArray &v_oId, const QJsonObject &v_oItem)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        if (RunningBatch *poBatch = find(v_oSession, v_oId)) {
            poBatch->pending.append(v_oItem);
            ++poBatch->done;
        }
    }

    // What a poll sees; BATCH_NOT_FOUND for another session's or origin's
    // batch as for none (a page learns nothing of others' batches).
    QJsonObject poll(const QByteArray &v_oSession, const QByteArray &v_oId, const QString &v_oOrigin)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        RunningBatch *poBatch = find(v_oSession, v_oId);
        if (!poBatch || poBatch->origin != v_oOrigin)
            throw SignerError("BATCH_NOT_FOUND", QStringLiteral("No batch of this id runs for this page."));
        QJsonObject oReply;
        oReply.insert(QStringLiteral("state"), poBatch->signing ? QStringLiteral("signing") : QStringLiteral("consent"));
        oReply.insert(QStringLiteral("total"), poBatch->total);
        oReply.insert(QStringLiteral("done"), poBatch->done);
        oReply.insert(QStringLiteral("items"), poBatch->pending);
        poBatch->pending = QJsonArray();
        return oReply;
    }

    // Ends the batch: the items no poll took.
    QJsonArray close(const QByteArray &v_oSession, const QByteArray &v_oId)
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        const auto it = m_oBatches.find({v_oSession, v_oId});
        if (it == m_oBatches.end())
            return QJsonArray();
        QJsonArray oRest = it->second->pending;
        m_oBatches.erase(it);
        return oRest;
    }

private:
    RunningBatch *find(const QByteArray &v_oSession, const QByteArray &v_oId)
    {
        const auto it = m_oBatches.find({v_oSession, v_oId});
        return it == m_oBatches.end() ? nullptr : it->second.get();
    }

    std::mutex m_oMutex;
    std::map<std::pair<QByteArray, QByteArray>, std::unique_ptr<RunningBatch>> m_oBatches;
};

// Closes the table's entry however the command ends.
class BatchEntry
{
public:
    BatchEntry(const QByteArray &v_oSession, const QByteArray &v_oId, const QString &v_oOrigin, int v_iTotal)
        : m_oSession(v_oSession), m_oId(v_oId)
    {
        BatchTable::instance().open(v_oSession, v_oId, v_oOrigin, v_iTotal);
    }
    ~BatchEntry() { BatchTable::instance().close(m_oSession, m_oId); }
    BatchEntry(const BatchEntry &) = delete;
    BatchEntry &operator=(const BatchEntry &) = delete;
    QJsonArray close() { return BatchTable::instance().close(m_oSession, m_oId); }
    void add(const QJsonObject &v_oItem) { BatchTable::instance().add(m_oSession, m_oId, v_oItem); }
    void startSigning() { BatchTable::instance().startSigning(m_oSession, m_oId); }

private:
    QByteArray m_oSession;
    QByteArray m_oId;
};

QJsonObject errorItem(int v_iIndex, const BatchDocument &v_oDoc, const QByteArray &v_oCode, const QString &v_oMessage)
{
    QJsonObject oItem;
    oItem.insert(QStringLiteral("index"), v_iIndex);
    oItem.insert(QStringLiteral("name"), v_oDoc.name);
    oItem.insert(QStringLiteral("error"), QString::fromLatin1(v_oCode));
    oItem.insert(QStringLiteral("message"), v_oMessage);
    return oItem;
}

// Errors after which no further document can be signed in this log-in.
bool stopsTheBatch(const QByteArray &v_oCode)
{
    return v_oCode == "PIN_INCORRECT" || v_oCode == "PIN_LOCKED" || v_oCode == "TOKEN_REMOVED"
           || v_oCode == "TOKEN_ERROR" || v_oCode == "CANCELLED";
}

// Each PDF prepared in the PDF helper, as SignPdf does, and its first page
// drawn for the dialog. A document that fails is listed with its error and
// the others go on; a page the renderer cannot draw only has no preview.
void preparePdfs(BatchRequest &v_oBatch, const PdfEngine &v_oEngine, const QString &v_oSignerName)
{
    PdfSignOptions oOptions = v_oBatch.pdfOptions;
    oOptions.signerName = v_oSignerName;
    oOptions.reservedBytes = PdfEngine::defaultReservedBytes(v_oBatch.level);
    oOptions.time = QDateTime::currentDateTimeUtc();
    for (BatchDocument &oDoc : v_oBatch.documents) {
        try {
            oDoc.prepared = v_oEngine.prepare(oDoc.upload, oOptions, v_oBatch.digestAlgorithm);
            oDoc.digest = oDoc.prepared.digest;
        } catch (const SignerError &v_oError) {
            oDoc.refusalCode = v_oError.code();
            oDoc.refusalMessage = messageOf(v_oError);
            oDoc.upload.clear();
            continue;
        }
        try {
            oDoc.preview = v_oEngine.renderPage(oDoc.upload, 0, QSize(kBatchPreviewSide, kBatchPreviewSide));
        } catch (const SignerError &v_oError) {
            signer::log(true, "Signer::SignBatch", QStringLiteral("No preview: ") + QString::fromLatin1(v_oError.code()));
        }
        oDoc.upload.clear();
    }
}

QString pdfKind(const BatchDocument &v_oDoc)
{
    const QString oSize = QLocale().formattedDataSize(v_oDoc.size);
    return v_oDoc.prepared.pageCount > 0
               ? QCoreApplication::translate("SignerDialog", "PDF, %n page(s), %1", nullptr, v_oDoc.prepared.pageCount)
                     .arg(oSize)
               : QCoreApplication::translate("SignerDialog", "PDF, %1").arg(oSize);
}

#ifdef QTX_SIGNER_TEST_HOOK
// The tests slow each document down to cancel a batch mid-way ("batch-delay-ms").
int testDelayMs()
{
    const QByteArray oDir = signerTestDir();
    QFile oFile(QString::fromLocal8Bit(oDir) + QStringLiteral("/batch-delay-ms"));
    return !oDir.isEmpty() && oFile.open(QIODevice::ReadOnly) ? qBound(0, oFile.readAll().trimmed().toInt(), 5000) : 0;
}
#endif

} // namespace

SignBatchCommand::SignBatchCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi) : m_oRequest(v_oRequest), m_oUi(v_oUi)
{
}

// Request: certId, batchId (the page's, [A-Za-z0-9_-]{1,64}), digestAlgorithm,
// signatureAlgorithm, optional format ("raw" or "cms") and level (cms: B-B,
// B-T, B-LT), documents: JSON [{"name":..., "digest":base64}, ...]. Reply:
// {"batchId", "certificate", "total", "signed":[indices], "failed":[indices],
// "notSigned":[indices], "cancelled":bool, "stoppedBy":{error,message}?,
// "items":[the items no BatchProgress took]}; an item is {"index","name",
// "signature"(,"signatureDer")(,"cms")} or {"index","name","error","message"}.
QByteArray SignBatchCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    const QByteArray oSession = requestSession(m_oRequest);
    BatchRequest oBatch = parseRequest(m_oRequest);
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!m_oUi.available() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Signing needs the user's consent, and the server has no display "
                                                       "to ask on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));
    const SigningConfig oConfig = oBatch.level == SignatureLevel::BaselineB && !oBatch.pdf ? SigningConfig()
                                                                                            : SigningConfig::fromServerIni();
    if (oBatch.level != SignatureLevel::BaselineB)
        requireTimestampAuthority(oConfig);
    BatchEntry oEntry(oSession, oBatch.batchId, oOrigin.text, oBatch.documents.size());
    const PdfEngine oEngine(PdfEngine::defaultHelperPath(), oConfig.pdf);
    if (oBatch.pdf)
        oEngine.keepPreviewReady(); // the first document's preview helper loads meanwhile

    SignerStore oStore;
    ConsentRequest oConsent;
    signer::SigningKey oKey;
    signer::offMainThread([&] {
        oKey = signer::findSigningKey({oBatch.certId, oBatch.scheme, oBatch.schemeName, oBatch.digestAlgorithm}, oOrigin,
                                      oStore, "Signer::SignBatch");
        // The digests the user consents to are those of the bytes that will be signed.
        if (oBatch.pdf)
            preparePdfs(oBatch, oEngine,
                        oKey.card.commonName.isEmpty() ? oKey.card.subject : oKey.card.commonName);
    }); // the modules are released while the dialog is open
    oConsent.origin = oOrigin;
    oConsent.purpose = Purpose::Sign;
    oConsent.certificate = oKey.card;
    oConsent.digestAlgorithm = oBatch.digestName;
    oConsent.signatureAlgorithm =
        oBatch.schemeName + (oBatch.cms   ? QStringLiteral(", CMS (CAdES-%1)").arg(oBatch.levelName)
                             : oBatch.pdf ? QStringLiteral(", PDF (PAdES-%1)").arg(oBatch.levelName)
                                          : QString());
    for (BatchDocument &oDoc : oBatch.documents) {
        oConsent.documents << BatchLine{oDoc.name,
                                        oBatch.pdf ? pdfKind(oDoc) : QCoreApplication::translate("SignerDialog", "%1 digest").arg(oBatch.digestName),
                                        oDoc.digest, oDoc.refusalMessage, oBatch.pdf, oDoc.preview};
        oDoc.preview = QImage();
    }
    signer::setPinFlags(oConsent, oKey.flags);

    Receipt oReceipt;
    oReceipt.origin = oOrigin.text;
    oReceipt.purpose = QStringLiteral("sign-batch");
    oReceipt.digestAlgorithm = oBatch.digestName;
    oReceipt.certificate = oKey.card.subject;
    oReceipt.fingerprint = oKey.card.fingerprint;
    oReceipt.document = QStringLiteral("%1 documents").arg(oBatch.documents.size());

    ConsentAnswer oAnswer = m_oUi.askConsent(oConsent, [] { return signer::snapshot(Purpose::Sign); });
    signer::refuseUnlessAccepted(oAnswer, oStore, oReceipt, QStringLiteral("The user did not consent to the signatures."));
    oEntry.startSigning();

    // The documents are signed on a thread of their own while the progress
    // window runs here; a signature PIN asked again comes back here as well.
    const PinAgain oAgain = signer::pinAgainOnMainThread(m_oUi, oConsent);
    BatchMonitor oMonitor;
    oMonitor.total = oBatch.documents.size();
    QList<QByteArray> oOutcomes; // per document: "signed", an error code, or empty (not reached)
    for (int i = 0; i < oBatch.documents.size(); ++i)
        oOutcomes << QByteArray();
    std::exception_ptr oFailure; // the log-in or the token failed before or between documents
    QJsonObject oStoppedBy;
    const QString oCertificate = QString::fromLatin1(oKey.entry.der.toBase64());
    std::atomic<bool> bDone{false};
    std::thread oWorker([&] {
        try {
            Pkcs11Context oContext;
            const CertificateEntry oOnToken = signer::entryOnToken(oContext, oKey.entry.der);
            const SecretBuffer *poPin = oConsent.protectedPath ? nullptr : &oAnswer.pin;
#ifdef QTX_SIGNER_TEST_HOOK
            const int iDelayMs = testDelayMs();
#endif
            oContext.signEach(oOnToken, poPin, oKey.mechanism, oAgain, [&](const Pkcs11Context::SignInSession &v_oSign) {
                for (int i = 0; i < oBatch.documents.size() && !oMonitor.cancel.load(); ++i) {
#ifdef QTX_SIGNER_TEST_HOOK
                    if (iDelayMs > 0)
                        QThread::msleep(static_cast<unsigned long>(iDelayMs));
#endif
                    const BatchDocument &oDoc = oBatch.documents.at(i);
                    if (!oDoc.refusalCode.isEmpty()) {
                        oEntry.add(errorItem(i, oDoc, oDoc.refusalCode, oDoc.refusalMessage));
                        oOutcomes[i] = oDoc.refusalCode;
                        ++oMonitor.failedCount;
                        continue;
                    }
                    try {
                        QJsonObject oItem;
                        oItem.insert(QStringLiteral("index"), i);
                        oItem.insert(QStringLiteral("name"), oDoc.name);
                        const auto oTokenSign = [&](const QByteArray &v_oAttributes) {
                            return v_oSign(signer::tokenInput(oBatch.scheme, oBatch.digestAlgorithm,
                                                              hashBytes(oBatch.digestAlgorithm, v_oAttributes)));
                        };
                        if (oBatch.pdf) {
                            BatchDocument &oPdf = oBatch.documents[i];
                            const QByteArray oSigned = signPdf(oEngine, oPdf.prepared, oKey.entry.der, oBatch.scheme,
                                                               oBatch.level, oTokenSign, oConfig);
                            oPdf.prepared = PreparedPdf();
                            oItem.insert(QStringLiteral("pdf"), QString::fromLatin1(oSigned.toBase64()));
                        } else if (oBatch.cms) {
                            const QByteArray oCms = signDetachedCades(oKey.entry.der, oBatch.digestAlgorithm, oBatch.scheme,
                                                                      oDoc.digest, oBatch.level, oTokenSign, oConfig);
                            oItem.insert(QStringLiteral("cms"), QString::fromLatin1(oCms.toBase64()));
                        } else {
                            const QByteArray oSignature =
                                v_oSign(signer::tokenInput(oBatch.scheme, oBatch.digestAlgorithm, oDoc.digest));
                            oItem.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
                            if (oBatch.scheme == SignatureScheme::Ecdsa)
                                oItem.insert(QStringLiteral("signatureDer"),
                                             QString::fromLatin1(ecdsaRawToDer(oSignature).toBase64()));
                        }
                        oEntry.add(oItem);
                        oOutcomes[i] = "signed";
                        ++oMonitor.signedCount;
                    } catch (const SignerError &v_oError) {
                        oEntry.add(errorItem(i, oDoc, v_oError.code(), messageOf(v_oError)));
                        oOutcomes[i] = v_oError.code();
                        ++oMonitor.failedCount;
                        if (stopsTheBatch(v_oError.code())) {
                            oStoppedBy.insert(QStringLiteral("error"), QString::fromLatin1(v_oError.code()));
                            oStoppedBy.insert(QStringLiteral("message"), messageOf(v_oError));
                            break;
                        }
                    }
                }
            });
        } catch (...) {
            oFailure = std::current_exception();
        }
        oAnswer.pin.clear();
        oMonitor.finished.store(true);
        bDone.store(true);
    });
    m_oUi.showBatchProgress(oOrigin, oMonitor);
    // Cancelled: the document on the token finishes, then the thread stops.
    while (!bDone.load()) {
        QEventLoop oLoop;
        QTimer::singleShot(20, &oLoop, &QEventLoop::quit);
        oLoop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    oWorker.join();

    // One receipt per document the batch reached or was meant to reach.
    QJsonArray oSigned;
    QJsonArray oFailed;
    QJsonArray oNotSigned;
    for (int i = 0; i < oBatch.documents.size(); ++i) {
        const QByteArray &oOutcome = oOutcomes.at(i);
        (oOutcome == "signed" ? oSigned : oOutcome.isEmpty() ? oNotSigned : oFailed).append(i);
        Receipt oDocReceipt = oReceipt;
        oDocReceipt.document = oBatch.documents.at(i).name;
        oDocReceipt.digest = oBatch.documents.at(i).digest;
        oDocReceipt.outcome = oOutcome.isEmpty() ? (oFailure ? QStringLiteral("not-signed") : QStringLiteral("cancelled"))
                                                 : QString::fromLatin1(oOutcome);
        signer::writeReceipt(oStore, oDocReceipt);
    }
    // A failure before the first document (the PIN, the token) is the page's
    // error, as for Sign.
    if (oFailure && oSigned.isEmpty() && oFailed.isEmpty())
        std::rethrow_exception(oFailure);
    if (oFailure && oStoppedBy.isEmpty()) {
        try {
            std::rethrow_exception(oFailure);
        } catch (const SignerError &v_oError) {
            oStoppedBy.insert(QStringLiteral("error"), QString::fromLatin1(v_oError.code()));
            oStoppedBy.insert(QStringLiteral("message"), messageOf(v_oError));
        } catch (const std::exception &v_oError) {
            oStoppedBy.insert(QStringLiteral("error"), QStringLiteral("TOKEN_ERROR"));
            oStoppedBy.insert(QStringLiteral("message"), QString::fromLocal8Bit(v_oError.what()));
        }
    }
    signer::log(false, "Signer::SignBatch",
                QStringLiteral("%1 documents: %2 signed, %3 not signed (errors), %4 not reached%5")
                    .arg(oBatch.documents.size())
                    .arg(oSigned.size())
                    .arg(oFailed.size())
                    .arg(oNotSigned.size())
                    .arg(oMonitor.cancel.load() ? QStringLiteral(", cancelled by the user") : QString()));

    QJsonObject oReply;
    oReply.insert(QStringLiteral("batchId"), QString::fromLatin1(oBatch.batchId));
    oReply.insert(QStringLiteral("certificate"), oCertificate);
    oReply.insert(QStringLiteral("total"), oBatch.documents.size());
    oReply.insert(QStringLiteral("signed"), oSigned);
    oReply.insert(QStringLiteral("failed"), oFailed);
    oReply.insert(QStringLiteral("notSigned"), oNotSigned);
    oReply.insert(QStringLiteral("cancelled"), oMonitor.cancel.load());
    if (!oStoppedBy.isEmpty())
        oReply.insert(QStringLiteral("stoppedBy"), oStoppedBy);
    oReply.insert(QStringLiteral("items"), oEntry.close());
    return signer::json(oReply);
}

BatchProgressCommand::BatchProgressCommand(const tRequestMap &v_oRequest) : m_oRequest(v_oRequest)
{
}

// Request: batchId. Reply: {"state":"consent"|"signing","total","done",
// "items":[the items made since the last call]}; BATCH_NOT_FOUND once the
// batch has ended (its reply holds the rest) or for another page's batch.
QByteArray BatchProgressCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    const QByteArray oSession = requestSession(m_oRequest);
    return signer::json(BatchTable::instance().poll(oSession, requestBatchId(m_oRequest), oOrigin.text));
}
