// The pure rules of the command protocol: id validation, what a request
// names (library, command, ids), path characters and the server command list.

#include "httptestsupport.h"
#include "commandnotes.h"
#include "crequestmapper.h"
#include "csigncontroller.h"

#include <QtTest>

class TestControllerRules : public QObject
{
    Q_OBJECT
private slots:
    void ids_data();
    void ids();
    void commandTarget_data();
    void commandTarget();
    void paths_data();
    void paths();
    void serverCommands();
};

void TestControllerRules::ids_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("valid"); // valid ids come back as sent, without surrounding blanks
    QTest::newRow("braced lower") << QByteArray("{0f8fad5b-d9cb-469f-a165-70867728950e}") << true;
    QTest::newRow("braced upper kept as sent") << QByteArray("{0F8FAD5B-D9CB-469F-A165-70867728950E}") << true;
    QTest::newRow("surrounding blanks trimmed") << QByteArray("  12345 ") << true;
    QTest::newRow("13 digits") << QByteArray("1234567890123") << true;
    QTest::newRow("14 digits") << QByteArray("12345678901234") << false;
    QTest::newRow("no braces") << QByteArray("0f8fad5b-d9cb-469f-a165-70867728950e") << false;
    QTest::newRow("markup") << QByteArray("<b>1</b>") << false;
    QTest::newRow("negative") << QByteArray("-1") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("uuid with trailing text") << QByteArray("{0f8fad5b-d9cb-469f-a165-70867728950e}x") << false;
}

void TestControllerRules::ids()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, valid);
    QCOMPARE(CSignController::escapeAndConvertToValidID(input), valid ? input.trimmed() : QByteArray());
}

void TestControllerRules::commandTarget_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("library");
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("server command") << QByteArray("/ALIVE") << QByteArray() << QByteArray("ALIVE");
    QTest::newRow("module and function") << QByteArray("/KeepAlive/Ping") << QByteArray("KeepAlive")
                                         << QByteArray("Ping");
    QTest::newRow("more segments: the first two") << QByteArray("/a/b/c") << QByteArray("a") << QByteArray("b");
    QTest::newRow("empty segments skipped") << QByteArray("//a//b/") << QByteArray("a") << QByteArray("b");
    QTest::newRow("one segment and cmd") << QByteArray("/KeepAlive?cmd=OPEN_SESSION") << QByteArray("KeepAlive")
                                         << QByteArray("OPEN_SESSION");
    QTest::newRow("two segments win over cmd") << QByteArray("/a/b?cmd=c") << QByteArray("a") << QByteArray("b");
    QTest::newRow("cmd alone") << QByteArray("/?cmd=ALIVE") << QByteArray() << QByteArray("ALIVE");
    QTest::newRow("decoded once") << QByteArray("/Key%41live/P%69ng") << QByteArray("KeyAlive") << QByteArray("Ping");
    QTest::newRow("nothing") << QByteArray("/") << QByteArray() << QByteArray();
}

void TestControllerRules::commandTarget()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, library);
    QFETCH(QByteArray, command);
    const auto poRequest = httptest::parse("POST " + target
                                           + " HTTP/1.1\r\nHost: x\r\nX-QTX-sessionId:  12 \r\n"
                                             "X-QTX-cmdId: {0f8fad5b-d9cb-469f-a165-70867728950e}x\r\n\r\n");
    QCOMPARE(int(poRequest->getState()), int(norrweb::HttpRequest::Complete));
    const CommandTarget &oTarget = CommandTarget::of(*poRequest);
    QCOMPARE(oTarget.library, library);
    QCOMPARE(oTarget.command, command);
    QCOMPARE(oTarget.sessionId.id, QByteArray("12"));
    QCOMPARE(oTarget.commandId.form, CheckedId::Invalid);
    QVERIFY(oTarget.commandId.id.isEmpty());
    // Read once: the same record however often it is asked.
    QCOMPARE(&CommandTarget::of(*poRequest), &oTarget);
}

void TestControllerRules::paths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("valid");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("module and function") << QByteArray("/Hasher/Sha256") << true;
    QTest::newRow("dashes and underscores") << QByteArray("/a-b_c/D9") << true;
    QTest::newRow("dot") << QByteArray("/a.b") << false;
    QTest::newRow("blank") << QByteArray("/a b") << false;
    QTest::newRow("percent") << QByteArray("/a%20") << false;
    QTest::newRow("non-ASCII letter") << QStringLiteral("/zaż").toUtf8() << false;
    QTest::newRow("newline at the end") << QByteArray("/ALIVE\n") << false;
    // A decoded %00: the bytes after the NUL count as well.
    QTest::newRow("NUL alias") << QByteArray("/Hasher\0alias/Sha256", 20) << false;
    QTest::newRow("NUL at the end") << QByteArray("/Hasher\0", 8) << false;
    QTest::newRow("invalid UTF-8") << QByteArray("/Hasher\xff/Sha256") << false;
    QTest::newRow("overlong slash") << QByteArray("/Hasher\xc0\xaf..") << false;
}

void TestControllerRules::paths()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, valid);
    QCOMPARE(PathValidator::validate(path), valid);
}

void TestControllerRules::serverCommands()
{
    // ARCH_TYPE among them: a request for it must not open a session.
    for (const char *pCommand : {"ALIVE", "GET_RESULT", "OPEN_SESSION", "CLOSE_SESSION", "SET_SESSION_VAR",
                                 "SERVER_VERSION", "GET_USER_SERVER_PORT", "TEST", "GET_USERNAME_FOR_PID", "ARCH_TYPE"})
        QVERIFY2(CSignController::IsServerCommand(QByteArray(pCommand)), pCommand);
    // Whole names, byte for byte: a longer name, a trailing NUL or another case is a module's.
    for (const QByteArray &oOther : {QByteArray("alive"), QByteArray("Sha256"), QByteArray("ALIVEX"),
                                     QByteArray("ALIVE\0", 6), QByteArray("ALIV"), QByteArray()})
        QVERIFY2(!CSignController::IsServerCommand(oOther), oOther.constData());
}

QTEST_GUILESS_MAIN(TestControllerRules)
#include "tst_controller_rules.moc"
