#include "fuzz_support.h"

#include "fixed_seed.h"
#include "main.h"
#include "virtual_clock.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

// An abort() inside a run (an uncaught exception, a failed assertion) is the sanitizer's to report:
// the program's entry installs a SIGABRT handler of its own, which would end the process with
// status 134 and neither a report nor the input. Exclusive, the sanitizer's handler stays and
// the fuzzer writes the input out as a crash.
extern "C" const char *__asan_default_options() {
    return "handle_abort=2";
}

// Where the sanitizer writes its reports; there only in a sanitizer build.
extern "C" void __sanitizer_report_error_summary(const char *text) __attribute__((weak));

namespace fuzz_support {

namespace {

const char *const work_dir_prefix = "epdshow-fuzz-";

std::string work_dir;
std::string home_dir;
std::vector<std::string> arguments;
std::vector<char *> argument_pointers;

// The run in progress: the fuzzer's own SIGINT disposition, and whether the show was asked to
// stop.
struct sigaction fuzzer_sigint;
bool stop_asked = false;

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

void remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void remove_work_dir() {
    if (!work_dir.empty()) {
        remove_tree(work_dir);
    }
}

// The folders of harnesses that ended without their exit (a timeout, a crash, a kill): each name
// holds the process number of its owner.
void remove_orphaned_work_dirs(const std::string &base) {
    DIR *dir = opendir(base.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::string prefix = work_dir_prefix;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        char *end = nullptr;
        const long pid =
            name.rfind(prefix, 0) == 0 ? strtol(name.c_str() + prefix.size(), &end, 10) : 0;
        if (pid > 0 && *end == '-' && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            remove_tree(base + "/" + name);
        }
    }
    closedir(dir);
}

// Crash inputs are written while a run is inside the temporary folder: a relative prefix, or
// none, is taken from the folder the fuzzer was started in.
void absolute_artifact_prefix(int *argc, char ***argv) {
    const std::string option = "-artifact_prefix=";
    arguments.assign(*argv, *argv + *argc);
    bool given = false;
    for (std::string &argument : arguments) {
        if (argument.rfind(option, 0) == 0) {
            given = true;
            if (argument.compare(option.size(), 1, "/") != 0) {
                argument = option + home_dir + "/" + argument.substr(option.size());
            }
        }
    }
    if (!given) {
        arguments.push_back(option + home_dir + "/");
    }
    for (std::string &argument : arguments) {
        argument_pointers.push_back(argument.data());
    }
    argument_pointers.push_back(nullptr);
    *argc = static_cast<int>(arguments.size());
    *argv = argument_pointers.data();
}

void make_work_dir() {
    const char *base = getenv("TMPDIR");
    const std::string folder = base && *base ? base : "/tmp";
    remove_orphaned_work_dirs(folder);
    std::string pattern = folder + "/" + work_dir_prefix + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("epdshow fuzz: temporary folder");
        abort();
    }
    work_dir = pattern;
    atexit(remove_work_dir);
}

void write_pictures() {
    mkdir(path_of("img").c_str(), 0755);
    cv::Mat grey(30, 40, CV_8UC1);
    for (int y = 0; y < grey.rows; ++y) {
        for (int x = 0; x < grey.cols; ++x) {
            grey.at<uchar>(y, x) = static_cast<uchar>(x * 6 + y * 3);
        }
    }
    cv::imwrite(path_of("img/a.png"), grey);
    cv::Mat colour(16, 24, CV_8UC3, cv::Scalar(20, 140, 250));
    cv::imwrite(path_of("img/b.jpg"), colour);
    cv::Mat deep(10, 20, CV_16UC1, cv::Scalar(40000));
    cv::imwrite(path_of("img/c.png"), deep);
    write_file("img/d.png", "not a picture\n");
    write_file("img/e.png", "");
    mkdir(path_of("img/f.png").c_str(), 0755);
    // A PNG header declaring 100000 x 100000 pixels, with no pixel data behind it.
    static const uint8_t huge_header[] = {
        0x89, 'P',  'N',  'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I',  'H',  'D',  'R', 0,
        0x01, 0x86, 0xA0, 0,   0x01, 0x86, 0xA0, 8,    0, 0, 0, 0,  0x8D, 0x39, 0x54, 0x14};
    write_file("img/g.png", huge_header, sizeof huge_header);
}

void leave_bus() {
    for (int i = 0; i < epdsim::controller_count(); ++i) {
        epdsim::faults(i).gone_from_command = 1; // at its next command
    }
}

} // namespace

