#ifndef TESTTIME_H
#define TESTTIME_H

#include <QString>
#include <QtGlobal>

#include <climits>

// Every bound on a wait in the tests guards against a hang; none is a speed
// check. A sanitizer build or a busy machine is several times slower, so
// KORVEL_TEST_TIME_SCALE (a decimal number, at least 1; anything else counts
// as 1) stretches them all: testTime(10000) is 10 s times that factor.
inline double testTimeScale()
{
    static const double scale = [] {
        bool ok = false;
        const double value = qEnvironmentVariable("KORVEL_TEST_TIME_SCALE").toDouble(&ok);
        return ok && value > 1 ? value : 1.0;
    }();
    return scale;
}

// A program of the product as a test runs it: the one the build made, or,
// when KORVEL_SANITIZED_PROGRAMS names another build tree, the one at the same
// place there ("bin/KorvelUpdater", "test-bin/KorvelUpdaterTestKeys"): a test
// built without sanitizers drives the sanitized updater.
inline QString productPath(const QString &built)
{
    const QString tree = qEnvironmentVariable("KORVEL_SANITIZED_PROGRAMS");
    return tree.isEmpty() ? built : tree + QLatin1Char('/') + built.section(QLatin1Char('/'), -2);
}

// A run of the sanitizer build: the programs under test are sanitized, and
// every step of theirs is several times slower.
inline bool sanitizedRun()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return qEnvironmentVariableIsSet("KORVEL_SANITIZED_PROGRAMS");
#endif
}

inline int testTime(int ms)
{
    // Halved: QTRY_*_WITH_TIMEOUT doubles its bound to report a near miss.
    return int(qMin(ms * testTimeScale(), double(INT_MAX / 2)));
}

#endif // TESTTIME_H
