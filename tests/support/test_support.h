// Helpers shared by the tests: temporary folders, files, and running a program as a subprocess.
#ifndef EPDSHOW_TEST_SUPPORT_H
#define EPDSHOW_TEST_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct run_result {
    int status = -1; // exit status, or -1 when the process did not exit normally
    int signal = 0;  // the signal that ended it, if any
    std::string out; // standard output
    std::string err; // standard error
};

using env_list = std::vector<std::pair<std::string, std::string>>;

// Runs program with args in folder cwd, with env added to the current environment, standard
// input closed. Kills it after timeout_s seconds.
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const env_list &env = {}, const std::string &cwd = ".", int timeout_s = 120);

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
bool file_exists(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);

// Writes a w x h 8-bit grey PNG or JPEG whose pixel (x, y) is fn(x, y); returns the path.
std::string write_gradient_image(const std::string &path, int w, int h);

} // namespace testing_support

#endif
