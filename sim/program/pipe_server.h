// The simulator's end of the pipe: accepts clients and serves each one on
// a thread of its own, so that a client that sends slowly, or a request
// that waits on a broadcast, never keeps another client waiting.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "fw/handles.h"
#include "fw/security.h"
#include "sim/pipe_wire.h"

namespace vnk::sim {

class PipeServer {
public:
    // Called on a connection's thread, for many connections at once.
    using Handler = std::function<Response(const Request&)>;
    // Connections served at once (clients keep one per thread); a client
    // beyond them waits for one to end.
    static constexpr DWORD kMaxInstances = 64;

    // Called on Run's thread once it accepts no more clients, before it
    // waits for the connections' threads: ends whatever a handler may wait on.
    using Stopping = std::function<void()>;

    PipeServer(std::wstring pipePath, Handler handler, Stopping stopping = {});
    ~PipeServer();  // stops and waits for every connection's thread
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the first instance of the pipe, open to this user and SYSTEM
    // only: from here on clients can connect. Fails with
    // ERROR_ACCESS_DENIED (or ERROR_PIPE_BUSY) when another process already
    // serves the name.
    DWORD Listen();
    // Accepts clients until Stop(), then ends every connection and waits
    // for its thread. Returns the error that ended it early (no more pipe
    // instances to be had), else ERROR_SUCCESS.
    DWORD Run();
    // From any thread, a console control handler included.
    void Stop();

private:
    struct Connection {
        std::thread thread;
        ULONG clientProcess = 0;  // 0 when it cannot be told
        bool ended = false;       // its client has gone (under m_mutex)
        std::atomic<bool> done{false};
    };

    vnk::fw::UniqueHandle NewInstance(bool first);
    // The next instance once one is free; null when stopped or failed.
    vnk::fw::UniqueHandle NextInstance(DWORD& error);
    bool AwaitClient(HANDLE pipe) const;
    void Start(vnk::fw::UniqueHandle pipe);
    void Serve(HANDLE pipe, ULONG clientProcess);
    Response Answer(const std::vector<BYTE>& body, ULONG clientProcess);
    // Device handles belong to the client process that opened them, as a
    // system's handles do: when its last connection ends (it has ended,
    // or killed), the handles it left open are closed, which lets go of
    // the volume locks they held.
    void NoteHandles(ULONG clientProcess, const Request& request, const Response& response);
    void CloseHandlesLeftBy(Connection& ended);
    void JoinFinished(bool all);

    const std::wstring m_pipePath;
    const Handler m_handler;
    const Stopping m_stopping;
    vnk::fw::UniqueHandle m_stop;
    vnk::fw::UniqueHandle m_connectionEnded;  // auto-reset, set as each connection ends
    vnk::fw::SecurityDescriptor m_ownerOnly;
    vnk::fw::UniqueHandle m_listening;  // the instance waiting for the next client
    std::mutex m_mutex;
    std::list<Connection> m_connections;  // nodes stay put while their threads run
    std::map<ULONG, std::set<std::uint64_t>> m_openHandles;  // per client process
};

}  // namespace vnk::sim
