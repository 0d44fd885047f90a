#include "digest.h"

#include <openssl/evp.h>

namespace {

// Fetched once: a start with an algorithm looked up by name would take the library's
// global lock for every file, on every downloading thread.
struct Fetched {
    Fetched()
        : sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr)),
          sha256(EVP_MD_fetch(nullptr, "SHA2-256", nullptr))
    {
    }
    ~Fetched()
    {
        EVP_MD_free(sha1);
        EVP_MD_free(sha256);
    }
    EVP_MD* sha1;
    EVP_MD* sha256;
};

const EVP_MD* libcryptoAlgorithm(QCryptographicHash::Algorithm algorithm)
{
    static const Fetched fetched;
    switch (algorithm) {
    case QCryptographicHash::Sha1:
        return fetched.sha1;
    case QCryptographicHash::Sha256:
        return fetched.sha256;
    default:
        return nullptr;
    }
}

} // namespace

void Digest::ContextFree::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

Digest::Digest(QCryptographicHash::Algorithm algorithm) : m_algorithm(algorithm)
{
    if (libcryptoAlgorithm(algorithm))
        m_context.reset(EVP_MD_CTX_new());
    if (!m_context)
        m_fallback = std::make_unique<QCryptographicHash>(algorithm);
    reset();
}

Digest::~Digest() = default;

void Digest::reset()
{
    if (m_fallback) {
        m_fallback->reset();
        return;
    }
    if (EVP_DigestInit_ex(m_context.get(), libcryptoAlgorithm(m_algorithm), nullptr) != 1) {
        m_context.reset();
        m_fallback = std::make_unique<QCryptographicHash>(m_algorithm);
    }
}

void Digest::addData(const QByteArray& data)
{
    if (m_fallback)
        m_fallback->addData(data);
    else
        EVP_DigestUpdate(m_context.get(), data.constData(), size_t(data.size()));
}

QByteArray Digest::result() const
{
    if (m_fallback)
        return m_fallback->result();
    // Finishing a context ends it: the result comes from a copy, so more data may follow.
    std::unique_ptr<evp_md_ctx_st, ContextFree> copy(EVP_MD_CTX_new());
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), m_context.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), bytes, &length) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char*>(bytes), int(length));
}
