#ifndef SHA256_H
#define SHA256_H

#include <QByteArray>

#include <memory>

// SHA-256 over data that comes in pieces.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void add(const char *data, qint64 size);
    void add(const QByteArray &data) { add(data.constData(), data.size()); }
    // Lower-case hex of what was added; the hash then starts over.
    QByteArray hex();

private:
    struct Context;
    std::unique_ptr<Context> context;
};

#endif // SHA256_H
