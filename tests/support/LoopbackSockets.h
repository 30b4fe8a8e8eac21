#pragma once

// Sockets on 127.0.0.1 for tests that talk to a server, or stand in for one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

// A connection to 127.0.0.1:port, or -1 when none is made.
inline int connectToLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// A server that accepts connections (the kernel does) and never answers one:
// `*fd` its socket, for the caller to close, and `*port` its port. Call under
// ASSERT_NO_FATAL_FAILURE.
inline void listenSilentlyOnLoopback(int* fd, int* port) {
    *fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(*fd, 64), 0);
    ASSERT_EQ(::getsockname(*fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    *port = ntohs(address.sin_port);
}
