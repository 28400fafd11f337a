// Support for the end-to-end tests: running chipfeed under chipsim, the lines
// chipfeed must print, and reading chipsim's JSON record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// ---- processes -------------------------------------------------------------

struct RunResult {
  int Status = -1;       // exit status, or 128 + signal
  std::string Out;       // standard output
  std::string Err;       // standard error
  double Seconds = 0;    // wall time
  bool TimedOut = false;
};

// Runs argv[0] (a path) with stdin from /dev/null, collecting its output.
// After `timeoutSeconds` it is sent SIGTERM, then SIGKILL.
RunResult Run(const std::vector<std::string>& argv, double timeoutSeconds = 120);

// Starts a process in the background with stdout and stderr going to files.
int Start(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile);
// Waits for a started process; returns its status (or 128 + signal), -1 on time-out.
int Wait(int pid, double timeoutSeconds);

// ---- files -----------------------------------------------------------------

// A fresh directory for one test, removed with its contents by RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string& dir);
std::string ReadFile(const std::string& path);
void WriteImage(const std::string& path, const std::vector<std::uint32_t>& longs);
std::vector<std::uint32_t> ReadImage(const std::string& path);

// ---- expected output -------------------------------------------------------

// One expected line: exact text, or a regular expression the whole line must
// match; `Repeat` lets a pattern line match one or more lines.
struct Line {
  std::string Text;
  bool Pattern = false;
  bool Repeat = false;
};
using Lines = std::vector<Line>;

Line Exact(const std::string& text);
Line Matching(const std::string& regex, bool repeat = false);
void Append(Lines& lines, const Lines& more);

// "Test Reset Pin 10", the start lines, the file report and the listing.
Lines StartAndListing(const std::string& image, const std::string& port, int mode,
                      const std::vector<std::uint32_t>& longs);
// The detection contact: two resets and the version line.
Lines Detection(const std::string& port, int version);
// The download contact up to its last caption; `captions` limits how many
// acknowledgement captions are expected (-1: all of the mode's).
Lines Download(int mode, const std::vector<std::uint32_t>& longs, int captions = -1);
// A reason line and the abort's report.
Lines AbortWith(const std::string& reason);
// The report of an uncaught input/output error.
Lines IoErrorReport(const std::string& message);

// Compares a whole output with the expected lines. Returns "" when they agree,
// otherwise a description of the first difference.
std::string CompareOutput(const std::string& output, const Lines& expected);

// ---- chipsim's record ------------------------------------------------------

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } Type = Null;
  bool Flag = false;
  double Value = 0;
  std::string Text;
  std::vector<Json> Items;
  std::map<std::string, Json> Fields;
};

// Parses JSON text; throws std::runtime_error on malformed text.
Json ParseJson(const std::string& text);
const Json& At(const Json& object, const std::string& field);
std::vector<std::uint32_t> LongsOf(const Json& contact);

// The programs under test, as built.
std::string ChipfeedPath();
std::string ChipsimPath();

}  // namespace e2e
