#include <filesystem>

#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

TEST_F(EndToEnd, AnUnreachableXServerGivesOneErrorLine) {
  PrivateDesktop::Options options;
  options.x = false;
  startDesktop(options, /*scene=*/false);
  // Display 250 is served by nobody.
  auto recorder = launch({"DISPLAY=:250"});
  recorder->send("start " + scratch("nox.mp4"));
  recorder->send("stop");  // never read: a failed start ends the process
  auto reply = recorder->readLine(30s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->rfind("ERR ", 0), 0u) << *reply;
  EXPECT_NE(reply->find(":250"), std::string::npos) << *reply;
  EXPECT_EQ(recorder->wait(30s), 0);
  EXPECT_EQ(recorder->readRest(1s), "");
}

TEST_F(EndToEnd, AnUnwritablePathGivesTheWritersDescription) {
  startDesktop({}, /*scene=*/false);
  auto recorder = launch();
  std::string path = scratch("missing-folder") + "/x.mp4";
  recorder->send("start " + path);
  auto reply = recorder->readLine(30s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->rfind("ERR ", 0), 0u) << *reply;
  EXPECT_NE(reply->find(path), std::string::npos) << *reply;
  EXPECT_EQ(recorder->wait(30s), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace kestrano::testing
