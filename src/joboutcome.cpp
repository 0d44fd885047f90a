#include "joboutcome.h"

#include <utility>

JobOutcome JobOutcome::succeeded(const QString& result)
{
    return {Success, QString(), result, true};
}

JobOutcome JobOutcome::failed(const QString& message, bool gameDirIntact)
{
    return {Failure, message, QString(), gameDirIntact};
}

JobOutcome JobOutcome::canceled()
{
    return {Cancel, QString(), QString(), true};
}

JobOutcome JobOutcome::dropped()
{
    return {Drop, QString(), QString(), true};
}

void answerCaller(const JobDone& done, const JobOutcome& outcome)
{
    if (done)
        done(outcome);
}

JobCallers::JobCallers(JobDone done)
{
    add(std::move(done));
}

void JobCallers::add(JobDone done)
{
    if (done)
        m_waiting.append(std::move(done));
}

void JobCallers::join(JobCallers other)
{
    m_waiting.append(std::move(other.m_waiting));
}

JobCallers JobCallers::take()
{
    return std::exchange(*this, JobCallers());
}

void JobCallers::answer(const JobOutcome& outcome) const
{
    for (const JobDone& done : m_waiting)
        done(outcome);
}
