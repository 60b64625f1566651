#include "engine/worker.h"

#include <algorithm>

#include "common/messages.h"
#include "common/trace.h"
#include "fw/thread.h"
#include "fw/worker_pool.h"

namespace vnk {

void PostDriveResults(HWND notify) {
    if (notify != nullptr) ::PostMessageW(notify, WM_DRIVE_RESULTS, 0, 0);
}

bool RunOnWorker(std::function<void()> work) {
    // The process's pool of framework threads, reused from call to call: a
    // thread made and ended per call cost milliseconds under Wine and left
    // its memory behind. A call that hangs holds one thread of it; the
    // others' work goes on beside it.
    return vnk::fw::TheWorkerPool().Run([work = std::move(work)] {
        try {
            work();
        } catch (...) {
            Trace(L"RunOnWorker: the work ended by an exception\n");
        }
    });
}

DriveBatch::DriveBatch() : m_done(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

bool DriveBatch::Done() const { return ::WaitForSingleObject(m_done.get(), 0) == WAIT_OBJECT_0; }

bool DriveBatch::Wait(DWORD timeoutMs) const {
    if (!m_done) return Done();
    return vnk::fw::WaitAnsweringSent(m_done.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DriveBatch::Answer> DriveBatch::Answers() const {
    std::lock_guard lock(m_mutex);
    return m_answers;
}

std::vector<std::pair<wchar_t, DWORD>> DriveBatch::Failures() const {
    std::vector<std::pair<wchar_t, DWORD>> failures;
    for (const Answer& answer : Answers()) {
        if (!answer.answered) {
            failures.emplace_back(answer.letter, kDidNotAnswer);
        } else if (answer.error != ERROR_SUCCESS) {
            failures.emplace_back(answer.letter, answer.error);
        }
    }
    std::sort(failures.begin(), failures.end());
    return failures;
}

size_t DriveBatch::Add(wchar_t letter, bool awaited) {
    std::lock_guard lock(m_mutex);
    m_answers.push_back({letter, false, ERROR_SUCCESS, awaited});
    UpdateDoneLocked();
    return m_answers.size() - 1;
}

void DriveBatch::Complete(size_t slot, DWORD error) {
    std::lock_guard lock(m_mutex);
    if (slot >= m_answers.size() || m_answers[slot].answered) return;
    m_answers[slot].answered = true;
    m_answers[slot].error = error;
    UpdateDoneLocked();
}

bool DriveBatch::CompleteAwaited(wchar_t letter, DWORD error) {
    std::lock_guard lock(m_mutex);
    bool found = false;
    for (Answer& answer : m_answers) {
        if (answer.letter != letter || !answer.awaited || answer.answered) continue;
        answer.answered = true;
        answer.error = error;
        found = true;
    }
    UpdateDoneLocked();
    return found;
}

void DriveBatch::CompleteAll(DWORD error) {
    std::lock_guard lock(m_mutex);
    for (Answer& answer : m_answers) {
        if (answer.answered) continue;
        answer.answered = true;
        answer.error = error;
    }
    UpdateDoneLocked();
}

void DriveBatch::UpdateDoneLocked() {
    if (!m_done) return;
    const bool done = std::all_of(m_answers.begin(), m_answers.end(), [](const Answer& a) { return a.answered; });
    if (done) {
        ::SetEvent(m_done.get());
    } else {
        ::ResetEvent(m_done.get());
    }
}
}  // namespace vnk
