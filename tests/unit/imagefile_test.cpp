// The image loader: the file lines, the listing, and every way a file can
// fail to load.
#include "frontend/imagefile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/unit/enginetest.h"

namespace {

using bootlink::Buffer;
using bootlink::BufferLongs;
using bootlink::LongCount;
using enginetest::Lines;

constexpr uint32_t Sentinel = 0xDEADBEEF;

class ImageFileTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    char pattern[] = "/tmp/chipfeed-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    // Others may pass through: an unprivileged child must reach the files.
    chmod(Dir.c_str(), 0755);
    Buffer.fill(Sentinel);
    LongCount = -1;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
    EngineTest::TearDown();
  }

  std::string Make(const std::string& Name, const std::vector<uint8_t>& Bytes, mode_t Mode = 0644) {
    const std::string path = Dir + "/" + Name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(Bytes.data()),
                                                static_cast<std::streamsize>(Bytes.size()));
    chmod(path.c_str(), Mode);
    return path;
  }

  // An image of N longs whose long i is i * 0x01010101 + 1.
  std::string MakeLongs(const std::string& Name, size_t N) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < N; ++i) {
      const uint32_t v = static_cast<uint32_t>(i) * 0x01010101u + 1;
      for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
    return Make(Name, bytes);
  }

  // Loads Path and returns the message of the EInOutError it raised ("" when none).
  std::string LoadFailure(const std::string& Path) {
    try {
      frontend::LoadImageFile(Path);
    } catch (const failreport::EInOutError& e) {
      return e.what();
    }
    return "";
  }

  // Runs Body in a child process without root's override of file
  // permissions, and returns its exit status (or -1).
  template <typename F>
  int InChildWithoutPrivilege(F Body) {
    failreport::FlushOutput();
    const pid_t pid = fork();
    if (pid == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
      _exit(Body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Dir;
};

TEST_F(ImageFileTest, ListsEveryLongInUpperCaseHexOfAtLeastFiveDigits) {
  const auto path = Make("three.bin", {0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0});
  frontend::LoadImageFile(path);
  EXPECT_EQ(Output(), Lines({"File size : 3", "file read3", "0 00001", "1 FFFFFFFF", "2 000FF"}));
  EXPECT_EQ(LongCount, 3);
  EXPECT_EQ(Buffer[0], 1u);
  EXPECT_EQ(Buffer[1], 0xFFFFFFFFu);
  EXPECT_EQ(Buffer[2], 0xFFu);
  EXPECT_EQ(Buffer[3], Sentinel);
}

TEST_F(ImageFileTest, ListingWidthGrowsWithTheValue) {
  const auto path = Make("widths.bin", {0, 0, 0, 0, 0xCD, 0xAB, 0x0F, 0, 0x78, 0x56, 0x34, 0x12, 0xAB, 0x89, 0x67, 0});
  frontend::LoadImageFile(path);
  EXPECT_EQ(Output(), Lines({"File size : 4", "file read4", "0 00000", "1 FABCD", "2 12345678", "3 6789AB"}));
}

TEST_F(ImageFileTest, TrailingBytesAreIgnored) {
  const auto path = Make("ten.bin", {1, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB});
  frontend::LoadImageFile(path);
  EXPECT_EQ(Output(), Lines({"File size : 2", "file read2", "0 00001", "1 00002"}));
  EXPECT_EQ(LongCount, 2);
  EXPECT_EQ(Buffer[2], Sentinel);
}

TEST_F(ImageFileTest, EmptyAndTinyFilesLoadNoLongs) {
  for (const auto& bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 2, 3}}) {
    const size_t start = Output().size();
    LongCount = -1;
    frontend::LoadImageFile(Make("small.bin", bytes));
    EXPECT_EQ(Output().substr(start), Lines({"File size : 0", "file read0"}));
    EXPECT_EQ(LongCount, 0);
    EXPECT_EQ(Buffer[0], Sentinel);
  }
}

TEST_F(ImageFileTest, AFullImageFillsIndex8192) {
  frontend::LoadImageFile(MakeLongs("full.bin", BufferLongs));
  EXPECT_EQ(LongCount, BufferLongs);
  EXPECT_EQ(Buffer[8192], 8192u * 0x01010101u + 1);
  const std::string out = Output();
  EXPECT_TRUE(out.starts_with("File size : 8193\nfile read8193\n0 00001\n1 1010102\n"));
  EXPECT_TRUE(out.ends_with("\n8191 1F1F1F00\n8192 20202001\n")) << out.substr(out.size() - 60);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + BufferLongs);
}

