#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>

#include <memory>

// A digest computed over a stream of bytes. The algorithms the TLS library has (the
// SHA families and MD5) run through it, which is several times faster than Qt's own
// on machines with SHA instructions; any other falls back to QCryptographicHash.
class StreamDigest {
public:
    explicit StreamDigest(QCryptographicHash::Algorithm algorithm);
    ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    void reset();
    void addData(QByteArrayView bytes);
    // The digest of everything added since the last reset, as raw bytes; the stream
    // starts over afterwards.
    QByteArray result();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
