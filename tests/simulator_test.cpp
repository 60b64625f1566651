// The simulator program and its control program, run as separate processes
// under Wine with the client's pipe binding: the seam over the pipe answers as
// the in-process simulated driver does, control commands reach the bay and
// the system's broadcasts, bad requests and arguments get errors, and a
// simulator that is gone or mute never holds a client up.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/driver_interface.h"
#include "fw/handles.h"
#include "fw/security.h"
#include "fw/wnd.h"
#include "sim/pipe_client.h"
#include "sim/sim_driver.h"
#include "tests/support/seam_calls.h"
#include "tests/support/test_support.h"

namespace vnk::test {
namespace {

using sim::Op;
using sim::PipeDevice;
using sim::Request;
using sim::Response;

// VarnokSimCtl run to its end, with what it wrote.
Process::Result SimCtl(const std::vector<std::wstring>& args, const std::optional<std::string>& input = std::nullopt) {
    return Process::Run(ProgramPath(L"VarnokSimCtl.exe"), Process::Args(args), Process::Capture::Output, input);
}

// The whitespace-separated fields of a drive's row in `list`'s output.
std::vector<std::string> ListRow(const std::string& listing, char letter) {
    std::istringstream lines(listing);
    std::string line;
    const std::string start = std::string(1, letter) + ":";
    while (std::getline(lines, line)) {
        if (line.rfind(start, 0) != 0) continue;
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        return fields;
    }
    return {};
}

// Each test gets a simulator of its own with CD/DVD drives D: and E:, on a
// pipe of this test process's own, which its children find in the
// environment they inherit.
class SimulatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::wstring name = L"VarnokSimulator-test-" + std::to_wstring(::GetCurrentProcessId());
        ::SetEnvironmentVariableW(L"VARNOK_SIM_PIPE", name.c_str());
    }

    void SetUp() override {
        const auto path = sim::SimulatorPipePath();
        ASSERT_TRUE(path);
        m_pipePath = *path;
        m_device.emplace(m_pipePath);
        StartSimulator(L"DE");
    }

    void StartSimulator(const std::wstring& drives, const std::vector<std::wstring>& options = {}) {
        std::vector<std::wstring> args{L"--drives", drives};
        args.insert(args.end(), options.begin(), options.end());
        vnk::fw::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, sim::ReadyEventName(m_pipePath).c_str()));
        ASSERT_TRUE(ready);
        ::ResetEvent(ready.get());
        m_sim.emplace(ProgramPath(L"VarnokSim.exe"), Process::Args(args));
        ASSERT_TRUE(m_sim->Started()) << "VarnokSim.exe did not start: " << m_sim->StartError();
        const HANDLE waits[2] = {ready.get(), m_sim->Handle()};
        ASSERT_EQ(::WaitForMultipleObjects(2, waits, FALSE, kWatchdogMs), WAIT_OBJECT_0)
            << "the simulator did not come up";
    }

    void TearDown() override {
        if (m_sim && m_sim->Running()) {
            SimCtl({L"quit"});
            EXPECT_TRUE(m_sim->WaitForExit()) << "the simulator did not end on quit";
        }
        m_sim.reset();
    }

    PipeDevice& Device() { return *m_device; }

    Response Command(Op op, wchar_t letter = 0, std::wstring text = {}) {
        Request request;
        request.op = op;
        request.letter = letter;
        request.text = std::move(text);
        Response response;
        EXPECT_EQ(sim::Exchange(m_pipePath, request, response), static_cast<DWORD>(ERROR_SUCCESS));
        return response;
    }

    std::wstring m_pipePath;
    std::optional<PipeDevice> m_device;
    std::optional<Process> m_sim;
};

// One call of a script run against a device, and what it must give.
struct Step {
    const char* name;
    std::function<Outcome(DeviceSeam&, HANDLE&)> run;
    bool ok;
    DWORD error;
    Bytes out;
};

Outcome OpenStep(DeviceSeam& device, HANDLE& handle, const wchar_t* path) {
    handle = device.Open(path, 0);
    return {handle != INVALID_HANDLE_VALUE, handle != INVALID_HANDLE_VALUE ? 0 : ::GetLastError(), {}};
}

Outcome DriveTypeStep(DeviceSeam& device, const wchar_t* root) {
    return {true, 0, StatusBytes(device.DriveType(root))};
}

