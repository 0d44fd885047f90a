#pragma once

#include <QList>
#include <QString>

#include <functional>

// How one piece of work that a service ran for a caller ended, told to that caller alone.
// The services keep their broadcast notices (started, finished, failed, canceled) for the
// toasts and the interface; a caller that hands over a completion with its request is
// answered once, right after the service's own notice of that end has been sent, so that
// every listener of the notice has reported before the caller goes on.
struct JobOutcome {
    enum Kind {
        Success,
        Failure,
        Cancel,
        // The work never ran: a service that runs jobs in turn dropped it, waiting, when
        // the job before it failed or was cancelled. Asking again queues it anew.
        Drop,
    };

    Kind kind = Failure;
    // A failure's text, as the service's own notice carried it; empty when it sent none.
    QString message;
    // What the work produced, as its notice names it: a path, a version id.
    QString result;
    // A failed switch or pack application left the game directory as it was.
    bool gameDirIntact = true;

    static JobOutcome succeeded(const QString& result = QString());
    static JobOutcome failed(const QString& message, bool gameDirIntact = true);
    static JobOutcome canceled();
    static JobOutcome dropped();
};

using JobDone = std::function<void(const JobOutcome&)>;

// Answers a caller whose request ended before any work began; an empty completion is
// nobody to tell.
void answerCaller(const JobDone& done, const JobOutcome& outcome);

// The completions waiting for one job of a service. The job's end takes them out before
// it sends its notice, because a listener of the notice may start the next job, which
// gathers completions of its own; they are answered after the notice, in the order they
// came.
class JobCallers {
public:
    JobCallers() = default;
    explicit JobCallers(JobDone done);

    void add(JobDone done);
    // Takes over the completions of another job, answered after this one's own.
    void join(JobCallers other);
    // The completions, leaving none here.
    JobCallers take();
    void answer(const JobOutcome& outcome) const;
    bool isEmpty() const { return m_waiting.isEmpty(); }

private:
    QList<JobDone> m_waiting;
};
