// What the program tells the service manager, received as the service manager would.
#ifndef EPDSHOW_NOTIFY_SOCKET_H
#define EPDSHOW_NOTIFY_SOCKET_H

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testing_support {

// A datagram socket whose path goes to the program in NOTIFY_SOCKET. It holds only a few
// messages: a show that sends many (watchdog pings under the virtual clock) waits until receive
// is called, so call it while the program runs (from run_program's watch).
class notify_socket {
  public:
    explicit notify_socket(const std::string &path) : path(path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    ~notify_socket() { close(fd); }
    notify_socket(const notify_socket &) = delete;
    notify_socket &operator=(const notify_socket &) = delete;

    // The messages received so far, one line per field.
    const lines &received() {
        char message[4096];
        for (ssize_t n; (n = recv(fd, message, sizeof message, 0)) > 0;) {
            for (const std::string &line : split_lines(std::string(message, size_t(n)))) {
                all.push_back(line);
            }
        }
        return all;
    }

    const std::string path;

  private:
    int fd = -1;
    lines all;
};

} // namespace testing_support

#endif
