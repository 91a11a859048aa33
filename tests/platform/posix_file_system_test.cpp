#include "platform/linux/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temporary_folder.h"

namespace kestrano {
namespace {

namespace fs = std::filesystem;

// What starting over an existing path may remove, and what a DONE reports.
TEST(PosixFileSystem, ReplacesOnlyFilesAndLinksAndReportsSizesInBytes) {
  testing::TemporaryFolder folder;
  const fs::path dir = folder.dir();
  fs::create_directories(dir / "folder" / "inner");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::ofstream(dir / "a.mp4") << "12345";
  std::ofstream(dir / "target") << "keep";
  fs::create_symlink(dir / "target", dir / "link");
  PosixFileSystem files;

  std::optional<Error> error;
  const auto attributes = files.attributesOfItemAtPath((dir / "a.mp4").string(), error);
  EXPECT_EQ(readInt64(attributes.value().at(kFileSizeKey)), 5);
  EXPECT_FALSE(files.attributesOfItemAtPath((dir / "missing").string(), error).has_value());
  EXPECT_TRUE(error.has_value());

  EXPECT_FALSE(files.removeItemAtUrl((dir / "a.mp4").string()).has_value());
  EXPECT_FALSE(files.removeItemAtUrl((dir / "link").string()).has_value());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "a.mp4")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
  EXPECT_TRUE(fs::exists(dir / "target"));  // the link goes, not what it points at
  EXPECT_TRUE(files.removeItemAtUrl((dir / "missing").string()).has_value());
  // A NUL would cut the path short: "target\0x" must not remove "target".
  EXPECT_TRUE(files.removeItemAtUrl((dir / "target").string() + std::string(1, '\0') + "x"));
  EXPECT_TRUE(fs::exists(dir / "target"));
  for (const char* name : {"folder", "fifo"}) {
    const std::string path = (dir / name).string();
    const auto refused = files.removeItemAtUrl(path);
    ASSERT_TRUE(refused.has_value()) << name;
    EXPECT_TRUE(isNotRegularFileError(*refused));
    EXPECT_EQ(refused->description, path + " is not a regular file");
    EXPECT_TRUE(fs::exists(fs::symlink_status(path)));
  }

  EXPECT_EQ(files.fileUrlWithPath(" "), (fs::current_path() / " ").string());
  EXPECT_EQ(files.fileUrlWithPath("/abs/x.mp4"), "/abs/x.mp4");
}

}  // namespace
}  // namespace kestrano