std::vector<Step> DiscLifeScript() {
    const GUID guid = FreshGuid();
    const Bytes signature(kDriverSignature, kDriverSignature + 8);
    return {
        {"drive type of D:", [](DeviceSeam& d, HANDLE&) { return DriveTypeStep(d, L"D:\\"); }, true, 0,
         StatusBytes(DRIVE_CDROM)},
        {"drive type of a letter with no drive", [](DeviceSeam& d, HANDLE&) { return DriveTypeStep(d, L"Q:\\"); },
         true, 0, StatusBytes(DRIVE_NO_ROOT_DIR)},
        {"open a letter with no drive", [](DeviceSeam& d, HANDLE& h) { return OpenStep(d, h, L"\\\\.\\Q:"); }, false,
         ERROR_FILE_NOT_FOUND, {}},
        {"open a path that names no drive", [](DeviceSeam& d, HANDLE& h) { return OpenStep(d, h, L"D:\\x"); },
         false, ERROR_FILE_NOT_FOUND, {}},
        {"open D:", [](DeviceSeam& d, HANDLE& h) { return OpenStep(d, h, L"\\\\.\\D:"); }, true, 0, {}},
        {"signature", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_SIGNATURE, {}, 8); }, true, 0,
         signature},
        {"signature into a short buffer",
         [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_SIGNATURE, {}, 4); }, false,
         ERROR_INSUFFICIENT_BUFFER, {}},
        {"status of a disc waiting for its login",
         [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_STATUS, {}, 4); }, true, 0, StatusBytes(3)},
        {"announce with a short record",
         [guid](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_ANNOUNCE, AnnounceBytes(guid, 19)); }, false,
         ERROR_INVALID_PARAMETER, {}},
        {"announce", [guid](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_ANNOUNCE, AnnounceBytes(guid)); },
         true, 0, {}},
        {"login with a wrong passphrase",
         [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_LOGIN, LoginRecord(L"wrong")); }, false,
         ERROR_INVALID_PASSWORD, {}},
        {"status after a refused login",
         [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_STATUS, {}, 4); }, true, 0, StatusBytes(4)},
        {"login record without its closing zero",
         [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_LOGIN, LoginRecord(L"open sesame", false)); },
         false, ERROR_INVALID_PARAMETER, {}},
        {"login", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_LOGIN, LoginRecord(L"open sesame")); },
         true, 0, {}},
        {"status after the login", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_STATUS, {}, 4); },
         true, 0, StatusBytes(5)},
        {"lock", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, kFsctlLockVolume); }, true, 0, {}},
        {"dismount", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, kFsctlDismountVolume); }, true, 0, {}},
        {"unlock", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, kFsctlUnlockVolume); }, true, 0, {}},
        {"unlock again", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, kFsctlUnlockVolume); }, false,
         ERROR_NOT_LOCKED, {}},
        {"unknown control code", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, 0x90002014); }, false,
         ERROR_INVALID_FUNCTION, {}},
        {"eject", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, kIoctlStorageEjectMedia); }, true, 0, {}},
        {"status after the eject", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_STATUS, {}, 4); },
         true, 0, StatusBytes(0)},
        {"withdraw", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_WITHDRAW); }, true, 0, {}},
        {"close",
         [](DeviceSeam& d, HANDLE& h) {
             d.Close(h);
             return Outcome{true, 0, {}};
         },
         true, 0, {}},
        {"call on the closed handle", [](DeviceSeam& d, HANDLE& h) { return Call(d, h, IOCTL_VNK_GET_STATUS, {}, 4); },
         false, ERROR_INVALID_HANDLE, {}},
    };
}

void RunScript(DeviceSeam& device, const std::vector<Step>& script) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (const Step& step : script) {
        SCOPED_TRACE(step.name);
        const Outcome outcome = step.run(device, handle);
        EXPECT_EQ(outcome.ok, step.ok);
        EXPECT_EQ(outcome.error, step.error);
        EXPECT_EQ(outcome.out, step.out);
    }
}

