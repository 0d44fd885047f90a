#include "download.h"

#include "diskspace.h"
#include "localization.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPromise>
#include <QSaveFile>
#include <QThreadPool>

#include <limits>
#include <utility>

namespace {

// Data waiting to be written per download; a fast server is held back instead of
// piling up megabytes that would then be hashed and written in one long go.
constexpr qint64 kReadBufferBytes = 256 * 1024;
constexpr int kCommitThreads = 8;

// Committing makes a file durable before it takes its name, which can stall for a
// long while on a busy disk; workers do it so the interface stays responsive.
class CommitPool : public QThreadPool {
public:
    CommitPool() { setMaxThreadCount(kCommitThreads); }
};

QThreadPool& commitPool()
{
    static CommitPool pool;
    return pool;
}

qint64 freeSpace(const QString& folder)
{
    const qint64 bytes = DiskSpace::availableBytes(folder);
    return bytes < 0 ? std::numeric_limits<qint64>::max() : bytes;
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

// A body that is not the file it should be: another try may bring the right one.
bool isErrorStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400;
}

bool isDataFault(Download::Fault fault)
{
    return fault == Download::Fault::Checksum || fault == Download::Fault::Oversize;
}

} // namespace

Download::Download(QNetworkAccessManager* network, DownloadTarget target,
                   const HttpRequest::Recipe& recipe, const RetryRule& retry, QObject* parent)
    : QObject(parent), m_network(network), m_target(std::move(target)), m_recipe(recipe),
      m_retry(retry), m_hash(m_target.algorithm)
{
    m_recipe.bodyLimit = HttpRequest::kStreamed;
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        QString error;
        if (!openFile(&error)) {
            finish(Outcome::Failed, Fault::Open, error);
            return;
        }
        ++m_attempt;
        sendRequest();
    });
}

Download::~Download()
{
    if (QNetworkReply* reply = m_reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (m_state == State::Committing) {
        *m_discardCommit = true;
        m_commit.waitForFinished();
    }
}

Download* Download::start(QNetworkAccessManager* network, DownloadTarget target,
                          const HttpRequest::Recipe& recipe, const RetryRule& retry,
                          QObject* parent, QString* error)
{
    auto download =
        std::unique_ptr<Download>(new Download(network, std::move(target), recipe, retry, parent));
    return download->begin(error) ? download.release() : nullptr;
}

bool Download::begin(QString* error)
{
    const QString folder = QFileInfo(m_target.path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = Loc::text("common.error.createFailed").arg(native(folder));
        return false;
    }
    if (!openFile(error))
        return false;
    m_attempt = 1;
    sendRequest();
    return true;
}

void Download::cancel()
{
    switch (m_state) {
    case State::Transferring:
        if (QNetworkReply* reply = std::exchange(m_reply, nullptr)) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        break;
    case State::Waiting:
        m_retryTimer.stop();
        break;
    case State::Committing:
        // Not yet committed: it never will be. Already under way: it is let finish,
        // so whoever removes the folder afterwards finds it settled.
        *m_discardCommit = true;
        m_commit.waitForFinished();
        break;
    case State::Idle:
    case State::Ended:
        return;
    }
    discardFile();
    finish(Outcome::Canceled);
}

bool Download::openFile(QString* error)
{
    auto file = std::make_unique<QSaveFile>(m_target.path);
    if (!file->open(QIODevice::WriteOnly)) {
        if (error)
            *error = Loc::text("common.error.openForWriteFailed").arg(native(m_target.path));
        return false;
    }
    m_file = std::move(file);
    return true;
}

void Download::sendRequest()
{
    m_state = State::Transferring;
    m_hash.reset();
    m_received = 0;
    m_dropped = 0;
    m_stopFault = Fault::None;
    m_networkError = QNetworkReply::NoError;
    m_limit =
        m_target.size > 0 ? m_target.size : freeSpace(QFileInfo(m_target.path).absolutePath());

    QNetworkReply* reply = HttpRequest::get(m_network, m_target.url, m_recipe);
    reply->setReadBufferSize(kReadBufferBytes);
    m_reply = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, &Download::checkDeclaredLength);
    connect(reply, &QIODevice::readyRead, this, &Download::take);
    connect(reply, &QNetworkReply::downloadProgress, this, &Download::progress);
    connect(reply, &QNetworkReply::finished, this, &Download::handleFinished);
}

Download::Fault Download::overLimitFault() const
{
    return m_target.size > 0 ? Fault::Oversize : Fault::NoSpace;
}

