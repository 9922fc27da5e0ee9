#include "componentwriter.h"

#include "sha256.h"
#include "stagedfile.h"

#include <QDebug>
#include <QFile>

ComponentWriter::ComponentWriter(const QString &target, StagingJournal *journal, bool hashing,
                                 QObject *parent)
    : QObject(parent)
    , staged(new StagedFile(target, journal, this))
    , hash(hashing ? new Sha256 : nullptr)
{
    connect(staged, &StagedFile::ready, this, &ComponentWriter::ready);
    connect(staged, &StagedFile::committed, this, &ComponentWriter::committed);
}

ComponentWriter::~ComponentWriter() = default;

QString ComponentWriter::target() const
{
    return staged->target();
}

QString ComponentWriter::stagingPath(const QString &target)
{
    return StagedFile::stagingPath(target);
}

void ComponentWriter::open()
{
    staged->open();
}

bool ComponentWriter::isWriting() const
{
    return staged->file();
}

bool ComponentWriter::write(const QByteArray &data)
{
    QFile *file = staged->file();
    if (data.isEmpty() || !file)
        return true;
    if (file->write(data) != data.size()) {
        qDebug() << "Cannot write" << file->fileName() << file->errorString();
        return false;
    }
    if (hash)
        hash->add(data);
    return true;
}

qint64 ComponentWriter::size() const
{
    QFile *file = staged->file();
    return file ? file->size() : 0;
}

void ComponentWriter::restart()
{
    if (QFile *file = staged->file()) {
        file->resize(0);
        file->seek(0);
    }
    if (hash)
        hash->reset();
}

QByteArray ComponentWriter::sha256Hex()
{
    return hash ? hash->hex() : QByteArray();
}

void ComponentWriter::close()
{
    if (QFile *file = staged->file())
        file->close();
}

void ComponentWriter::commit()
{
    staged->commit();
}

void ComponentWriter::discard()
{
    staged->discard();
}
