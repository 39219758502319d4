#include "background/ProgressDialogInterface.h"

#include <algorithm>

std::string ProgressDialogInterface::GetMessage() {
    std::lock_guard lock(m_mutex);
    return m_message;
}

void ProgressDialogInterface::SetMessage(const std::string& message) {
    std::lock_guard lock(m_mutex);
    m_message = message;
}

unsigned ProgressDialogInterface::GetPercent() {
    std::lock_guard lock(m_mutex);
    return m_percent;
}

void ProgressDialogInterface::SetPercent(unsigned percent) {
    std::lock_guard lock(m_mutex);
    m_percent = std::min(percent, 100u);
}

bool ProgressDialogInterface::IsFinished() {
    std::lock_guard lock(m_mutex);
    return m_finished;
}

void ProgressDialogInterface::SetFinished(bool finished) {
    std::lock_guard lock(m_mutex);
    m_finished = finished;
    m_changed.notify_all();
}

void ProgressDialogInterface::WaitForWindowWork(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_finished || m_questionPending; });
}

bool ProgressDialogInterface::IsCancelled() {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void ProgressDialogInterface::SetCancelled(bool cancelled) {
    std::lock_guard lock(m_mutex);
    if (cancelled)
        CancelLocked();
    else
        m_cancelled = false;
}

bool ProgressDialogInterface::CancelUnlessFinished() {
    std::lock_guard lock(m_mutex);
    if (m_finished)
        return false;
    CancelLocked();
    return true;
}

void ProgressDialogInterface::CancelLocked() {
    m_cancelled = true;
    m_status = kStatusCancelled;
    // The asker, and any thread queued behind it, is let go with "cancel".
    if (m_questionPending) {
        m_questionPending = false;
        m_questionThread = 0;
        m_reply = kReplyCancel;
    }
    m_changed.notify_all();
}

void ProgressDialogInterface::SetTitle(const std::string& title) {
    std::lock_guard lock(m_mutex);
    m_title = title;
}

std::string ProgressDialogInterface::GetTitle() {
    std::lock_guard lock(m_mutex);
    return m_title;
}

void ProgressDialogInterface::SetStatus(std::uint32_t status) {
    std::lock_guard lock(m_mutex);
    m_status = status;
}

std::uint32_t ProgressDialogInterface::GetStatus() {
    std::lock_guard lock(m_mutex);
    return m_status;
}

std::uint32_t ProgressDialogInterface::AskRetry(std::uint64_t threadId) {
    std::unique_lock lock(m_mutex);
    // Another thread's question, or its answer not yet taken, goes first.
    m_changed.wait(lock, [this] { return m_cancelled || (!m_questionPending && m_reply == kNoReply); });
    if (m_cancelled)
        return kReplyCancel;
    m_questionThread = threadId;
    m_questionPending = true;
    m_changed.notify_all(); // the window answers at once rather than at its next tick
    m_changed.wait(lock, [this] { return m_reply != kNoReply; });
    const std::uint32_t reply = m_reply;
    m_reply = kNoReply;
    m_changed.notify_all();
    return reply;
}

bool ProgressDialogInterface::HasPendingQuestion() {
    std::lock_guard lock(m_mutex);
    return m_questionPending;
}

std::uint64_t ProgressDialogInterface::PendingQuestionThread() {
    std::lock_guard lock(m_mutex);
    return m_questionPending ? m_questionThread : 0;
}

void ProgressDialogInterface::AnswerQuestion(std::uint32_t reply) {
    std::lock_guard lock(m_mutex);
    if (!m_questionPending)
        return;
    m_questionPending = false;
    m_questionThread = 0;
    // An answer of all ones would look like none and leave the asker waiting for ever.
    m_reply = reply == kNoReply ? kReplyCancel : reply;
    m_changed.notify_all();
}
