#include "fuzz_support.h"

#include "epdsim.h"
#include "fixed_seed.h"
#include "main.h"
#include "usb_controller.h"
#include "virtual_clock.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzz_support {

namespace {

std::string work_dir;
std::string home_dir;
std::vector<std::string> arguments;
std::vector<char *> argument_pointers;

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

void remove_work_dir() {
    if (!work_dir.empty()) {
        nftw(work_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string in_work_dir(const std::string &name) {
    return work_dir + "/" + name;
}

// Crash inputs are written while a run is inside the temporary folder: point the fuzzer at the
// folder it was started in instead, unless told otherwise.
void default_artifact_prefix(int *argc, char ***argv) {
    for (int i = 1; i < *argc; ++i) {
        if (std::string((*argv)[i]).rfind("-artifact_prefix=", 0) == 0) {
            return;
        }
    }
    arguments.assign(*argv, *argv + *argc);
    arguments.push_back("-artifact_prefix=" + home_dir + "/");
    for (std::string &argument : arguments) {
        argument_pointers.push_back(argument.data());
    }
    argument_pointers.push_back(nullptr);
    *argc = static_cast<int>(arguments.size());
    *argv = argument_pointers.data();
}

void write_pictures() {
    mkdir(in_work_dir("img").c_str(), 0755);
    cv::Mat grey(30, 40, CV_8UC1);
    for (int y = 0; y < grey.rows; ++y) {
        for (int x = 0; x < grey.cols; ++x) {
            grey.at<uchar>(y, x) = static_cast<uchar>(x * 6 + y * 3);
        }
    }
    cv::imwrite(in_work_dir("img/a.png"), grey);
    cv::Mat colour(16, 24, CV_8UC3, cv::Scalar(20, 140, 250));
    cv::imwrite(in_work_dir("img/b.jpg"), colour);
    cv::Mat deep(10, 20, CV_16UC1, cv::Scalar(40000));
    cv::imwrite(in_work_dir("img/c.png"), deep);
    write_file("img/d.png", "not a picture\n");
    write_file("img/e.png", "");
    mkdir(in_work_dir("img/f.png").c_str(), 0755);
    // A PNG header declaring 100000 x 100000 pixels, with no pixel data behind it.
    static const uint8_t huge_header[] = {
        0x89, 'P',  'N',  'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I',  'H',  'D',  'R', 0,
        0x01, 0x86, 0xA0, 0,   0x01, 0x86, 0xA0, 8,    0, 0, 0, 0,  0x8D, 0x39, 0x54, 0x14};
    write_file("img/g.png", huge_header, sizeof huge_header);
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
    default_artifact_prefix(argc, argv);
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/epdshow-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        perror("epdshow fuzz: temporary folder");
        abort();
    }
    work_dir = name.data();
    atexit(remove_work_dir);
    write_pictures();
    // The program's progress lines would drown the fuzzer's own; errors stay on standard error.
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    virtual_clock::enable(true);
}

void write_file(const std::string &name, const uint8_t *data, size_t size) {
    std::ofstream out(in_work_dir(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

void write_file(const std::string &name, const std::string &text) {
    write_file(name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

int run_entry(const std::string &name) {
    const int signals[] = {SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGPIPE};
    struct sigaction saved[std::size(signals)];
    for (size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], nullptr, &saved[i]);
    }
    // One input, one run: the same time of day (noon, 1 January 2026 in UTC) for the quiet hours
    // and the same shuffled order every time.
    virtual_clock::set_wall_clock(1767268800);
    fixed_seed::set(0);
    // The program writes log.txt into, and finds its pictures from, the working folder.
    if (chdir(work_dir.c_str()) != 0) {
        perror("epdshow fuzz: temporary folder");
        abort();
    }
    std::string program = "epdshow";
    std::string playlist = name;
    char *argv[] = {program.data(), playlist.data(), nullptr};
    int status = epdshow_main(2, argv);
    fflush(stdout);
    if (chdir(home_dir.c_str()) != 0) {
        perror("epdshow fuzz: starting folder");
        abort();
    }
    for (size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], &saved[i], nullptr);
    }
    return status;
}

void small_panel(int count, int width, int height) {
    epdsim::reset();
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