// A declared length counts the bytes on the wire, which are the file's own only
// when the body is not compressed.
void Download::checkDeclaredLength()
{
    if (!m_reply || m_stopFault != Fault::None || isErrorStatus(m_reply))
        return;
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
        return;
    const QVariant declared = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.isValid() && declared.toLongLong() > m_limit)
        stopTransfer(overLimitFault());
}

Download::Fault Download::append(const QByteArray& bytes)
{
    if (bytes.size() > m_limit - m_received)
        return overLimitFault();
    m_hash.addData(bytes);
    if (m_file->write(bytes) != bytes.size())
        return Fault::Write;
    m_received += bytes.size();
    return Fault::None;
}

void Download::take()
{
    if (!m_reply || m_stopFault != Fault::None)
        return;
    const QByteArray bytes = m_reply->readAll();
    // An error page is no part of the file: it is dropped, within the bound of a
    // reply, and the finished reply tells the failure.
    if (isErrorStatus(m_reply)) {
        m_dropped += bytes.size();
        if (m_dropped > HttpRequest::kReplyLimit)
            stopTransfer(Fault::Network);
        return;
    }
    const Fault fault = append(bytes);
    if (fault != Fault::None)
        stopTransfer(fault);
}

// The abort reports the transfer's end at once, and the end may report the
// download's: nothing may follow it.
void Download::stopTransfer(Fault fault)
{
    m_stopFault = fault;
    m_reply->abort();
}

void Download::handleFinished()
{
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    reply->disconnect(this);
    reply->deleteLater();
    if (const Fault stopped = std::exchange(m_stopFault, Fault::None); stopped != Fault::None) {
        settleFailure(stopped, isDataFault(stopped), Loc::text("common.error.replyTooLarge"));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        m_networkError = reply->error();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        settleFailure(Fault::Network,
                      m_retry.transient && m_retry.transient(status, m_networkError),
                      HttpRequest::errorText(reply));
        return;
    }
    if (const Fault fault = append(reply->readAll()); fault != Fault::None) {
        settleFailure(fault, isDataFault(fault));
        return;
    }
    if (!digestMatches()) {
        settleFailure(Fault::Checksum, true);
        return;
    }
    commitInBackground();
}

bool Download::digestMatches() const
{
    if (m_target.digest.isEmpty())
        return !m_target.digestRequired;
    return QString::fromLatin1(m_hash.result().toHex())
               .compare(m_target.digest, m_target.digestCase) == 0;
}

QString Download::reasonFor(Fault fault) const
{
    switch (fault) {
    case Fault::Checksum:
        return Loc::text("common.error.checksumMismatch");
    case Fault::Oversize:
        return Loc::text("common.error.largerThanExpected");
    case Fault::NoSpace:
        return Loc::text("common.error.notEnoughSpace");
    case Fault::Write:
    case Fault::Commit:
        return Loc::text("common.error.saveFailed").arg(native(m_target.path));
    case Fault::None:
    case Fault::Open:
    case Fault::Network:
        break;
    }
    return {};
}

void Download::settleFailure(Fault fault, bool retriable, const QString& networkText)
{
    discardFile();
    if (retriable && m_attempt < m_retry.attempts) {
        m_state = State::Waiting;
        m_retryTimer.start(m_attempt * m_retry.delayStepMs);
        return;
    }
    finish(Outcome::Failed, fault, fault == Fault::Network ? networkText : reasonFor(fault));
}

void Download::commitInBackground()
{
    m_state = State::Committing;
    std::shared_ptr<QSaveFile> file(std::move(m_file));
    auto discard = std::make_shared<std::atomic_bool>(false);
    m_discardCommit = discard;
    auto promise = std::make_shared<QPromise<bool>>();
    m_commit = promise->future();
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (m_state == State::Committing)
            handleCommitted(watcher->result());
    });
    watcher->setFuture(m_commit);
    commitPool().start([promise, file, discard] {
        promise->start();
        bool committed = false;
        if (*discard)
            file->cancelWriting();
        else
            committed = file->commit();
        promise->addResult(committed);
        promise->finish();
    });
}

void Download::handleCommitted(bool committed)
{
    if (committed)
        finish(Outcome::Saved);
    else
        finish(Outcome::Failed, Fault::Commit, reasonFor(Fault::Commit));
}

void Download::discardFile()
{
    m_file.reset();
}

void Download::finish(Outcome outcome, Fault fault, const QString& text)
{
    m_state = State::Ended;
    m_outcome = outcome;
    m_fault = fault;
    m_errorText = text;
    emit ended();
}
