#include "platform/linux/wayland/restore_token_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temporary_folder.h"

namespace kestrano::wayland {
namespace {

namespace fs = std::filesystem;

TEST(RestoreTokenStore, FileFollowsTheStateFolderRules) {
  const struct {
    const char* stateHome;
    const char* home;
    const char* file;
  } rows[] = {
      {"/state", "/home/u", "/state/kestrano-recorder/portal-restore-token"},
      {"relative", "/home/u", "/home/u/.local/state/kestrano-recorder/portal-restore-token"},
      {"", "/home/u", "/home/u/.local/state/kestrano-recorder/portal-restore-token"},
      {nullptr, "/home/u", "/home/u/.local/state/kestrano-recorder/portal-restore-token"},
      {nullptr, nullptr, ""},
      {nullptr, "relative", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RestoreTokenStore::defaultFile(row.stateHome, row.home), fs::path(row.file))
        << (row.stateHome ? row.stateHome : "(unset)") << " " << (row.home ? row.home : "(unset)");
  }
}

TEST(RestoreTokenStore, KeepsOnePrivateFileReplacedWhole) {
  testing::TemporaryFolder tmp;
  const RestoreTokenStore store(fs::path(tmp.dir()) / "state" / "kestrano-recorder" / "token");
  ASSERT_EQ(store.load(), "");
  ASSERT_FALSE(store.save("first-token"));
  ASSERT_FALSE(store.save("0b5e3a52-7c1d-4e8f-9a2b-3c4d5e6f7a8b"));
  EXPECT_EQ(store.load(), "0b5e3a52-7c1d-4e8f-9a2b-3c4d5e6f7a8b");
  struct stat file {
  }, folder{};
  ASSERT_EQ(::stat(store.file().c_str(), &file), 0);
  ASSERT_EQ(::stat(store.file().parent_path().c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  // No temporary file left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(store.file().parent_path()), {}), 1);
  ASSERT_FALSE(store.save(""));
  EXPECT_FALSE(fs::exists(store.file()));
}

TEST(RestoreTokenStore, WhatCannotBeATokenIsNoToken) {
  testing::TemporaryFolder tmp;
  const struct {
    const char* name;
    std::string content;  // empty: a folder stands at the path
  } rows[] = {
      {"folder", ""},
      {"control characters", "abc\x01\n"},
      {"two lines", "abc\ndef\n"},
      {"not ASCII", "t\xc3\xa9\n"},
      {"overlong", std::string(600, 'a')},
  };
  for (const auto& row : rows) {
    const auto path = fs::path(tmp.path(row.name));
    if (row.content.empty()) {
      fs::create_directory(path);
    } else {
      std::ofstream(path) << row.content;
    }
    EXPECT_EQ(RestoreTokenStore(path).load(), "") << row.name;
  }
}

}  // namespace
}  // namespace kestrano::wayland
