// An update as one unit: whatever ends it before its last component (a kill
// at any rename, a journal left by one), the installation is the release it
// had or the new one, never a mix; and no file is renamed into place before
// its data is on disk.

#include "releasetransaction.h"
#include "sandboxchecks.h"
#include "stagedfile.h"
#include "testhttpserver.h"
#include "updatersandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QUrl>
#include <QtTest>

using namespace SandboxChecks;

namespace {

const int Items = 3;

QByteArray oldBody(int i)
{
    return UpdaterSandbox::pattern(600 + i, 40 + i);
}

QByteArray newBody(int i)
{
    return UpdaterSandbox::pattern(3000 + i, 50 + i);
}

// "old" or "new" when every target holds that release, else what each holds.
QByteArray release(const QStringList &targets)
{
    QByteArray states;
    for (int i = 0; i < targets.size(); ++i) {
        const QByteArray data = contents(targets.at(i));
        states += data == oldBody(i) ? "old " : data == newBody(i) ? "new " : "other ";
    }
    if (states == QByteArray("old ").repeated(targets.size()))
        return "old";
    if (states == QByteArray("new ").repeated(targets.size()))
        return "new";
    return states;
}

int count(const UpdaterSandbox &box, const QByteArray &text)
{
    return box.output().count(text);
}

} // namespace

class TestRelease : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void killedAtEveryRename();
    void journalAtStart_data();
    void journalAtStart();

private:
    // Three components over old files: two in the install folder, the
    // middle one in another folder.
    QStringList publish(UpdaterSandbox &box);
    bool startAgain(UpdaterSandbox &box, bool handOff);

    TestHttpServer *server = nullptr;
};

void TestRelease::init()
{
    server = new TestHttpServer;
    QVERIFY(server->start());
}

void TestRelease::cleanup()
{
    delete server;
    server = nullptr;
}

QStringList TestRelease::publish(UpdaterSandbox &box)
{
    const QString other = box.makeDir(QStringLiteral("other"));
    QStringList targets;
    QByteArray items;
    for (int i = 0; i < Items; ++i) {
        const QString folder = i == 1 ? other : box.installDir();
        const QByteArray path = "/c" + QByteArray::number(i);
        targets.append(folder + QStringLiteral("/c%1.bin").arg(i));
        server->setResponse(path, TestResponse{200, {}, newBody(i)});
        items += UpdaterSandbox::manifestItem("c" + QByteArray::number(i) + ".bin",
                                              server->url(QString::fromLatin1(path)).toEncoded(),
                                              UpdaterSandbox::xmlEscaped(folder));
    }
    server->setResponse("/m.xml", TestResponse{200, {}, UpdaterSandbox::manifest(items)});
    return targets;
}

// A start without a hand-off file goes no further than its own folder: it
// recovers, sweeps, shows the window and waits.
bool TestRelease::startAgain(UpdaterSandbox &box, bool handOff)
{
    const int shown = count(box, "renderer:");
    if (handOff ? !box.writeHandOff(server->url(QStringLiteral("/m.xml")).toEncoded())
                : QFile::exists(box.handOffPath()) && !QFile::remove(box.handOffPath()))
        return false;
    if (!box.start())
        return false;
    if (handOff)
        return true;
    QDeadlineTimer deadline(ExitMs);
    while (count(box, "renderer:") == shown && box.isRunning() && !deadline.hasExpired())
        QTest::qWait(20);
    return count(box, "renderer:") > shown;
}

