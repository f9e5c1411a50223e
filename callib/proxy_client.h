// The library's proxy mode, the calibration link's host: with
// CALSIM_PROXY=1, interface types 1 and 2 open ferrylink to a target
// (docksim --modem) and every call on the interface travels there as a
// request (calwire/calwire.h) and waits for its answer. One interface at a
// time, like the local model.
#ifndef CALLIB_PROXY_CLIENT_H
#define CALLIB_PROXY_CLIENT_H

#include "calapi/calapi.h"
#include "callib/host_codec.h"
#include "calwire/calwire.h"
#include "calwire/codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace callib::proxy {

// Error texts of the proxy mode: returned pointers stay valid for the life
// of the process, as the interface promises of every result text.
const char *Text(const std::string &text);
const char *Textf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// CALSIM_PROXY=1 in the environment, read once.
bool Requested();

// Opens the link and the target's interface. Null when the link's rules
// refuse the parameters (linkrules/link_text.h) or the target refused;
// otherwise a handle, even when the link could not be opened: ConnectDevice
// then tries again and returns the reason. The answer limit
// (CALSIM_PROXY_TIMEOUT_MS) is read here.
TavrelCalHandle Open(uint32_t type, const char *address, uint32_t number);
bool Owns(TavrelCalHandle handle);
// The open proxy interface's handle, or null.
TavrelCalHandle Handle();
// Reopens a link that is down (ConnectDevice); null, or why it cannot.
const char *Reconnect();
// Closes the target's interface and the link, and forgets the handle.
int Close();
const TavrelOptionInfo *OptionInfo(uint32_t index);

// One request and its answer; null, or the error text (the link is then
// closed unless the answer merely came from a call that failed).
const char *Exchange(const calwire::Operation &operation, const std::vector<uint8_t> &request,
                     std::vector<uint8_t> &answer);
// Closes the link after an answer that does not fit its call.
const char *Unreadable(const calwire::Operation &operation);

inline TavrelResult Failed(TavrelResult *, const char *text)
{
    return text;
}
inline uint32_t Failed(uint32_t *, const char *)
{
    return 0; // no key
}

inline bool ReadResult(calwire::Reader &r, TavrelResult &result)
{
    bool failed = false;
    std::string text;
    if (!calwire::GetResult(r, failed, text))
        return false;
    result = failed ? Text(text) : nullptr;
    return true;
}
inline bool ReadResult(calwire::Reader &r, uint32_t &key)
{
    return r.Get(key);
}

// A call on the proxy's interface: the arguments out, the result and the
// outputs back.
template <typename R, typename... A> R Call(const calwire::Operation &operation, A... arguments)
{
    calwire::Writer request;
    if (!EncodeArguments(request, operation, arguments...))
        return Failed(static_cast<R *>(nullptr),
                      Textf("%s: the request is too large for the proxy link", operation.name));
    std::vector<uint8_t> answer;
    if (const char *error = Exchange(operation, request.bytes, answer))
        return Failed(static_cast<R *>(nullptr), error);
    calwire::Reader r(answer.data(), answer.size());
    R result{};
    if (!ReadResult(r, result) || !DecodeOutputs(r, operation, arguments...))
        return Failed(static_cast<R *>(nullptr), Unreadable(operation));
    return result;
}

} // namespace callib::proxy

#endif
