#include "utils.h"

#include "fileops.h"
#include "transferrules.h"
#include "stall.h"
#include "updatesession.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QUrl>

#include <climits>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

Utils::Utils(QObject *parent)
    : QObject(parent)
    , handOffPath(QDir::homePath() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt"))
{
}

void Utils::outputFile()
{
    // A pipe or a device would block this thread on open or read, and signals
    // with it; a file of a few lines needs no more than the bound, which also
    // holds for one that grows while it is read.
    const QFileInfo info(handOffPath);
    QFile file(handOffPath);
    QByteArray data;
    QString refused;
    if (info.exists() && !info.isFile())
        refused = QStringLiteral("not a regular file");
    else if (!file.open(QIODevice::ReadOnly))
        refused = file.errorString();
    else if ((data = file.read(MaximumHandOffSize + 1)).size() > MaximumHandOffSize)
        refused = QStringLiteral("larger than %1 bytes").arg(MaximumHandOffSize);
    if (!refused.isEmpty()) {
        // Without an address the update waits for nothing: say why.
        qDebug() << "Cannot read" << handOffPath << refused;
        return;
    }
    // Default settings: a byte-order mark picks the Unicode encoding,
    // otherwise the local 8-bit one.
    QTextStream stream(data);
    QString line;
    while (!stream.atEnd()) {
        line = stream.readLine();
        // The manifest's model would read a local address (file:, qrc:, a
        // relative one) itself, past every transfer rule: it gets none.
        const QString refusal = line.isEmpty() ? QString() : TransferRules::refusal(QUrl(line));
        if (!refusal.isEmpty())
            qDebug() << "Stopped:" << line << refusal;
        emit fileOutput(refusal.isEmpty() ? line : QString());
        qDebug() << "Output: " << line;
    }
    // The last line is the address.
    if (line.isEmpty())
        qDebug() << "No address in" << handOffPath;
}

void Utils::deleteFile(QString file)
{
    QFile target(file);
    if (!target.open(QIODevice::ReadWrite)) {
        qDebug() << "couldn't open file ReadWrite";
        return;
    }
    target.close();
    target.remove();
    qDebug() << "Removed";
}

int Utils::getFileSize(QString file)
{
    QFile target(file);
    if (!target.open(QIODevice::ReadOnly))
        return 0;
    return int(qMin(target.size(), qint64(INT_MAX)));
}

bool Utils::checkFileExists(QString path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

bool Utils::copyFile(QString source, QString target)
{
    return QFile::copy(source, target);
}

QString Utils::installPath()
{
    return QCoreApplication::applicationDirPath();
}

void Utils::cleanup()
{
    if (QFile::exists(handOffPath))
        QFile::remove(handOffPath);
}

QString Utils::stallText(QString cause)
{
    return Stall::report(Stall::fromName(cause));
}

bool Utils::commitRelease()
{
    UpdateSession *session = UpdateSession::instance();
    return !session || session->commit();
}

bool Utils::isFileName(QString name)
{
    const QString problem = FileOps::fileNameProblem(name);
    // Never requested nor written: the sequence goes on without it.
    if (!problem.isEmpty())
        qDebug() << "Not a file name:" << name << problem;
    return problem.isEmpty();
}

void Utils::startApp()
{
    const QString program = QCoreApplication::applicationDirPath()
            + QStringLiteral("/KorvelWindows.exe");
    // No destructor runs after this: the lock file goes now, before the
    // application can start the next update.
    if (UpdateSession *session = UpdateSession::instance())
        session->releaseLock();
    // Never destroyed: the application outlives the updater.
    auto *holder = new QObject;
    auto *process = new QProcess(holder);
    // The application writes where the updater wrote; a pipe to the updater
    // would break when the updater ends and kill it on its first write.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program, QStringList(), QIODevice::ReadWrite);
    qDebug() << "Updater ended: status 12, the update is complete; started" << program;

    // End now, without static destructors: they race Qt Quick's render thread.
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef Q_OS_WIN
    // Windows' _Exit still unloads every DLL and runs its destructors, after
    // killing the other threads wherever they stood.
    TerminateProcess(GetCurrentProcess(), ExitStatus);
#endif
    std::_Exit(ExitStatus);
}
