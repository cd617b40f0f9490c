#include "sources/upstream_resolve.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace talvo::upstream {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Lookups in flight in threads of their own (limits::kMaxResolving).
std::atomic<int> resolving{0};

// One place among the lookups in flight, taken whether or not there was room, given back when
// the last holder lets go: the lookup's thread, or the caller when no thread started.
struct Place {
  Place() = default;
  ~Place() { --resolving; }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  const bool room = resolving.fetch_add(1) < limits::kMaxResolving;
};

struct Resolution {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::vector<tcp::endpoint> endpoints;
};

std::vector<tcp::endpoint> LookUp(const std::string& host, const std::string& service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::vector<tcp::endpoint> found;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return found;
  try {
    for (const addrinfo* at = list; at != nullptr; at = at->ai_next) {
      if (at->ai_family != AF_INET && at->ai_family != AF_INET6) continue;
      tcp::endpoint endpoint;
      std::memcpy(endpoint.data(), at->ai_addr, at->ai_addrlen);
      endpoint.resize(at->ai_addrlen);
      found.push_back(endpoint);
    }
  } catch (const std::bad_alloc&) {
    // What was found so far is still worth a try.
  }
  freeaddrinfo(list);
  return found;
}

}  // namespace

void StartDetached(std::function<void()>&& work) {
  std::thread(std::move(work)).detach();
}

Failure Resolve(const Address& address, std::chrono::steady_clock::time_point deadline,
                std::vector<tcp::endpoint>& endpoints, StartThread start) {
  unsigned short port = 0;
  std::from_chars(address.port.data(), address.port.data() + address.port.size(), port);
  boost::system::error_code ec;
  const auto literal = asio::ip::make_address(address.host, ec);
  if (!ec) {
    endpoints.emplace_back(literal, port);
    return Failure::None;
  }
  auto place = std::make_shared<Place>();
  if (!place->room) return Failure::Resolve;
  auto shared = std::make_shared<Resolution>();
  try {
    start([place = std::move(place), shared, host = address.host, service = address.port] {
      auto found = LookUp(host, service);
      {
        const std::lock_guard lock(shared->mutex);
        shared->endpoints = std::move(found);
        shared->finished = true;
      }
      shared->done.notify_all();
    });
  } catch (const std::system_error&) {
    // The thread's work, and the place with it, went with the exception.
    return Failure::System;
  }
  std::unique_lock lock(shared->mutex);
  if (!shared->done.wait_until(lock, deadline, [&] { return shared->finished; }))
    return Failure::Timeout;
  endpoints = std::move(shared->endpoints);
  return endpoints.empty() ? Failure::Resolve : Failure::None;
}

}  // namespace talvo::upstream
