#include "streamdigest.h"

#include <openssl/evp.h>

namespace {

const char* libraryName(QCryptographicHash::Algorithm algorithm)
{
    switch (algorithm) {
    case QCryptographicHash::Md5:
        return "MD5";
    case QCryptographicHash::Sha1:
        return "SHA1";
    case QCryptographicHash::Sha224:
        return "SHA2-224";
    case QCryptographicHash::Sha256:
        return "SHA2-256";
    case QCryptographicHash::Sha384:
        return "SHA2-384";
    case QCryptographicHash::Sha512:
        return "SHA2-512";
    default:
        return nullptr;
    }
}

// Fetched once: a fetch by name on every start would take the library's global lock
// for each file.
struct FetchedDigests {
    FetchedDigests()
    {
        for (int algorithm = 0; algorithm < kCount; ++algorithm) {
            const char* name = libraryName(QCryptographicHash::Algorithm(algorithm));
            digests[algorithm] = name ? EVP_MD_fetch(nullptr, name, nullptr) : nullptr;
        }
    }
    ~FetchedDigests()
    {
        for (EVP_MD* digest : digests)
            EVP_MD_free(digest);
    }

    static constexpr int kCount = QCryptographicHash::Sha512 + 1;
    EVP_MD* digests[kCount] = {};
};

const EVP_MD* libraryDigest(QCryptographicHash::Algorithm algorithm)
{
    static const FetchedDigests fetched;
    const int index = int(algorithm);
    return index >= 0 && index < FetchedDigests::kCount ? fetched.digests[index] : nullptr;
}

} // namespace

struct StreamDigest::Context {
    explicit Context(QCryptographicHash::Algorithm algorithm)
        : digest(libraryDigest(algorithm)), library(digest ? EVP_MD_CTX_new() : nullptr),
          fallback(algorithm)
    {
        // A library that refuses the algorithm (a restricted provider) leaves Qt's.
        if (library && EVP_DigestInit_ex(library, digest, nullptr) != 1) {
            EVP_MD_CTX_free(library);
            library = nullptr;
        }
    }
    ~Context() { EVP_MD_CTX_free(library); }

    const EVP_MD* digest;
    EVP_MD_CTX* library;
    QCryptographicHash fallback;
};

StreamDigest::StreamDigest(QCryptographicHash::Algorithm algorithm)
    : m_context(std::make_unique<Context>(algorithm))
{
}

StreamDigest::~StreamDigest() = default;

void StreamDigest::reset()
{
    if (m_context->library)
        EVP_DigestInit_ex(m_context->library, m_context->digest, nullptr);
    else
        m_context->fallback.reset();
}

void StreamDigest::addData(QByteArrayView bytes)
{
    if (m_context->library)
        EVP_DigestUpdate(m_context->library, bytes.data(), size_t(bytes.size()));
    else
        m_context->fallback.addData(bytes);
}

QByteArray StreamDigest::result()
{
    if (!m_context->library) {
        const QByteArray digest = m_context->fallback.result();
        m_context->fallback.reset();
        return digest;
    }
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->library, reinterpret_cast<unsigned char*>(digest.data()),
                       &length);
    EVP_DigestInit_ex(m_context->library, m_context->digest, nullptr);
    digest.truncate(int(length));
    return digest;
}
