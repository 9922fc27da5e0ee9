#include "stagedfile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cstdio>
#endif

namespace {

const QLatin1String stagingSuffix(".korvel-part");
const QLatin1String asideSuffix(".korvel-old");
// Numbered set-aside names, for an old file still held under the first one.
const int AsideNames = 10;
const int FirstPause = 100;
const int LongestPause = 2000;

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    // MoveFileEx takes longer paths only in their extended form.
    if (native.size() >= MAX_PATH && !native.startsWith(QLatin1String("\\\\")))
        native.prepend(QLatin1String("\\\\?\\"));
    return native.toStdWString();
}
#endif

// A plain rename on the same volume: never Qt's fallback to copy and remove,
// and on Windows never over an existing file.
bool renameFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const bool ok = MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), 0);
#else
    const bool ok = std::rename(QFile::encodeName(from).constData(),
                                QFile::encodeName(to).constData()) == 0;
#endif
    if (!ok && error)
        *error = qt_error_string();
    return ok;
}

bool removeFile(const QString &path)
{
    if (QFile::remove(path))
        return true;
    // Windows refuses to delete a read-only file, and the old component may be one.
    return QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner)
            && QFile::remove(path);
}

bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Set-aside files of earlier runs: gone when the target is there, the target
// again when it is not.
void settleAside(const QString &target)
{
    for (int number = 0; number < AsideNames; ++number) {
        const QString aside = StagedFile::asidePath(target, number);
        if (!exists(aside))
            continue;
        if (exists(target))
            removeFile(aside);
        else
            renameFile(aside, target, nullptr);
    }
}

QString freeAside(const QString &target)
{
    for (int number = 0; number < AsideNames; ++number) {
        const QString aside = StagedFile::asidePath(target, number);
        if (!exists(aside))
            return aside;
    }
    return QString();
}

} // namespace

StagedFile::StagedFile(const QString &target, QObject *parent)
    : QObject(parent)
    , targetPath(target)
{
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &StagedFile::attempt);
}

StagedFile::~StagedFile()
{
    discard();
}

QString StagedFile::stagingPath(const QString &target)
{
    return target + stagingSuffix;
}

QString StagedFile::asidePath(const QString &target, int number)
{
    return number == 0 ? target + asideSuffix
                       : target + asideSuffix + QLatin1Char('-') + QString::number(number);
}

void StagedFile::removeLeftovers(const QString &folder)
{
    static const QRegularExpression aside(QStringLiteral("^(.+)\\.korvel-old(-[0-9]+)?$"));
    const QDir dir(folder);
    QSet<QString> targets;
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (name.endsWith(stagingSuffix)) {
            QFile::remove(dir.filePath(name));
            continue;
        }
        const QRegularExpressionMatch match = aside.match(name);
        if (match.hasMatch())
            targets.insert(dir.filePath(match.captured(1)));
    }
    for (const QString &target : qAsConst(targets))
        settleAside(target);
}

void StagedFile::open()
{
    const QFileInfo info(targetPath);
    // A missing folder is not created and a folder at the target is left
    // alone: the transfer runs with nothing to write.
    if (!info.dir().exists() || info.isDir()) {
        emit ready(true);
        return;
    }
    step = Step::Open;
    pause = FirstPause;
    deadline.setRemainingTime(retryLimit);
    attempt();
}

void StagedFile::commit()
{
    step = Step::Commit;
    pause = FirstPause;
    deadline.setRemainingTime(retryLimit);
    attempt();
}

void StagedFile::discard()
{
    retryTimer.stop();
    step = Step::None;
    closeStaging();
    if (created) {
        QFile::remove(stagingPath(targetPath));
        created = false;
    }
}

void StagedFile::attempt()
{
    const Step current = step;
    const bool ok = current == Step::Open ? tryOpen() : tryCommit();
    if (!ok && !deadline.hasExpired()) {
        retryTimer.start(int(qMin(qint64(pause), deadline.remainingTime())));
        pause = qMin(pause * 2, LongestPause);
        return;
    }
    step = Step::None;
    if (current == Step::Open) {
        if (!ok)
            qDebug() << "Cannot create" << stagingPath(targetPath) << lastError;
        emit ready(ok);
    } else {
        if (!ok) {
            qDebug() << "Cannot replace" << targetPath << lastError;
            discard();
        }
        emit committed(ok);
    }
}

bool StagedFile::tryOpen()
{
    settleAside(targetPath);
    auto *file = new QFile(stagingPath(targetPath), this);
    // Truncated: what a killed run left is never appended to. Unbuffered, so
    // that a full disk shows at the write.
    if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
        lastError = file->errorString();
        delete file;
        return false;
    }
    staging = file;
    created = true;
    return true;
}

bool StagedFile::tryCommit()
{
    // Windows renames no file that is open, ours included.
    closeStaging();
    const QString from = stagingPath(targetPath);
    if (!exists(targetPath)) {
        if (!renameFile(from, targetPath, &lastError))
            return false;
        created = false;
        return true;
    }

#ifndef Q_OS_WIN
    // An executable stays executable, a read-only file read-only. The "user"
    // flags say what this process may do; setting them would set the owner's.
    QFile::setPermissions(from, QFile::permissions(targetPath)
                                  & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser));
#endif
    settleAside(targetPath);
    const QString aside = freeAside(targetPath);
    if (aside.isEmpty()) {
        lastError = QStringLiteral("no free name to set the old file aside");
        return false;
    }
    if (!renameFile(targetPath, aside, &lastError))
        return false;
    if (!renameFile(from, targetPath, &lastError)) {
        // Never leave the target missing.
        QString error;
        if (!renameFile(aside, targetPath, &error))
            qDebug() << "Cannot restore" << targetPath << error;
        return false;
    }
    created = false;
    // Fails while the old program still runs; it goes the next time.
    removeFile(aside);
    return true;
}

void StagedFile::closeStaging()
{
    if (!staging)
        return;
    staging->close();
    delete staging;
    staging = nullptr;
}
