#include "releasewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Qt's flush only empties its own buffer; the rename must not reach the disk
// before the data does.
bool syncToDisk(QFile *file)
{
    if (!file->flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file->handle())));
#else
    return ::fsync(file->handle()) == 0;
#endif
}

// What a new file gets from the process's umask; a temporary file starts
// readable by its owner alone, and a web server must read what is published.
QFileDevice::Permissions newFilePermissions()
{
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
            | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
#ifndef Q_OS_WIN
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (mask & S_IWGRP)
        permissions &= ~QFileDevice::WriteGroup;
    if (mask & S_IRGRP)
        permissions &= ~QFileDevice::ReadGroup;
    if (mask & S_IWOTH)
        permissions &= ~QFileDevice::WriteOther;
    if (mask & S_IROTH)
        permissions &= ~QFileDevice::ReadOther;
#endif
    return permissions;
}

} // namespace

struct ReleaseWriter::Staged
{
    QString target;
    std::unique_ptr<QTemporaryFile> file;
    // The file's name once it is closed: a QTemporaryFile holds its file open
    // until it is destroyed, and Windows renames no open file.
    QString path;
    // Where the old target went during commit(); empty when there was none.
    QString aside;
};

ReleaseWriter::ReleaseWriter() = default;

ReleaseWriter::~ReleaseWriter()
{
    for (const auto &entry : staged) {
        if (entry->file)
            entry->file->remove();
        else if (!entry->path.isEmpty())
            QFile::remove(entry->path);
    }
    for (auto it = madeFolders.crbegin(); it != madeFolders.crend(); ++it)
        QDir().rmdir(*it);
}

QFile *ReleaseWriter::stage(const QString &target)
{
    const QFileInfo info(target);
    if (info.exists() && !info.isFile()) {
        error = QStringLiteral("cannot write %1: it is not a file").arg(quoted(target));
        return nullptr;
    }
    // Hidden, and a name no component has: never listed, never in the way.
    auto entry = std::make_unique<Staged>();
    entry->target = target;
    entry->file = std::make_unique<QTemporaryFile>(info.absolutePath() + QStringLiteral("/.")
                                                   + info.fileName()
                                                   + QStringLiteral(".korvel-new-XXXXXX"));
    entry->file->setAutoRemove(false);
    if (!entry->file->open()
        || !entry->file->setPermissions(info.exists() ? info.permissions() : newFilePermissions())) {
        error = QStringLiteral("cannot write %1: %2").arg(quoted(target), entry->file->errorString());
        if (entry->file->isOpen())
            entry->file->remove();
        return nullptr;
    }
    staged.push_back(std::move(entry));
    return staged.back()->file.get();
}

bool ReleaseWriter::stage(const QString &target, const QByteArray &data)
{
    QFile *file = stage(target);
    if (file && file->write(data) != data.size()) {
        error = QStringLiteral("cannot write %1: %2").arg(quoted(target), file->errorString());
        return false;
    }
    return file;
}

void ReleaseWriter::discard(QFile *file)
{
    for (auto it = staged.begin(); it != staged.end(); ++it) {
        if ((*it)->file.get() == file) {
            file->remove();
            staged.erase(it);
            return;
        }
    }
}

bool ReleaseWriter::makeFolder(const QString &path)
{
    if (QFileInfo(path).isDir())
        return true;
    if (!QDir().mkdir(path)) {
        error = QStringLiteral("cannot make the folder %1").arg(quoted(path));
        return false;
    }
    madeFolders.append(path);
    return true;
}

void ReleaseWriter::remove(const QString &target)
{
    auto entry = std::make_unique<Staged>();
    entry->target = target;
    staged.push_back(std::move(entry));
}

namespace {

const QLatin1String LeftoverMark(".korvel-new-");

// One line per target: the target, its new file (empty for a removal) and
// where the old one goes, tab-separated and absolute, so that a run from
// another folder reads them right; names hold no tab or line end.
QByteArray journalText(const QString &target, const QString &path, const QString &aside)
{
    return (target + QLatin1Char('\t') + path + QLatin1Char('\t') + aside + QLatin1Char('\n')).toUtf8();
}

} // namespace

bool ReleaseWriter::isLeftover(const QString &fileName)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.korvel-new-[A-Za-z0-9]{6}(\\.old)?$"));
    return pattern.match(fileName).hasMatch();
}

