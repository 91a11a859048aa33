#include "tests/e2e/e2e_fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <thread>

namespace kestrano::testing {
namespace {

std::string demoScene() {
  return std::string(KESTRANO_SOURCE_DIR) + "/scripts/demo-scene.sh";
}

}  // namespace

void EndToEnd::startDesktop(const PrivateDesktop::Options& options, bool scene) {
  desktop_ = std::make_unique<PrivateDesktop>(options);
  if (scene) {
    std::string cmd = desktop_->environmentAssignments() + demoScene() + " start " +
                      desktop_->directory() + " " + options.size;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    sceneRunning_ = true;
  }
}

void EndToEnd::TearDown() {
  if (sceneRunning_) {
    std::system((demoScene() + " stop " + desktop_->directory()).c_str());
  }
  desktop_.reset();
}

std::unique_ptr<RecorderProcess> EndToEnd::launch(std::vector<std::string> extraEnvironment) {
  auto env = desktop_->environment();
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  return std::make_unique<RecorderProcess>(KESTRANO_BINARY, env);
}

bool startRecording(RecorderProcess& recorder, const std::string& path) {
  recorder.send("start " + path);
  auto reply = recorder.readLine(30s);
  EXPECT_EQ(reply, "OK") << recorder.standardError();
  return reply == "OK";
}

long long stopRecording(RecorderProcess& recorder, const std::string& path) {
  recorder.send("stop");
  auto done = recorder.readLine(60s);
  EXPECT_TRUE(done.has_value()) << "no reply to stop; " << recorder.standardError();
  if (!done) {
    return -1;
  }
  long long size = -1;
  std::sscanf(done->c_str(), "DONE %lld", &size);
  EXPECT_EQ(*done, "DONE " + std::to_string(size) + " " + path);
  EXPECT_EQ(recorder.wait(30s), 0);
  std::error_code gone;
  auto onDisk = std::filesystem::file_size(path, gone);
  EXPECT_EQ(size, gone ? 0 : static_cast<long long>(onDisk));
  if (size > 0) {
    EXPECT_EQ(decodeErrors(path), "");  // what a user's first check shows
  }
  return size;
}

long long recordFor(RecorderProcess& recorder, const std::string& path, double seconds) {
  if (!startRecording(recorder, path)) {
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return stopRecording(recorder, path);
}

void expectFinishedFile(const std::string& path, double seconds) {
  ASSERT_TRUE(std::filesystem::exists(path));
  ASSERT_EQ(probeStreams(path).size(), 3u);
  EXPECT_EQ(decodeErrors(path), "");
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  EXPECT_GT(frames.back().seconds - frames.front().seconds, seconds);
  EXPECT_GT(decodeAudio(path, 0).lengthSeconds(), seconds);
  EXPECT_GT(decodeAudio(path, 1).lengthSeconds(), seconds);
}

}  // namespace kestrano::testing
