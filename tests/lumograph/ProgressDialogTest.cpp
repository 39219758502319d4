#include "ProgressDialog.h"
#include "DesktopTestSupport.h"

#include "app/MessageBox.h"
#include "background/ErrorReporter.h"
#include "background/ThreadedJob.h"
#include "background/ThreadedWorker.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>

using namespace lumo::test;

namespace {

// Answers the questions with `answers` in turn (Cancel once they run out) and keeps their texts;
// the handler before the test is none.
class ScriptedMessageBox {
public:
    explicit ScriptedMessageBox(std::deque<MessageBoxAnswer> answers) : m_answers(std::move(answers)) {
        setMessageBoxHandler([this](std::string_view text, MessageBoxButtons buttons) {
            std::lock_guard lock(m_mutex);
            m_asked.emplace_back(text);
            m_buttons.push_back(buttons);
            if (m_answers.empty())
                return MessageBoxAnswer::Cancel;
            const MessageBoxAnswer answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        });
    }
    ~ScriptedMessageBox() { setMessageBoxHandler(nullptr); }
    std::vector<std::string> asked() {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }
    std::vector<MessageBoxButtons> buttons() {
        std::lock_guard lock(m_mutex);
        return m_buttons;
    }

private:
    std::mutex m_mutex;
    std::deque<MessageBoxAnswer> m_answers;
    std::vector<std::string> m_asked;
    std::vector<MessageBoxButtons> m_buttons;
};

// Three units; unit 1 fails with a retryable error each time it is performed.
class FailingUnitWorker : public CWorker {
public:
    explicit FailingUnitWorker(std::vector<int>& performed) : m_performed(performed) {}
    bool DoStep() override {
        m_performed.push_back(m_unit);
        if (m_unit == 1) {
            ErrorReporter::Recorder::Record("While copying a photo an error occurred:", "The disk is full.",
                                            "/photos/B.JPG", true);
            return false;
        }
        ++m_unit;
        return true;
    }
    bool IsDone() override { return m_unit >= 3; }
    unsigned GetPercent() override { return static_cast<unsigned>(m_unit * 100 / 3); }
    void GetStatusText(std::string& text) override { text = "Unit " + std::to_string(m_unit); }
    void SkipStep() override { ++m_unit; }

private:
    std::vector<int>& m_performed;
    int m_unit = 0;
};

// Reports some progress, then works until it is cancelled.
class SlowJob : public CJob {
public:
    std::atomic<bool> sawCancel = false;
    bool Perform(CProgressInfo&) override {
        m_pProgress->SetMessage("Working on it");
        m_pProgress->SetTitle("Slow work");
        m_pProgress->SetPercent(40);
        for (int i = 0; i < 2000 && !m_pProgress->IsCancelled(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sawCancel = m_pProgress->IsCancelled();
        return true;
    }
};

} // namespace

// The retry question of a failing unit, answered Skip (the work goes on), Cancel (it stops there) and
// Retry then Skip (the unit is performed again first). The question names the action, the error and
// the file.
TEST(ProgressDialogTest, RetryQuestionAnswers) {
    using A = MessageBoxAnswer;
    struct Case {
        std::deque<A> answers;
        std::uint32_t status;
        std::vector<int> performed;
    };
    const std::vector<Case> cases = {
        {{A::Skip}, ProgressDialogInterface::kStatusFailed, {0, 1, 2}},
        {{A::Cancel}, ProgressDialogInterface::kStatusCancelled, {0, 1}},
        {{A::Retry, A::Skip}, ProgressDialogInterface::kStatusFailed, {0, 1, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.performed.size());
        ScriptedMessageBox box(c.answers);
        std::vector<int> performed;
        CProgressDialog dialog;
        CThreadedWorker operation(std::make_unique<FailingUnitWorker>(performed));
        EXPECT_EQ(dialog.run(operation), c.status);
        EXPECT_EQ(performed, c.performed);
        const std::vector<std::string> asked = box.asked();
        ASSERT_EQ(asked.size(), c.answers.size());
        EXPECT_EQ(box.buttons().front(), MessageBoxButtons::RetrySkipCancel);
        for (const char* part :
             {"While copying a photo an error occurred:", "The disk is full.", "/photos/B.JPG"})
            EXPECT_NE(asked.front().find(part), std::string::npos) << asked.front();
    }
}

// A slow operation shows the window with its message, title and percent; Cancel stops it.
TEST(ProgressDialogTest, ShowsProgressAndCancels) {
    CProgressDialog dialog(nullptr, 100);
    auto job = std::make_unique<SlowJob>();
    SlowJob& slow = *job;
    CThreadedJob operation(std::move(job));
    bool checked = false;
    QTimer::singleShot(0, &dialog, [&] {
        auto* bar = dialog.findChild<QProgressBar*>();
        auto* label = dialog.findChild<QLabel*>();
        ASSERT_TRUE(bar && label);
        EXPECT_TRUE(waitUntil([&] {
            return dialog.wasShown() && bar->value() == 40 && label->text() == "Working on it" &&
                   dialog.windowTitle() == "Slow work";
        }));
        dialog.grab().save(QString::fromStdString(screenshotPath("progress_dialog.png")));
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
        checked = true;
    });
    EXPECT_EQ(dialog.run(operation), ProgressDialogInterface::kStatusCancelled);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(slow.sawCancel);
    EXPECT_FALSE(dialog.isVisible());
}

// The desktop's message boxes answer with the button pressed; closing one answers the least-doing
// answer. The error question shows the action, the error and the file.
TEST(ProgressDialogTest, DesktopMessageBoxAnswers) {
    struct Case {
        MessageBoxButtons buttons;
        const char* press; // a button's text, or nullptr for Escape
        MessageBoxAnswer expected;
    };
    const Case cases[] = {
        {MessageBoxButtons::RetrySkipCancel, "Skip", MessageBoxAnswer::Skip},
        {MessageBoxButtons::RetrySkipCancel, nullptr, MessageBoxAnswer::Cancel},
        {MessageBoxButtons::YesNo, "&No", MessageBoxAnswer::No},
        {MessageBoxButtons::YesNo, nullptr, MessageBoxAnswer::No},
    };
    installDesktopMessageBox();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.press ? c.press : "Escape");
        QStringList buttonTexts;
        QString shownText;
        QTimer::singleShot(0, [&] {
            QMessageBox* box = nullptr;
            ASSERT_TRUE(waitUntil([&] {
                box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                return box != nullptr;
            }));
            shownText = box->text() + "\n" + box->informativeText();
            for (QAbstractButton* button : box->buttons())
                buttonTexts << button->text();
            if (c.buttons == MessageBoxButtons::RetrySkipCancel && c.press)
                box->grab().save(QString::fromStdString(screenshotPath("error_dialog.png")));
            if (!c.press) {
                QTest::keyClick(box, Qt::Key_Escape);
                return;
            }
            for (QAbstractButton* button : box->buttons())
                if (button->text() == c.press)
                    button->click();
        });
        EXPECT_EQ(
            showMessageBox("While copying a photo an error occurred:\n\nThe disk is full.\n\n/photos/B.JPG",
                           c.buttons),
            c.expected)
            << buttonTexts.join(",").toStdString();
        EXPECT_TRUE(shownText.contains("The disk is full.")) << shownText.toStdString();
        if (c.buttons == MessageBoxButtons::RetrySkipCancel)
            EXPECT_EQ(buttonTexts.size(), 3);
    }
    setMessageBoxHandler(nullptr);
}
