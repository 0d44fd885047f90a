#include "joboutcome.h"

#include <QStringList>
#include <QTest>

class TestJobOutcome : public QObject {
    Q_OBJECT

private slots:
    // Each completion is answered once, in the order it came; an empty one is nobody.
    void callersAreAnsweredInTurn()
    {
        QStringList heard;
        const auto caller = [&heard](const QString& name) {
            return [&heard, name](const JobOutcome& outcome) {
                heard.append(name + QLatin1Char(':') + outcome.result);
            };
        };
        JobCallers own(caller(QStringLiteral("first")));
        own.add(JobDone());
        own.add(caller(QStringLiteral("second")));
        JobCallers other(caller(QStringLiteral("joined")));
        own.join(other.take());
        QVERIFY(other.isEmpty());

        own.answer(JobOutcome::succeeded(QStringLiteral("1.20.1")));
        QCOMPARE(heard, QStringList({"first:1.20.1", "second:1.20.1", "joined:1.20.1"}));
        answerCaller(JobDone(), JobOutcome::dropped());
        answerCaller(caller(QStringLiteral("alone")), JobOutcome::failed(QStringLiteral("why")));
        QCOMPARE(heard.last(), QStringLiteral("alone:"));
    }

    // A completion that starts the next job gathers that job's callers in the holder it
    // was taken from: they are not answered with the job that just ended.
    void nextJobsCallersWaitForTheirOwnEnd()
    {
        JobCallers holder;
        int nextAnswers = 0;
        const JobDone next = [&nextAnswers](const JobOutcome&) { ++nextAnswers; };
        holder.add([&holder, next](const JobOutcome&) { holder.add(next); });

        const JobCallers ended = holder.take();
        QVERIFY(holder.isEmpty());
        ended.answer(JobOutcome::canceled());
        QCOMPARE(nextAnswers, 0);
        QVERIFY(!holder.isEmpty());
        holder.take().answer(JobOutcome::succeeded());
        QCOMPARE(nextAnswers, 1);
    }
};

QTEST_GUILESS_MAIN(TestJobOutcome)
#include "tst_joboutcome.moc"
