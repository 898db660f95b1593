#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

run_result run_in_child(const std::function<int()> &body, const std::string &cwd,
                        const env_list &env, int timeout_s, const std::function<void(int)> &watch) {
    const temp_dir output;
    // What the test printed but did not flush yet would be printed again by the child.
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(output.file("out").c_str(), O_WRONLY | O_CREAT, 0600), 1);
        dup2(open(output.file("err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        for (const auto &kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        exit(body());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (watch) {
            watch(pid);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
        }
        poll(nullptr, 0, 10);
    }
    run_result result;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    result.out = read_file(output.file("out"));
    result.err = read_file(output.file("err"));
    return result;
}

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const env_list &env, const std::string &cwd, int timeout_s,
                       const std::function<void(int)> &watch) {
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    auto start = [&]() -> int {
        execv(program.c_str(), argv.data());
        _exit(127);
    };
    return run_in_child(start, cwd, env, timeout_s, watch);
}

temp_dir::temp_dir() {
    std::string pattern = std::filesystem::temp_directory_path() / "epdshow-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        dir = pattern;
    }
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string temp_dir::write(const std::string &name, const std::string &content) const {
    std::string path = file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

lines lines_starting(const std::string &text, std::initializer_list<const char *> prefixes) {
    lines kept;
    for (const std::string &line : split_lines(text)) {
        for (const char *prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                kept.push_back(line);
                break;
            }
        }
    }
    return kept;
}

int count_starting(const lines &all, const std::string &prefix) {
    return int(std::count_if(all.begin(), all.end(),
                             [&](const std::string &line) { return line.rfind(prefix, 0) == 0; }));
}

int count_starting(const std::string &text, const std::string &prefix) {
    return count_starting(split_lines(text), prefix);
}

int count_holding(const lines &all, const std::string &part) {
    return int(std::count_if(all.begin(), all.end(), [&](const std::string &line) {
        return line.find(part) != std::string::npos;
    }));
}

std::string build_dir() {
    return std::filesystem::path(EPDSHOW_PATH).parent_path().string();
}

std::string cache_value(const std::string &name) {
    for (const std::string &line : split_lines(read_file(build_dir() + "/CMakeCache.txt"))) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return line.substr(line.find('=') + 1);
        }
    }
    return "";
}

bool matches(const std::string &text, const std::string &pattern) {
    return std::regex_match(text, std::regex(pattern));
}

std::string replace_all(const std::string &text, const std::string &pattern,
                        const std::string &replacement) {
    return std::regex_replace(text, std::regex(pattern), replacement);
}

lines captures(const std::string &text, const std::string &pattern) {
    const std::regex expression(pattern);
    lines found;
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it) {
        found.push_back((*it)[1]);
    }
    return found;
}

lines log_messages(const std::string &path) {
    const lines all = split_lines(read_file(path));
    EXPECT_TRUE(!all.empty() && matches(all[0], "Start :" + log_stamp)) << path;
    const std::regex entry(log_stamp + "([\\s\\S]*)");
    lines messages;
    for (size_t i = 1; i < all.size(); ++i) {
        std::smatch found;
        if (std::regex_match(all[i], found, entry)) {
            messages.push_back(found[1]);
        } else {
            ADD_FAILURE() << "log line without timestamp: " << all[i];
        }
    }
    return messages;
}

} // namespace testing_support