// The updater killed at each rename of a complete update in turn (strace
// injects the kill; the product has no hook for it). The next start, before
// it reads the hand-off file, leaves one release; then the update completes.
void TestRelease::killedAtEveryRename()
{
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QSKIP("strace is not installed");
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    // Qt's cache of the compiled document would add renames of its own.
    box.setEnvironmentValue(QStringLiteral("QML_DISABLE_DISK_CACHE"), QStringLiteral("1"));
    const QStringList targets = publish(box);
    const auto writeOld = [&] {
        for (int i = 0; i < Items; ++i) {
            if (!writeFile(targets.at(i), oldBody(i)))
                return false;
        }
        return true;
    };
    const QString renames = QStringLiteral("rename,renameat,renameat2");

    // Traced whole: every file is flushed before the rename that names it.
    const QString trace = box.root() + QStringLiteral("/trace.txt");
    QVERIFY(writeOld());
    // Without -f: the GUI thread does the file work, and the started
    // application is not waited for.
    box.setLauncher({QStringLiteral("strace"), QStringLiteral("-y"),
                     QStringLiteral("-o"), trace, QStringLiteral("-e"),
                     QStringLiteral("trace=fsync,fdatasync,") + renames});
    QVERIFY(startAgain(box, true));
    VERIFY_COMPLETES(box);
    QCOMPARE(release(targets), QByteArray("new"));
    static const QRegularExpression flush(QStringLiteral("f(?:data)?sync\\(\\d+<(.*)>\\) = 0$"));
    static const QRegularExpression rename(QStringLiteral("rename\\w*\\(.*\"(.*)\", .*\"(.*)\"(?:, \\d+)?\\) = 0$"));
    QSet<QString> flushed;
    int renamed = 0;
    for (const QByteArray &line : contents(trace).split('\n')) {
        const QString call = QString::fromUtf8(line);
        const QRegularExpressionMatch synced = flush.match(call);
        if (synced.hasMatch())
            flushed.insert(synced.captured(1));
        const QRegularExpressionMatch moved = rename.match(call);
        if (!moved.hasMatch())
            continue;
        ++renamed;
        // The journal and every component come in whole.
        const QString to = moved.captured(2);
        if (targets.contains(to) || to.endsWith(QLatin1String(".journal")))
            QVERIFY2(flushed.contains(moved.captured(1)), qPrintable(call));
    }
    // The journal's own, and two for each component.
    QVERIFY2(renamed >= 1 + 2 * Items, contents(trace).constData());

    qInfo("%d renames, each a kill point", renamed);
    for (int n = 1; n <= renamed; ++n) {
        QVERIFY(writeOld());
        box.setLauncher({QStringLiteral("strace"), QStringLiteral("-o"),
                         QStringLiteral("/dev/null"), QStringLiteral("-e"),
                         QStringLiteral("trace=") + renames, QStringLiteral("-e"),
                         QStringLiteral("inject=%1:signal=KILL:when=%2").arg(renames).arg(n)});
        QVERIFY(startAgain(box, true));
        QVERIFY2(box.waitForExit(ExitMs), tail(box).constData());
        QVERIFY2(!box.handOffContent().isEmpty(), qPrintable(QStringLiteral("killed at rename %1").arg(n)));

        box.setLauncher({});
        QVERIFY2(startAgain(box, false), tail(box).constData());
        const QByteArray after = release(targets);
        QVERIFY2(after == "old" || after == "new",
                 qPrintable(QStringLiteral("killed at rename %1: %2").arg(n).arg(QString::fromLatin1(after))));
        box.terminate();
        QVERIFY(box.windowClosed());
        QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));

        QVERIFY(startAgain(box, true));
        VERIFY_COMPLETES(box);
        QCOMPARE(release(targets), QByteArray("new"));
    }
    VERIFY_NOTHING_LOST(box);
}

void TestRelease::journalAtStart_data()
{
    // What the journal holds for the target t.bin (new) beside its set-aside
    // t.bin.korvel-old (old) and a staging file; whether it is rolled back.
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<bool>("trusted");

    // <t> stands for the target's path, <check> for the line's own check.
    const QByteArray header = "korvel-journal 1\n";
    const QByteArray good = "1\t<t>\t<t>.korvel-old\t<check>\n";
    QTest::newRow("whole") << header + good << true;
    // An append that never finished covers nothing that was touched.
    QTest::newRow("last line cut short") << header + good + good.left(20) << true;
    QTest::newRow("garbage") << QByteArray("\x7f\x45\x4c\x46 not a journal\n") << false;
    QTest::newRow("header cut short") << header.left(10) << false;
    QTest::newRow("a line that fails its check")
            << header + "1\t<t>\t<t>.korvel-old\t0badc0de\n" << false;
    QTest::newRow("a set-aside file that is not the target's")
            << header + "1\t<t>\t<t>.other\t<check>\n" << false;
}

// A journal found at start: a whole one is rolled back before anything else;
// one that cannot be read is set aside and trusted with nothing, and the
// folder's sweep takes the staging and set-aside files.
void TestRelease::journalAtStart()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, trusted);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString target = box.installDir() + QStringLiteral("/t.bin");
    QVERIFY(writeFile(target, newBody(0)));
    QVERIFY(writeFile(StagedFile::asidePath(target), oldBody(0)));
    QVERIFY(writeFile(StagedFile::stagingPath(target), newBody(1)));
    const QString path = ReleaseTransaction::journalPath(box.installDir());
    QList<QByteArray> lines = journal.replace("<t>", QUrl::toPercentEncoding(target)).split('\n');
    for (QByteArray &line : lines) {
        const int at = line.indexOf("\t<check>");
        if (at >= 0)
            line = line.left(at) + '\t'
                    + QCryptographicHash::hash(line.left(at), QCryptographicHash::Md5).toHex().left(8);
    }
    journal = lines.join('\n');
    QVERIFY(writeFile(path, journal));

    QVERIFY2(startAgain(box, false), tail(box).constData());
    QCOMPARE(contents(target), trusted ? oldBody(0) : newBody(0));
    QCOMPARE(count(box, "Rolled back the update of 1 component(s)"), trusted ? 1 : 0);
    QCOMPARE(count(box, "Unreadable journal set aside:"), trusted ? 0 : 1);
    QCOMPARE(contents(path + QStringLiteral(".bad")), trusted ? QByteArray() : journal);
    QFile::remove(path + QStringLiteral(".bad"));
    box.terminate();
    QVERIFY(box.windowClosed());
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
    VERIFY_NOTHING_LOST(box);
}

QTEST_GUILESS_MAIN(TestRelease)

#include "tst_release.moc"