TEST_F(ImageFileTest, AShortReadIsNoFailureAndTheSizeStillCounts) {
  // A sysfs attribute announces 4,096 bytes and holds a few.
  const std::string path = "/sys/kernel/uevent_seqnum";
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || info.st_size != 4096) GTEST_SKIP() << path << " is not at hand";
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_LT(content.size(), 4096u);
  frontend::LoadImageFile(path);
  EXPECT_EQ(LongCount, 1024);
  const auto lines = Output();
  EXPECT_TRUE(lines.starts_with("File size : 1024\nfile read" + std::to_string(content.size() / 4) + "\n")) << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2 + 1024);
  EXPECT_TRUE(lines.ends_with("\n1023 DEADBEEF\n")) << "entries beyond the read keep their values";
}

TEST_F(ImageFileTest, OneLongTooManyIsRefusedBeforeAnythingIsRead) {
  const auto path = MakeLongs("big.bin", BufferLongs + 1);
  EXPECT_EQ(LoadFailure(path), "Image file too large");
  EXPECT_EQ(Output(), Lines({"File size : 8194"}));
  EXPECT_EQ(LongCount, -1);
  for (int i = 0; i < BufferLongs; ++i) ASSERT_EQ(Buffer[i], Sentinel) << "index " << i;
}

TEST_F(ImageFileTest, FileFailuresCarryThePlatformsMessage) {
  mkdir((Dir + "/folder.bin").c_str(), 0755);
  mkfifo((Dir + "/pipe.bin").c_str(), 0644);  // no writer: opening must not wait for one
  struct Case {
    std::string Path;
    const char* Message;
  };
  for (const Case& c : {Case{Dir + "/missing.bin", "File not found"},
                        Case{Dir + "/nofolder/x.bin", "Invalid filename"},
                        Case{Dir + "/folder.bin", "Access denied"},
                        Case{Dir + "/pipe.bin", "Not a regular file"},
                        Case{"/dev/null", "Not a regular file"},
                        Case{"", "File not found"}}) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(LoadFailure(c.Path), c.Message);
  }
  // The open is the first step: nothing was printed, nothing loaded.
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(LongCount, -1);
}

TEST_F(ImageFileTest, ARelativePathIsTakenFromTheCurrentFolder) {
  MakeLongs("rel.bin", 1);
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(Dir);
  const std::string missingFolder = LoadFailure("nofolder/rel.bin");
  const std::string loaded = LoadFailure("rel.bin");
  std::filesystem::current_path(here);
  EXPECT_EQ(missingFolder, "Invalid filename");
  EXPECT_EQ(loaded, "");
  EXPECT_EQ(LongCount, 1);
}

TEST_F(ImageFileTest, PermissionsDecideWithoutNeedingWriteAccess) {
  const auto readOnly = Make("readonly.bin", {7, 0, 0, 0}, 0444);
  const auto unreadable = Make("unreadable.bin", {7, 0, 0, 0}, 0000);
  // 0: loaded; 1: "Access denied"; anything else: a wrong outcome.
  auto outcome = [this](const std::string& Path) {
    return InChildWithoutPrivilege([&] {
      const std::string message = LoadFailure(Path);
      if (message.empty()) return LongCount == 1 && Buffer[0] == 7 ? 0 : 3;
      return message == "Access denied" ? 1 : 2;
    });
  };
  EXPECT_EQ(outcome(readOnly), 0) << "a read-only image must load";
  EXPECT_EQ(outcome(unreadable), 1);
}

TEST_F(ImageFileTest, TooManyOpenFilesHasItsOwnMessage) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer runtime checks memory through a pipe of its own while the
  // failure is built; with every descriptor taken that check itself fails.
  GTEST_SKIP() << "not under the sanitizers: their runtime needs free descriptors";
#endif
  const auto path = MakeLongs("one.bin", 1);
  const int status = InChildWithoutPrivilege([&] {
    // Use up every descriptor the new limit allows.
    rlimit limit{16, 16};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 4;
    while (open("/dev/null", O_RDONLY) != -1) {
    }
    return LoadFailure(path) == "Too many open files" ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
