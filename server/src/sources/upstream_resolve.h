// The upstream host's addresses by a deadline. The system's name lookup cannot be cancelled, so
// each runs in a thread of its own that may outlive the call (at most limits::kMaxResolving at
// once) and hands its answer to whoever still waits.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <vector>

#include "sources/upstream.h"

namespace talvo::upstream {

// Runs work on a thread of its own, detached; throws std::system_error when the system has none.
using StartThread = void (*)(std::function<void()>&& work);
void StartDetached(std::function<void()>&& work);

// An address is its own endpoint, at once. Resolve for a name without addresses or past the
// lookups pending, System when no thread could be had for it (the place it took is given back),
// Timeout when the deadline passes first.
Failure Resolve(const Address& address, std::chrono::steady_clock::time_point deadline,
                std::vector<boost::asio::ip::tcp::endpoint>& endpoints,
                StartThread start = StartDetached);

}  // namespace talvo::upstream
