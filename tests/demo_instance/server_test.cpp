// Stopping the server: it ends the connections it holds, however stalled, and nothing else. What
// the instance answers is exercised by every client test that talks to it.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "http_helpers.h"

namespace trayline::demo {
namespace {

TEST(ServerStop, EndsItsOwnStalledConnectionsAndNoOtherSocket) {
    DemoInstance instance;
    instance.start();
    // Another server of this process on the same port number, over IPv6: its connections are not
    // the instance's, so stopping must leave them open.
    const int otherListener = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(static_cast<std::uint16_t>(instance.port()));
    at.sin6_addr = in6addr_loopback;
    const bool v6 = ::bind(otherListener, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
                    ::listen(otherListener, 1) == 0;
    const int otherClient = v6 ? ::socket(AF_INET6, SOCK_STREAM, 0) : -1;
    const int otherServed = v6 && ::connect(otherClient, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0
                                ? ::accept(otherListener, nullptr, nullptr)
                                : -1;
    // A client that sent half a request: its worker waits on the read time-out unless stop ends it.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(instance.port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(stalled, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
    httplib::Client idle(instance.baseUrl());
    idle.set_keep_alive(true);
    ASSERT_EQ(idle.Get("/")->status, 200);

    auto stopping = std::async(std::launch::async, [&] { instance.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds{20}), std::future_status::ready) << "stop hangs";
    instance.stop();  // idempotent
    char byte = 0;
    EXPECT_LE(::recv(stalled, &byte, 1, 0), 0);  // ended by the instance (an orderly end or a reset)
    if (otherServed >= 0) {
        EXPECT_EQ(::send(otherClient, "x", 1, MSG_NOSIGNAL), 1);
        EXPECT_EQ(::recv(otherServed, &byte, 1, 0), 1) << "the instance ended a connection not its own";
    }
    for (const int fd : {stalled, otherClient, otherServed, otherListener})
        if (fd >= 0) ::close(fd);
}

}  // namespace
}  // namespace trayline::demo
