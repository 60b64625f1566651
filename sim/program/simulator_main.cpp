// VarnokSim: the simulated drive bay as a program of its own, serving the
// client's device seam and the control program over a named pipe until it
// is told to quit (or stopped with Ctrl+C).
#include <windows.h>

#include <mutex>
#include <cwctype>
#include <optional>
#include <string>
#include <string_view>

#include "fw/handles.h"
#include "sim/pipe_wire.h"
#include "sim/program/console.h"
#include "sim/program/pipe_server.h"
#include "sim/program/simulator.h"
#include "sim/sim_driver.h"

namespace {

using namespace vnk::sim;

constexpr int kExitUsage = 2;
constexpr int kExitCannotServe = 1;

constexpr std::string_view kUsage =
    "usage: VarnokSim [--drives LETTERS] [--timing instant|real]\n"
    "  --drives LETTERS  CD/DVD drives with the filter driver at start, e.g. --drives DE\n"
    "  --timing real     every call takes as long as on a real CD/DVD drive (eject 1.5 s,\n"
    "                    an open while a disc mounts 0.5 s); default instant\n"
    "The pipe is \\\\.\\pipe\\VarnokSimulator, or the name in VARNOK_SIM_PIPE.\n"
    "Control it with VarnokSimCtl; 'VarnokSimCtl quit' ends it.";

struct Options {
    std::wstring drives;
    bool realTiming = false;
};

// Distinct letters A to Z, in any case.
std::optional<std::wstring> ParseDrives(std::wstring_view text) {
    std::wstring letters;
    for (wchar_t c : text) {
        const auto letter = static_cast<wchar_t>(std::towupper(c));
        if (letter < L'A' || letter > L'Z' || letters.find(letter) != std::wstring::npos) return std::nullopt;
        letters += letter;
    }
    if (letters.empty()) return std::nullopt;
    return letters;
}

std::optional<Options> ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view arg = argv[i];
        if (arg == L"--drives" && i + 1 < argc) {
            auto drives = ParseDrives(argv[++i]);
            if (!drives) {
                PrintError("VarnokSim: --drives takes distinct drive letters A to Z, e.g. DE");
                return std::nullopt;
            }
            options.drives = *drives;
        } else if (arg == L"--timing" && i + 1 < argc) {
            const std::wstring_view timing = argv[++i];
            if (timing != L"real" && timing != L"instant") {
                PrintError("VarnokSim: --timing is 'instant' or 'real'");
                return std::nullopt;
            }
            options.realTiming = timing == L"real";
        } else {
            PrintError("VarnokSim: unknown or incomplete option '" + Narrow(arg) + "'");
            return std::nullopt;
        }
    }
    return options;
}

// The server a console control event (Ctrl+C, closing the console) stops.
// The handler runs on a thread of its own: the lock keeps the server from
// going while the handler uses it.
std::mutex g_serverLock;
PipeServer* g_server = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    std::lock_guard lock(g_serverLock);
    if (g_server != nullptr) g_server->Stop();
    return TRUE;
}

void SetStoppableServer(PipeServer* server) {
    std::lock_guard lock(g_serverLock);
    g_server = server;
}

std::string DriveListText(const std::wstring& letters) {
    std::string text;
    for (wchar_t letter : letters) text += std::string(text.empty() ? "" : " ") + static_cast<char>(letter) + ":";
    return text.empty() ? "none" : text;
}

int Serve(const std::wstring& pipePath, const Options& options) {
    SimDriver& driver = TheSimDriver();
    if (options.realTiming) driver.SetTiming(RealDriveTiming());
    for (wchar_t letter : options.drives) driver.AddDrive(letter, DRIVE_CDROM);

    Simulator simulator(driver);
    PipeServer server(
        pipePath,
        [&simulator, &server](const Request& request) {
            Response response = simulator.Handle(request);
            // The answer still goes out: Stop only ends the waiting for more.
            if (request.op == Op::Quit) server.Stop();
            return response;
        },
        [&driver] { driver.EndWaits(); });

    // One simulator per pipe name. The pipe's own first-instance flag says
    // so on Windows, but Wine lets a second server share the name; a named
    // marker that lives as long as this process holds on both.
    vnk::fw::UniqueHandle marker(::CreateMutexW(nullptr, FALSE, InstanceMarkerName(pipePath).c_str()));
    if (marker && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        PrintError("VarnokSim: another simulator already serves " + Narrow(pipePath));
        return kExitCannotServe;
    }
    if (const DWORD error = server.Listen(); error != ERROR_SUCCESS) {
        PrintError(error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                       ? "VarnokSim: another simulator already serves " + Narrow(pipePath)
                       : "VarnokSim: cannot create " + Narrow(pipePath) + " (error " + std::to_string(error) + ")");
        return kExitCannotServe;
    }
    // Held set while the pipe is served; whoever waits for the simulator
    // to come up waits for it.
    vnk::fw::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(pipePath).c_str()));
    SetStoppableServer(&server);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (ready) ::SetEvent(ready.get());
    PrintOut("VarnokSim: serving " + Narrow(pipePath) + " with drives " + DriveListText(options.drives) +
             (options.realTiming ? ", real drive timing" : ""));

    const DWORD error = server.Run();

    if (ready) ::ResetEvent(ready.get());
    SetStoppableServer(nullptr);
    if (error != ERROR_SUCCESS) {
        PrintError("VarnokSim: cannot serve " + Narrow(pipePath) + " any longer (error " + std::to_string(error) + ")");
        return kExitCannotServe;
    }
    PrintOut("VarnokSim: ended");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && (std::wstring_view(argv[1]) == L"--help" || std::wstring_view(argv[1]) == L"-h")) {
        PrintOut(kUsage);
        return 0;
    }
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        PrintError(kUsage);
        return kExitUsage;
    }
    const auto pipePath = SimulatorPipePath();
    if (!pipePath) {
        PrintError("VarnokSim: VARNOK_SIM_PIPE must be a pipe name of 1 to 200 characters without backslashes");
        return kExitUsage;
    }
    try {
        return Serve(*pipePath, *options);
    } catch (const std::exception&) {
        PrintError("VarnokSim: ended by an internal error");
        return kExitCannotServe;
    }
}
