#pragma once

#include "download.h"
#include "downloadfile.h"
#include "httprequest.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QNetworkAccessManager;

// The work of one Download on the network thread: fetches the file into a save-file
// while its digest runs over the bytes, within the bound of its expected size (or of the
// free disk space), retries as its owner's rule says, commits the verified file and
// reports once, through ended(). This thread only moves the network's bytes on: the file
// is opened, written, hashed and committed on worker threads (see DownloadFile).
// Destroying it stops the transfer and discards a partial file; a commit under way is
// waited for.
class FileTransfer : public QObject {
    Q_OBJECT

public:
    using Outcome = Download::Outcome;
    using Fault = Download::Fault;

    // `network` must outlive the transfer.
    FileTransfer(QNetworkAccessManager* network, DownloadTarget target,
                 const HttpRequest::Recipe& recipe, const RetryRule& retry,
                 QObject* parent = nullptr);
    ~FileTransfer() override;

    // Sends the request while a worker opens the file.
    void begin();

    // Every byte is in and the network is done with it (see Download::isCommitting()).
    bool isCommitting() const { return m_state == State::Committing; }
    // Bytes of the current attempt taken for the file.
    qint64 received() const { return m_received; }
    Download::Summary summary() const;

signals:
    // The transfer's own figures; total is -1 while unknown.
    void progress(qint64 received, qint64 total);
    // Bytes were taken for the file (see received()); the network's own figures lag.
    void taken();
    void committing();
    // A failed attempt is to be tried again, after the rule's pause.
    void retrying();
    void ended();

private:
    // Committing: the last bytes are in, and the file is being verified and committed.
    enum class State { Idle, Transferring, Waiting, Committing, Ended };

    void sendRequest();
    void dropReply();
    Fault overLimitFault() const;
    void checkDeclaredLength();
    Fault append(const QByteArray& bytes);
    void take();
    void stopTransfer(Fault fault);
    void resumeReading();
    void handleFinished();
    void handleFileReport(int attempt, DownloadFile::Result result, const QString& reason);
    QString reasonFor(Fault fault) const;
    QString diskFailureText(Fault fault, const QString& reason) const;
    void settleFailure(Fault fault, bool retriable, const QString& networkText = {});
    void finish(Outcome outcome, Fault fault = Fault::None, const QString& text = {});

    QNetworkAccessManager* m_network;
    DownloadTarget m_target;
    HttpRequest::Recipe m_recipe;
    RetryRule m_retry;
    State m_state = State::Idle;
    Outcome m_outcome = Outcome::Pending;
    Fault m_fault = Fault::None;
    QString m_errorText;
    QNetworkReply::NetworkError m_networkError = QNetworkReply::NoError;
    int m_attempt = 0;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<DownloadFile> m_file;
    bool m_holdingBack = false; // the disk lags: the reply keeps the bytes for now
    qint64 m_received = 0;
    qint64 m_dropped = 0; // bytes of an error page
    qint64 m_limit = 0;
    Fault m_stopFault = Fault::None; // why this transfer aborted itself
    QTimer m_retryTimer;
};
