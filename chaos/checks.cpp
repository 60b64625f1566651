// The client's promises, checked after every step of a seed.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <string_view>

#include "chaos/seed_run.h"
#include "chaos/toolkit.h"
#include "res/resource.h"
#include "tests/support/window_search.h"

namespace vnk::chaos {

using vnk::test::ListViewRows;
using vnk::test::ReadListView;
using vnk::test::TitleOf;
using vnk::test::TopWindowsOf;

bool SeedRun::Clean(wchar_t letter) const {
    return m_dirty.count(letter) == 0 && !m_everyDriveFaults && !m_simRestarted;
}

void SeedRun::CheckAlive() {
    if (!m_client.Running())
        throw Violation(Format("the client ended by itself (exit code 0x%lx)", m_client.ExitCode()));
    if (::FindWindowW(nullptr, L"Program Error") != nullptr) throw Violation("a program crashed (winedbg's box is up)");
}

void SeedRun::CheckAnswers() {
    HWND status = StatusWindow();
    if (status == nullptr) throw Violation("the client has no status window");
    Log(Format("    WM_NULL: longest wait %llu ms", m_pinger->TakeLongest()));
    if (const auto worst = m_pinger->TakeWorst())
        throw Violation(Format("the status window kept a WM_NULL for %llu ms from %.3f s on (bound %lu ms)",
                               worst->first, static_cast<double>(worst->second - m_start) / 1000.0,
                               m_options.nullBoundMs));
    DWORD_PTR result = 0;
    const ULONGLONG before = ::GetTickCount64();
    if (!::SendMessageTimeoutW(status, WM_NULL, 0, 0, SMTO_NORMAL, m_options.nullBoundMs, &result)) {
        // How long it really took, for the report.
        ::SendMessageTimeoutW(status, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
        throw Violation(Format("the status window did not answer WM_NULL within %lu ms (it took %llu ms)",
                               m_options.nullBoundMs, ::GetTickCount64() - before));
    }
}

// A box that waits for a passphrase stands for a disc that is there. Ones
// whose outcome shows close two seconds later; discs taken out by hand and
// a simulator started afresh are not told to the client, so their boxes
// may stay until the person acts.
void SeedRun::CheckBoxesHaveDiscs() {
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        std::string wrong;
        const auto drives = SimDrives();
        for (const auto& [letter, box] : LoginBoxes()) {
            if (m_exempt.count(letter)) continue;
            const auto it = std::find_if(drives.begin(), drives.end(), [&](auto& d) { return d.letter == letter; });
            const bool disc = it != drives.end() && it->present && it->disc != vnk::sim::Disc::None;
            if (disc) continue;
            wrong += Format(" %c:", static_cast<char>(letter));
        }
        if (wrong.empty()) return;
        if (::GetTickCount64() > deadline)
            throw Violation("a login box stays up for a drive whose disc is gone:" + wrong);
        ::Sleep(50);
    }
}

void SeedRun::ExpectBox(wchar_t letter) {
    if (!Clean(letter) || m_stalled) return;
    const auto drive = SimDrive(letter);
    if (!drive || !drive->present || drive->disc != vnk::sim::Disc::Encrypted || LoggedInNow(*drive) || !drive->announced)
        return;
    const ULONGLONG deadline = ::GetTickCount64() + m_options.boxBoundMs;
    while (::GetTickCount64() < deadline) {
        if (LoginBoxes().count(letter)) return;
        // Gone meanwhile (a lock pass of a box already up took it): nothing to ask for.
        const auto now = SimDrive(letter);
        if (!now || now->disc != vnk::sim::Disc::Encrypted || LoggedInNow(*now)) return;
        ::Sleep(20);
    }
    // A box window of the drive that is there but hidden blocks every new
    // box of the drive: said, as it tells the two faults apart.
    const std::wstring title = std::wstring(kBoxPrefix) + letter;
    bool hidden = false;
    for (HWND hwnd : TopWindowsOf(m_client.Id()))
        if (!::IsWindowVisible(hwnd) && TitleOf(hwnd).compare(0, title.size(), title) == 0) hidden = true;
    throw Violation(Format("drive %c: holds an encrypted disc and was signalled, but no login box came within %lu ms%s",
                           static_cast<char>(letter), m_options.boxBoundMs,
                           hidden ? " (a hidden login box of the drive exists)" : ""));
}

// Whether the client's figures stand for its steady state: no stall, fault,
// hold or delay set (a stalled call holds a worker and what it opened), no
// drive left to a later probe, no box of a probe up (the probe lasts until
// it is answered, and the drives get their threads after it), and every
// CD/DVD drive has its threads since the client last probed.
bool SeedRun::Steady(const std::vector<vnk::sim::DriveState>& drives) const {
    if (!m_dirty.empty() || m_everyDriveFaults || m_stalled || m_simRestarted || m_unprobedAll || !m_unprobed.empty())
        return false;
    if (!MessageBoxes().empty()) return false;
    if (!m_trace.Works()) return true;
    static constexpr std::string_view kProbe = "VNKDProbeForDrives: entered";
    static constexpr std::string_view kThreads = "StartThreads: starting the threads of drive ";
    std::set<wchar_t> started;
    for (const auto& line : m_trace.Lines(m_traceFrom)) {
        if (line.pid != m_client.Id()) continue;
        const std::string_view text = line.text;
        if (text.substr(0, kProbe.size()) == kProbe)
            started.clear();
        else if (text.size() > kThreads.size() && text.substr(0, kThreads.size()) == kThreads)
            started.insert(static_cast<wchar_t>(text[kThreads.size()]));
    }
    for (const auto& d : drives)
        if (d.present && d.driveType == DRIVE_CDROM && !started.count(d.letter)) return false;
    return true;
}

void SeedRun::CheckResources(bool memory) {
    const auto simDrives = SimDrives();
    size_t drives = 0;
    for (const auto& d : simDrives)
        if (d.present && d.driveType == DRIVE_CDROM) ++drives;
    const bool steady = Steady(simDrives);
    // The figures the bounds are measured from are taken only in a steady
    // state: a stalled open that holds the start-up probe leaves the drives
    // without their threads, and every figure low.
    if (!m_base && steady) {
        m_base = ResourcesOf(m_client.Handle(), m_client.Id(), true);
        m_baseDrives = m_peakDrives = drives;
        Log(Format("    client's base: %zu threads, %lu handles, %zu KiB private, %zu drives", m_base->threads,
                   m_base->handles, m_base->privateKiB, drives));
        return;
    }
    const Resources now = ResourcesOf(m_client.Handle(), m_client.Id(), memory);
    Log(Format("    client: %zu threads, %lu handles, %zu KiB private, %zu drives%s", now.threads, now.handles,
               now.privateKiB, drives, steady ? "" : " (not steady)"));
    if (!m_base) return;
    m_peakDrives = std::max(m_peakDrives, drives);
    // The base process, two threads a drive, a few that come and go
    // (retired watchers, a second instance's request, message boxes).
    const size_t baseThreads = m_base->threads - std::min(m_base->threads, 2 * m_baseDrives);
    const size_t threadBound = baseThreads + 2 * std::max(drives, m_baseDrives) + 8;
    if (now.threads > threadBound)
        throw Violation(
            Format("the client has %zu threads with %zu drives (bound %zu)", now.threads, drives, threadBound));
    const DWORD handleBound = m_base->handles + static_cast<DWORD>(24 * m_peakDrives) + 96;
    if (now.handles > handleBound)
        throw Violation(
            Format("the client has %lu handles with %zu drives (bound %lu)", now.handles, drives, handleBound));
    // Committed private memory: about 3 MiB a thread under Wine (its
    // thread block and stack), for the threads the bound above allows, and
    // 16 MiB besides: what grows beyond is not the threads'.
    constexpr size_t kThreadKiB = 3 * 1024;
    const size_t moreThreads = now.threads - std::min(now.threads, m_base->threads);
    const size_t memoryBound = m_base->privateKiB + kThreadKiB * moreThreads + 16 * 1024;
    if (memory && now.privateKiB > memoryBound)
        throw Violation(Format("the client has %zu KiB private memory with at most %zu drives (bound %zu KiB)",
                               now.privateKiB, m_peakDrives, memoryBound));
    // No growth: in a steady state with as many drives as before and
    // nothing up, no more handles than then.
    if (steady && LoginBoxes().empty()) {
        auto [it, first] = m_handlesAt.emplace(drives, now.handles);
        if (!first && now.handles > it->second + 48)
            throw Violation(
                Format("the client's handles grew from %lu to %lu with %zu drives", it->second, now.handles, drives));
    }
}

void SeedRun::CheckTrace() {
    for (const auto& line : m_trace.Lines(m_traceFrom)) {
        if (line.pid != m_client.Id()) continue;
        std::string lower = line.text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("exception") != std::string::npos)
            throw Violation("the client traced an exception: " + line.text);
        for (const auto& [letter, secret] : m_typed)
            if (line.text.find(Narrow(secret)) != std::string::npos)
                throw Violation(Format("a passphrase typed into the box of drive %c: stands in the client's trace",
                                       static_cast<char>(letter)));
        for (const auto& [letter, secret] : m_discPassphrase)
            if (line.text.find(Narrow(secret)) != std::string::npos)
                throw Violation(Format("the passphrase of the disc in drive %c: stands in the client's trace",
                                       static_cast<char>(letter)));
    }
}

