// The test-side dependencies under Wine: GoogleTest and gmock run, cpp-httplib serves and
// fetches over loopback, CLI11 parses a command line.
#include <CLI/CLI.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

TEST(WindowsSmoke, HttplibServesOverLoopback) {
  httplib::Server server;
  server.Get("/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("hello from httplib", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&server] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  httplib::Client client("127.0.0.1", port);
  auto answer = client.Get("/hello");
  server.stop();
  serving.join();
  ASSERT_TRUE(answer) << httplib::to_string(answer.error());
  EXPECT_EQ(answer->status, 200);
  EXPECT_THAT(answer->body, ::testing::HasSubstr("httplib"));
}

TEST(WindowsSmoke, Cli11Parses) {
  CLI::App app{"smoke"};
  int parts = 0;
  app.add_option("--parts", parts);
  const char* argv[] = {"smoke", "--parts", "4"};
  app.parse(3, argv);
  EXPECT_EQ(parts, 4);
}
