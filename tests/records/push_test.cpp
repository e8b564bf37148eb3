// The push thread of a station that is ending, against a server that takes
// the connection and never answers: the station gives it a second and
// leaves it, and the run stays in the outbox for the next push.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "push.h"
#include "support.h"

namespace {

namespace rec = trn::records;

TEST(Pusher, PushStuckAtTheEndIsLeftBehind) {
  WorkDir dir;
  ASSERT_TRUE(dir.ok());
  {
    auto store = rec::open_store("s.db", rec::OpenMode::Create);
    rec::Run run;
    run.id = rec::new_run_id();
    run.dut = "SN-1";
    run.station = "s";
    run.started = run.ended = rec::utc_now();
    run.outcome = rec::kPass;
    store->begin(run);
    store->finish(run);
  }
  // A listening socket that never accepts: the kernel completes the
  // connection, and the server's answer never comes.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a));
  ASSERT_EQ(0, listen(listener, 4));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len));
  const std::string url =
      "postgresql://trn@127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/line";

  const auto start = std::chrono::steady_clock::now();
  {
    rec::Pusher pusher("s.db", url, {60, 0, 0, nullptr});  // a minute to connect
    pusher.kick();
    EXPECT_FALSE(pusher.finish(std::chrono::seconds(1)));
  }
  // A bound against a hang only: the thread was not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(1, rec::open_store("s.db", rec::OpenMode::Existing)->unpushed_count());
  close(listener);
}

}  // namespace