// Passphrases typed into boxes that are gone are nowhere in the client.
void SeedRun::CheckMemory() {
    const auto boxes = LoginBoxes();
    std::vector<std::wstring> secrets;
    std::vector<wchar_t> letters;
    for (const auto& [letter, secret] : m_typed) {
        bool up = false;
        for (HWND hwnd : TopWindowsOf(m_client.Id()))
            if (TitleOf(hwnd).rfind(std::wstring(kBoxPrefix) + letter + L":", 0) == 0) up = true;
        if (up || m_pasted.count(secret)) continue;
        secrets.push_back(secret);
        letters.push_back(letter);
    }
    const ULONGLONG began = ::GetTickCount64();
    SecretPlace place;
    const auto found = FindSecretIn(m_client.Handle(), secrets, &place);
    Log(Format("  memory searched for %zu passphrases in %llu ms", secrets.size(), ::GetTickCount64() - began));
    if (found)
        Log(Format("    found at %p, in a region allocated at %p (type 0x%lx)", place.address, place.allocationBase,
                   static_cast<unsigned long>(place.type)));
    if (found)
        throw Violation(
            Format("a passphrase typed into the box of drive %c: is still in the client's memory after "
                   "the box went",
                   static_cast<char>(letters[*found])));
}

// Whatever faults are set, a disc the driver has logged in is one the
// client knows: its drive stays in the list, hidden or shown, and the lock
// passes name it when they cannot lock it. The list may lag a change by a
// moment: it is read again until the settle bound has passed.
void SeedRun::CheckLoggedInListed() {
    HWND status = StatusWindow();
    if (m_simRestarted || status == nullptr) return;
    const ULONGLONG settled = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        const auto rows = ListRows(status);
        std::string missing;
        for (const auto& d : SimDrives()) {
            // A disc logged in before this client started is one it may
            // never learn of (a drive it cannot open); once listed, it must
            // stay.
            if (!LoggedInNow(d) || rows.count(d.letter) != 0) {
                m_loggedInBeforeStart.erase(d.letter);
                continue;
            }
            if (m_loggedInBeforeStart.count(d.letter) == 0) missing += Format(" %c:", static_cast<char>(d.letter));
        }
        if (missing.empty()) return;
        if (::GetTickCount64() > settled)
            throw Violation("drives are logged in that the client no longer lists:" + missing);
        ::Sleep(100);
    }
}

