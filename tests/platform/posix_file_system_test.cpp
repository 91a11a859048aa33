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
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kestrano-fs-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  PosixFileSystem files_;
};

TEST_F(PosixFileSystemTest, RemovesFilesAndLinksButNeverADirectory) {
  auto file = dir_ / "a.mp4";
  std::ofstream(file) << "x";
  EXPECT_FALSE(files_.removeItemAtUrl(file.string()).has_value());
  EXPECT_FALSE(fs::exists(file));

  auto target = dir_ / "target";
  std::ofstream(target) << "keep";
  auto link = dir_ / "link";
  fs::create_symlink(target, link);
  EXPECT_FALSE(files_.removeItemAtUrl(link.string()).has_value());
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_TRUE(fs::exists(target));  // the link goes, not what it points at

  auto folder = dir_ / "folder";
  fs::create_directories(folder / "inner");
  auto err = files_.removeItemAtUrl(folder.string());
  ASSERT_TRUE(err.has_value());
  EXPECT_NE(err->description.find("folder"), std::string::npos);
  EXPECT_TRUE(fs::exists(folder / "inner"));

  EXPECT_TRUE(files_.removeItemAtUrl((dir_ / "missing").string()).has_value());

  // A NUL would cut the path short: "a\0x" must not remove "a".
  auto victim = dir_ / "a";
  std::ofstream(victim) << "keep";
  EXPECT_TRUE(files_.removeItemAtUrl(victim.string() + std::string(1, '\0') + "x").has_value());
  EXPECT_TRUE(fs::exists(victim));
}

TEST_F(PosixFileSystemTest, ReportsSizeOrAnError) {
  auto file = dir_ / "sized";
  std::ofstream(file) << "12345";
  std::optional<Error> error;
  auto attributes = files_.attributesOfItemAtPath(file.string(), error);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(readInt64(attributes->at(kFileSizeKey)), 5);

  attributes = files_.attributesOfItemAtPath((dir_ / "missing").string(), error);
  EXPECT_FALSE(attributes.has_value());
  ASSERT_TRUE(error.has_value());
}

TEST_F(PosixFileSystemTest, RelativePathsAreTakenFromTheWorkingDirectory) {
  EXPECT_EQ(files_.fileUrlWithPath(" "), (fs::current_path() / " ").string());
  EXPECT_EQ(files_.fileUrlWithPath("/abs/x.mp4"), "/abs/x.mp4");
}

}  // namespace
}  // namespace kestrano
