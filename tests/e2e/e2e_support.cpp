#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<std::string> SplitLines(const std::string& text, bool& endsWithNewline) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      endsWithNewline = false;
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  endsWithNewline = true;
  return lines;
}

bool LineMatches(const Line& want, const std::string& got) {
  if (!want.Pattern) return want.Text == got;
  return std::regex_match(got, std::regex(want.Text));
}

std::string Hex5(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%05X", value);
  return text;
}

// ---- a small JSON reader ----

void SkipBlanks(const std::string& s, std::size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
}

[[noreturn]] void Malformed(std::size_t at) { throw std::runtime_error("malformed JSON at " + std::to_string(at)); }

void Expect(const std::string& s, std::size_t& i, char ch) {
  SkipBlanks(s, i);
  if (i >= s.size() || s[i] != ch) Malformed(i);
  ++i;
}

std::string ParseString(const std::string& s, std::size_t& i) {
  Expect(s, i, '"');
  std::string out;
  while (i < s.size() && s[i] != '"') {
    if (s[i] == '\\') {
      ++i;
      if (i >= s.size()) Malformed(i);
      if (s[i] == 'u') {
        if (i + 4 >= s.size()) Malformed(i);
        out += static_cast<char>(std::stoi(s.substr(i + 1, 4), nullptr, 16));
        i += 5;
        continue;
      }
      out += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
      ++i;
    } else {
      out += s[i++];
    }
  }
  Expect(s, i, '"');
  return out;
}

// The items of an object or array, from its opening character to `close`.
template <typename ParseItem>
void ParseList(const std::string& s, std::size_t& i, char close, ParseItem parseItem) {
  ++i;
  SkipBlanks(s, i);
  if (i < s.size() && s[i] == close) {
    ++i;
    return;
  }
  for (;;) {
    parseItem();
    SkipBlanks(s, i);
    if (i >= s.size() || s[i] != ',') break;
    ++i;
  }
  Expect(s, i, close);
}

Json ParseValue(const std::string& s, std::size_t& i) {
  SkipBlanks(s, i);
  if (i >= s.size()) Malformed(i);
  Json value;
  const char ch = s[i];
  if (ch == '{') {
    value.Type = Json::Object;
    ParseList(s, i, '}', [&] {
      const std::string name = ParseString(s, i);
      Expect(s, i, ':');
      value.Fields[name] = ParseValue(s, i);
    });
    return value;
  }
  if (ch == '[') {
    value.Type = Json::Array;
    ParseList(s, i, ']', [&] { value.Items.push_back(ParseValue(s, i)); });
    return value;
  }
  if (ch == '"') {
    value.Type = Json::String;
    value.Text = ParseString(s, i);
    return value;
  }
  for (const char* word : {"true", "false", "null"}) {
    if (s.compare(i, std::char_traits<char>::length(word), word) == 0) {
      i += std::char_traits<char>::length(word);
      value.Type = word[0] == 'n' ? Json::Null : Json::Bool;
      value.Flag = word[0] == 't';
      return value;
    }
  }
  char* end = nullptr;
  value.Value = std::strtod(s.c_str() + i, &end);
  if (end == s.c_str() + i) Malformed(i);
  value.Type = Json::Number;
  i = static_cast<std::size_t>(end - s.c_str());
  return value;
}

}  // namespace

// ---- processes -------------------------------------------------------------

int Start(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (std::string& arg : copy) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int Wait(int pid, double timeoutSeconds) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return StatusOf(status);
    if (Since(start) > timeoutSeconds) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

RunResult Run(const std::vector<std::string>& argv, double timeoutSeconds) {
  const std::string dir = MakeTempDir();
  const std::string outFile = dir + "/out", errFile = dir + "/err";
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  const int pid = Start(argv, outFile, errFile);
  result.Status = Wait(pid, timeoutSeconds);
  if (result.Status < 0) {
    result.TimedOut = true;
    kill(pid, SIGTERM);
    result.Status = Wait(pid, 5);
    if (result.Status < 0) {
      kill(pid, SIGKILL);
      result.Status = Wait(pid, 5);
    }
  }
  result.Seconds = Since(start);
  result.Out = ReadFile(outFile);
  result.Err = ReadFile(errFile);
  RemoveTree(dir);
  return result;
}

// ---- files -----------------------------------------------------------------

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/chipfeed-e2e-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void RemoveTree(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteImage(const std::string& path, const std::vector<std::uint32_t>& longs) {
  std::ofstream out(path, std::ios::binary);
  for (std::uint32_t value : longs) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    out.write(bytes, 4);
  }
}

std::vector<std::uint32_t> ReadImage(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<std::uint32_t> longs;
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    std::uint32_t value = 0;
    for (int b = 3; b >= 0; --b) value = (value << 8) | static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(b)]);
    longs.push_back(value);
  }
  return longs;
}

