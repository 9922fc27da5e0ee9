#ifndef COMPONENTWRITER_H
#define COMPONENTWRITER_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class Sha256;
class StagedFile;
class StagingJournal;

// Turns a component's bytes, as they arrive, into its staged file beside the
// target (StagedFile), with their SHA-256 beside them when a signed hash is
// to be met. Knows nothing of where the bytes come from; the target changes
// only at commit().
class ComponentWriter : public QObject
{
    Q_OBJECT

public:
    // journal: the release the component belongs to; null for none.
    ComponentWriter(const QString &target, StagingJournal *journal, bool hashing,
                    QObject *parent = nullptr);
    // An unfinished staging file goes with the writer.
    ~ComponentWriter() override;

    QString target() const;
    // Where the bytes of target are written until commit().
    static QString stagingPath(const QString &target);

    // Creates the staging file; ready() follows, at once or later.
    void open();
    // Whether the bytes go anywhere: not when the target's folder is missing
    // or the target is a folder (the transfer then counts as failed).
    bool isWriting() const;
    // Appends data; false, with a line, when the file cannot take it.
    bool write(const QByteArray &data);
    qint64 size() const;
    // From the start again: a server ignored a range and sends the whole file.
    void restart();
    // Lower-case hex of what was written; empty without hashing.
    QByteArray sha256Hex();
    // Nothing more comes; the staging file is closed.
    void close();
    // Puts the staging file in place; committed() follows, at once or later.
    void commit();
    // Stops any retry and removes the staging file.
    void discard();

signals:
    void ready(bool ok);
    void committed(bool ok);

private:
    StagedFile *staged = nullptr;
    std::unique_ptr<Sha256> hash;
};

#endif // COMPONENTWRITER_H
