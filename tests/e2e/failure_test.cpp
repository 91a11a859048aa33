#include <filesystem>

#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

// "start" is answered by one "ERR" line naming `mention`, and the process
// ends cleanly without another word or a file.
void expectRefusedStart(RecorderProcess& recorder, const std::string& path,
                        const std::string& mention) {
  recorder.send("start " + path);
  recorder.send("stop");  // never read: a failed start ends the process
  auto reply = recorder.readLine(30s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->rfind("ERR ", 0), 0u) << *reply;
  EXPECT_NE(reply->find(mention), std::string::npos) << *reply;
  EXPECT_EQ(recorder.wait(30s), 0);
  EXPECT_EQ(recorder.readRest(1s), "");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(EndToEnd, AnUnreachableXServerGivesOneErrorLine) {
  PrivateDesktop::Options options;
  options.x = false;
  startDesktop(options, /*scene=*/false);
  // Display 250 is served by nobody.
  expectRefusedStart(*launch({"DISPLAY=:250"}), scratch("nox.mp4"), ":250");
}

TEST_F(EndToEnd, AnUnwritablePathGivesTheWritersDescription) {
  startDesktop({}, /*scene=*/false);
  std::string path = scratch("missing-folder") + "/x.mp4";
  expectRefusedStart(*launch(), path, path);
}

}  // namespace
}  // namespace kestrano::testing
