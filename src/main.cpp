#include "main.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "check.h"
#include "plan.h"
#include "player.h"
#include "playlist.h"
#include "probe.h"
#include "quiet_hours.h"
#include "status_report.h"
#include "tool.h"

namespace {

const char *const rule_line = "***************************************************";
const char *const version_label = "EPD_CTRS00QVB0002";
const char *const build_date = "2019/11/26-17:59:29";

// Raised by the signal handler, read afresh by the player at each of its checks.
volatile sig_atomic_t ucFlag = 0;

// SIGHUPs received. A count rather than a flag, so that each part acting on a hang-up (the player,
// which reads the playlist again) tells a new one from one it has seen without taking it from
// another.
volatile sig_atomic_t hang_ups = 0;

void write_text(const char *text) {
    write_all(STDOUT_FILENO, text, strlen(text));
}

void terminate_app(int) {
    int saved_errno = errno;
    write_text("ctrl+c SIGINT Triggerred!. Close USB\n");
    write_text("stop Flag flip!\n");
    ucFlag = 1;
    // Whichever of the two comes next, a second request ends the process at once.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &default_action, nullptr);
    sigaction(SIGTERM, &default_action, nullptr);
    errno = saved_errno;
}

// The handler runs once; the default disposition is back afterwards for both SIGINT and
// SIGTERM, so a second request ends the process at once instead of waiting out a slide.
void arm_stop_handler() {
    struct sigaction action = {};
    action.sa_handler = terminate_app;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGABRT, &action, nullptr);
}

// A hang-up is counted, for the player, which reads the playlist again, and asks for log.txt to be
// reopened.
void hang_up(int) {
    hang_ups = hang_ups + 1;
    request_log_reopen();
}

// Log rotation renamed log.txt: it is opened again by name, and nothing else changes.
void log_rotated(int) {
    request_log_reopen();
}

void handle(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

// Output that cannot be written (stdout into a closed pipe) never ends the show; a hang-up
// reopens the log and reads the playlist again; SIGUSR1 reopens the log. Every other signal keeps
// its default.
void arm_other_handlers() {
    handle(SIGPIPE, SIG_IGN);
    handle(SIGHUP, hang_up);
    handle(SIGUSR1, log_rotated);
}

void print_banner() {
    puts(rule_line);
    printf("### EPD Controller version:\t%s\n", version_label);
    printf("### Build Date:\t\t\t%s\n", build_date);
    puts(rule_line);
}

// One show of passes passes (0: as the playlist says); when the player goes, the USB session ends
// and the panel with it.
int play(std::unique_ptr<playlist_file> playlist, int passes) {
    player show(ucFlag, hang_ups);
    return show.slide_show(std::move(playlist), passes);
}

enum class command { show, check, plan, probe, help, version, usage_error };

// What the command line asks for: the command, the playlist (the first argument that is not an
// option, or any after "--"), the passes to play (0: as the playlist says), and the arguments left
// over; for a usage error, what is wrong.
struct command_line {
    command what = command::show;
    const char *playlist = nullptr;
    int passes = 0;
    std::vector<std::string> extra;
    std::string problem;
    // The values of --from and --hours (for --plan), as given.
    const char *from = nullptr;
    const char *hours = nullptr;
};

// A whole number of passes, 1 or more, in digits only.
bool read_passes(const std::string &text, int &passes) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    passes = std::stoi(text);
    return passes >= 1;
}

// "--passes N" or "--passes=N" at argv[i]; i moves past N. False, with the problem said, when N is
// missing or not a whole number of 1 or more.
bool read_passes_option(int argc, char *argv[], int &i, command_line &line) {
    const std::string argument = argv[i];
    const bool joined = argument.size() > 8 && argument[8] == '=';
    const char *value = joined ? argv[i] + 9 : (i + 1 < argc ? argv[++i] : nullptr);
    if (value != nullptr && read_passes(value, line.passes)) {
        return true;
    }
    line.problem = "--passes needs a whole number of passes, 1 or more";
    if (value != nullptr) {
        line.problem += ", not '" + std::string(value) + "'";
    }
    return false;
}

command_line read_command_line(int argc, char *argv[]) {
    command_line line;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options_end || argument.size() < 2 || argument[0] != '-') {
            if (line.playlist == nullptr) {
                line.playlist = argv[i];
            } else {
                line.extra.push_back(argument);
            }
        } else if (argument == "--") {
            options_end = true;
        } else if (argument == "--help" || argument == "-h") {
            line.what = command::help;
        } else if (argument == "--version") {
            line.what = command::version;
        } else if (argument == "--check") {
            line.what = command::check;
        } else if (argument == "--probe") {
            line.what = command::probe;
        } else if (argument == "--plan") {
            line.what = command::plan;
        } else if (argument == "--from" || argument == "--hours") {
            (argument == "--from" ? line.from : line.hours) = i + 1 < argc ? argv[++i] : "";
        } else if (argument == "--passes" || argument.rfind("--passes=", 0) == 0) {
            if (!read_passes_option(argc, argv, i, line)) {
                line.what = command::usage_error;
                return line;
            }
        } else {
            line.problem = "unknown option '" + argument + "'";
            line.what = command::usage_error;
            return line;
        }
    }
    return line;
}

