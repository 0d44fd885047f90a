#include "filetransfer.h"

#include "diskspace.h"
#include "localization.h"
#include "pathrules.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <limits>
#include <utility>

namespace {

// Data waiting to be read per download; a fast server is held back instead of
// piling up megabytes in memory.
constexpr qint64 kReadBufferBytes = 256 * 1024;

qint64 freeSpace(const QString& folder)
{
    const qint64 bytes = DiskSpace::availableBytes(folder);
    return bytes < 0 ? std::numeric_limits<qint64>::max() : bytes;
}

using PathRules::native;

// A body that is not the file it should be: another try may bring the right one.
bool isErrorStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400;
}

bool isDataFault(FileTransfer::Fault fault)
{
    return fault == FileTransfer::Fault::Checksum || fault == FileTransfer::Fault::Oversize;
}

} // namespace

FileTransfer::FileTransfer(QNetworkAccessManager* network, DownloadTarget target,
                           const HttpRequest::Recipe& recipe, const RetryRule& retry,
                           QObject* parent)
    : QObject(parent), m_network(network), m_target(std::move(target)), m_recipe(recipe),
      m_retry(retry), m_file(std::make_unique<DownloadFile>(
                          m_target, this,
                          [this](int attempt, DownloadFile::Result result, const QString& reason) {
                              handleFileReport(attempt, result, reason);
                          },
                          [this] { resumeReading(); }))
{
    m_recipe.bodyLimit = HttpRequest::kStreamed;
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        m_file->open(++m_attempt);
        sendRequest();
    });
}

// Bytes still on their way to the disk are dropped with the partial file. A commit not
// yet begun never happens; one under way is let finish, so whoever removes the folder
// afterwards finds it settled.
FileTransfer::~FileTransfer()
{
    dropReply();
    m_file->discardNow();
}

void FileTransfer::begin()
{
    m_attempt = 1;
    m_file->open(m_attempt);
    sendRequest();
}

Download::Summary FileTransfer::summary() const
{
    return {m_outcome, m_fault, m_errorText, m_networkError, m_received};
}

void FileTransfer::dropReply()
{
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void FileTransfer::sendRequest()
{
    m_state = State::Transferring;
    m_holdingBack = false;
    m_received = 0;
    m_dropped = 0;
    m_stopFault = Fault::None;
    m_networkError = QNetworkReply::NoError;
    m_limit =
        m_target.size > 0 ? m_target.size : freeSpace(QFileInfo(m_target.path).absolutePath());

    QNetworkReply* reply = HttpRequest::get(m_network, m_target.url, m_recipe);
    reply->setReadBufferSize(kReadBufferBytes);
    m_reply = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileTransfer::checkDeclaredLength);
    connect(reply, &QIODevice::readyRead, this, &FileTransfer::take);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::handleFinished);
}

FileTransfer::Fault FileTransfer::overLimitFault() const
{
    return m_target.size > 0 ? Fault::Oversize : Fault::NoSpace;
}

// A declared length counts the bytes on the wire, which are the file's own only
// when the body is not compressed.
void FileTransfer::checkDeclaredLength()
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

FileTransfer::Fault FileTransfer::append(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return Fault::None;
    if (bytes.size() > m_limit - m_received)
        return overLimitFault();
    m_holdingBack = !m_file->write(bytes);
    m_received += bytes.size();
    return Fault::None;
}

void FileTransfer::take()
{
    if (!m_reply || m_stopFault != Fault::None || m_holdingBack)
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
    else if (!bytes.isEmpty())
        emit taken();
}

// The abort reports the transfer's end at once, and the end may report the
// download's: nothing may follow it.
void FileTransfer::stopTransfer(Fault fault)
{
    m_stopFault = fault;
    m_reply->abort();
}

void FileTransfer::resumeReading()
{
    m_holdingBack = false;
    take();
}

void FileTransfer::handleFinished()
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
    m_state = State::Committing;
    m_file->close();
    emit committing();
}

// The file's one report for an attempt: a failure of the disk while the transfer
// runs, or the outcome of verifying and committing it.
void FileTransfer::handleFileReport(int attempt, DownloadFile::Result result, const QString& reason)
{
    if (attempt != m_attempt || (m_state != State::Transferring && m_state != State::Committing))
        return;
    dropReply();
    switch (result) {
    case DownloadFile::Result::Saved:
        finish(Outcome::Saved);
        break;
    case DownloadFile::Result::Mismatch:
        settleFailure(Fault::Checksum, true);
        break;
    case DownloadFile::Result::CommitFailed:
        finish(Outcome::Failed, Fault::Commit, diskFailureText(Fault::Commit, reason));
        break;
    case DownloadFile::Result::WriteFailed:
        finish(Outcome::Failed, Fault::Write, diskFailureText(Fault::Write, reason));
        break;
    case DownloadFile::Result::OpenFailed:
        finish(Outcome::Failed, Fault::Open, diskFailureText(Fault::Open, reason));
        break;
    }
}

QString FileTransfer::reasonFor(Fault fault) const
{
    switch (fault) {
    case Fault::Checksum:
        return Loc::text("common.error.checksumMismatch");
    case Fault::Oversize:
        return Loc::text("common.error.largerThanExpected");
    case Fault::NoSpace:
        return Loc::text("common.error.notEnoughSpace");
    case Fault::Open:
    case Fault::Write:
    case Fault::Commit: // worded with the system's reason (diskFailureText)
    case Fault::None:
    case Fault::Network:
        break;
    }
    return {};
}

// A disk that failed the file: the file named, and the system's reason where it gave one.
QString FileTransfer::diskFailureText(Fault fault, const QString& reason) const
{
    const bool opening = fault == Fault::Open;
    const QString path = native(m_target.path);
    if (reason.isEmpty())
        return Loc::text(opening ? "common.error.openForWriteFailed" : "common.error.saveFailed")
            .arg(path);
    return Loc::text(opening ? "common.error.openForWriteFailedWhy" : "storage.error.saveFailedWhy")
        .arg(path, reason);
}

void FileTransfer::settleFailure(Fault fault, bool retriable, const QString& networkText)
{
    if (retriable && m_attempt < m_retry.attempts) {
        m_file->discard();
        m_state = State::Waiting;
        m_retryTimer.start(m_attempt * m_retry.delayStepMs);
        emit retrying();
        return;
    }
    finish(Outcome::Failed, fault, fault == Fault::Network ? networkText : reasonFor(fault));
}

void FileTransfer::finish(Outcome outcome, Fault fault, const QString& text)
{
    // An owner may remove the folder once the download has ended: no work of its file
    // may come after.
    if (outcome != Outcome::Saved)
        m_file->discardNow();
    m_state = State::Ended;
    m_outcome = outcome;
    m_fault = fault;
    m_errorText = text;
    emit ended();
}