TEST_F(SimulatorTest, SeamOverThePipeAnswersAsTheInProcessDriver) {
    const std::vector<Step> script = DiscLifeScript();

    sim::SimDriver& local = sim::TheSimDriver();
    local.Reset();
    local.AddDrive(L'D');
    local.AddDrive(L'E');
    local.InsertEncryptedDisc(L'D', L"open sesame");
    {
        SCOPED_TRACE("in-process driver");
        RunScript(local, script);
    }
    EXPECT_EQ(local.OpenHandleCount(), 0u);
    local.Reset();

    ASSERT_EQ(Command(Op::InsertEncrypted, L'D', L"open sesame").result, 1u);
    {
        SCOPED_TRACE("simulator over the pipe");
        RunScript(Device(), script);
    }
    const auto drives = sim::DecodeDriveList(Command(Op::List).data);
    ASSERT_TRUE(drives);
    ASSERT_EQ(drives->size(), 2u);
    EXPECT_EQ((*drives)[0].logins, 3u);
    EXPECT_EQ((*drives)[0].dismounts, 1u);
    EXPECT_EQ((*drives)[0].ejects, 1u);
    EXPECT_FALSE((*drives)[0].volumeLocked);
}

TEST_F(SimulatorTest, EncryptedDiscSignalsTheEventAnnouncedByAnotherProcess) {
    const GUID guid = FreshGuid();
    vnk::fw::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, EventNameForGuid(guid).c_str()));
    ASSERT_TRUE(event);
    const HANDLE drive = Device().Open(L"\\\\.\\E:", 0);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Call(Device(), drive, IOCTL_VNK_ANNOUNCE, AnnounceBytes(guid)).ok);
    Device().Close(drive);
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "an empty drive signalled";

    const Process::Result insert = SimCtl({L"insert", L"E:", L"encrypted", L"s3cret words"});
    EXPECT_EQ(insert.exitCode, 0u) << insert.err;
    EXPECT_EQ(::WaitForSingleObject(event.get(), kWatchdogMs), static_cast<DWORD>(WAIT_OBJECT_0));

    const Process::Result signal = SimCtl({L"signal", L"e"});
    EXPECT_EQ(signal.exitCode, 0u) << signal.err;
    EXPECT_EQ(::WaitForSingleObject(event.get(), kWatchdogMs), static_cast<DWORD>(WAIT_OBJECT_0));

    const Process::Result list = SimCtl({L"list"});
    EXPECT_EQ(list.exitCode, 0u) << list.err;
    EXPECT_EQ(ListRow(list.out, 'E'),
              (std::vector<std::string>{"E:", "cdrom", "yes", "encrypted", "3", "NotLoggedIn", "yes", "free", "0", "0",
                                        "0"}))
        << list.out;
    EXPECT_EQ(list.out.find("s3cret"), std::string::npos) << "the listing shows the passphrase";
    EXPECT_EQ(insert.out.find("s3cret"), std::string::npos);
}

