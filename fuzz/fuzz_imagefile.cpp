// Fuzz target: the image loader.
//
// The first input byte picks the file's size, the rest is its content:
//   - size byte even: the file is exactly the remaining bytes;
//   - size byte odd: the content is repeated or cut (and, past the end of
//     the data, the file is extended with zeros) to one of the sizes that
//     matter around the buffer's limit of 8,193 longs, or to a size far
//     beyond it.
// The file lives in a memory file and is loaded through its /proc path, as
// any other file would be.
//
// Whatever the file, the loader must either
//   - load it: LongCount is the size in whole longs, at most 8,193; the
//     buffer holds exactly the file's longs and nothing past them changed;
//     it printed the two file lines and one line per long; or
//   - refuse it with EInOutError "Image file too large" when it holds more
//     than 8,193 longs, before anything of it lands in the buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"
#include "frontend/imagefile.h"

namespace {

constexpr uint32_t Untouched = 0xA5C3E1F0u;
constexpr int32_t CountBefore = -12345;

// Sizes in bytes that sit on and around the buffer's limit (32,772 bytes),
// around its whole-long steps, and far beyond it (a sparse file of 8 GiB,
// whose long count does not fit 32 bits... nor 16).
constexpr uint64_t InterestingSizes[] = {
    0,     1,     3,     4,     5,     7,     8,     32764, 32767, 32768, 32769, 32771,
    32772, 32773, 32775, 32776, 32777, 32780, 65536, 65540, 262144, 1ull << 20, (1ull << 32) + 4,
    (1ull << 33) + 3};

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "fuzz_imagefile: %s\n", What);
  std::abort();
}

void Check(bool Ok, const char* What) {
  if (!Ok) Fail(What);
}

int MemoryFile() {
  static const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd == -1) Fail("memfd_create failed");
  return fd;
}

void WriteAllAt(int Fd, const uint8_t* Bytes, size_t Size, off_t At) {
  while (Size > 0) {
    const ssize_t n = pwrite(Fd, Bytes, Size, At);
    if (n <= 0) Fail("cannot write the memory file");
    Bytes += n;
    Size -= static_cast<size_t>(n);
    At += n;
  }
}

// Builds the file; returns its size. Content holds the file's first bytes
// (at most what the buffer could take, plus a little), the rest is zeros.
uint64_t MakeFile(int Fd, const uint8_t* Data, size_t Size, std::vector<uint8_t>& Content) {
  if (ftruncate(Fd, 0) != 0) Fail("ftruncate failed");
  const uint8_t pick = Size > 0 ? Data[0] : 0;
  const uint8_t* body = Size > 0 ? Data + 1 : Data;
  const size_t bodySize = Size > 0 ? Size - 1 : 0;
  uint64_t fileSize = bodySize;
  Content.assign(body, body + bodySize);
  if (pick & 1) {
    fileSize = InterestingSizes[(pick >> 1) % std::size(InterestingSizes)];
    // Repeat the content up to the limit's neighbourhood; beyond that, zeros.
    const size_t filled = static_cast<size_t>(std::min<uint64_t>(fileSize, 40000));
    std::vector<uint8_t> repeated(filled, 0);
    for (size_t i = 0; bodySize > 0 && i < filled; ++i) repeated[i] = body[i % bodySize];
    Content = std::move(repeated);
  }
  WriteAllAt(Fd, Content.data(), Content.size(), 0);
  if (ftruncate(Fd, static_cast<off_t>(fileSize)) != 0) Fail("ftruncate failed");
  return fileSize;
}

uint32_t LongAt(const std::vector<uint8_t>& Content, size_t Index) {
  uint32_t value = 0;
  for (size_t b = 0; b < 4; ++b) {
    const size_t at = Index * 4 + b;
    const uint32_t byte = at < Content.size() ? Content[at] : 0;
    value |= byte << (8 * b);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  failreport::OutputFd = sink;
  const int fd = MemoryFile();
  std::vector<uint8_t> content;
  const uint64_t fileSize = MakeFile(fd, Data, Size, content);
  const uint64_t longs = fileSize / 4;

  bootlink::Buffer.fill(Untouched);
  bootlink::LongCount = CountBefore;
  const uint64_t linesBefore = failreport::LinesWritten;
  bool refused = false;
  try {
    frontend::LoadImageFile("/proc/self/fd/" + std::to_string(fd));
    failreport::FlushOutput();
  } catch (const failreport::EInOutError& e) {
    refused = true;
    Check(std::strcmp(e.what(), "Image file too large") == 0, "an image was refused for a reason other than its size");
  }

  if (longs > static_cast<uint64_t>(bootlink::BufferLongs)) {
    Check(refused, "an image larger than the buffer was loaded");
    Check(bootlink::LongCount == CountBefore, "LongCount changed by a refused image");
    for (uint32_t word : bootlink::Buffer) Check(word == Untouched, "a refused image changed the buffer");
    return 0;
  }
  Check(!refused, "an image that fits was refused");
  Check(bootlink::LongCount == static_cast<int32_t>(longs), "LongCount is not the size in whole longs");
  for (size_t i = 0; i < static_cast<size_t>(bootlink::BufferLongs); ++i) {
    const uint32_t want = i < longs ? LongAt(content, i) : Untouched;
    Check(bootlink::Buffer[i] == want, i < longs ? "a long differs from the file" : "a long past the image changed");
  }
  Check(failreport::LinesWritten - linesBefore == longs + 2, "not two file lines and one line per long");
  return 0;
}
