#pragma once
// The message of the internal failure a call ends in, for the suites' checks.
#include <string>

#include "pool/fault.h"

namespace kestrix {

inline std::string fault_message(auto&& call) {
    try {
        call();
    } catch (const Fault& f) {
        return f.message();
    }
    return "<no fault>";
}

}  // namespace kestrix