void SeedRun::CheckAll(bool heavy) {
    CheckAlive();
    CheckAnswers();
    CheckLoggedInListed();
    CheckBoxesHaveDiscs();
    CheckResources(heavy);
    CheckTrace();
    if (heavy) CheckMemory();
}

std::set<wchar_t> SeedRun::TracedNotLocked(const char* prefix, size_t from) const {
    std::set<wchar_t> traced;
    for (const auto& line : m_trace.Lines(from)) {
        if (line.pid != m_client.Id() || line.text.rfind(prefix, 0) != 0) continue;
        const size_t at = line.text.find("drive ");
        if (at == std::string::npos || at + 7 >= line.text.size() || line.text[at + 7] != ':') continue;
        if (line.text.find("failed") != std::string::npos || line.text.find("does not open") != std::string::npos ||
            line.text.find("not locked") != std::string::npos)
            traced.insert(static_cast<wchar_t>(line.text[at + 6]));
    }
    return traced;
}

// After a lock pass: every drive is out of its login, or was named. A login
// under way ejects its disc when the driver answers: given time to settle.
void SeedRun::CheckLockedOrNamed(const char* what, std::set<wchar_t> named,
                                 const std::function<void(std::set<wchar_t>&)>& more) {
    const ULONGLONG deadline = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        if (more) more(named);
        std::string open;
        // A disc an earlier client logged in that this one never listed
        // (it could not open the drive) is none of its passes' business.
        for (const auto& d : SimDrives())
            if (d.present && LoggedInNow(d) && named.count(d.letter) == 0 && m_loggedInBeforeStart.count(d.letter) == 0)
                open += Format(" %c:", static_cast<char>(d.letter));
        if (open.empty()) return;
        if (::GetTickCount64() > deadline)
            throw Violation(std::string("after ") + what +
                            ", drives stay logged in that were not named as not locked:" + open);
        ::Sleep(50);
    }
}

