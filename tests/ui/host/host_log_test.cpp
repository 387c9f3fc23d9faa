// The UI-thread hand-over and the activity log shown in Memo1.
#include <QDialog>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "state/log/log_model.h"
#include "support/qt/when_modal.h"
#include "ui/host/qt_log_sink.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

class HostLogTest : public QObject {
    Q_OBJECT

private slots:
    void runsAtOnceOnTheUiThread() {
        QVERIFY(UiThread::IsUiThread());
        bool ran = false;
        QVERIFY(UiThread::Run([&] { ran = true; }));
        QVERIFY(ran);
    }

    void otherThreadsWaitForTheUiThreadAndGetResultsAndErrors() {
        std::atomic<bool> onUi{false};
        std::optional<int> value;
        bool rethrown = false;
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            (void)UiThread::Run([&] { onUi = UiThread::IsUiThread(); });  // checked below
            value = UiThread::Call([] { return 42; });
            try {
                (void)UiThread::Run([] { throw std::runtime_error("boom"); });  // throws
            } catch (const std::runtime_error& e) {
                rethrown = std::string(e.what()) == "boom";
            }
            finished = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 60000);
        worker.join();
        QVERIFY(onUi.load());
        QCOMPARE(value.value_or(0), 42);
        QVERIFY(rethrown);
    }

    // Other threads change the text at once without waiting for the UI thread (which serves no
    // events here while they log); the control follows once the UI thread runs its loop.
    void printInfoAndClearInfoFromAnyThread() {
        QtLogSink sink;
        QPlainTextEdit memo;
        sink.AttachView(&memo);
        std::thread worker([&] {
            sink.PrintInfo("first");
            sink.PrintInfo("second\r\nthird");
        });
        worker.join();
        QCOMPARE(int(sink.Model().Lines().size()), 3);
        QCOMPARE(sink.LogLength(), std::size_t(5 + 2 + 6 + 2 + 5 + 2));
        QTRY_COMPARE_WITH_TIMEOUT(memo.toPlainText(), QStringLiteral("first\nsecond\nthird"),
                                  60000);

        std::thread clearer([&] {
            sink.PrintInfo("gone");
            sink.ClearInfo();
            sink.PrintInfo("after");
        });
        clearer.join();
        QCOMPARE(sink.LogLength(), std::size_t(5 + 2));
        QTRY_COMPARE_WITH_TIMEOUT(memo.toPlainText(), QStringLiteral("after"), 60000);
        QCoreApplication::processEvents();
        QCOMPARE(memo.document()->blockCount(), 1);
    }

    // The control is attached while lines arrive from another thread: it shows each line once.
    void aViewAttachedMeanwhileShowsEveryLineOnce() {
        QtLogSink sink;
        std::thread worker([&] {
            for (int n = 0; n < 500; ++n)
                sink.PrintInfo("n" + std::to_string(n));
        });
        QPlainTextEdit memo;
        sink.AttachView(&memo);
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(memo.document()->blockCount(), 500, 60000);
        QCoreApplication::processEvents();
        QCOMPARE(memo.document()->blockCount(), 500);
        QCOMPARE(memo.document()->lastBlock().text(), QStringLiteral("n499"));
    }

    // Eight threads log at once while a modal window runs its own loop: every line arrives, in
    // each thread's order, and nobody waits forever.
    void printInfoFromEightThreadsWhileAModalWindowIsOpen() {
        QtLogSink sink;
        QPlainTextEdit memo;
        sink.AttachView(&memo);
        constexpr int kThreads = 8;
        constexpr int kLines = 300;
        QDialog modal;
        std::vector<std::thread> threads;
        std::thread closer;
        testing::WhenModal([&](QWidget*) {
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&sink, t] {
                    for (int n = 0; n < kLines; ++n)
                        sink.PrintInfo("t" + std::to_string(t) + " n" + std::to_string(n));
                });
            closer = std::thread([&] {
                for (std::thread& thread : threads)
                    thread.join();
                // The modal window is still open: close it through the hand-over as well.
                (void)UiThread::Run([&] { modal.done(1); });  // exec() below tells
            });
        });
        QCOMPARE(modal.exec(), 1);
        closer.join();

        const std::vector<std::string> lines = sink.Model().Lines();
        QCOMPARE(int(lines.size()), kThreads * kLines);
        QCOMPARE(memo.document()->blockCount(), kThreads * kLines);
        std::vector<int> next(kThreads, 0);
        for (const std::string& line : lines) {
            const int t = std::stoi(line.substr(1));
            const int n = std::stoi(line.substr(line.find(" n") + 2));
            QCOMPARE(n, next[t]);
            ++next[t];
        }
    }

    void theLogLimitEmptiesTheWholeLogAbove10240Characters() {
        QtLogSink sink;
        QPlainTextEdit memo;
        sink.AttachView(&memo);
        // 10 lines of 1022 characters plus CR LF each: exactly 10240 characters.
        for (int i = 0; i < 10; ++i)
            sink.PrintInfo(std::string(1022, 'x'));
        QCOMPARE(sink.LogLength(), kLogSizeLimit);
        EnforceLogLimit(sink);
        QCOMPARE(memo.document()->blockCount(), 10);

        sink.PrintInfo("");  // two more characters: 10242
        EnforceLogLimit(sink);
        QCOMPARE(sink.LogLength(), std::size_t(0));
        QVERIFY(memo.toPlainText().isEmpty());
        sink.PrintInfo("after");
        QCOMPARE(memo.toPlainText(), QStringLiteral("after"));
    }

    // Runs last: it ends the hand-over of this application object (and opens it again).
    void shutdownReleasesWaitersAndLaterCallsReturnAtOnce() {
        std::atomic<bool> calling{false};
        std::atomic<bool> taskRan{false};
        bool result = true;
        std::thread waiter([&] {
            calling = true;
            result = UiThread::Run([&] { taskRan = true; });
        });
        while (!calling.load())
            std::this_thread::yield();
        // The UI thread does not serve events here; give the waiter time to queue its task.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        UiThread::Shutdown();
        waiter.join();
        QVERIFY(!result);
        QCoreApplication::processEvents();
        QVERIFY(!taskRan.load());
        QVERIFY(UiThread::IsShutDown());

        bool later = true;
        std::thread late([&] { later = UiThread::Run([] {}); });
        late.join();
        QVERIFY(!later);
        bool direct = false;
        QVERIFY(UiThread::Run([&] { direct = true; }));
        QVERIFY(direct);

        // A host started again opens a new hand-over.
        UiThread::Reopen();
        QVERIFY(!UiThread::IsShutDown());
        std::atomic<bool> ran{false};
        std::thread again([&] { ran = UiThread::Run([] {}); });
        QTRY_VERIFY_WITH_TIMEOUT(ran.load(), 60000);
        again.join();
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::HostLogTest)
#include "host_log_test.moc"
