#include "sha256.h"

#include <openssl/evp.h>

namespace {

struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

} // namespace

struct Sha256::Context
{
    std::unique_ptr<EVP_MD_CTX, ContextFree> digest{EVP_MD_CTX_new()};
};

Sha256::Sha256()
    : context(new Context)
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(context->digest.get(), EVP_sha256(), nullptr);
}

void Sha256::add(const char *data, qint64 size)
{
    EVP_DigestUpdate(context->digest.get(), data, size_t(size));
}

QByteArray Sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context->digest.get(), digest, &size);
    reset();
    return QByteArray(reinterpret_cast<const char *>(digest), int(size)).toHex();
}