// ---- expected output -------------------------------------------------------

Line Exact(const std::string& text) { return Line{text, false, false}; }

Line Matching(const std::string& regex, bool repeat) { return Line{regex, true, repeat}; }

void Append(Lines& lines, const Lines& more) { lines.insert(lines.end(), more.begin(), more.end()); }

Lines StartAndListing(const std::string& image, const std::string& port, int mode,
                      const std::vector<std::uint32_t>& longs) {
  const std::string n = std::to_string(longs.size());
  Lines lines{Exact("Test Reset Pin 10"),
              Exact("chipfeed will send : " + image + " to " + port + " in Mode " + std::to_string(mode)),
              Exact(" resetpin : -"), Exact("File size : " + n), Exact("file read" + n)};
  for (std::size_t i = 0; i < longs.size(); ++i) lines.push_back(Exact(std::to_string(i) + " " + Hex5(longs[i])));
  return lines;
}

Lines Detection(const std::string& port, int version) {
  return {Exact("reset DTR"), Exact("reset DTR"),
          Exact("Hardware version " + std::to_string(version) + " found on " + port + ".")};
}

Lines Download(int mode, const std::vector<std::uint32_t>& longs, int captions) {
  Lines lines{Exact("reset DTR"), Exact("Loading RAM"), Exact("Buffer length : " + std::to_string(longs.size()))};
  for (std::size_t i = 0; i < longs.size(); ++i) {
    lines.push_back(Exact(" i :" + std::to_string(i) + " Buffer[i] :" + std::to_string(longs[i])));
  }
  std::vector<std::string> all{"Verifying RAM"};
  if (mode > 1) {
    all.push_back("Programming EEPROM");
    all.push_back("Verifying EEPROM");
  }
  const std::size_t count = captions < 0 ? all.size() : static_cast<std::size_t>(captions);
  for (std::size_t i = 0; i < count && i < all.size(); ++i) lines.push_back(Exact(all[i]));
  return lines;
}

Lines AbortWith(const std::string& reason) {
  return {Exact(reason), Exact("Program aborted"),
          Matching(R"(An unhandled exception occurred at \$[0-9A-F]{8} :)"), Exact("EAbort : Operation aborted"),
          Matching(R"(  \$[0-9A-F]{8})"), Exact("")};
}

Lines IoErrorReport(const std::string& message) {
  return {Matching(R"(An unhandled exception occurred at \$[0-9A-F]{8} :)"), Exact("EInOutError : " + message),
          Matching(R"(  \$[0-9A-F]{8})", true), Exact("")};
}

std::string CompareOutput(const std::string& output, const Lines& expected) {
  bool newline = true;
  const std::vector<std::string> got = SplitLines(output, newline);
  std::size_t g = 0;
  for (std::size_t e = 0; e < expected.size(); ++e) {
    const Line& want = expected[e];
    if (g >= got.size() || !LineMatches(want, got[g])) {
      std::ostringstream text;
      text << "output line " << g + 1 << " (expected line " << e + 1 << "): expected "
           << (want.Pattern ? "a line matching /" + want.Text + "/" : "\"" + want.Text + "\"") << ", got "
           << (g < got.size() ? "\"" + got[g] + "\"" : "end of output");
      text << "\n--- output near there:\n";
      for (std::size_t k = g >= 3 ? g - 3 : 0; k < got.size() && k < g + 4; ++k) text << got[k] << "\n";
      return text.str();
    }
    ++g;
    if (want.Repeat) {
      while (g < got.size() && LineMatches(want, got[g])) ++g;
    }
  }
  if (g < got.size()) {
    return "unexpected output from line " + std::to_string(g + 1) + ": \"" + got[g] + "\"";
  }
  if (!newline) return "the last line has no line end";
  return "";
}

// ---- chipsim's record ------------------------------------------------------

Json ParseJson(const std::string& text) {
  std::size_t i = 0;
  Json value = ParseValue(text, i);
  SkipBlanks(text, i);
  if (i != text.size()) Malformed(i);
  return value;
}

const Json& At(const Json& object, const std::string& field) {
  const auto found = object.Fields.find(field);
  if (found == object.Fields.end()) throw std::runtime_error("record has no field " + field);
  return found->second;
}

std::vector<std::uint32_t> LongsOf(const Json& contact) {
  std::vector<std::uint32_t> longs;
  for (const Json& item : At(contact, "longs").Items) longs.push_back(static_cast<std::uint32_t>(item.Value));
  return longs;
}

std::string ChipfeedPath() { return CHIPFEED_PATH; }
std::string ChipsimPath() { return CHIPSIM_PATH; }

}  // namespace e2e
