#include "frontend/imagefile.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "bootlink/bootlink.h"
#include "failreport/failreport.h"

namespace frontend {

using failreport::EInOutError;
using failreport::RaiseInOutError;
using failreport::WriteLine;

namespace {

void PrintListing(uint32_t Count) {
  char line[32];
  for (uint32_t i = 0; i < Count; ++i) {
    std::snprintf(line, sizeof line, "%u %05X", i, bootlink::Buffer[i]);
    WriteLine(line);
  }
}

// Longs in a file of Size bytes; one to three trailing bytes do not count.
// The count is announced before anything is read, and an image the buffer
// cannot hold is refused there: nothing is written past the buffer's end.
uint64_t AnnounceSize(uint64_t Size) {
  const uint64_t n = Size / 4;
  WriteLine("File size : " + std::to_string(n));
  return n;
}

constexpr const char* TooLarge = "Image file too large";

#ifndef _WIN32
// The folder part of Path ("." when it has none).
std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

// open(2) says only ENOENT both for a missing file and for a missing
// folder; the user is told which one it was.
[[noreturn]] void RaiseOpenError(const std::string& Path, int Code) {
  struct stat folder;
  if (Code == ENOENT && (stat(FolderOf(Path).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)))
    throw EInOutError("Invalid filename");
  RaiseInOutError(Code);
}
#endif

}  // namespace

#ifdef _WIN32

// The image is opened for reading only and without sharing: no other program
// may change it while it is read.
void LoadImageFile(const std::string& FileName) {
  const HANDLE file = CreateFileA(FileName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) RaiseInOutError(static_cast<int>(GetLastError()));
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    const DWORD code = GetLastError();
    CloseHandle(file);
    RaiseInOutError(static_cast<int>(code));
  }
  const uint64_t n = AnnounceSize(static_cast<uint64_t>(size.QuadPart));
  if (n > static_cast<uint64_t>(bootlink::BufferLongs)) {
    CloseHandle(file);
    throw EInOutError(TooLarge);
  }
  DWORD got = 0;
  if (!ReadFile(file, bootlink::Buffer.data(), static_cast<DWORD>(n * 4), &got, nullptr)) {
    const DWORD code = GetLastError();
    CloseHandle(file);
    RaiseInOutError(static_cast<int>(code));
  }
  WriteLine("file read" + std::to_string(got / 4));
  if (!CloseHandle(file)) RaiseInOutError(static_cast<int>(GetLastError()));
  bootlink::LongCount = static_cast<int32_t>(n);
  PrintListing(static_cast<uint32_t>(n));
}

#else

// The image is opened for reading only: a file the user may read but not
// write loads normally. O_NONBLOCK keeps the open of a named pipe from
// waiting for a writer; only a regular file has a size to go by, so
// anything else (a pipe, a device) is refused before it is read.
void LoadImageFile(const std::string& FileName) {
  const int fd = open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) RaiseOpenError(FileName, errno);
  struct stat info;
  if (fstat(fd, &info) == -1) {
    const int code = errno;
    close(fd);
    RaiseInOutError(code);
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    RaiseInOutError(EISDIR);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    throw EInOutError("Not a regular file");
  }
  const uint64_t n = AnnounceSize(static_cast<uint64_t>(info.st_size));
  if (n > static_cast<uint64_t>(bootlink::BufferLongs)) {
    close(fd);
    throw EInOutError(TooLarge);
  }
  // One block read straight into the buffer; read(2) may hand a block over
  // in pieces, so it is continued until the block is complete or the file
  // ends. A file that ends early is no failure: r tells how much came.
  auto* target = reinterpret_cast<char*>(bootlink::Buffer.data());
  const size_t wanted = static_cast<size_t>(n) * 4;
  size_t got = 0;
  while (got < wanted) {
    const ssize_t part = read(fd, target + got, wanted - got);
    if (part == 0) break;
    if (part < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      close(fd);
      RaiseInOutError(code);
    }
    got += static_cast<size_t>(part);
  }
  WriteLine("file read" + std::to_string(got / 4));
  if (close(fd) == -1) RaiseInOutError(errno);
  bootlink::LongCount = static_cast<int32_t>(n);
  PrintListing(static_cast<uint32_t>(n));
}

#endif

}  // namespace frontend
