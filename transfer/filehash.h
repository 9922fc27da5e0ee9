#ifndef FILEHASH_H
#define FILEHASH_H

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>

#include <memory>

class Sha256;

// The SHA-256 of a file, read a piece at a time from the event loop, so that
// the window goes on drawing while a large file is read.
class FileHash : public QObject
{
    Q_OBJECT

public:
    explicit FileHash(const QString &path, QObject *parent = nullptr);
    ~FileHash() override;

    // done() follows from the event loop.
    void start();

signals:
    // Lower-case hex; empty when the file cannot be read.
    void done(const QByteArray &sha256Hex);

private:
    void step();

    QFile file;
    std::unique_ptr<Sha256> hash;
    QByteArray buffer;
};

#endif // FILEHASH_H
