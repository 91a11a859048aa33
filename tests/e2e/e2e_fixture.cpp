#include "tests/e2e/e2e_fixture.h"

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace kestrano::testing {
namespace {

std::string sourceScript(const std::string& name) {
  return std::string(KESTRANO_SOURCE_DIR) + "/scripts/" + name;
}

std::string runCapturing(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return "cannot run " + command;
  }
  std::array<char, 4096> chunk{};
  size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
    out.append(chunk.data(), n);
  }
  pclose(pipe);
  return out;
}

}  // namespace

void EndToEnd::startDesktop(const PrivateDesktop::Options& options, bool scene) {
  desktop_ = std::make_unique<PrivateDesktop>(options);
  if (scene) {
    std::string cmd = desktop_->environmentAssignments() + sourceScript("demo-scene.sh") +
                      " start " + desktop_->directory() + " " + options.size;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    sceneRunning_ = true;
  }
}

void EndToEnd::TearDown() {
  if (sceneRunning_) {
    std::string cmd = sourceScript("demo-scene.sh") + " stop " + desktop_->directory();
    std::system(cmd.c_str());
  }
  desktop_.reset();
  if (!scratchDir_.empty()) {
    std::filesystem::remove_all(scratchDir_);
  }
}

std::vector<std::string> EndToEnd::desktopEnvironment() const {
  std::vector<std::string> env;
  if (!desktop_->display().empty()) {
    env.push_back("DISPLAY=" + desktop_->display());
  }
  if (!desktop_->pulseServer().empty()) {
    env.push_back("PULSE_SERVER=" + desktop_->pulseServer());
    env.push_back("PULSE_CLIENTCONFIG=" + desktop_->directory() + "/client.conf");
  }
  return env;
}

std::unique_ptr<RecorderProcess> EndToEnd::launch(std::vector<std::string> extraEnvironment) {
  auto env = desktopEnvironment();
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  return std::make_unique<RecorderProcess>(KESTRANO_BINARY, env);
}

std::string EndToEnd::scratch(const std::string& name) {
  if (scratchDir_.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kestrano-e2e.XXXXXX").string();
    scratchDir_ = mkdtemp(tmpl.data());
  }
  return scratchDir_ + "/" + name;
}

long long EndToEnd::recordFor(RecorderProcess& recorder, const std::string& path, double seconds) {
  recorder.send("start " + path);
  auto reply = recorder.readLine(30s);
  EXPECT_EQ(reply, "OK") << recorder.standardError();
  if (reply != "OK") {
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  recorder.send("stop");
  auto done = recorder.readLine(60s);
  EXPECT_TRUE(done.has_value()) << recorder.standardError();
  if (!done) {
    return -1;
  }
  std::string prefix = "DONE ";
  EXPECT_EQ(done->rfind(prefix, 0), 0u) << *done;
  auto blank = done->find(' ', prefix.size());
  EXPECT_NE(blank, std::string::npos) << *done;
  if (done->rfind(prefix, 0) != 0 || blank == std::string::npos) {
    return -1;
  }
  EXPECT_EQ(done->substr(blank + 1), path);
  return std::stoll(done->substr(prefix.size(), blank - prefix.size()));
}

std::string decodeErrors(const std::string& path) {
  // Frames keep their own times on the way out: otherwise frames closer than
  // the guessed frame rate (a loaded machine captures unevenly) draw dts
  // complaints from the null muxer, which say nothing about the file.
  return runCapturing("ffmpeg -nostdin -v error -i '" + path +
                      "' -fps_mode passthrough -enc_time_base -1 -f null - 2>&1");
}

}  // namespace kestrano::testing