void start(int *argc, char ***argv) {
    if (!work_dir.empty()) {
        return;
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        perror("epdshow fuzz: working folder");
        abort();
    }
    home_dir = cwd;
    absolute_artifact_prefix(argc, argv);
    make_work_dir();
    write_pictures();
    // Quiet hours and the status folder's times read the same wherever the fuzzer runs.
    setenv("TZ", "UTC", 1);
    tzset();
    // The program's progress lines would drown the fuzzer's own; errors stay on standard error.
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    virtual_clock::enable(true);
    virtual_clock::freeze_kernel_time(true);
}

std::string path_of(const std::string &name) {
    return work_dir + "/" + name;
}

void write_file(const std::string &name, const uint8_t *data, size_t size) {
    std::ofstream out(path_of(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

void write_file(const std::string &name, const std::string &text) {
    write_file(name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

void empty_folder(const std::string &name) {
    remove_tree(path_of(name));
    mkdir(path_of(name).c_str(), 0755);
}

void stop_show() {
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    if (stop_asked || now.sa_handler == fuzzer_sigint.sa_handler) {
        return;
    }
    stop_asked = true;
    raise(SIGINT);
}

int run_entry(const std::vector<std::string> &arguments, const run_limits &limits,
              epdsim::in_transfer_hook replies, std::time_t wall_clock) {
    const int signals[] = {SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGPIPE, SIGUSR1};
    struct sigaction saved[std::size(signals)];
    for (size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], nullptr, &saved[i]);
    }
    fuzzer_sigint = saved[0];
    stop_asked = false;
    // Every run starts from the same clocks, however long the runs before it slept.
    virtual_clock::rewind();
    virtual_clock::set_wall_clock(wall_clock);
    fixed_seed::set(0);
    virtual_clock::when_slept(std::int64_t{limits.virtual_seconds} * 1000000000, stop_show);
    bool left = false;
    epdsim::set_in_transfer_hook(
        [&](int controller, unsigned char *data, int length, int *transferred, int result) {
            if (!left && epdsim::command_count() >= limits.commands) {
                left = true;
                leave_bus();
                stop_show();
            }
            return replies ? replies(controller, data, length, transferred, result) : result;
        });
    // The program writes log.txt into, and finds its pictures from, the working folder.
    if (chdir(work_dir.c_str()) != 0) {
        perror("epdshow fuzz: temporary folder");
        abort();
    }
    std::vector<std::string> words = {"epdshow"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int status = epdshow_main(static_cast<int>(words.size()), argv.data());
    fflush(stdout);
    if (chdir(home_dir.c_str()) != 0) {
        perror("epdshow fuzz: starting folder");
        abort();
    }
    virtual_clock::when_slept(0, nullptr);
    // What the run left on the bus goes now, not with the next run: the fuzzer takes memory
    // still held after a run for a leak and runs the input again to look for it.
    epdsim::reset();
    for (size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], &saved[i], nullptr);
    }
    return status;
}

void fail(const char *what) {
    std::fprintf(stderr, "epdshow fuzz: %s\n", what);
    if (__sanitizer_report_error_summary != nullptr) {
        __sanitizer_report_error_summary(what);
    }
    std::abort();
}

void small_panel(int count, int width, int height) {
    epdsim::reset();
    epdsim::keep_journal(false);
    for (int id = 0; id < count; ++id) {
        epdsim::controller_config config;
        config.panel_width = width;
        config.panel_height = height;
        config.multiID = id;
        config.busy_reads = 0;
        epdsim::add_controller(config);
    }
}

} // namespace fuzz_support
