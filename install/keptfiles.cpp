#include "keptfiles.h"

#include "fileops.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QByteArray Header("korvel-kept 1\n");

QByteArray encoded(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

QString decoded(const QByteArray &field)
{
    return QUrl::fromPercentEncoding(field);
}

QByteArray line(const KeptFiles::Record &record)
{
    if (record.whole)
        return "W\t" + encoded(record.target) + '\t' + record.sha256 + '\n';
    return "P\t" + encoded(record.target) + '\t' + encoded(record.url.toString()) + '\t'
            + encoded(QString::fromLatin1(record.validator)) + '\n';
}

} // namespace

KeptFiles::KeptFiles(const QString &folder)
    : folder(folder)
{
}

QString KeptFiles::indexPath(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.kept.index");
}

QString KeptFiles::keptPath(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QStringLiteral("/KorvelUpdater.kept/") + info.fileName();
}

void KeptFiles::load()
{
    records.clear();
    QFile file(indexPath(folder));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray data = file.read(16 * 1024 * 1024);
    if (!data.startsWith(Header))
        return;
    // A last line without its line end is an append that never finished.
    const QList<QByteArray> lines = data.mid(Header.size()).split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split('\t');
        Record record;
        record.target = decoded(fields.value(1));
        if (record.target.isEmpty())
            continue;
        if (fields.first() == "W" && fields.size() == 3) {
            record.whole = true;
            record.sha256 = fields.at(2);
        } else if (fields.first() == "P" && fields.size() == 4) {
            record.url = QUrl(decoded(fields.at(2)));
            record.validator = decoded(fields.at(3)).toLatin1();
        } else {
            records.remove(record.target);
            continue;
        }
        records.insert(record.target, record);
    }
}

void KeptFiles::settle()
{
    for (auto it = records.begin(); it != records.end();) {
        if (QFileInfo(keptPath(it.key())).isFile())
            ++it;
        else
            it = records.erase(it);
    }
    rewrite();
}

void KeptFiles::noteWhole(const QString &target, const QByteArray &sha256)
{
    note({target, true, sha256, QUrl(), QByteArray()});
}

void KeptFiles::notePartial(const QString &target, const QUrl &url, const QByteArray &validator)
{
    note({target, false, QByteArray(), url, validator});
}

void KeptFiles::note(const Record &record)
{
    records.insert(record.target, record);
    append(line(record));
}

bool KeptFiles::keep(const QString &file, const QString &target, bool staging)
{
    const auto it = records.constFind(target);
    if (it == records.constEnd() || it->whole == staging || !QFileInfo(file).isFile())
        return false;
    const QString kept = keptPath(target);
    QString error;
    const QString keptFolder = QFileInfo(kept).path();
    if (!QFileInfo(keptFolder).isDir() && !FileOps::makeFolder(keptFolder, &error))
        return false;
    if (FileOps::exists(kept) && !FileOps::removeFile(kept))
        return false;
    if (!FileOps::renameFile(file, kept, &error)) {
        qDebug() << "Cannot keep" << file << error;
        return false;
    }
    qDebug() << "Kept:" << kept;
    return true;
}

KeptFiles::Record KeptFiles::find(const QString &target, QString *path) const
{
    const QString kept = keptPath(target);
    const Record record = records.value(target);
    *path = !record.target.isEmpty() && QFileInfo(kept).isFile() ? kept : QString();
    return record;
}

void KeptFiles::drop(const QString &target)
{
    if (!records.contains(target))
        return;
    records.remove(target);
    FileOps::removeFile(keptPath(target));
    removeFolderIfEmpty(target);
    append("D\t" + encoded(target) + '\n');
}

void KeptFiles::prune(const QSet<QString> &targets)
{
    const QList<QString> all = records.keys();
    for (const QString &target : all) {
        if (!targets.contains(target))
            drop(target);
    }
}

void KeptFiles::clear()
{
    const QList<QString> all = records.keys();
    for (const QString &target : all) {
        FileOps::removeFile(keptPath(target));
        removeFolderIfEmpty(target);
    }
    records.clear();
    index.close();
    FileOps::removeFile(indexPath(folder));
}

// Each note is on disk before the step it may decide.
void KeptFiles::append(const QByteArray &text)
{
    if (!index.isOpen()) {
        index.setFileName(indexPath(folder));
        if (!index.open(QIODevice::ReadWrite | QIODevice::Append))
            return;
        if (index.size() == 0)
            index.write(Header);
    }
    index.write(text);
    index.flush();
    FileOps::sync(&index, nullptr);
}

void KeptFiles::rewrite()
{
    index.close();
    if (records.isEmpty()) {
        FileOps::removeFile(indexPath(folder));
        return;
    }
    QSaveFile file(indexPath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(Header);
    for (const Record &record : qAsConst(records))
        file.write(line(record));
    file.commit();
}

void KeptFiles::removeFolderIfEmpty(const QString &target)
{
    QDir().rmdir(QFileInfo(keptPath(target)).path());
}
