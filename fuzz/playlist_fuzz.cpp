// A fuzzed playlist read and played end to end on a small virtual panel: the settings reader, the
// player's walk over groups, lists, stops, areas, folders and schedules, the quiet hours, the
// status folder and the updates it makes; or read by the playlist check. Sleeps are instant; a show
// is asked to stop after a number of commands or an hour of its own time.
//
// Besides the playlist, an input may hold processing instructions, which the program's reader
// skips and the harness reads:
//   <?check?>           the playlist is checked (epdshow --check) instead of played;
//   <?at HH:MM:SS?>     the show starts at that time of day (UTC) instead of noon;
//   <?reload N?>        after the Nth reply of the controllers, the text after the instruction
//                       replaces the playlist and a hang-up (SIGHUP) asks the show to read it
//                       again.
// A <status_dir> always names the same scratch folder, emptied before each run but for a play log
// a line short of its bound, whatever the playlist says: a fuzzed path could name any folder of the
// machine. The folder img/list holds a file for each name an <img> of the input gives (what
// kind of file, from the name): a <folder> of list lists fuzzed names.
#include "fuzz_support.h"
#include "virtual_clock.h"

#include <pugixml.hpp>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Enough commands for a few dozen images; an hour of quiet hours or slides.
const fuzz_support::run_limits limits = {1500, 3600};

// The names of img/list made for one input, at most.
const size_t most_listed_names = 16;

const unsigned int parse_options = pugi::parse_default | pugi::parse_ws_pcdata;

struct instructions {
    std::string playlist;
    std::string reloaded; // empty: the file stays as it is
    bool check = false;
    std::time_t start = fuzz_support::new_year_noon;
    int reload_after = -1; // replies; -1: no reload
};

// The text of the first <?NAME ...?> instruction, without its name; false when there is none.
bool find_instruction(const std::string &text, const std::string &name, std::string &value,
                      size_t *end = nullptr) {
    const size_t start = text.find("<?" + name);
    if (start == std::string::npos) {
        return false;
    }
    const size_t close = text.find("?>", start);
    const size_t value_at = start + 2 + name.size();
    value =
        text.substr(value_at, close == std::string::npos ? std::string::npos : close - value_at);
    if (end != nullptr) {
        *end = close == std::string::npos ? text.size() : close + 2;
    }
    return true;
}

instructions read_instructions(const uint8_t *data, size_t size) {
    instructions in;
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string value;
    size_t reload_end = 0;
    if (find_instruction(text, "reload", value, &reload_end)) {
        in.reload_after = std::atoi(value.c_str());
        in.playlist = text.substr(0, text.find("<?reload"));
        in.reloaded = text.substr(reload_end);
    } else {
        in.playlist = text;
    }
    in.check = in.playlist.find("<?check?>") != std::string::npos;
    int hours = 12, minutes = 0, seconds = 0;
    if (find_instruction(in.playlist, "at", value)) {
        std::sscanf(value.c_str(), "%d:%d:%d", &hours, &minutes, &seconds);
        const auto within = [](int n, int range) { return (n % range + range) % range; };
        in.start = fuzz_support::new_year_noon - 12 * 3600 + within(hours, 24) * 3600 +
                   within(minutes, 60) * 60 + within(seconds, 60);
    }
    return in;
}

// Every <status_dir> of the document, however deep.
void collect(pugi::xml_node node, const char *name, std::vector<pugi::xml_node> &found) {
    for (pugi::xml_node child : node.children()) {
        if (std::string(child.name()) == name) {
            found.push_back(child);
        }
        collect(child, name, found);
    }
}

