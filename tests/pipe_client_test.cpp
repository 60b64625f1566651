// The client's end of the simulator's pipe against servers of the test's
// own: answers that cannot be trusted fail the call, and the client talks
// only to a server of its own user.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fw/handles.h"
#include "fw/security.h"
#include "sim/pipe_client.h"
#include "tests/support/seam_calls.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using sim::PipeDevice;
using sim::Response;

// A pipe server of the test's own that reads one request and answers it
// with whatever it is given, or not at all.
class FakeSimulator {
public:
    FakeSimulator(const std::wstring& pipePath, std::optional<Bytes> answer)
        : m_pipe(::CreateNamedPipeW(pipePath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                    4096, 4096, 0, nullptr)),
          m_answered(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        m_thread = std::thread([this, answer = std::move(answer)] {
            vnk::fw::UniqueHandle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            OVERLAPPED ov{};
            ov.hEvent = connected.get();
            DWORD ignored = 0;
            if (!::ConnectNamedPipe(m_pipe.get(), &ov) && ::GetLastError() == ERROR_IO_PENDING)
                ::GetOverlappedResult(m_pipe.get(), &ov, &ignored, TRUE);
            Bytes request;
            sim::ReadMessage(m_pipe.get(), request, sim::kMaxRequestBytes, nullptr, kWatchdogMs);
            if (answer) sim::WriteMessage(m_pipe.get(), *answer, nullptr, kWatchdogMs);
            ::SetEvent(m_answered.get());
        });
    }
    ~FakeSimulator() {
        ::WaitForSingleObject(m_answered.get(), kWatchdogMs);
        m_thread.join();
    }

private:
    vnk::fw::UniqueHandle m_pipe, m_answered;
    std::thread m_thread;
};

Bytes ResponseBody(DWORD result, std::uint64_t value, Bytes data = {}) {
    Response response;
    response.result = result;
    response.value = value;
    response.data = std::move(data);
    return sim::EncodeResponse(response);
}

TEST(PipeDeviceTest, AnswersThatCannotBeTrustedFailTheCall) {
    const std::wstring path = L"\\\\.\\pipe\\VarnokSimulator-fake-" + std::to_wstring(::GetCurrentProcessId());
    struct Case {
        const char* name;
        std::optional<Bytes> answer;  // none: the server stays mute
        bool control;                 // else an open
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"no answer", std::nullopt, false, ERROR_SEM_TIMEOUT},
        {"an answer that does not parse", Bytes{1, 2, 3}, false, ERROR_INVALID_DATA},
        {"an answer longer than any answer", Bytes(sim::kMaxAnswerBytes + 1, 0), false, ERROR_INVALID_DATA},
        {"an open that gives no handle", ResponseBody(1, 0), false, ERROR_INVALID_HANDLE},
        {"an open that gives the invalid handle",
         ResponseBody(1, reinterpret_cast<std::uintptr_t>(INVALID_HANDLE_VALUE)), false, ERROR_INVALID_HANDLE},
        {"more output than room for it", ResponseBody(1, 0, Bytes(8, 0xAB)), true, ERROR_INVALID_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSimulator fake(path, c.answer);
        PipeDevice device(path, sim::PipeTimeouts{1000, 300});
        if (c.control) {
            BYTE out[4] = {};
            DWORD returned = 7;
            EXPECT_FALSE(device.Control(reinterpret_cast<HANDLE>(0x5A000), IOCTL_VNK_GET_STATUS, nullptr, 0, out,
                                        sizeof out, &returned));
            EXPECT_EQ(::GetLastError(), c.error);
            EXPECT_EQ(returned, 0u);
        } else {
            EXPECT_EQ(device.Open(L"\\\\.\\D:", 0), INVALID_HANDLE_VALUE);
            EXPECT_EQ(::GetLastError(), c.error);
        }
    }

    PipeDevice unnamed(L"");
    EXPECT_EQ(unnamed.Open(L"\\\\.\\D:", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(unnamed.DriveType(L"D:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST(PipeDeviceTest, ClientTalksOnlyToAServerOfItsOwnUser) {
    // Wine runs every process as the one user, so a server of another
    // identity cannot be had here: the check is made against another SID.
    const std::wstring path = L"\\\\.\\pipe\\VarnokSimulator-identity-" + std::to_wstring(::GetCurrentProcessId());
    vnk::fw::UniqueHandle server(::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                               nullptr));
    ASSERT_TRUE(server);
    vnk::fw::UniqueHandle client(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ASSERT_TRUE(client);

    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    vnk::fw::UniqueHandle notAPipe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    struct Case {
        const char* name;
        HANDLE pipe;
        Bytes user;
        DWORD result;
    };
    const Case cases[] = {
        {"served by this user", client.get(), vnk::fw::CurrentUserSid(), ERROR_SUCCESS},
        {"served by another user", client.get(), Bytes(system, system + systemSize), ERROR_ACCESS_DENIED},
        {"no user to compare with", client.get(), Bytes(), ERROR_ACCESS_DENIED},
        {"not a pipe", notAPipe.get(), vnk::fw::CurrentUserSid(), ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sim::CheckPipeServer(c.pipe, c.user), c.result);
    }
}

}  // namespace
}  // namespace vnk::test
