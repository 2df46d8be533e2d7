// The systemd notification protocol against a small fake notify socket: an abstract AF_UNIX
// datagram socket of the test's own, as systemd binds one for a Type=notify unit.

#include <poll.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "battery_host/app/service_notify.h"
#include "tests/battery_host/notify_socket.h"

namespace {

using app::Notifier;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(ServiceNotify, ReadyOnceAndPingsOnlyOnceReadyWithAWatchdog) {
  notify_test::NotifySocket sock;
  app::Notifier n(sock.name(), microseconds(10000000));
  n.Ping();  // before ready: nothing
  n.Ready("polling 1 line(s)");
  n.Ready("again");  // said once
  n.Ping();
  n.Stopping();
  EXPECT_EQ(sock.Receive(), "READY=1\nSTATUS=polling 1 line(s)");
  EXPECT_EQ(sock.Receive(), "WATCHDOG=1");
  EXPECT_EQ(sock.Receive(), "STOPPING=1");
  EXPECT_EQ(sock.Receive(milliseconds(0)), "");

  app::Notifier no_watchdog(sock.name(), microseconds(0));
  no_watchdog.Ready("x");
  no_watchdog.Ping();
  EXPECT_EQ(sock.Receive(), "READY=1\nSTATUS=x");
  EXPECT_EQ(sock.Receive(milliseconds(0)), "");
  // Not a socket path: nothing is sent anywhere, and there is no watchdog to serve.
  for (const char* bad : {"", "relative/path", "@"}) {
    app::Notifier n2(bad, microseconds(10000000));
    EXPECT_EQ(n2.watchdog().count(), 0) << bad;
  }
}

// The loop's timer: due at half the interval; a ping goes out only when the loop serves it.
TEST(ServiceNotify, WatchdogTimerPingsOnlyWhenTheLoopServesIt) {
  notify_test::NotifySocket sock;
  app::Notifier n(sock.name(), microseconds(100000));
  n.Ready("x");
  ASSERT_EQ(sock.Receive(), "READY=1\nSTATUS=x");
  app::WatchdogPing timer(n);
  pollfd p = timer.Wanted();
  ASSERT_GE(p.fd, 0);
  ASSERT_EQ(poll(&p, 1, 2000), 1);  // due after 50 ms
  EXPECT_EQ(sock.Receive(milliseconds(200)), "") << "a ping that no turn of the loop sent";
  timer.OnReady();
  EXPECT_EQ(sock.Receive(), "WATCHDOG=1");

  app::Notifier none(sock.name(), microseconds(0));
  EXPECT_EQ(app::WatchdogPing(none).Wanted().fd, -1);
}

}  // namespace
