#ifndef COMPONENTSIGNATURE_H
#define COMPONENTSIGNATURE_H

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>

// A publisher's Ed25519 signatures, made with OpenSSL's libcrypto. A release
// is signed as the message
//     "korvel-release-v1\n" + SHA-256 of the manifest's bytes (lower-case
//     hex) + "\n"
// and the manifest binds each component's address, place and SHA-256. The
// signature file, at the manifest's address with ".sig" appended to its
// path, holds the Base64 of the 64-byte signature on one line.
// Updaters from before signed manifests check each component on its own,
// with the message
//     "korvel-component-v1\n" + name (UTF-8) + "\n" + SHA-256 of the bytes
//     (lower-case hex) + "\n"
// in the file at the component's address with ".sig" appended.
namespace ComponentSignature {

constexpr int SignatureSize = 64;
// A signature file is one short line; anything longer is not one.
constexpr int MaximumFileSize = 1024;

QByteArray message(const QString &name, const QByteArray &sha256Hex);
QByteArray releaseMessage(const QByteArray &manifestSha256Hex);
QUrl signatureUrl(const QUrl &signedFile);

// The signature file's line for a message, signed with an Ed25519 private
// key in PEM; empty on failure, with the reason in error.
QByteArray sign(const QByteArray &privateKeyPem, const QByteArray &message, QString *error);

// An Ed25519 private key read once for many signatures: an encrypted key
// asks for its passphrase once, not once per signature.
class PrivateKey
{
public:
    PrivateKey();
    ~PrivateKey();
    PrivateKey(const PrivateKey &) = delete;
    PrivateKey &operator=(const PrivateKey &) = delete;

    // False with the reason in error.
    bool read(const QByteArray &privateKeyPem, QString *error);
    // As sign() above.
    QByteArray sign(const QByteArray &message, QString *error) const;

private:
    struct Key;
    std::unique_ptr<Key> key;
};

} // namespace ComponentSignature

// The publisher keys compiled into the program: the updater then installs
// only a release whose signature verifies under one of them.
// A key text that holds no usable key still demands signatures, so a broken
// key refuses everything rather than nothing.
class PublisherKeys
{
public:
    // Every Ed25519 public key of the PEM text; a line for each unusable one.
    explicit PublisherKeys(const QByteArray &pem);
    ~PublisherKeys();
    PublisherKeys(const PublisherKeys &) = delete;
    PublisherKeys &operator=(const PublisherKeys &) = delete;

    // Empty when the signature file verifies the message under one of the
    // keys; otherwise why not.
    QString check(const QByteArray &signatureFile, const QByteArray &message) const;

private:
    struct Keys;
    std::unique_ptr<Keys> keys;
};

#endif // COMPONENTSIGNATURE_H
