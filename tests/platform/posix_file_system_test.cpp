#include "platform/linux/posix_file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kestrano {
namespace {

namespace fs = std::filesystem;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  const fs::path dir_ = fs::temp_directory_path() / ("kestrano-fs-" + std::to_string(getpid()));
  PosixFileSystem files_;
};

TEST_F(PosixFileSystemTest, RemovesFilesAndLinksButNeverADirectory) {
  auto file = dir_ / "a.mp4", target = dir_ / "target", link = dir_ / "link";
  std::ofstream(file) << "x";
  EXPECT_FALSE(files_.removeItemAtUrl(file.string()).has_value());
  EXPECT_FALSE(fs::exists(file));

  std::ofstream(target) << "keep";
  fs::create_symlink(target, link);
  EXPECT_FALSE(files_.removeItemAtUrl(link.string()).has_value());
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_TRUE(fs::exists(target));  // the link goes, not what it points at

  fs::create_directories(dir_ / "folder" / "inner");
  auto err = files_.removeItemAtUrl((dir_ / "folder").string());
  ASSERT_TRUE(err.has_value());
  EXPECT_NE(err->description.find("folder"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "folder" / "inner"));

  EXPECT_TRUE(files_.removeItemAtUrl((dir_ / "missing").string()).has_value());

  // A NUL would cut the path short: "a\0x" must not remove "a".
  std::ofstream(dir_ / "a") << "keep";
  EXPECT_TRUE(files_.removeItemAtUrl((dir_ / "a").string() + std::string(1, '\0') + "x"));
  EXPECT_TRUE(fs::exists(dir_ / "a"));
}

TEST_F(PosixFileSystemTest, ReportsSizeOrAnErrorAndResolvesRelativePaths) {
  std::ofstream(dir_ / "sized") << "12345";
  std::optional<Error> error;
  auto attributes = files_.attributesOfItemAtPath((dir_ / "sized").string(), error);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(readInt64(attributes->at(kFileSizeKey)), 5);
  EXPECT_FALSE(files_.attributesOfItemAtPath((dir_ / "missing").string(), error).has_value());
  EXPECT_TRUE(error.has_value());

  EXPECT_EQ(files_.fileUrlWithPath(" "), (fs::current_path() / " ").string());
  EXPECT_EQ(files_.fileUrlWithPath("/abs/x.mp4"), "/abs/x.mp4");
}

}  // namespace
}  // namespace kestrano