// The program's own name, as started: epdshow or epdshow-sim.
std::string program_name(int argc, char *argv[]) {
    if (argc < 1 || argv[0] == nullptr) {
        return "epdshow";
    }
    const char *slash = strrchr(argv[0], '/');
    return slash != nullptr ? slash + 1 : argv[0];
}

void print_usage(FILE *out, const std::string &name) {
    const char *n = name.c_str();
    fprintf(out,
            "Usage: %s [--passes N] PLAYLIST\n"
            "         play the slide show of the XML playlist on the panel (N passes, then end)\n"
            "       %s --check PLAYLIST\n"
            "         read the playlist and its pictures without USB; report every problem\n"
            "       %s --plan PLAYLIST [--from YYYY-MM-DDTHH:MM] [--hours N]\n"
            "         print what the show would put on the panel and when, without USB\n"
            "         (from now, for 24 hours, unless told)\n"
            "       %s --probe\n"
            "         list the controllers on USB and whether they form a panel (run it first)\n"
            "       %s --help | --version\n",
            n, n, n, n, n);
}

void warn_extra_arguments(const command_line &line) {
    for (const std::string &argument : line.extra) {
        fprintf(stderr, "Warning: extra argument '%s' is ignored\n", argument.c_str());
    }
}

// The show of passes passes (0: as the playlist says): banner, echo, settings, then the player.
// Without a playlist the banner and echo come as they always did, then the usage and status 2: a
// service started without its argument fails and says how to call it.
int run_show(const char *path, int passes, const std::string &name) {
    print_banner();
    printf("Input xml file : %s\n", path != nullptr ? path : "");
    // Down at every start, also when the entry runs again in the same process.
    ucFlag = 0;
    hang_ups = 0;
    arm_stop_handler();
    if (path == nullptr) {
        puts("Input file is null");
        print_usage(stderr, name);
        return 2;
    }
    playlist_file read = read_playlist_file(path);
    const std::string status_dir = read.settings.status_dir;
    std::string refusal;
    std::unique_ptr<playlist_file> playlist = accepted_for_show(std::move(read), &refusal);
    if (!playlist) {
        report_refused_start(status_dir, path, refusal);
        return 1;
    }
    int status = play(std::move(playlist), passes);
    if (status != 0) {
        return status;
    }
    puts("Done");
    return 0;
}

// A standard stream closed at start would be taken by the first file opened (log.txt on standard
// output would collect every progress line): each one closed reads or writes /dev/null instead.
void open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

// --plan: the start and the hours checked, then the plan.
int run_plan(const command_line &line, const std::string &name) {
    const char *n = name.c_str();
    if (line.playlist == nullptr) {
        fprintf(stderr, "%s: --plan needs the playlist to plan\n", n);
        print_usage(stderr, name);
        return 2;
    }
    std::time_t start = wall_clock();
    if (line.from != nullptr && !read_plan_start(line.from, start)) {
        fprintf(stderr, "%s: --from needs a local time YYYY-MM-DDTHH:MM, not '%s'\n", n, line.from);
        return 2;
    }
    int hours = 24;
    if (line.hours != nullptr && !read_plan_hours(line.hours, hours)) {
        fprintf(stderr, "%s: --hours needs a whole number of hours from 1 to %d, not '%s'\n", n,
                plan_hours_bound, line.hours);
        return 2;
    }
    warn_extra_arguments(line);
    return plan_playlist(line.playlist, start, hours);
}

} // namespace

int epdshow_main(int argc, char *argv[]) {
    open_standard_streams();
    // Line by line, so progress reaches a log or pipe in step with the signal handler's lines.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Before the first line: the banner into a closed pipe must not end the tool either.
    arm_other_handlers();
    const command_line line = read_command_line(argc, argv);
    const std::string name = program_name(argc, argv);
    const bool plan_options = line.from != nullptr || line.hours != nullptr;
    if (plan_options && (line.what == command::show || line.what == command::check ||
                         line.what == command::probe)) {
        fprintf(stderr, "%s: --from and --hours go with --plan\n", name.c_str());
        print_usage(stderr, name);
        return 2;
    }
    if (line.passes != 0 && (line.what == command::check || line.what == command::probe ||
                             line.what == command::plan)) {
        fprintf(stderr, "%s: --passes goes with the show of a playlist\n", name.c_str());
        print_usage(stderr, name);
        return 2;
    }
    switch (line.what) {
    case command::help:
        print_usage(stdout, name);
        return 0;
    case command::version:
        printf("%s %s\n", name.c_str(), EPDSHOW_VERSION);
        return 0;
    case command::usage_error:
        fprintf(stderr, "%s: %s\n", name.c_str(), line.problem.c_str());
        print_usage(stderr, name);
        return 2;
    case command::check:
        if (line.playlist == nullptr) {
            fprintf(stderr, "%s: --check needs the playlist to check\n", name.c_str());
            print_usage(stderr, name);
            return 2;
        }
        warn_extra_arguments(line);
        return check_playlist(line.playlist);
    case command::plan:
        return run_plan(line, name);
    case command::probe:
        if (line.playlist != nullptr) {
            fprintf(stderr, "Warning: extra argument '%s' is ignored\n", line.playlist);
        }
        warn_extra_arguments(line);
        printf("%s %s: the e-paper controllers on USB\n", name.c_str(), EPDSHOW_VERSION);
        return probe_controllers();
    case command::show:
        break;
    }
    warn_extra_arguments(line);
    return run_show(line.playlist, line.passes, name);
}