// The status window's list against the simulator. Showing the window
// starts a status read per drive on a thread of its own, and the list is
// rebuilt as each answers: it is read until it agrees with the simulator or
// the settle bound has passed.
void SeedRun::CheckList(HWND status) {
    const ULONGLONG settled = ::GetTickCount64() + m_options.settleMs;
    for (;;) {
        const auto before = SimDrives();
        const auto rows = ListRows(status);
        const auto after = SimDrives();
        const std::string wrong = ListDisagrees(rows, before, after);
        if (wrong.empty() || ::GetTickCount64() > settled) {
            std::string listed;
            for (const auto& [letter, text] : rows)
                listed += Format(" %c:%s", static_cast<char>(letter), Narrow(text).c_str());
            Log("    list:" + listed);
            if (!wrong.empty()) throw Violation(wrong);
            return;
        }
        ::Sleep(100);
    }
}

// The status window's list: the status text of each drive letter.
std::map<wchar_t, std::wstring> SeedRun::ListRows(HWND status) {
    const std::optional<ListViewRows> read =
        ReadListView(::GetDlgItem(status, IDC_DRIVELIST), m_client.Handle(), 5000);
    if (!read) throw Violation("cannot read the client's list (no memory in its process)");
    std::map<wchar_t, std::wstring> rows;
    for (const auto& [letter, text] : *read)
        if (letter.size() == 2) rows[letter[0]] = text;
    return rows;
}

// Empty when the list names exactly the simulator's CD/DVD drives, and each
// drive that nothing was done to (the same status before and after the
// list was read) and that has no box up shows the status the driver
// reports; otherwise what disagrees.
std::string SeedRun::ListDisagrees(const std::map<wchar_t, std::wstring>& rows,
                                   const std::vector<vnk::sim::DriveState>& before,
                                   const std::vector<vnk::sim::DriveState>& after) const {
    if (!m_dirty.empty() || m_everyDriveFaults || m_simRestarted || m_unprobedAll) return {};
    std::set<wchar_t> expected;
    for (const auto& d : after)
        if (d.present && d.driveType == DRIVE_CDROM && !m_unprobed.count(d.letter)) expected.insert(d.letter);
    std::set<wchar_t> shown;
    for (const auto& [letter, unused] : rows)
        if (!m_unprobed.count(letter)) shown.insert(letter);
    if (shown != expected) {
        std::string listed, want;
        for (const auto& [letter, text] : rows)
            listed += Format(" %c:%s", static_cast<char>(letter), Narrow(text).c_str());
        for (wchar_t letter : expected) want += Format(" %c:", static_cast<char>(letter));
        return "the client lists" + listed + " but the simulator has the drives" + want;
    }
    const auto boxes = LoginBoxes();
    for (const auto& d : after) {
        const auto was = std::find_if(before.begin(), before.end(), [&](auto& b) { return b.letter == d.letter; });
        const auto row = rows.find(d.letter);
        if (row == rows.end() || boxes.count(d.letter) || was == before.end() || was->status != d.status ||
            d.status > 5)
            continue;
        wchar_t expect[128] = {};
        ::LoadStringW(nullptr, IDS_STATUS_NO_DISC + d.status, expect, 128);
        if (row->second != expect)
            return Format("the client shows drive %c: as \"%s\", the driver says \"%s\"", static_cast<char>(d.letter),
                          Narrow(row->second).c_str(), Narrow(expect).c_str());
    }
    return {};
}

}  // namespace vnk::chaos
