#include "tests/support/simulator_calls.h"

#include <utility>

namespace vnk::test {

vnk::sim::Request SimulatorRequest(vnk::sim::Op op, wchar_t letter, std::wstring text, DWORD code, DWORD error,
                                   DWORD count) {
    vnk::sim::Request request;
    request.op = op;
    request.letter = letter;
    request.text = std::move(text);
    request.code = code;
    request.error = error;
    request.count = count;
    return request;
}

bool SimulatorCall(const std::wstring& pipe, vnk::sim::Request request, std::string* refusal,
                   const vnk::sim::PipeTimeouts& timeouts) {
    vnk::sim::Response response;
    const DWORD result = vnk::sim::Exchange(pipe, request, response, timeouts);
    vnk::sim::WipeRequest(request);
    if (result != ERROR_SUCCESS) {
        if (refusal != nullptr) *refusal = "transport error " + std::to_string(result);
        return false;
    }
    if (response.result == 0 && refusal != nullptr) *refusal = vnk::sim::RefusalText(response);
    return response.result != 0;
}

std::optional<std::vector<vnk::sim::DriveState>> SimulatorDrives(const std::wstring& pipe,
                                                                 const vnk::sim::PipeTimeouts& timeouts) {
    vnk::sim::Request request;
    request.op = vnk::sim::Op::List;
    vnk::sim::Response response;
    if (vnk::sim::Exchange(pipe, request, response, timeouts) != ERROR_SUCCESS) return std::nullopt;
    return vnk::sim::DecodeDriveList(response.data);
}

}  // namespace vnk::test