// The playlist as the program reads it, with every <status_dir> naming the scratch folder; the
// text itself when it names none or does not read.
std::string with_scratch_status_folder(const std::string &text) {
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), parse_options)) {
        return text;
    }
    std::vector<pugi::xml_node> folders;
    collect(doc, "status_dir", folders);
    if (folders.empty()) {
        return text;
    }
    for (pugi::xml_node folder : folders) {
        while (folder.first_child()) {
            folder.remove_child(folder.first_child());
        }
        folder.append_child(pugi::node_pcdata).set_value(fuzz_support::path_of("status").c_str());
    }
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out.str();
}

// The scratch status folder, empty but for a play log a line short of its bound, so that the
// show's first line rolls it over (a sparse file: nothing is written).
void prepare_status_folder() {
    fuzz_support::empty_folder("status");
    const int fd = open(fuzz_support::path_of("status/play-log.jsonl").c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (ftruncate(fd, 10 * 1000 * 1000 - 100) != 0) {
            perror("playlist_fuzz: play log");
        }
        close(fd);
    }
}

// The last part of each <img> text that would make a file name.
std::vector<std::string> listed_names(const std::string &text) {
    std::vector<std::string> names;
    pugi::xml_document doc;
    doc.load_buffer(text.data(), text.size(), parse_options);
    std::vector<pugi::xml_node> images;
    collect(doc, "img", images);
    for (pugi::xml_node image : images) {
        std::string name = image.child_value();
        name = name.substr(name.rfind('/') + 1);
        if (!name.empty() && name != "." && name != ".." && name.size() < 200 &&
            names.size() < most_listed_names) {
            names.push_back(name);
        }
    }
    return names;
}

// img/list with a file for each name: by the name's hash a picture settled long ago, a picture
// still being written (modified at the start of the show), text, a folder or a link.
void make_listed_folder(const std::vector<std::string> &names, std::time_t start) {
    fuzz_support::empty_folder("img/list");
    for (const std::string &name : names) {
        const std::string path = fuzz_support::path_of("img/list/" + name);
        switch (std::hash<std::string>()(name) % 6) {
        case 0:
            link(fuzz_support::path_of("img/a.png").c_str(), path.c_str());
            break;
        case 1:
            link(fuzz_support::path_of("img/b.jpg").c_str(), path.c_str());
            break;
        case 2: {
            fuzz_support::write_file("img/list/" + name, "fresh");
            const struct timespec times[2] = {{start, 0}, {start, 0}};
            utimensat(AT_FDCWD, path.c_str(), times, 0);
            break;
        }
        case 3:
            mkdir(path.c_str(), 0755);
            break;
        case 4:
            link(fuzz_support::path_of("img/d.png").c_str(), path.c_str());
            break;
        default:
            if (symlink(name.size() % 2 ? "../a.png" : "../missing.png", path.c_str()) != 0) {
                perror("playlist_fuzz: link");
            }
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzz_support::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const instructions in = read_instructions(data, size);
    fuzz_support::write_file("playlist.xml", with_scratch_status_folder(in.playlist));
    prepare_status_folder();
    std::vector<std::string> names = listed_names(in.playlist);
    for (const std::string &name : listed_names(in.reloaded)) {
        names.push_back(name);
    }
    make_listed_folder(names, in.start);
    if (in.check) {
        fuzz_support::run_entry({"--check", "playlist.xml"}, limits, nullptr, in.start);
        return 0;
    }
    // Two 2880 x 16 bands: the 42 layout at the cost of 32 rows per image; tall enough for the
    // 10 x 10 refresh the panel gives a band an area leaves out.
    fuzz_support::small_panel(2, 2880, 16);
    int replies = 0;
    const std::string reloaded = in.reloaded.empty() ? "" : with_scratch_status_folder(in.reloaded);
    auto reload = [&](int, unsigned char *, int, int *, int result) {
        if (replies++ == in.reload_after) {
            if (!reloaded.empty()) {
                fuzz_support::write_file("playlist.xml", reloaded);
            }
            raise(SIGHUP);
        }
        return result;
    };
    fuzz_support::run_entry({"playlist.xml"}, limits, reload, in.start);
    return 0;
}
