// Shared by the engine's procedures: the trap that turns any failure into the error pair.
#pragma once

#include <new>
#include <string>

#include "kelvor/queue_engine.h"

namespace kelvor::queueengine {

// One of the engine's own errors (err::), with the catalogue's text.
[[noreturn]] inline void Raise(int number) {
    throw Error(number, Error::messageFor(number), "QueueEngine");
}

// A call log id as the queue stores it: Null is 0.
inline int32_t logIdOf(const Value& v) {
    return v.isNull() ? 0 : v.toLong();
}

// Runs `body`; a failure is handed to FormatError under `label` and gives false. Failures that
// are not the engine's own get the runtime's numbers (out of memory, internal error).
template <typename F>
bool Trapped(int32_t& lErr, std::string& sError, const char* label, F body) {
    try {
        return body();
    } catch (const Error& e) {
        FormatError(lErr, sError, e.number(), e.source(), e.description(), label);
    } catch (const std::bad_alloc&) {
        FormatError(lErr, sError, err::kOutOfMemory, "", Error::messageFor(err::kOutOfMemory),
                    label);
    } catch (const std::exception& e) {
        FormatError(lErr, sError, err::kInternalError, "",
                    Error::messageFor(err::kInternalError) + ": " + e.what(), label);
    }
    return false;
}

}  // namespace kelvor::queueengine
