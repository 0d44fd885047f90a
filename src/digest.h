#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <memory>

struct evp_md_ctx_st;

// A running digest, as QCryptographicHash, for the files the launcher downloads.
// SHA-1 and SHA-256 go through the system's libcrypto, which Qt's TLS already loads
// and which uses the processor's SHA instructions: several times faster than Qt's
// own code, so hashing does not slow a download down. Other algorithms fall back to
// QCryptographicHash.
class Digest {
public:
    explicit Digest(QCryptographicHash::Algorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void reset();
    void addData(const QByteArray& data);
    // The raw digest of everything added since the last reset.
    QByteArray result() const;

private:
    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const;
    };

    QCryptographicHash::Algorithm m_algorithm;
    std::unique_ptr<evp_md_ctx_st, ContextFree> m_context;
    std::unique_ptr<QCryptographicHash> m_fallback;
};
