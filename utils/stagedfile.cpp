#include "stagedfile.h"

#include "releasetransaction.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
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

// Set-aside files of earlier runs: gone when the target is there, the target
// again when it is not.
void settleAside(const QString &target)
{
    for (int number = 0; number < AsideNames; ++number) {
        const QString aside = StagedFile::asidePath(target, number);
        if (!StagedFile::exists(aside))
            continue;
        if (StagedFile::exists(target))
            StagedFile::removeFile(aside);
        else
            StagedFile::renameFile(aside, target, nullptr);
    }
}

// This run's release keeps what it set aside of target until it commits.
bool ownedByRelease(const QString &target)
{
    const ReleaseTransaction *release = ReleaseTransaction::instance();
    return release && release->holds(target);
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

QString StagedFile::freeAsidePath(const QString &target)
{
    for (int number = 0; number < AsideNames; ++number) {
        const QString aside = asidePath(target, number);
        if (!exists(aside))
            return aside;
    }
    return QString();
}

bool StagedFile::exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool StagedFile::renameFile(const QString &from, const QString &to, QString *error)
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

bool StagedFile::removeFile(const QString &path)
{
    if (QFile::remove(path))
        return true;
    // Windows refuses to delete a read-only file, and the old component may be one.
    return QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner)
            && QFile::remove(path);
}

bool StagedFile::sync(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // Folders need no flush: NTFS journals their entries. Any handle that may
    // write flushes the whole file, also while another handle has it open.
    if (QFileInfo(path).isDir())
        return true;
    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (!ok && error)
        *error = qt_error_string();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
#else
    // fsync flushes the file's pages whichever descriptor wrote them.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (!ok && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return ok;
#endif
}

bool StagedFile::sync(QFile *file, QString *error)
{
#ifdef Q_OS_WIN
    return sync(file->fileName(), error);
#else
    // The data and the size, not the times: one write less for a small file.
    const bool ok = ::fdatasync(file->handle()) == 0;
    if (!ok && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return ok;
#endif
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
    if (!ownedByRelease(targetPath))
        settleAside(targetPath);
    // The journal names the staging file before it exists.
    ReleaseTransaction *release = ReleaseTransaction::instance();
    QString error;
    if (release && !release->stage(targetPath, &error)) {
        qDebug() << "Cannot write" << release->journalPath() << error;
        // Nothing is touched; ready() comes from the event loop, as after a wait.
        QTimer::singleShot(0, this, [this] { emit ready(false); });
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
    const QString from = stagingPath(targetPath);
    // Windows renames no file that is open, ours included.
    closeStaging();
    // Renames reach the disk before data does: without this, a power cut
    // could leave the target's name on an empty or short file.
    if (!sync(from, &lastError))
        return false;
    ReleaseTransaction *release = ReleaseTransaction::instance();
    if (!exists(targetPath)) {
        if (!renameFile(from, targetPath, &lastError))
            return false;
        placed();
        return true;
    }

#ifndef Q_OS_WIN
    // An executable stays executable, a read-only file read-only. The "user"
    // flags say what this process may do; setting them would set the owner's.
    QFile::setPermissions(from, QFile::permissions(targetPath)
                                  & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser));
#endif
    // The release keeps the file that stood here before it; anything else
    // set aside (an earlier item's file of the same target) goes at once.
    QString aside = release ? release->keptAsidePath(targetPath) : QString();
    const bool keep = !aside.isEmpty();
    if (keep && exists(aside)) {
        lastError = QStringLiteral("%1 is taken").arg(aside);
        return false;
    }
    if (!keep) {
        if (!ownedByRelease(targetPath))
            settleAside(targetPath);
        aside = freeAsidePath(targetPath);
    }
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
    placed();
    // Fails while the old program still runs; it goes the next time.
    if (!keep)
        removeFile(aside);
    return true;
}

void StagedFile::placed()
{
    created = false;
    ReleaseTransaction *release = ReleaseTransaction::instance();
    if (release)
        release->placed(targetPath);
    else
        sync(QFileInfo(targetPath).absolutePath(), nullptr);
}

void StagedFile::closeStaging()
{
    if (!staging)
        return;
    staging->close();
    delete staging;
    staging = nullptr;
}
