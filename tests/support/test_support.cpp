#include "test_support.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace testing_support {

namespace {

void drain(int fd, std::string &into, bool &open) {
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

} // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const env_list &env, const std::string &cwd, int timeout_s) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        return {};
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        for (const auto &kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    bool out_open = true, err_open = true;
    double deadline = now_s() + timeout_s;
    bool killed = false;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int ready = poll(fds, 2, 200);
        if (ready > 0) {
            if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) {
                drain(out_pipe[0], result.out, out_open);
            }
            if (err_open && (fds[1].revents & (POLLIN | POLLHUP))) {
                drain(err_pipe[0], result.err, err_open);
            }
        }
        if (!killed && now_s() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}

temp_dir::temp_dir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/epdshow-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) {
        dir = buf.data();
    }
}

temp_dir::~temp_dir() {
    if (!dir.empty()) {
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string temp_dir::write(const std::string &name, const std::string &content) const {
    std::string path = file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string write_gradient_image(const std::string &path, int w, int h) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            picture.at<uchar>(y, x) =
                static_cast<uchar>((x * 255 / std::max(1, w - 1) + y * 7) & 0xFF);
        }
    }
    cv::imwrite(path, picture);
    return path;
}

} // namespace testing_support