TEST_F(SimulatorTest, ControlCommandsChangeWhatTheSeamSees) {
    PipeDevice& device = Device();
    auto lockD = [&device] {
        const HANDLE h = device.Open(L"\\\\.\\D:", 0);
        const Outcome lock = Call(device, h, kFsctlLockVolume);
        device.Close(h);  // also ends the lock
        return lock;
    };
    auto openError = [&device](const wchar_t* path) -> DWORD {
        const HANDLE h = device.Open(path, 0);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        device.Close(h);
        return ERROR_SUCCESS;
    };
    struct Case {
        std::vector<std::wstring> command;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {{L"hold", L"D", L"on"}, [&] { EXPECT_EQ(lockD().error, static_cast<DWORD>(ERROR_ACCESS_DENIED)); }},
        {{L"hold", L"D", L"off"}, [&] { EXPECT_TRUE(lockD().ok); }},
        {{L"fail", L"D", L"status", L"31"},
         [&] {
             const HANDLE h = device.Open(L"\\\\.\\D:", 0);
             EXPECT_EQ(Call(device, h, IOCTL_VNK_GET_STATUS, {}, 4).error, 31u);
             EXPECT_TRUE(Call(device, h, IOCTL_VNK_GET_STATUS, {}, 4).ok) << "failed more than once";
             device.Close(h);
         }},
        {{L"fail", L"D", L"open", L"0x5", L"forever"},
         [&] {
             EXPECT_EQ(openError(L"\\\\.\\D:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
             EXPECT_EQ(openError(L"\\\\.\\D:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
         }},
        {{L"fail", L"D", L"open", L"5", L"0"},
         [&] { EXPECT_EQ(openError(L"\\\\.\\D:"), static_cast<DWORD>(ERROR_SUCCESS)); }},
        {{L"insert", L"D", L"plain"}, [&] { EXPECT_EQ(StatusOf(device, L"\\\\.\\D:"), 2u); }},
        {{L"eject", L"D"}, [&] { EXPECT_EQ(StatusOf(device, L"\\\\.\\D:"), 0u); }},
        {{L"remove", L"D"},
         [&] {
             EXPECT_EQ(device.DriveType(L"D:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
             EXPECT_EQ(openError(L"\\\\.\\D:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
         }},
        {{L"add", L"D"}, [&] { EXPECT_EQ(device.DriveType(L"D:\\"), static_cast<UINT>(DRIVE_CDROM)); }},
        {{L"add", L"G", L"other"},
         [&] {
             EXPECT_EQ(device.DriveType(L"G:\\"), static_cast<UINT>(DRIVE_FIXED));
             const HANDLE h = device.Open(L"\\\\.\\G:", 0);
             EXPECT_FALSE(Call(device, h, IOCTL_VNK_GET_SIGNATURE, {}, 8).ok) << "a driver on a fixed drive";
             device.Close(h);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Ascii(c.command[0]) + " " + Ascii(c.command[1]));
        const Process::Result result = SimCtl(c.command);
        ASSERT_EQ(result.exitCode, 0u) << result.err;
        EXPECT_EQ(result.err, "");
        c.check();
    }
}

TEST_F(SimulatorTest, ControlRejectsBadArgumentsAndRefusedCommands) {
    struct Case {
        std::vector<std::wstring> command;
        DWORD exitCode;
    };
    const std::vector<Case> cases = {
        {{}, 2},
        {{L"frobnicate"}, 2},
        {{L"list", L"D"}, 2},
        {{L"add"}, 2},
        {{L"add", L"1"}, 2},
        {{L"add", L"DE"}, 2},
        {{L"add", L"F", L"floppy"}, 2},
        {{L"add", L"F", L"cdrom", L"extra"}, 2},
        {{L"insert", L"D"}, 2},
        {{L"insert", L"D", L"encrypted"}, 2},
        {{L"insert", L"D", L"plain", L"extra"}, 2},
        {{L"insert", L"D", L"gold"}, 2},
        {{L"hold", L"D", L"maybe"}, 2},
        {{L"fail", L"D", L"bogus", L"5"}, 2},
        {{L"fail", L"D", L"open", L"five"}, 2},
        {{L"fail", L"D", L"open", L"0x100000000"}, 2},
        {{L"fail", L"D", L"open", L"5", L"-1"}, 2},
        {{L"wait", L"0"}, 2},
        {{L"delay", L"D", L"open"}, 2},
        {{L"delay", L"D", L"bogus", L"5"}, 2},
        {{L"delay", L"D", L"open", L"soon"}, 2},
        {{L"delay", L"*", L"open", L"5", L"-1"}, 2},
        {{L"delay", L"**", L"open", L"5"}, 2},
        {{L"stall", L"D"}, 2},
        {{L"stall", L"*", L"bogus"}, 2},
        {{L"stall", L"D", L"open", L"extra"}, 2},
        {{L"release"}, 2},
        {{L"release", L"D", L"extra"}, 2},
        // Well-formed, but the bay refuses.
        {{L"add", L"D"}, 1},
        {{L"remove", L"Q"}, 1},
        {{L"eject", L"D"}, 1},
        {{L"signal", L"D"}, 1},
        {{L"insert", L"Q", L"plain"}, 1},
        {{L"delay", L"Q", L"open", L"5"}, 1},
        {{L"stall", L"Q", L"open"}, 1},
        {{L"release", L"Q"}, 1},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const auto& arg : c.command) name += Ascii(arg) + " ";
        SCOPED_TRACE("VarnokSimCtl " + name);
        const Process::Result result = SimCtl(c.command);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err, "") << "no reason given";
        EXPECT_EQ(result.out, "");
    }
    // A refused second disc leaves the first one in place.
    EXPECT_EQ(SimCtl({L"insert", L"D", L"plain"}).exitCode, 0u);
    EXPECT_EQ(SimCtl({L"insert", L"D", L"encrypted", L"pw"}).exitCode, 1u);
    EXPECT_EQ(StatusOf(Device(), L"\\\\.\\D:"), 2u);
}

// A connection on which the test writes what it likes.
class RawConnection {
public:
    explicit RawConnection(const std::wstring& pipePath)
        : m_pipe(::CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr)) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (m_pipe && !::SetNamedPipeHandleState(m_pipe.get(), &mode, nullptr, nullptr)) m_pipe.reset();
    }
    bool Connected() const { return static_cast<bool>(m_pipe); }

    bool WriteRaw(const Bytes& bytes) const {
        vnk::fw::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = done.get();
        DWORD written = 0;
        if (!::WriteFile(m_pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return false;
        return ::GetOverlappedResult(m_pipe.get(), &ov, &written, TRUE) && written == bytes.size();
    }
    // The answer to one message, or nullopt when none came.
    std::optional<Response> Ask(const Bytes& body) const {
        Bytes answer;
        if (sim::Transact(m_pipe.get(), body, answer, sim::kMaxAnswerBytes, kWatchdogMs) != ERROR_SUCCESS)
            return std::nullopt;
        return sim::DecodeResponse(answer);
    }
    std::optional<Response> Answer() const {
        Bytes answer;
        if (sim::ReadMessage(m_pipe.get(), answer, sim::kMaxAnswerBytes, nullptr, kWatchdogMs) != ERROR_SUCCESS)
            return std::nullopt;
        return sim::DecodeResponse(answer);
    }

private:
    vnk::fw::UniqueHandle m_pipe;
};

Bytes Encoded(Op op, wchar_t letter = 0) {
    Request request;
    request.op = op;
    request.letter = letter;
    return sim::EncodeRequest(request);
}

Bytes WithField(Bytes body, size_t offset, DWORD value) {
    std::memcpy(body.data() + offset, &value, 4);
    return body;
}

TEST_F(SimulatorTest, MalformedRequestsGetErrorsAndTheConnectionGoesOn) {
    struct Case {
        const char* name;
        Bytes body;
        DWORD error;
    };
    Bytes failKind = Encoded(Op::Fail, L'D');
    failKind = WithField(failKind, 16, 99);
    Bytes shortText = Encoded(Op::DriveType);
    shortText = WithField(shortText, 32, 3);  // three units announced, none sent
    Bytes trailing = Encoded(Op::List);
    trailing.push_back(0);
    const std::vector<Case> cases = {
        {"empty body", {}, ERROR_INVALID_DATA},
        {"body shorter than the header", Bytes(39, 0), ERROR_INVALID_DATA},
        {"unknown operation", WithField(Encoded(Op::List), 0, 77), ERROR_INVALID_DATA},
        {"text longer than the body", shortText, ERROR_INVALID_DATA},
        {"a byte beyond the fields", trailing, ERROR_INVALID_DATA},
        {"output size beyond the limit", WithField(Encoded(Op::Control), 28, 0x7FFFFFFF), ERROR_INVALID_DATA},
        {"text count beyond the limit", WithField(Encoded(Op::DriveType), 32, 0x40000000), ERROR_INVALID_DATA},
        {"command for a letter that is none", Encoded(Op::Eject, L'1'), ERROR_INVALID_PARAMETER},
        {"unknown kind of call to fail", failKind, ERROR_INVALID_PARAMETER},
        {"control on a handle never given", WithField(Encoded(Op::Control), 8, 0x1234), ERROR_INVALID_HANDLE},
    };
    RawConnection connection(m_pipePath);
    ASSERT_TRUE(connection.Connected());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto answer = connection.Ask(c.body);
        ASSERT_TRUE(answer) << "no answer";
        EXPECT_EQ(answer->result, 0u);
        EXPECT_EQ(answer->error, c.error);
        const auto list = connection.Ask(Encoded(Op::List));
        ASSERT_TRUE(list) << "the connection did not go on";
        EXPECT_EQ(list->result, 1u);
    }

    // A message longer than any request: its sender is broken and is hung up on.
    RawConnection oversized(m_pipePath);
    ASSERT_TRUE(oversized.Connected());
    ASSERT_TRUE(oversized.WriteRaw(Bytes(sim::kMaxRequestBytes + 1, 0x41)));
    EXPECT_FALSE(oversized.Answer()) << "the rest of the message was taken for a request";
    EXPECT_FALSE(oversized.Ask(Encoded(Op::List))) << "the connection stayed open";

    EXPECT_EQ(Command(Op::List).result, 1u) << "the simulator stopped serving";
}

TEST_F(SimulatorTest, ManyThreadsCallAtOnceWhileAClientStalls) {
    // A client that never reads its answer holds only its own connection.
    RawConnection stalled(m_pipePath);
    ASSERT_TRUE(stalled.Connected());
    ASSERT_TRUE(stalled.WriteRaw({40, 0, 0, 0, 1, 0}));

    constexpr int kThreads = 8;
    constexpr int kRounds = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            const wchar_t* path = t % 2 == 0 ? L"\\\\.\\D:" : L"\\\\.\\E:";
            for (int round = 0; round < kRounds; ++round) {
                const HANDLE h = Device().Open(path, 0);
                const Outcome signature = Call(Device(), h, IOCTL_VNK_GET_SIGNATURE, {}, 8);
                const Outcome status = Call(Device(), h, IOCTL_VNK_GET_STATUS, {}, 4);
                Device().Close(h);
                if (h == INVALID_HANDLE_VALUE || !signature.ok || std::memcmp(signature.out.data(), kDriverSignature, sizeof kDriverSignature) != 0 ||
                    status.out != StatusBytes(0))
                    ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// A top-level window of this process that records device changes as they
// arrive and, on a device-node change, asks the simulator about drive F:
// from inside the broadcast, as the client's re-probe does.
class DeviceChangeWindow : public vnk::fw::Wnd {
public:
    struct Seen {
        WPARAM event;
        DWORD deviceType;
        GUID classGuid;
        std::wstring name;
        UINT driveTypeOfF;
    };

    explicit DeviceChangeWindow(DeviceSeam& device) : m_device(device) {
        CreateEx(0, L"Varnok device change test", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr);
    }
    ~DeviceChangeWindow() override { DestroyWindow(); }

    std::vector<Seen> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_seen, {});
    }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message != WM_DEVICECHANGE) return vnk::fw::Wnd::WindowProc(message, wParam, lParam);
        Seen seen{wParam, 0, GUID{}, {}, 0};
        if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            seen.deviceType = header->dbch_devicetype;
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
                seen.classGuid = record->dbcc_classguid;
                const size_t units = (header->dbch_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / 2;
                seen.name.assign(record->dbcc_name, ::wcsnlen(record->dbcc_name, units));
            }
        }
        if (wParam == DBT_DEVNODES_CHANGED) seen.driveTypeOfF = m_device.DriveType(L"F:\\");
        std::lock_guard lock(m_mutex);
        m_seen.push_back(seen);
        return TRUE;
    }

private:
    DeviceSeam& m_device;
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

TEST_F(SimulatorTest, DrivesComingAndGoingAreBroadcastToOtherProcessesWindows) {
    constexpr GUID kCdromInterface = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    DeviceChangeWindow window(Device());
    ASSERT_TRUE(window.IsWindow());
    struct Case {
        std::vector<std::wstring> command;
        std::optional<WPARAM> interfaceEvent;  // none for a drive that is no CD/DVD drive
        UINT driveTypeOfF;                     // what F: is while the node change is being told
    };
    const std::vector<Case> cases = {
        {{L"add", L"F"}, DBT_DEVICEARRIVAL, DRIVE_CDROM},
        {{L"remove", L"F"}, DBT_DEVICEREMOVECOMPLETE, DRIVE_NO_ROOT_DIR},
        {{L"add", L"F", L"other"}, std::nullopt, DRIVE_FIXED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Ascii(c.command[0]) + " " + Ascii(c.command.back()));
        // Pumps while the command runs: the simulator waits for this window.
        const Process::Result result = SimCtl(c.command);
        ASSERT_EQ(result.exitCode, 0u) << result.err;
        const auto seen = window.Take();
        ASSERT_EQ(seen.size(), c.interfaceEvent ? 2u : 1u);
        if (c.interfaceEvent) {
            EXPECT_EQ(seen[0].event, *c.interfaceEvent);
            EXPECT_EQ(seen[0].deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
            EXPECT_TRUE(::IsEqualGUID(seen[0].classGuid, kCdromInterface));
            EXPECT_NE(seen[0].name.find(L"#F&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"), std::wstring::npos)
                << Ascii(seen[0].name);
        }
        EXPECT_EQ(seen.back().event, static_cast<WPARAM>(DBT_DEVNODES_CHANGED));
        EXPECT_EQ(seen.back().driveTypeOfF, c.driveTypeOfF);
    }
}

TEST_F(SimulatorTest, ASimulatorThatIsGoneFailsCallsAtOnce) {
    const HANDLE drive = Device().Open(L"\\\\.\\D:", 0);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SimCtl({L"wait"}).exitCode, 0u) << "a running simulator is not seen as up";
    const Process::Result quit = SimCtl({L"quit"});
    EXPECT_EQ(quit.exitCode, 0u) << quit.err;
    ASSERT_TRUE(m_sim->WaitForExit());
    EXPECT_EQ(m_sim->ExitCode(), 0u);

    EXPECT_EQ(Device().DriveType(L"D:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(Device().Open(L"\\\\.\\D:", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Call(Device(), drive, IOCTL_VNK_GET_STATUS, {}, 4).error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Device().Close(drive);

    const Process::Result list = SimCtl({L"list"});
    EXPECT_EQ(list.exitCode, 3u);
    EXPECT_NE(list.err.find("not running"), std::string::npos) << list.err;
    EXPECT_EQ(SimCtl({L"wait", L"1"}).exitCode, 3u) << "an ended simulator is still seen as up";
}

// The binding keeps a connection per thread; one whose simulator has ended
// must neither fail the next call nor reach the old bay.
TEST_F(SimulatorTest, CallsAfterTheSimulatorStartsAgainReachTheNewOne) {
    ASSERT_EQ(Device().DriveType(L"D:\\"), static_cast<UINT>(DRIVE_CDROM));
    std::optional<UINT> otherThreadSaw;
    std::thread([&] { otherThreadSaw = Device().DriveType(L"E:\\"); }).join();
    EXPECT_EQ(otherThreadSaw, std::optional<UINT>(DRIVE_CDROM));
    EXPECT_EQ(SimCtl({L"quit"}).exitCode, 0u);
    ASSERT_TRUE(m_sim->WaitForExit());
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"F"));

    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(Device().DriveType(L"F:\\"), static_cast<UINT>(DRIVE_CDROM));
        EXPECT_EQ(Device().DriveType(L"D:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    }
}

TEST_F(SimulatorTest, ASecondSimulatorOnTheSamePipeIsRefused) {
    const Process::Result second =
        Process::Run(ProgramPath(L"VarnokSim.exe"), L"--drives F", Process::Capture::Output);
    EXPECT_EQ(second.exitCode, 1u);
    EXPECT_NE(second.err.find("already serves"), std::string::npos) << second.err;
    EXPECT_EQ(Device().DriveType(L"F:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "the second one answers";
}

TEST_F(SimulatorTest, InsertTakesThePassphraseFromStandardInput) {
    struct Case {
        const char* name;
        std::string input;
        std::wstring passphrase;  // empty: refused as a bad argument
    };
    const Case cases[] = {
        {"a line", "s3cret words\r\nnext line", L"s3cret words"},
        {"UTF-8 at the end of input", "p\xC3\xA4ssw\xC3\xB6rd", L"p\x00e4ssw\x00f6rd"},
        {"the longest", std::string(254, 'k') + "\n", std::wstring(254, L'k')},
        {"too long", std::string(255, 'k') + "\n", L""},
        {"empty", "\n", L""},
        {"no input", "", L""},
        {"not UTF-8", "\xFF\xFE\n", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Process::Result insert = SimCtl({L"insert", L"E:", L"encrypted", L"-"}, c.input);
        if (c.passphrase.empty()) {
            EXPECT_EQ(insert.exitCode, 2u) << insert.err;
            EXPECT_EQ(StatusOf(Device(), L"\\\\.\\E:"), std::optional<DWORD>(0)) << "a disc went in";
            continue;
        }
        ASSERT_EQ(insert.exitCode, 0u) << insert.err;
        const HANDLE drive = Device().Open(L"\\\\.\\E:", 0);
        ASSERT_NE(drive, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(Call(Device(), drive, IOCTL_VNK_LOGIN, LoginRecord(c.passphrase)).ok);
        Device().Close(drive);
        EXPECT_EQ(SimCtl({L"eject", L"E:"}).exitCode, 0u);
    }
}

TEST_F(SimulatorTest, PipeIsOpenToTheUserAndSystemOnlyAndServesABoundedNumberOfClients) {
    // Held connections: the pipe's own handles, as any client gets them.
    std::vector<vnk::fw::UniqueHandle> held;
    const auto connect = [&] {
        return vnk::fw::UniqueHandle(::CreateFileW(m_pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    };
    held.push_back(connect());
    ASSERT_TRUE(held.back()) << ::GetLastError();
    const std::vector<std::wstring> expected = {vnk::fw::SidText(vnk::fw::CurrentUserSid()), L"S-1-5-18"};
    EXPECT_EQ(AllowedSidsOf(held.back().get()), std::optional(expected));

    // Every instance taken: the next client is told to wait, and gets in
    // once one lets go.
    while (held.size() < 64) {
        held.push_back(connect());
        ASSERT_TRUE(PumpUntil([&] { return held.back() || (held.back() = connect()); })) << held.size();
    }
    EXPECT_FALSE(connect());
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_PIPE_BUSY});
    held.pop_back();
    Response response;
    Request list;
    list.op = Op::List;
    EXPECT_EQ(sim::Exchange(m_pipePath, list, response, sim::PipeTimeouts{kWatchdogMs, kWatchdogMs}),
              DWORD{ERROR_SUCCESS});
    EXPECT_EQ(response.result, 1u);
}

// The calls in progress in the simulator, as its pipe lists them.
std::vector<sim::CallShown> CallsIn(const std::wstring& pipePath) {
    Request request;
    request.op = Op::Calls;
    Response response;
    if (sim::Exchange(pipePath, request, response) != ERROR_SUCCESS) return {};
    return sim::DecodeCallList(response.data).value_or(std::vector<sim::CallShown>{});
}

TEST_F(SimulatorTest, AStalledCallOverThePipeLeavesOtherConnectionsServed) {
    const Process::Result stall = SimCtl({L"stall", L"D", L"eject"});
    ASSERT_EQ(stall.exitCode, 0u) << stall.err;
    // A client that waits longer than the default for its answer.
    PipeDevice patient(m_pipePath, {2000, kWatchdogMs});
    const HANDLE handle = patient.Open(L"\\\\.\\D:", 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Outcome eject;
    std::thread ejecter([&] { eject = Call(patient, handle, kIoctlStorageEjectMedia); });
    const bool stalled = PumpUntil([this] { return !CallsIn(m_pipePath).empty(); });

    // Other connections are served meanwhile, D's other calls included.
    EXPECT_EQ(StatusOf(Device(), L"\\\\.\\E:"), 0u);
    EXPECT_EQ(StatusOf(Device(), L"\\\\.\\D:"), 0u);
    const Process::Result list = SimCtl({L"list"});
    EXPECT_EQ(list.exitCode, 0u) << list.err;
    EXPECT_NE(list.out.find("eject"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("stalled"), std::string::npos) << list.out;

    const Process::Result release = SimCtl({L"release", L"d:"});
    EXPECT_EQ(release.exitCode, 0u) << release.err;
    ejecter.join();
    patient.Close(handle);
    ASSERT_TRUE(stalled);
    EXPECT_TRUE(eject.ok) << eject.error;
    EXPECT_NE(SimCtl({L"list"}).out.find("No calls in progress."), std::string::npos);

    // A delay on every drive, once each, then cleared.
    EXPECT_EQ(SimCtl({L"delay", L"*", L"status", L"200", L"1"}).exitCode, 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusOf(Device(), L"\\\\.\\E:"), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(SimCtl({L"delay", L"*", L"status", L"0"}).exitCode, 0u);
}

TEST_F(SimulatorTest, ASimulatorThatQuitsReleasesItsStalledCalls) {
    ASSERT_EQ(SimCtl({L"stall", L"*", L"open"}).exitCode, 0u);
    PipeDevice patient(m_pipePath, {2000, kWatchdogMs});
    std::thread opener([&patient] { OpenOutcome(patient, L"\\\\.\\E:"); });
    const bool stalled = PumpUntil([this] { return !CallsIn(m_pipePath).empty(); });
    const Process::Result quit = SimCtl({L"quit"});
    const bool ended = m_sim->WaitForExit();
    opener.join();
    EXPECT_TRUE(stalled);
    EXPECT_EQ(quit.exitCode, 0u) << quit.err;
    EXPECT_TRUE(ended) << "a stalled call kept the simulator from ending";
}

TEST_F(SimulatorTest, RealTimingSlowsOpensWhileADiscMountsAndEjects) {
    ASSERT_EQ(SimCtl({L"quit"}).exitCode, 0u);
    ASSERT_TRUE(m_sim->WaitForExit());
    ASSERT_NO_FATAL_FAILURE(StartSimulator(L"D", {L"--timing", L"real"}));
    ASSERT_EQ(Command(Op::InsertPlain, L'D').result, 1u);
    auto start = std::chrono::steady_clock::now();
    const HANDLE handle = Device().Open(L"\\\\.\\D:", 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Call(Device(), handle, kIoctlStorageEjectMedia).ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    Device().Close(handle);
}

}  // namespace
}  // namespace vnk::test
