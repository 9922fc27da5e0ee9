#include "stagedfile.h"

#include "fileops.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>


namespace {

const QLatin1String stagingSuffix(".korvel-part");
const QLatin1String asideSuffix(".korvel-old");
// Numbered set-aside names, for an old file still held under the first one.
const int AsideNames = 10;
const int FirstPause = 100;
const int LongestPause = 2000;

// Set-aside files of earlier runs: gone when the target is there, the target
// again when it is not.
void settleAside(const QString &target)
{
    for (int number = 0; number < AsideNames; ++number) {
        const QString aside = StagedFile::asidePath(target, number);
        if (!FileOps::exists(aside))
            continue;
        if (FileOps::exists(target))
            FileOps::removeFile(aside);
        else
            FileOps::renameFile(aside, target, nullptr);
    }
}

} // namespace

StagedFile::StagedFile(const QString &target, StagingJournal *journal, QObject *parent)
    : QObject(parent)
    , targetPath(target)
    , journal(journal)
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
        if (!FileOps::exists(aside))
            return aside;
    }
    return QString();
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
    // A folder at the target is left alone, and so is a relative location
    // that is missing: the transfer runs with nothing to write.
    if (info.isDir() || (!info.dir().exists() && info.isRelative())) {
        emit ready(true);
        return;
    }
    // An absolute one is created, as an installer would.
    if (!info.dir().exists() && !makeFolders(info.path())) {
        failLater();
        return;
    }
    // What the release set aside of this target stays until it commits.
    if (!journal || !journal->holds(targetPath))
        settleAside(targetPath);
    // The journal names the staging file before it exists.
    QString error;
    if (journal && !journal->stage(targetPath, &error)) {
        qDebug() << "Cannot write" << journal->journalPath() << error;
        failLater();
        return;
    }
    step = Step::Open;
    pause = FirstPause;
    deadline.setRemainingTime(retryLimit);
    attempt();
}

// Outermost first, each named in the journal before it is made.
bool StagedFile::makeFolders(const QString &folder)
{
    QStringList missing;
    for (QString path = folder; !QFileInfo(path).isDir(); path = QFileInfo(path).path()) {
        if (QFileInfo(path).path() == path)
            break;
        missing.prepend(path);
    }
    for (const QString &path : qAsConst(missing)) {
        QString error;
        // "x/.." exists once x does.
        if (QFileInfo(path).isDir())
            continue;
        if (journal && !journal->stageFolder(path, &error)) {
            qDebug() << "Cannot write" << journal->journalPath() << error;
            return false;
        }
        if (!FileOps::makeFolder(path, &error)) {
            qDebug() << "Cannot create the folder" << path << error;
            return false;
        }
    }
    return true;
}

// Nothing is fetched; ready() comes from the event loop, as after a wait.
void StagedFile::failLater()
{
    QTimer::singleShot(0, this, [this] { emit ready(false); });
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

void StagedFile::leave()
{
    if (!journal) {
        discard();
        return;
    }
    retryTimer.stop();
    step = Step::None;
    closeStaging();
    created = false;
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
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    // Truncated: what a killed run left is never appended to, unless it was
    // kept for that. Unbuffered, so that a full disk shows at the write.
    bool adopted = false;
    if (!startingFile.isEmpty()) {
        // A staging file of its own would be one a killed run left.
        if (FileOps::exists(file->fileName()))
            FileOps::removeFile(file->fileName());
        adopted = FileOps::renameFile(startingFile, file->fileName(), &lastError);
        if (!adopted)
            qDebug() << "Cannot use" << startingFile << lastError;
        startingFile.clear();
    }
    if (!adopted)
        mode |= QIODevice::Truncate;
    if (!file->open(mode) || !file->seek(file->size())) {
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
    if (!FileOps::sync(from, &lastError))
        return false;
    if (!FileOps::exists(targetPath)) {
        if (!FileOps::renameFile(from, targetPath, &lastError))
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
    QString aside = journal ? journal->keptAsidePath(targetPath) : QString();
    const bool keep = !aside.isEmpty();
    if (keep && FileOps::exists(aside)) {
        lastError = QStringLiteral("%1 is taken").arg(aside);
        return false;
    }
    if (!keep) {
        if (!journal || !journal->holds(targetPath))
            settleAside(targetPath);
        aside = freeAsidePath(targetPath);
    }
    if (aside.isEmpty()) {
        lastError = QStringLiteral("no free name to set the old file aside");
        return false;
    }
    if (!FileOps::renameFile(targetPath, aside, &lastError))
        return false;
    if (!FileOps::renameFile(from, targetPath, &lastError)) {
        // Never leave the target missing.
        QString error;
        if (!FileOps::renameFile(aside, targetPath, &error))
            qDebug() << "Cannot restore" << targetPath << error;
        return false;
    }
    placed();
    // Fails while the old program still runs; it goes the next time.
    if (!keep)
        FileOps::removeFile(aside);
    return true;
}

void StagedFile::placed()
{
    created = false;
    if (journal)
        journal->placed(targetPath);
    else
        FileOps::sync(QFileInfo(targetPath).absolutePath(), nullptr);
}

void StagedFile::closeStaging()
{
    if (!staging)
        return;
    staging->close();
    delete staging;
    staging = nullptr;
}
