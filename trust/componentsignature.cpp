#include "componentsignature.h"

#include <QDebug>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// What libcrypto said last, for a diagnostic.
QString cryptoError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = {};
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

Key readKey(const QByteArray &pem, bool isPrivate)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    if (!bio)
        return Key();
    Key key(isPrivate ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)
                      : PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return key;
}

} // namespace

namespace ComponentSignature {

QByteArray message(const QString &name, const QByteArray &sha256Hex)
{
    return "korvel-component-v1\n" + name.toUtf8() + '\n' + sha256Hex + '\n';
}

QByteArray releaseMessage(const QByteArray &manifestSha256Hex)
{
    return "korvel-release-v1\n" + manifestSha256Hex + '\n';
}

QUrl signatureUrl(const QUrl &signedFile)
{
    QUrl url = signedFile;
    url.setPath(url.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::TolerantMode);
    return url;
}

QByteArray sign(const QByteArray &privateKeyPem, const QByteArray &message, QString *error)
{
    PrivateKey key;
    return key.read(privateKeyPem, error) ? key.sign(message, error) : QByteArray();
}

struct PrivateKey::Key
{
    ::Key key;
};

PrivateKey::PrivateKey()
    : key(new Key)
{
}

PrivateKey::~PrivateKey() = default;

bool PrivateKey::read(const QByteArray &privateKeyPem, QString *error)
{
    key->key = readKey(privateKeyPem, true);
    if (!key->key || EVP_PKEY_id(key->key.get()) != EVP_PKEY_ED25519) {
        *error = key->key ? QStringLiteral("the key is not an Ed25519 private key")
                          : QStringLiteral("no private key in PEM: ") + cryptoError();
        key->key.reset();
        return false;
    }
    return true;
}

QByteArray PrivateKey::sign(const QByteArray &message, QString *error) const
{
    if (!key->key) {
        *error = QStringLiteral("no private key");
        return QByteArray();
    }
    DigestContext context(EVP_MD_CTX_new());
    QByteArray signature(SignatureSize, Qt::Uninitialized);
    size_t size = size_t(signature.size());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key->key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()),
                          &size, reinterpret_cast<const unsigned char *>(message.constData()),
                          size_t(message.size())) != 1
        || size != size_t(SignatureSize)) {
        *error = QStringLiteral("signing failed: ") + cryptoError();
        return QByteArray();
    }
    return signature.toBase64() + '\n';
}

} // namespace ComponentSignature

struct PublisherKeys::Keys
{
    std::vector<Key> keys;
};

PublisherKeys::PublisherKeys(const QByteArray &pem)
    : keys(new Keys)
{
    static const QByteArray begin = "-----BEGIN PUBLIC KEY-----";
    static const QByteArray end = "-----END PUBLIC KEY-----";
    for (int at = pem.indexOf(begin); at >= 0; at = pem.indexOf(begin, at + begin.size())) {
        const int stop = pem.indexOf(end, at);
        Key key = stop < 0 ? Key() : readKey(pem.mid(at, stop + end.size() - at), false);
        if (key && EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519)
            keys->keys.push_back(std::move(key));
        else
            qDebug() << "Unusable publisher key:" << cryptoError();
    }
}

PublisherKeys::~PublisherKeys() = default;

QString PublisherKeys::check(const QByteArray &signatureFile, const QByteArray &message) const
{
    const QByteArray line = signatureFile.trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (line.isEmpty() || line.contains('\n') || !decoded)
        return QStringLiteral("the signature file is not one line of Base64");
    const QByteArray signature = *decoded;
    if (signature.size() != ComponentSignature::SignatureSize)
        return QStringLiteral("the signature has %1 bytes, not %2")
                .arg(signature.size()).arg(ComponentSignature::SignatureSize);

    for (const Key &key : keys->keys) {
        DigestContext context(EVP_MD_CTX_new());
        if (context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
            && EVP_DigestVerify(context.get(),
                                reinterpret_cast<const unsigned char *>(signature.constData()),
                                size_t(signature.size()),
                                reinterpret_cast<const unsigned char *>(message.constData()),
                                size_t(message.size())) == 1)
            return QString();
        ERR_clear_error();
    }
    // Which of the two, the signature cannot tell.
    return QStringLiteral("the signature matches no publisher key: the manifest may have been "
                          "altered after signing, or signed with another key");
}

