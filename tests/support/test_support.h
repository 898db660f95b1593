// Helpers shared by the tests: temporary folders, files, lines of text, and child processes.
#ifndef EPDSHOW_TEST_SUPPORT_H
#define EPDSHOW_TEST_SUPPORT_H

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using lines = std::vector<std::string>;
using env_list = std::vector<std::pair<std::string, std::string>>;

// How a child process ended and what it printed.
struct run_result {
    int status = -1; // exit status, or -1 when the process did not exit normally
    int signal = 0;  // the signal that ended it, if any
    std::string out; // standard output
    std::string err; // standard error
};

// Runs body in a child process, in folder cwd, with env added to the environment and standard
// input closed; the child ends through exit with what body returns, so the leak check of a
// sanitizer build runs in it. It is killed after timeout_s seconds; while it runs, watch (when
// given) is called with its process ID about every 10 ms.
run_result run_in_child(const std::function<int()> &body, const std::string &cwd,
                        const env_list &env = {}, int timeout_s = 120,
                        const std::function<void(int pid)> &watch = {});

// The same for a program started with args.
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const env_list &env = {}, const std::string &cwd = ".", int timeout_s = 120,
                       const std::function<void(int pid)> &watch = {});

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return dir; }
    std::string file(const std::string &name) const { return dir + "/" + name; }
    // Writes content into name inside the folder and returns the file's path.
    std::string write(const std::string &name, const std::string &content) const;

  private:
    std::string dir;
};

std::string read_file(const std::string &path);

// The top of the build tree, where the programs were built, and a value of its CMakeCache.txt
// ("" when the cache has no such name).
std::string build_dir();
std::string cache_value(const std::string &name);
lines split_lines(const std::string &text);

// The lines of text that start with one of the prefixes, in order.
lines lines_starting(const std::string &text, std::initializer_list<const char *> prefixes);
// How many lines start with prefix, or hold part.
int count_starting(const lines &all, const std::string &prefix);
int count_starting(const std::string &text, const std::string &prefix);
int count_holding(const lines &all, const std::string &part);

// A timestamp of the log, "YYYY-MM-DD.HH:MM:SS" and a tab, as a regular expression.
inline const std::string log_stamp = R"(\d{4}-\d\d-\d\d\.\d\d:\d\d:\d\d\t)";

// Regular expressions (ECMAScript) behind plain functions: instantiating std::regex costs every
// test file that does it seconds of build time, so only the support does.
bool matches(const std::string &text, const std::string &pattern);
std::string replace_all(const std::string &text, const std::string &pattern,
                        const std::string &replacement);
// The first group of every match of pattern in text, in order.
lines captures(const std::string &text, const std::string &pattern);

// The log's entries without their timestamps, after checking that the file starts with its start
// line and that every entry carries a timestamp.
lines log_messages(const std::string &path);

} // namespace testing_support

#endif
