#include "releasetransaction.h"

#include "fileops.h"
#include "keptfiles.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace {

const QByteArray header = "korvel-journal 1\n";

QByteArray checked(const QByteArray &body)
{
    return body + '\t' + QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex().left(8);
}

// A file that another program holds for a while (a virus scanner) is waited
// for as StagedFile waits: growing pauses, at most RetryLimit in all.
bool persist(const std::function<bool(QString *)> &step, QString *error)
{
    QDeadlineTimer deadline(StagedFile::RetryLimit);
    int pause = 100;
    while (!step(error)) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(qMin(qint64(pause), deadline.remainingTime())), &loop,
                           &QEventLoop::quit);
        loop.exec();
        pause = qMin(pause * 2, 2000);
    }
    return true;
}

bool removeIfThere(const QString &path, QString *error)
{
    if (!FileOps::exists(path) || FileOps::removeFile(path))
        return true;
    *error = QStringLiteral("cannot remove %1").arg(path);
    return false;
}

} // namespace

ReleaseTransaction::ReleaseTransaction(const QString &folder)
    : folder(folder)
{
}

ReleaseTransaction::~ReleaseTransaction() = default;

QString ReleaseTransaction::journalPath(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.journal");
}

QString ReleaseTransaction::key(const QString &target)
{
    return FileOps::identity(target);
}

bool ReleaseTransaction::recover()
{
    // Half a journal that never got its name.
    QFile::remove(journalPath() + QStringLiteral(".new"));
    QFile file(journalPath());
    if (!file.exists())
        return true;
    // One that cannot be read now (held by a scanner, its rights changed) is
    // not damaged: nothing is touched until a start can read it.
    const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (file.error() != QFileDevice::NoError) {
        qDebug() << "Cannot read the journal" << journalPath() << file.errorString();
        return false;
    }
    if (!parse(content)) {
        file.close();
        // Never trusted to rename anything; the folder's sweep takes what is left.
        const QString bad = journalPath() + QStringLiteral(".bad");
        QFile::remove(bad);
        if (!FileOps::renameFile(journalPath(), bad, nullptr))
            QFile::remove(journalPath());
        qDebug() << "Unreadable journal set aside:" << bad;
        entries.clear();
        index.clear();
        return true;
    }
    file.close();
    journalWritten = true;
    return rollBack();
}

bool ReleaseTransaction::parse(const QByteArray &journal)
{
    if (!journal.startsWith(header))
        return false;
    const QList<QByteArray> lines = journal.mid(header.size()).split('\n');
    // The last piece is what follows the last line feed: an unfinished append.
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const int lastTab = line.lastIndexOf('\t');
        const QList<QByteArray> fields = line.split('\t');
        if (checked(line.left(lastTab)) != line)
            return false;
        if (fields.size() == 3 && fields.at(0) == "d") {
            const QString made = QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(1)));
            if (!QFileInfo(made).isAbsolute())
                return false;
            if (!madeFolders.contains(made))
                madeFolders.append(made);
            continue;
        }
        if (fields.size() != 4 || (fields.at(0) != "0" && fields.at(0) != "1"))
            return false;
        Entry entry;
        entry.existed = fields.at(0) == "1";
        entry.target = QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(1)));
        entry.aside = QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(2)));
        // Only ever the target's own set-aside names.
        if (!QFileInfo(entry.target).isAbsolute()
            || !entry.aside.startsWith(StagedFile::asidePath(entry.target))
            || entry.aside.size() > StagedFile::asidePath(entry.target, 9).size())
            return false;
        if (!index.contains(key(entry.target))) {
            index.insert(key(entry.target), entries.size());
            entries.append(entry);
            folders.insert(QFileInfo(entry.target).absolutePath());
        }
    }
    return true;
}

bool ReleaseTransaction::holds(const QString &target) const
{
    return index.contains(key(target));
}

bool ReleaseTransaction::stage(const QString &target, QString *error)
{
    if (holds(target))
        return true;
    Entry entry;
    entry.target = QFileInfo(target).absoluteFilePath();
    entry.existed = FileOps::exists(target);
    entry.aside = StagedFile::freeAsidePath(entry.target);
    if (entry.aside.isEmpty()) {
        *error = QStringLiteral("no free name to set %1 aside").arg(target);
        return false;
    }
    const QByteArray line = checked(QByteArray(entry.existed ? "1" : "0") + '\t'
                                    + QUrl::toPercentEncoding(entry.target) + '\t'
                                    + QUrl::toPercentEncoding(entry.aside))
            + '\n';
    if (!append(line, error))
        return false;
    index.insert(key(target), entries.size());
    entries.append(entry);
    return true;
}

bool ReleaseTransaction::stageFolder(const QString &folder, QString *error)
{
    const QString path = QFileInfo(folder).absoluteFilePath();
    if (madeFolders.contains(path))
        return true;
    if (!append(checked("d\t" + QUrl::toPercentEncoding(path)) + '\n', error))
        return false;
    madeFolders.append(path);
    // Its entry in the folder above reaches the disk with the release.
    folders.insert(QFileInfo(path).absolutePath());
    return true;
}

