#pragma once

#include "downloadfile.h"
#include "downloadtarget.h"
#include "httprequest.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QNetworkAccessManager;

// Fetches one file into a save-file while its digest runs over the bytes, within
// the bound of its expected size (or of the free disk space), retries as its
// owner's rule says, commits the verified file and reports once, through ended().
// The calling thread only moves the network's bytes on: the file is opened, written,
// hashed and committed on worker threads (see DownloadFile). Destroying it stops the
// transfer and discards a partial file; a commit under way is waited for.
class Download : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Pending, Saved, Canceled, Failed };
    enum class Fault {
        None,
        Open,     // the file could not be made
        Network,  // the transfer failed (an HTTP error status included)
        Checksum, // the digest differs
        Oversize, // more bytes than expected arrived, or were announced
        NoSpace,  // a file of unknown size would leave the disk too full
        Write,    // the disk took fewer bytes than arrived
        Commit,   // the verified file could not take its name
    };

    // Creates the target's folder and sends the request while a worker opens the
    // file; the download belongs to `parent` and reports from the event loop. Null,
    // with the translated reason in `error`, when the folder cannot be made; a file
    // that cannot be made ends the download with Fault::Open, the reason naming it.
    static Download* start(QNetworkAccessManager* network, DownloadTarget target,
                           const HttpRequest::Recipe& recipe, const RetryRule& retry,
                           QObject* parent, QString* error = nullptr);
    ~Download() override;

    // Ends a running download as canceled, reporting it before this returns; a
    // file being committed may still take its name first.
    void cancel();

    const DownloadTarget& target() const { return m_target; }
    bool isRunning() const { return m_state != State::Idle && m_state != State::Ended; }
    // Every byte is in and the network is done with it: the file is being verified and
    // committed on a worker. A cancel now may come too late to stop it taking its name,
    // and a mismatch may still send it back to the network.
    bool isCommitting() const { return m_state == State::Committing; }
    Outcome outcome() const { return m_outcome; }
    Fault fault() const { return m_fault; }
    // The file on disk failed, not the transfer: the error text names the file and
    // makes a message by itself.
    bool isDiskFault() const
    {
        return m_fault == Fault::Open || m_fault == Fault::Write || m_fault == Fault::Commit;
    }
    // What went wrong, for "Could not download %1: %2": the network's own text or a
    // translated reason.
    QString errorText() const { return m_errorText; }
    // How the owner of a download words its failure; each word left out falls back.
    struct FailureWords {
        // The message of a failed transfer, made from errorText(); left out: that text
        // alone.
        std::function<QString(const QString& reason)> transfer = {};
        // The message of a digest that differs; left out: the transfer's.
        QString checksum = {};
        // The message of a disk fault; left out: errorText(), which names the file.
        QString disk = {};
    };
    // The message for a download that did not save, in its owner's words.
    QString failureMessage(const FailureWords& words) const;
    QNetworkReply::NetworkError networkError() const { return m_networkError; }
    // Bytes of the current attempt taken for the file.
    qint64 received() const { return m_received; }

signals:
    // The transfer's own figures; total is -1 while unknown.
    void progress(qint64 received, qint64 total);
    // The download enters its commit (see isCommitting()).
    void committing();
    void ended();

private:
    // Committing: the last bytes are in, and the file is being verified and committed.
    enum class State { Idle, Transferring, Waiting, Committing, Ended };

    Download(QNetworkAccessManager* network, DownloadTarget target,
             const HttpRequest::Recipe& recipe, const RetryRule& retry, QObject* parent);
    void begin();

    void sendRequest();
    void dropReply();
    Fault overLimitFault() const;
    void checkDeclaredLength();
    Fault append(const QByteArray& bytes);
    void take();
    void stopTransfer(Fault fault);
    void resumeReading();
    void handleFinished();
    void handleFileReport(int attempt, DownloadFile::Result result);
    QString reasonFor(Fault fault) const;
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
    Fault m_stopFault = Fault::None; // why this download aborted its own transfer
    QTimer m_retryTimer;
};
