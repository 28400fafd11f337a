// A /sys/class/gpio of the test's own, served through FUSE, that behaves like
// the kernel's where chipfeed can tell: a number written to export makes the
// folder gpioN with its direction and value files at once (before the write
// returns), a second export of that pin fails with EBUSY, a pin that does not
// exist or a text that is not a number fails with EINVAL, and unexport removes
// the folder. Every write is logged with its CLOCK_MONOTONIC time.
//
//   fakesysfs MOUNTPOINT LOG PIN[+]...   (PIN+: a pin exported from the start)
//
// Single-threaded, in the foreground, until SIGTERM (which unmounts).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>

namespace {

struct Pin {
  std::string Direction = "in";
  std::string Value = "0";
};

std::set<long> Existing;
std::map<long, Pin> Exported;
FILE* Log = nullptr;

void Note(const std::string& File, const char* Data, size_t Size, int Result) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::string text;
  for (size_t i = 0; i < Size; ++i) {
    const unsigned char c = static_cast<unsigned char>(Data[i]);
    if (c == '\n') text += "\\n";
    else if (c < 32 || c > 126 || c == ' ' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    } else text += static_cast<char>(c);
  }
  std::fprintf(Log, "%lld %s %s %d\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, File.c_str(),
               text.empty() ? "-" : text.c_str(), Result);
  std::fflush(Log);
}

// A path of the file system: what it names, and the pin for a pin's file.
enum class Node { None, Root, Export, Unexport, PinDir, Direction, Value };

Node Resolve(const char* Path, long& Number) {
  const std::string p = Path;
  if (p == "/") return Node::Root;
  if (p == "/export") return Node::Export;
  if (p == "/unexport") return Node::Unexport;
  if (p.rfind("/gpio", 0) != 0) return Node::None;
  const size_t slash = p.find('/', 5);
  const std::string digits = p.substr(5, slash == std::string::npos ? std::string::npos : slash - 5);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
    return Node::None;
  Number = std::atol(digits.c_str());
  if (!Exported.count(Number)) return Node::None;
  if (slash == std::string::npos) return Node::PinDir;
  const std::string rest = p.substr(slash);
  if (rest == "/direction") return Node::Direction;
  if (rest == "/value") return Node::Value;
  return Node::None;
}

// The kernel reads a pin number as an integer with an optional line end.
bool ParseNumber(const char* Data, size_t Size, long& Number) {
  std::string text(Data, Size);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  Number = std::atol(text.c_str());
  return true;
}

// No caching in the kernel: a folder made or removed by a write is seen at once.
void* Init(fuse_conn_info*, fuse_config* Config) {
  Config->entry_timeout = 0;
  Config->negative_timeout = 0;
  Config->attr_timeout = 0;
  Config->direct_io = 1;
  return nullptr;
}

int GetAttr(const char* Path, struct stat* St, fuse_file_info*) {
  long n = -1;
  std::memset(St, 0, sizeof *St);
  switch (Resolve(Path, n)) {
    case Node::None: return -ENOENT;
    case Node::Root:
    case Node::PinDir: St->st_mode = S_IFDIR | 0755; St->st_nlink = 2; return 0;
    case Node::Export:
    case Node::Unexport: St->st_mode = S_IFREG | 0200; St->st_nlink = 1; St->st_size = 4096; return 0;
    default: St->st_mode = S_IFREG | 0644; St->st_nlink = 1; St->st_size = 4096; return 0;
  }
}

int ReadDir(const char* Path, void* Buf, fuse_fill_dir_t Fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  long n = -1;
  const Node node = Resolve(Path, n);
  if (node != Node::Root && node != Node::PinDir) return -ENOTDIR;
  Fill(Buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
  Fill(Buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
  if (node == Node::Root) {
    Fill(Buf, "export", nullptr, 0, FUSE_FILL_DIR_PLUS);
    Fill(Buf, "unexport", nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (const auto& [pin, state] : Exported) Fill(Buf, ("gpio" + std::to_string(pin)).c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
  } else {
    Fill(Buf, "direction", nullptr, 0, FUSE_FILL_DIR_PLUS);
    Fill(Buf, "value", nullptr, 0, FUSE_FILL_DIR_PLUS);
  }
  return 0;
}

int Open(const char* Path, fuse_file_info* Fi) {
  long n = -1;
  const Node node = Resolve(Path, n);
  if (node == Node::None) return -ENOENT;
  if (node == Node::Root || node == Node::PinDir) return -EISDIR;
  if ((node == Node::Export || node == Node::Unexport) && (Fi->flags & O_ACCMODE) != O_WRONLY) return -EACCES;
  Fi->direct_io = 1;  // every write reaches us, at once and whole
  return 0;
}

// sysfs has no way to make a file: an open with O_CREAT of a missing one fails.
int Create(const char*, mode_t, fuse_file_info*) { return -EACCES; }
int Truncate(const char* Path, off_t, fuse_file_info*) {
  long n = -1;
  return Resolve(Path, n) == Node::None ? -ENOENT : 0;
}

int Read(const char* Path, char* Buf, size_t Size, off_t Offset, fuse_file_info*) {
  long n = -1;
  std::string text;
  switch (Resolve(Path, n)) {
    case Node::Direction: text = Exported[n].Direction + "\n"; break;
    case Node::Value: text = Exported[n].Value + "\n"; break;
    default: return -EIO;
  }
  if (Offset >= static_cast<off_t>(text.size())) return 0;
  const size_t count = std::min(Size, text.size() - static_cast<size_t>(Offset));
  std::memcpy(Buf, text.data() + Offset, count);
  return static_cast<int>(count);
}

int Write(const char* Path, const char* Data, size_t Size, off_t, fuse_file_info*) {
  long n = -1, pin = -1;
  const Node node = Resolve(Path, n);
  int result = static_cast<int>(Size);
  std::string text(Data, Size);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  switch (node) {
    case Node::Export:
      if (!ParseNumber(Data, Size, pin) || !Existing.count(pin)) result = -EINVAL;
      else if (Exported.count(pin)) result = -EBUSY;
      else Exported[pin] = Pin{};
      break;
    case Node::Unexport:
      if (!ParseNumber(Data, Size, pin) || !Exported.count(pin)) result = -EINVAL;
      else Exported.erase(pin);
      break;
    case Node::Direction:
      if (text == "in" || text == "out") Exported[n].Direction = text;
      else if (text == "high" || text == "low") Exported[n].Direction = "out", Exported[n].Value = text == "high" ? "1" : "0";
      else result = -EINVAL;
      break;
    case Node::Value:
      if (Exported[n].Direction != "out") result = -EPERM;
      else if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) result = -EINVAL;
      else Exported[n].Value = text == "0" ? "0" : "1";
      break;
    default: result = -EIO;
  }
  Note(Path, Data, Size, result);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fakesysfs MOUNTPOINT LOG PIN[+]...\n");
    return 2;
  }
  Log = std::fopen(argv[2], "w");
  if (!Log) {
    std::perror(argv[2]);
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const long pin = std::atol(arg.c_str());
    Existing.insert(pin);
    if (arg.back() == '+') Exported[pin] = Pin{};
  }
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.create = Create;
  ops.truncate = Truncate;
  ops.read = Read;
  ops.write = Write;
  char self[] = "fakesysfs", fg[] = "-f", single[] = "-s", opt[] = "-o", opts[] = "fsname=fakesysfs,allow_other,default_permissions";
  char* args[] = {self, fg, single, opt, opts, argv[1], nullptr};
  return fuse_main(6, args, &ops, nullptr);
}
