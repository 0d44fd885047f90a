#pragma once

#include "downloadfile.h"
#include "downloadtarget.h"
#include "httprequest.h"

#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class NetworkThread;
class QNetworkAccessManager;

// Fetches one file into a save-file while its digest runs over the bytes, within the
// bound of its expected size (or of the free disk space), retries as its owner's rule
// says, commits the verified file and reports once, through ended(). The transfer runs
// on the network thread (see FileTransfer) and this object, on its owner's thread, hears
// its progress at most every few dozen milliseconds, and its end. Destroying it stops the
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
    // How the owner of a download words its failure; each word left out falls back.
    struct FailureWords {
        // The message of a failed transfer, made from errorText; left out: that text
        // alone.
        std::function<QString(const QString& reason)> transfer = {};
        // The message of a digest that differs; left out: the transfer's.
        QString checksum = {};
        // The message of a disk fault; left out: errorText, which names the file.
        QString disk = {};
    };
    // Where a download stands, as the network thread last told it.
    struct Summary {
        Outcome outcome = Outcome::Pending;
        Fault fault = Fault::None;
        QString errorText;
        QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
        qint64 received = 0;

        // The file on disk failed, not the transfer: errorText names the file and makes a
        // message by itself.
        bool isDiskFault() const
        {
            return fault == Fault::Open || fault == Fault::Write || fault == Fault::Commit;
        }
        // The message for a download that did not save, in its owner's words.
        QString failureMessage(const FailureWords& words) const;
    };

    // Creates the target's folder and starts the transfer on the network thread, through
    // a manager there that stands in for `network`, the owner's own: the owner's
    // downloads share its connections. The download belongs to `parent` and reports
    // from the event loop. Null, with the
    // translated reason in `error`, when the folder cannot be made; a file that cannot be
    // made ends the download with Fault::Open, the reason naming it.
    static Download* start(QNetworkAccessManager* network, DownloadTarget target,
                           const HttpRequest::Recipe& recipe, const RetryRule& retry,
                           QObject* parent, QString* error = nullptr);
    ~Download() override;

    // Ends a running download as canceled, reporting it before this returns; a
    // file being committed may still take its name first.
    void cancel();

    const DownloadTarget& target() const { return m_target; }
    bool isRunning() const { return m_state != State::Ended; }
    // Every byte is in and the network is done with it: the file is being verified and
    // committed on a worker. A cancel now may come too late to stop it taking its name,
    // and a mismatch may still send it back to the network.
    bool isCommitting() const { return m_state == State::Committing; }
    // The download was canceled while its file was being committed: the file may have
    // taken its name all the same.
    bool canceledDuringCommit() const { return m_canceledDuringCommit; }
    Outcome outcome() const { return m_summary.outcome; }
    Fault fault() const { return m_summary.fault; }
    // The file on disk failed, not the transfer: the error text names the file and
    // makes a message by itself.
    bool isDiskFault() const { return m_summary.isDiskFault(); }
    // What went wrong, for "Could not download %1: %2": the network's own text or a
    // translated reason.
    QString errorText() const { return m_summary.errorText; }
    // The message for a download that did not save, in its owner's words.
    QString failureMessage(const FailureWords& words) const
    {
        return m_summary.failureMessage(words);
    }
    QNetworkReply::NetworkError networkError() const { return m_summary.networkError; }
    // Bytes of the current attempt taken for the file.
    qint64 received() const { return m_summary.received; }

signals:
    // The transfer's own figures; total is -1 while unknown.
    void progress(qint64 received, qint64 total);
    // The download enters its commit (see isCommitting()).
    void committing();
    void ended();

private:
    class Relay;
    enum class State { Running, Committing, Ended };

    Download(DownloadTarget target, QObject* parent);
    // Whether the transfer had reached its commit.
    bool stopRelay();
    void relayProgress(qint64 received, qint64 transferred, qint64 total);
    void relayCommitting();
    void relayRetrying();
    void relayEnd(const Summary& summary);

    DownloadTarget m_target;
    State m_state = State::Running;
    Summary m_summary;
    std::shared_ptr<NetworkThread> m_thread;
    Relay* m_relay = nullptr; // lives on the network thread until this goes
    bool m_canceledDuringCommit = false;
};
