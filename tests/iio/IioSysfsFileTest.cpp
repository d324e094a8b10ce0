// SPDX-License-Identifier: MIT
// A sysfs attribute kept open: every read is the file's text now, and a file that was replaced
// or removed under its path is opened again, or reports why it cannot be.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../../platform/iio/IioSysfsFile.h"

namespace pemdor::iio {
namespace {

namespace fs = std::filesystem;

class IioSysfsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pemdor-sysfs-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes `text` over the file in place, as the kernel's attribute changes its value.
  static void rewrite(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
  }
  // Replaces the file by renaming a new one over it, as a test bed standing in for sysfs does.
  static void replace(const fs::path& path, const std::string& text) {
    const fs::path fresh = path.string() + ".new";
    rewrite(fresh, text);
    fs::rename(fresh, path);
  }
  static std::string read(SysfsFile& file) {
    char buffer[64];
    const ssize_t n = file.read(buffer, sizeof buffer);
    return n < 0 ? "error " + std::to_string(-n) : std::string(buffer, static_cast<std::size_t>(n));
  }

  fs::path dir_;
};

TEST_F(IioSysfsFileTest, readsTheTextOfNowThroughReplacementAndRemoval) {
  const fs::path path = dir_ / "in_accel_x_raw";
  rewrite(path, "981\n");
  SysfsFile file = SysfsFile::open(path.string());
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(read(file), "981\n");
  EXPECT_EQ(read(file), "981\n");

  // A shorter value written in place: nothing of the longer one is left.
  rewrite(path, "-7\n");
  EXPECT_EQ(read(file), "-7\n");

  replace(path, "12\n");
  EXPECT_EQ(read(file), "12\n");

  // Moved along, the object keeps reading the same path.
  SysfsFile moved = std::move(file);
  EXPECT_TRUE(file.path().empty());
  EXPECT_EQ(read(moved), "12\n");

  fs::remove(path);
  EXPECT_EQ(read(moved), "error " + std::to_string(ENOENT));
  // Back again, it is read again.
  rewrite(path, "3\n");
  EXPECT_EQ(read(moved), "3\n");

  SysfsFile missing = SysfsFile::open((dir_ / "in_magn_x_raw").string());
  EXPECT_FALSE(missing.isOpen());
  EXPECT_EQ(read(missing), "error " + std::to_string(ENOENT));
}

}  // namespace
}  // namespace pemdor::iio
