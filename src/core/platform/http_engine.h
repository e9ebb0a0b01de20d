#pragma once

// The process's one HTTP engine: a curl multi handle driven by one I/O thread. Every request of
// the process runs inside that thread, concurrently with the others, so idle connections are
// reused whichever thread asked, HTTP/2 streams share a connection, and no curl handle is ever
// touched by two threads at once. The thread starts with the first request and ends after a
// while without any; while it waits for nothing it does not wake up.

#include <chrono>
#include <future>

#include "core/platform/http.h"
#include "core/platform/http_transfer.h"

namespace trayline::http::detail {

// Hands the request to the engine and returns at once. The future holds the reply, or the
// exception send() would throw. `sink`, when given, receives the body on the I/O thread and must
// stay usable until the future is ready.
std::future<Response> submit(Request request, Sink sink = {});

// How long the I/O thread stays after its last request.
inline constexpr std::chrono::seconds kEngineLinger{30};

}  // namespace trayline::http::detail
