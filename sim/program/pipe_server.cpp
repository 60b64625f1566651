#include "sim/program/pipe_server.h"

#include <new>

namespace vnk::sim {

namespace {

// Room for the largest message in either direction, so that an answer is
// written at once even when the client reads it late.
constexpr DWORD kPipeBufferBytes = static_cast<DWORD>(kMaxRequestBytes + 64);
// An answer that cannot be written in this time goes to a client that has
// stopped reading: the connection is dropped.
constexpr DWORD kWriteTimeoutMs = 5000;

}  // namespace

PipeServer::PipeServer(std::wstring pipePath, Handler handler, Stopping stopping)
    : m_pipePath(std::move(pipePath)),
      m_handler(std::move(handler)),
      m_stopping(std::move(stopping)),
      m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_connectionEnded(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_ownerOnly(vnk::fw::OwnerOnlySddl()) {}

PipeServer::~PipeServer() {
    Stop();
    JoinFinished(true);
}

vnk::fw::UniqueHandle PipeServer::NewInstance(bool first) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return vnk::fw::UniqueHandle(::CreateNamedPipeW(m_pipePath.c_str(), openMode,
                                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                               kMaxInstances, kPipeBufferBytes, kPipeBufferBytes, 0,
                                               m_ownerOnly.Attributes()));
}

vnk::fw::UniqueHandle PipeServer::NextInstance(DWORD& error) {
    for (;;) {
        vnk::fw::UniqueHandle instance = NewInstance(false);
        if (instance) return instance;
        error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY) return {};
        // Every instance is taken: wait for a connection to end.
        const HANDLE waits[2] = {m_connectionEnded.get(), m_stop.get()};
        error = ERROR_SUCCESS;
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return {};
        JoinFinished(false);
    }
}

DWORD PipeServer::Listen() {
    if (!m_stop || !m_connectionEnded) return ERROR_NOT_ENOUGH_MEMORY;
    // Passphrases go through this pipe: without its DACL it is not served.
    if (!m_ownerOnly) return ERROR_INVALID_SECURITY_DESCR;
    m_listening = NewInstance(true);
    return m_listening ? ERROR_SUCCESS : ::GetLastError();
}

void PipeServer::Stop() {
    if (m_stop) ::SetEvent(m_stop.get());
}

bool PipeServer::AwaitClient(HANDLE pipe) const {
    vnk::fw::UniqueHandle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected) return false;
    OVERLAPPED ov{};
    ov.hEvent = connected.get();
    if (::ConnectNamedPipe(pipe, &ov)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    const HANDLE waits[2] = {connected.get(), m_stop.get()};
    DWORD ignored = 0;
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &ov);
        ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
}

DWORD PipeServer::Run() {
    DWORD error = ERROR_SUCCESS;
    while (m_listening && ::WaitForSingleObject(m_stop.get(), 0) == WAIT_TIMEOUT) {
        vnk::fw::UniqueHandle pipe = std::move(m_listening);
        const bool connected = AwaitClient(pipe.get());
        if (!connected) pipe.reset();
        // The next instance first: a client that finds none fails at once,
        // while one that finds them all busy waits.
        m_listening = NewInstance(false);
        if (connected) Start(std::move(pipe));
        // With every instance taken, wait for a connection to end.
        if (!m_listening) m_listening = NextInstance(error);
        JoinFinished(false);
    }
    if (m_stopping) m_stopping();
    JoinFinished(true);
    return error;
}

void PipeServer::Start(vnk::fw::UniqueHandle pipe) {
    ULONG clientProcess = 0;
    if (!::GetNamedPipeClientProcessId(pipe.get(), &clientProcess)) clientProcess = 0;
    std::lock_guard lock(m_mutex);
    Connection& connection = m_connections.emplace_back();
    connection.clientProcess = clientProcess;
    try {
        connection.thread = std::thread([this, &connection, owned = std::move(pipe)]() mutable {
            try {
                Serve(owned.get(), connection.clientProcess);
            } catch (...) {
                // Nothing may leave a thread: the connection just ends.
            }
            owned.reset();
            try {
                CloseHandlesLeftBy(connection);
            } catch (...) {
            }
            connection.done = true;
            ::SetEvent(m_connectionEnded.get());
        });
    } catch (const std::exception&) {
        m_connections.pop_back();  // no thread: the connection is dropped
    }
}

void PipeServer::JoinFinished(bool all) {
    std::list<Connection> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if (all || it->done) finished.splice(finished.end(), m_connections, it);
            it = next;
        }
    }
    // Joined outside the lock: a thread that is still ending may want it.
    for (Connection& connection : finished) connection.thread.join();
}

void PipeServer::NoteHandles(ULONG clientProcess, const Request& request, const Response& response) {
    if (clientProcess == 0) return;
    std::lock_guard lock(m_mutex);
    if (request.op == Op::Open && response.result != 0) {
        m_openHandles[clientProcess].insert(response.value);
    } else if (request.op == Op::Close) {
        for (auto& [process, handles] : m_openHandles) handles.erase(request.handle);
    }
}

void PipeServer::CloseHandlesLeftBy(Connection& ended) {
    if (ended.clientProcess == 0) return;
    std::set<std::uint64_t> left;
    {
        // Marked and looked at in one step: of a process's connections that
        // end at once, the last to get here closes the handles.
        std::lock_guard lock(m_mutex);
        ended.ended = true;
        for (const Connection& other : m_connections)
            if (!other.ended && other.clientProcess == ended.clientProcess) return;
        const auto it = m_openHandles.find(ended.clientProcess);
        if (it == m_openHandles.end()) return;
        left = std::move(it->second);
        m_openHandles.erase(it);
    }
    for (const std::uint64_t handle : left) {
        Request close;
        close.op = Op::Close;
        close.handle = handle;
        m_handler(close);
    }
}

Response PipeServer::Answer(const std::vector<BYTE>& body, ULONG clientProcess) {
    WipedRequest decoded{DecodeRequest(body)};
    if (!decoded.request) return Refusal(ERROR_INVALID_DATA, "malformed request");
    try {
        Response response = m_handler(*decoded.request);
        NoteHandles(clientProcess, *decoded.request, response);
        return response;
    } catch (const std::bad_alloc&) {
        return Refusal(ERROR_NOT_ENOUGH_MEMORY, "out of memory");
    }
}

void PipeServer::Serve(HANDLE pipe, ULONG clientProcess) {
    WipedVector<BYTE> message;
    for (;;) {
        // A message longer than any request (ERROR_MORE_DATA) leaves its
        // rest in the pipe: a client that sends one is broken, and is hung
        // up on. So is one that left, and every client when the server stops.
        if (ReadMessage(pipe, message.bytes, kMaxRequestBytes, m_stop.get(), INFINITE) != ERROR_SUCCESS) return;
        const Response response = Answer(message.bytes, clientProcess);
        ::SecureZeroMemory(message.bytes.data(), message.bytes.size());
        if (WriteMessage(pipe, EncodeResponse(response), nullptr, kWriteTimeoutMs) != ERROR_SUCCESS) return;
    }
}

}  // namespace vnk::sim
