#include "seasonalpackdownloader.h"

#include "download.h"
#include "httprequest.h"
#include "localization.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int kProgressIntervalMs = 100;
// The pack's size in the catalog only feeds the progress bar: the body is bounded by
// the free disk space, and its digest decides whether it is the pack.
const HttpRequest::Recipe kPackRecipe{60000, HttpRequest::Redirects::NoLessSafe,
                                      HttpRequest::kStreamed};

} // namespace

SeasonalPackDownloader::SeasonalPackDownloader(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)), m_progressTimer(new QTimer(this))
{
    m_progressTimer->setInterval(kProgressIntervalMs);
    connect(m_progressTimer, &QTimer::timeout, this, &SeasonalPackDownloader::flushProgress);
}

SeasonalPackDownloader::~SeasonalPackDownloader()
{
    if (Download* download = std::exchange(m_download, nullptr)) {
        download->disconnect(this);
        delete download;
        removeDestination();
    }
}

void SeasonalPackDownloader::download(const QUrl& url, const QString& destPath,
                                      const QString& sha256, qint64 size, const QString& label,
                                      JobDone done)
{
    if (m_job.isBusy()) {
        const QString message = Loc::text("seasonal.error.downloadInProgress");
        emit failed(label, message);
        answerCaller(done, JobOutcome::failed(message));
        return;
    }
    m_job.begin();
    m_callers = JobCallers(std::move(done));
    m_destPath = destPath;
    m_label = label;
    m_bytesTotal = size;
    m_bytesReceived = 0;
    m_stageText = Loc::text("seasonal.progress.downloadingFiles");
    m_currentFile = QFileInfo(destPath).fileName();

    DownloadTarget target(url, destPath, sha256, QCryptographicHash::Sha256);
    target.digestRequired = true;
    QString error;
    m_download =
        Download::start(m_network, std::move(target), kPackRecipe, RetryRule{}, this, &error);
    if (!m_download) {
        fail(error);
        return;
    }
    connect(m_download, &Download::progress, this, &SeasonalPackDownloader::handleProgress);
    connect(m_download, &Download::ended, this, &SeasonalPackDownloader::handleEnded);

    if (m_job.notify([this, &label] { emit started(label); }))
        scheduleProgress();
}

void SeasonalPackDownloader::cancel()
{
    if (!m_job.isRunning() || !m_download)
        return;
    m_job.markCanceling();
    m_download->cancel();
}

double SeasonalPackDownloader::fraction() const
{
    if (m_bytesTotal < 1)
        return -1;
    return std::clamp(double(m_bytesReceived) / double(m_bytesTotal), 0.0, 1.0);
}

void SeasonalPackDownloader::handleProgress(qint64 received, qint64 total)
{
    m_bytesReceived = received;
    if (total > 0)
        m_bytesTotal = total;
    scheduleProgress();
}

void SeasonalPackDownloader::handleEnded()
{
    Download* download = std::exchange(m_download, nullptr);
    download->disconnect(this);
    download->deleteLater();

    switch (download->outcome()) {
    case Download::Outcome::Saved: {
        const QString path = m_destPath;
        const JobCallers callers = m_callers.take();
        reset();
        emit finished(path);
        callers.answer(JobOutcome::succeeded(path));
        return;
    }
    case Download::Outcome::Canceled: {
        if (download->canceledDuringCommit())
            removeDestination();
        const QString label = m_label;
        const JobCallers callers = m_callers.take();
        reset();
        emit canceled(label);
        callers.answer(JobOutcome::canceled());
        return;
    }
    case Download::Outcome::Failed:
    case Download::Outcome::Pending:
        break;
    }
    const auto transfer = [](const QString& reason) {
        return Loc::text("seasonal.error.downloadFailed").arg(reason);
    };
    fail(download->failureMessage(
        {.transfer = transfer, .checksum = Loc::text("seasonal.error.checksumMismatch")}));
}

void SeasonalPackDownloader::reset()
{
    m_job.end();
    m_progressTimer->stop();
    m_progressPending = false;
    m_destPath.clear();
    m_label.clear();
    m_stageText.clear();
    m_currentFile.clear();
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    emit progressChanged();
}

// No archive of an earlier attempt under that name survives a failure either.
void SeasonalPackDownloader::fail(const QString& message)
{
    const QString label = m_label;
    const JobCallers callers = m_callers.take();
    removeDestination();
    reset();
    emit failed(label, message);
    callers.answer(JobOutcome::failed(message));
}

void SeasonalPackDownloader::removeDestination() const
{
    if (!m_destPath.isEmpty())
        QFile::remove(m_destPath);
}

void SeasonalPackDownloader::scheduleProgress()
{
    m_progressPending = true;
    if (!m_progressTimer->isActive())
        m_progressTimer->start();
}

void SeasonalPackDownloader::flushProgress()
{
    if (!m_progressPending) {
        m_progressTimer->stop();
        return;
    }
    m_progressPending = false;
    emit progressChanged();
}