// Appended, never rewritten: a release of thousands of components writes
// each line once. The first line comes with the header under another name,
// so that no journal is ever half a header.
bool ReleaseTransaction::append(const QByteArray &line, QString *error)
{
    if (broken) {
        *error = QStringLiteral("an earlier write failed");
        return false;
    }
    if (!journalWritten) {
        const QString path = journalPath() + QStringLiteral(".new");
        QFile file(path);
        const QByteArray data = header + line;
        bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)
                && file.write(data) == data.size();
        if (!ok)
            *error = file.errorString();
        ok = ok && FileOps::sync(&file, error);
        file.close();
        ok = ok && FileOps::renameFile(path, journalPath(), error)
                && FileOps::sync(folder, error);
        if (!ok) {
            QFile::remove(path);
            return false;
        }
        journalWritten = true;
        journal.setFileName(journalPath());
        // A journal that cannot be opened again fails the next line's write.
        journal.open(QIODevice::Append | QIODevice::Unbuffered);
        return true;
    }
    if (!journal.isOpen() || journal.write(line) != line.size()) {
        *error = journal.errorString();
        broken = true;
        return false;
    }
    if (!FileOps::sync(&journal, error)) {
        broken = true;
        return false;
    }
    return true;
}

QString ReleaseTransaction::keptAsidePath(const QString &target) const
{
    const int at = index.value(key(target), -1);
    return at < 0 || entries.at(at).settled ? QString() : entries.at(at).aside;
}

void ReleaseTransaction::placed(const QString &target)
{
    const int at = index.value(key(target), -1);
    if (at >= 0)
        entries[at].settled = true;
    folders.insert(QFileInfo(target).absolutePath());
}

void ReleaseTransaction::syncFolders()
{
    for (const QString &path : qAsConst(folders))
        FileOps::sync(path, nullptr);
}

bool ReleaseTransaction::removeJournal(QString *error)
{
    // Windows removes no file that is open.
    journal.close();
    if (!persist([this](QString *why) { return removeIfThere(journalPath(), why); }, error))
        return false;
    FileOps::sync(folder, nullptr);
    journalWritten = false;
    broken = false;
    entries.clear();
    index.clear();
    folders.clear();
    madeFolders.clear();
    return true;
}

bool ReleaseTransaction::commit()
{
    if (!journalWritten)
        return true;
    // Every rename of the release is on disk before the journal goes.
    syncFolders();
    const QVector<Entry> done = entries;
    QString error;
    if (!removeJournal(&error)) {
        qDebug() << "Cannot commit" << journalPath() << error;
        return false;
    }
    // Past the commit, set-aside files are the previous release. One that is
    // still in use (a running program) goes the next time, as after any update.
    for (const Entry &entry : done) {
        if (FileOps::exists(entry.aside) && FileOps::exists(entry.target))
            FileOps::removeFile(entry.aside);
    }
    return true;
}

bool ReleaseTransaction::rollBack()
{
    if (!journalWritten)
        return true;
    bool ok = true;
    for (int i = entries.size() - 1; i >= 0; --i) {
        const Entry &entry = entries.at(i);
        QString error;
        if (!persist([this, &entry](QString *why) { return restore(entry, why); }, &error)) {
            qDebug() << "Cannot roll back" << entry.target << error;
            ok = false;
        }
    }
    if (!ok)
        return false;
    // Emptied above; one that still holds something is not only this run's.
    for (int i = madeFolders.size() - 1; i >= 0; --i)
        QDir().rmdir(madeFolders.at(i));
    syncFolders();
    const int count = entries.size();
    QString error;
    if (!removeJournal(&error)) {
        qDebug() << "Cannot roll back" << journalPath() << error;
        return false;
    }
    qDebug() << "Rolled back the update of" << count << "component(s)";
    return true;
}

// Idempotent: a rollback cut short is simply done again.
bool ReleaseTransaction::restore(const Entry &entry, QString *error) const
{
    // A folder at the staging name was never ours: the staging file was not made.
    const QString staging = StagedFile::stagingPath(entry.target);
    const auto kept = [this, &entry](const QString &file, bool staging) {
        return keeper && keeper->keep(file, entry.target, staging);
    };
    if (!QFileInfo(staging).isDir() && !kept(staging, true) && !removeIfThere(staging, error))
        return false;
    // Nothing stood there: the target, and a later item's file set aside
    // under the name the entry kept free, are this run's.
    if (!entry.existed) {
        return (kept(entry.target, false) || removeIfThere(entry.target, error))
                && removeIfThere(entry.aside, error);
    }
    if (!FileOps::exists(entry.aside))
        return true;
    kept(entry.target, false);
    // The old file was set aside: what stands at the target is this run's.
    // A running program or a loaded DLL (the updater that now runs may be
    // this release's) can be renamed, not removed: it goes aside, and goes
    // later as the set-aside files of a commit do.
    if (FileOps::exists(entry.target) && !FileOps::removeFile(entry.target)) {
        const QString away = StagedFile::freeAsidePath(entry.target);
        if (away.isEmpty()) {
            *error = QStringLiteral("cannot remove %1").arg(entry.target);
            return false;
        }
        if (!FileOps::renameFile(entry.target, away, error))
            return false;
    }
    return FileOps::renameFile(entry.aside, entry.target, error);
}
