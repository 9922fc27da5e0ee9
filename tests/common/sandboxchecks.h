#ifndef SANDBOXCHECKS_H
#define SANDBOXCHECKS_H

// Checks shared by the tests that run the real updater in an UpdaterSandbox.

#include "testtime.h"
#include "updatersandbox.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtTest>

namespace SandboxChecks {

// How long an update may take.
const int ExitMs = testTime(60000);

// How long a stall must last to count. Every stall check first waits for
// what starts the stall (the line that names its cause, or the request it
// hangs on), and an updater that wrongly goes on does so at once, in the same
// turn of its event loop; so the window is short. The sanitizers slow every
// step, and the time factor stretches it there. Under Wine, whose every step
// is slower still, it stays as long as it was.
inline int stallMs()
{
    if (UpdaterSandbox::usesWine())
        return testTime(2000);
    return sanitizedRun() ? testTime(500) : 500;
}

enum class Outcome { Completes, Stalls };

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Names the updater never writes and korvel-manifest refuses: its own files,
// Windows device names, names Windows changes or cannot create.
inline QStringList refusedNames()
{
    return {QStringLiteral("KorvelUpdater.journal"), QStringLiteral("korvelupdater.LOCK"),
            QStringLiteral("KorvelUpdater.serial"), QStringLiteral("a.bin.korvel-part"),
            QStringLiteral("a.bin.korvel-old"), QStringLiteral("NUL"), QStringLiteral("con.txt"),
            QStringLiteral("COM1"), QStringLiteral("lpt9.log"), QStringLiteral("aux"),
            QStringLiteral("name."), QStringLiteral("name "), QStringLiteral("..."),
            QStringLiteral("a:b"), QStringLiteral("a<b"), QStringLiteral("a\"b"),
            QStringLiteral("a|b"), QStringLiteral("a?b"), QStringLiteral("a*b"),
            QStringLiteral("tab\there")};
}

// The end of the updater's diagnostics, for failure messages.
inline QByteArray tail(const UpdaterSandbox &box)
{
    return box.output().right(3000);
}

} // namespace SandboxChecks

Q_DECLARE_METATYPE(SandboxChecks::Outcome)

// In initTestCase: a runner that cannot run here skips the whole test with
// its reason, unless the Windows leg was asked for (KORVEL_QT_WIN64 is set).
#define REQUIRE_RUNNER()                                                                    \
    do {                                                                                    \
        const QString why = UpdaterSandbox::unavailable();                                  \
        if (!why.isEmpty() && qEnvironmentVariableIsSet("KORVEL_QT_WIN64"))                 \
            QFAIL(qPrintable(QStringLiteral("KORVEL_QT_WIN64 is set, but ") + why));        \
        if (!why.isEmpty())                                                                 \
            QSKIP(qPrintable(QStringLiteral("Windows leg skipped: ") + why));               \
    } while (false)

// Every case: no death by a signal, no sanitizer report, every sentinel intact.
#define VERIFY_NOTHING_LOST(box)                                                            \
    do {                                                                                    \
        QVERIFY2(!(box).crashed(), SandboxChecks::tail(box).constData());                   \
        QVERIFY2((box).faultReport().isEmpty(), qPrintable((box).faultReport()));          \
        QVERIFY2((box).damagedSentinels().isEmpty(),                                        \
                 qPrintable((box).damagedSentinels().join(QLatin1Char(' '))));              \
    } while (false)

// A stall: the updater keeps running, starts nothing and leaves the hand-off
// file as it was; the test then ends it by its pid.
#define VERIFY_STALLS(box, handOff)                                                         \
    do {                                                                                    \
        QVERIFY2((box).staysRunning(SandboxChecks::stallMs()),                              \
                 SandboxChecks::tail(box).constData());                                     \
        QVERIFY(!(box).appStarted());                                                       \
        QCOMPARE((box).handOffContent(), QByteArray(handOff));                              \
        (box).terminate();                                                                  \
        if ((box).windowClosed())                                                           \
            QCOMPARE((box).exitCode(), 0);                                                  \
    } while (false)

// A complete update: status 12, the hand-off file removed, and no staging,
// set-aside or lock file left.
#define VERIFY_COMPLETES(box)                                                               \
    do {                                                                                    \
        QVERIFY2((box).waitForExit(SandboxChecks::ExitMs),                                  \
                 SandboxChecks::tail(box).constData());                                     \
        QVERIFY2(!(box).crashed(), SandboxChecks::tail(box).constData());                   \
        QCOMPARE((box).exitCode(), 12);                                                     \
        QVERIFY(!(box).handOffExists());                                                    \
        QVERIFY2((box).leftovers().isEmpty(),                                               \
                 qPrintable((box).leftovers().join(QLatin1Char(' '))));                     \
    } while (false)

#endif // SANDBOXCHECKS_H