QStringList ReleaseWriter::removeLeftovers(const QString &folder)
{
    QStringList removed;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (isLeftover(name) && QFile::remove(dir.filePath(name)))
            removed.append(name);
    }
    return removed;
}

bool ReleaseWriter::recover(const QString &journal, QString *error)
{
    QFile file(journal);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(quoted(journal), file.errorString());
        return false;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    bool ok = true;
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QStringList fields = QString::fromUtf8(*it).split(QLatin1Char('\t'));
        if (fields.size() != 3)
            continue; // the end, or a line cut short: its renames never began
        const QString &target = fields.at(0);
        const QString &path = fields.at(1);
        const QString &aside = fields.at(2);
        // The new file went in when its temporary name is gone.
        if (!path.isEmpty() && !QFileInfo::exists(path) && QFileInfo::exists(target)
            && !QFile::remove(target))
            ok = false;
        if (!aside.isEmpty() && QFileInfo::exists(aside)) {
            QFile::remove(target);
            if (!QFile::rename(aside, target))
                ok = false;
        }
        if (!path.isEmpty())
            QFile::remove(path);
    }
    if (!ok) {
        *error = QStringLiteral("cannot undo the run that was stopped; %1 tells what it did")
                .arg(quoted(journal));
        return false;
    }
    QFile::remove(journal);
    return true;
}

bool ReleaseWriter::commit()
{
    for (const auto &entry : staged) {
        if (!entry->file)
            continue; // a removal
        if (!syncToDisk(entry->file.get())) {
            error = QStringLiteral("cannot write %1: %2").arg(quoted(entry->target),
                                                              entry->file->errorString());
            return false;
        }
        entry->path = entry->file->fileName();
        entry->file.reset();
    }
    // Where each old target goes, noted before the first rename.
    QByteArray notes;
    for (const auto &entry : staged) {
        if (!QFileInfo::exists(entry->target))
            continue;
        if (!entry->path.isEmpty()) {
            entry->aside = entry->path + QStringLiteral(".old");
        } else {
            const QFileInfo info(entry->target);
            entry->aside = info.absolutePath() + QStringLiteral("/.") + info.fileName() + LeftoverMark
                    + QString::number(QRandomGenerator::global()->bounded(0x100000, 0xffffff), 16)
                    + QStringLiteral(".old");
        }
    }
    for (const auto &entry : staged)
        notes += journalText(QFileInfo(entry->target).absoluteFilePath(), entry->path, entry->aside);
    if (!journal.isEmpty()) {
        QSaveFile file(journal);
        if (!file.open(QIODevice::WriteOnly) || file.write(notes) != notes.size() || !file.commit()) {
            error = QStringLiteral("cannot write %1: %2").arg(quoted(journal), file.errorString());
            return false;
        }
    }
    for (int i = 0; i < int(staged.size()); ++i) {
        Staged &entry = *staged[i];
        // The old target goes aside first: renaming over it is not possible
        // everywhere, and it must come back if a later step fails.
        if (!entry.aside.isEmpty()) {
            QFile old(entry.target);
            if (!old.rename(entry.aside)) {
                entry.aside.clear();
                error = QStringLiteral("cannot replace %1: %2").arg(quoted(entry.target), old.errorString());
                rollBack(i);
                return false;
            }
        }
        if (entry.path.isEmpty())
            continue; // a removal: gone once its aside is
        QFile staged(entry.path);
        if (!staged.rename(entry.target)) {
            error = QStringLiteral("cannot replace %1: %2").arg(quoted(entry.target), staged.errorString());
            rollBack(i + 1);
            return false;
        }
    }
    // The new release is whole: from here on, a stopped run leaves only
    // leftovers to remove.
    if (!journal.isEmpty())
        QFile::remove(journal);
    for (const auto &entry : staged) {
        if (!entry->aside.isEmpty())
            QFile::remove(entry->aside);
    }
    staged.clear();
    madeFolders.clear();
    return true;
}

// Puts back the first done targets; the one that failed may be half done.
void ReleaseWriter::rollBack(int done)
{
    for (int i = done - 1; i >= 0; --i) {
        Staged &entry = *staged[i];
        if (!entry.path.isEmpty() && !QFileInfo::exists(entry.path))
            QFile::remove(entry.target); // the new file is in place
        if (!entry.aside.isEmpty())
            QFile::rename(entry.aside, entry.target);
    }
    if (!journal.isEmpty())
        QFile::remove(journal);
}
