#include "platform/linux/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/unique_fd.h"

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

  EXPECT_TRUE(files_.removeItemAtUrl((dir_ / "missing").string()).has_value());

  // A NUL would cut the path short: "a\0x" must not remove "a".
  std::ofstream(dir_ / "a") << "keep";
  EXPECT_TRUE(files_.removeItemAtUrl((dir_ / "a").string() + std::string(1, '\0') + "x"));
  EXPECT_TRUE(fs::exists(dir_ / "a"));
}

// Everything but a file or a link is refused and stays. The device is made
// here (as /dev/null is) so nothing outside the test's folder is at stake.
TEST_F(PosixFileSystemTest, RefusesToRemoveAnythingButAFileOrALink) {
  fs::create_directories(dir_ / "folder" / "inner");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir_ / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const bool device = mknod((dir_ / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;

  for (const char* name : {"folder", "fifo", "socket", "null"}) {
    SCOPED_TRACE(name);
    if (std::string(name) == "null" && !device) {
      continue;  // making a device needs privileges this run does not have
    }
    const std::string path = (dir_ / name).string();
    auto error = files_.removeItemAtUrl(path);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(isNotRegularFileError(*error));
    EXPECT_EQ(error->description, path + " is not a regular file");
    EXPECT_TRUE(fs::exists(fs::symlink_status(path)));
  }
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
