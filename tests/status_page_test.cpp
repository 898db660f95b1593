// The status page (examples/status.html) in a real browser: Debian's chromium, headless, loads it
// over HTTP from status folders that epdshow-sim wrote, in a window of 1280 x 900, and the test
// reads what the page says and where it put it. A frame page of the test holds the status page and
// writes, once it has read its files, the text and the place of each of its parts.
#include <gtest/gtest.h>

#include "sim_show.h"
#include "status_files.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

const char *const browser = "/usr/bin/chromium";

// Serves the files of one folder on 127.0.0.1 over HTTP/1.1, one request per connection.
class folder_server {
  public:
    explicit folder_server(std::string root) : root(std::move(root)) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            listen(listener, 16) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            ADD_FAILURE() << "no local port to serve the status folder";
            return;
        }
        port_number = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }

    ~folder_server() {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
        close(listener);
    }

    std::string url(const std::string &file) const {
        return "http://127.0.0.1:" + std::to_string(port_number) + "/" + file;
    }

  private:
    void serve() {
        while (!stopping) {
            pollfd waiting = {listener, POLLIN, 0};
            if (poll(&waiting, 1, 50) == 1) {
                const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0) {
                    answer(connection);
                    close(connection);
                }
            }
        }
    }

    void answer(int connection) const {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable = {connection, POLLIN, 0};
            if (poll(&readable, 1, 2000) != 1) {
                return;
            }
            const ssize_t n = read(connection, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            request.append(buffer, static_cast<size_t>(n));
        }
        // "GET /status.json?1234 HTTP/1.1": the file, without its query.
        const size_t start = request.find(' ') + 1;
        const std::string name = request.substr(start, request.find_first_of(" ?", start) - start);
        const std::string path = root + name;
        std::string status = "200 OK";
        std::string body;
        if (name.find("..") != std::string::npos || !fs::is_regular_file(path)) {
            status = "404 Not Found";
        } else {
            body = read_file(path);
        }
        const std::string type =
            name.size() > 5 && name.substr(name.size() - 5) == ".html"  ? "text/html; charset=utf-8"
            : name.size() > 4 && name.substr(name.size() - 4) == ".png" ? "image/png"
                                                                        : "application/json";
        const std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                                  "\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
        write_all(connection, reply.data(), reply.size());
    }

    static void write_all(int fd, const char *data, size_t size) {
        while (size > 0) {
            const ssize_t n = write(fd, data, size);
            if (n <= 0) {
                return;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    std::string root;
    int listener = -1;
    int port_number = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// The frame page: status.html at 1280 x 900, and a second after the page has read status.json
// (the picture has loaded or failed by then), the parts of the page as JSON in <pre id="report">.
const std::string frame_page = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body style="margin:0">
<iframe id="page" src="status.html" style="border:0;display:block;width:1280px;height:900px">
</iframe>
<pre id="report" style="position:absolute;top:0;left:0"></pre>
<script>
function part(d, id) {
  var e = d.getElementById(id);
  var r = e.getBoundingClientRect();
  var style = d.defaultView.getComputedStyle(e);
  return {text: e.textContent.replace(/\s+/g, " ").trim(),
          shown: !e.hidden && style.display !== "none" && r.width > 0 && r.height > 0,
          top: r.top, bottom: r.bottom, left: r.left, right: r.right,
          background: style.backgroundColor, natural_width: e.naturalWidth || 0};
}
function measure() {
  var d = document.getElementById("page").contentDocument;
  var read = d && d.getElementById("read_at");
  if (!read || read.textContent === "") { setTimeout(measure, 50); return; }
  setTimeout(function () {
    var report = {window: [d.defaultView.innerWidth, d.defaultView.innerHeight]};
    ["state", "detail", "last_error", "stale", "now", "placeholder", "view"].forEach(
      function (id) { report[id] = part(d, id); });
    document.getElementById("report").textContent = JSON.stringify(report);
  }, 1000);
}
window.onload = measure;
</script></body></html>
)";

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string unescaped(std::string text) {
    for (const auto &[entity, character] : std::initializer_list<std::pair<std::string, char>>{
             {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&amp;", '&'}}) {
        for (size_t at = text.find(entity); at != std::string::npos;
             at = text.find(entity, at + 1)) {
            text.replace(at, entity.size(), 1, character);
        }
    }
    return text;
}

// Loads the status page of folder in the browser and returns its report.
json rendered(const std::string &folder) {
    fs::copy_file(std::string(EPDSHOW_SOURCE_DIR) + "/examples/status.html",
                  folder + "/status.html", fs::copy_options::overwrite_existing);
    write_file(folder + "/frame.html", frame_page);
    folder_server server(folder);
    temp_dir profile;
    const run_result r = run_program(
        browser,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.path(), "--window-size=1400,1000",
         "--virtual-time-budget=20000", "--dump-dom", server.url("frame.html")},
        {}, profile.path(), 60);
    EXPECT_EQ(r.status, 0) << r.err;
    const lines report = captures(r.out, R"(<pre id="report"[^>]*>([^<]*)</pre>)");
    if (report.empty() || report[0].empty()) {
        ADD_FAILURE() << "the page reported nothing: " << r.out;
        return nullptr;
    }
    return json::parse(unescaped(report[0]));
}

class StatusPageInBrowser : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        ASSERT_TRUE(fs::exists(browser)) << "chromium is installed by scripts/install-deps";
        cv::imwrite(dir.file("img/a.png"), numbered_picture(300, 200, 1));
        cv::imwrite(dir.file("img/b.png"), numbered_picture(200, 300, 2));
    }

    // Plays a show of slides of an hour with a status folder until done(status folder) holds,
    // then kills it, as a tool that stopped without a word would leave its folder.
    std::string left_by_a_show(const env_list &more,
                               const std::function<bool(const std::string &)> &done) {
        show_settings settings;
        settings.options = "<status_dir>status</status_dir>";
        const std::string slides =
            playlist("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                     "</image_name>",
                     settings);
        const std::string status = dir.file("status");
        fs::remove_all(status);
        const run_result r =
            play(replace_all(slides, "<slide_interval>0<", "<slide_interval>3600<"), more, 60,
                 [&](int pid) {
                     if (done(status)) {
                         kill(pid, SIGKILL);
                     }
                 });
        EXPECT_EQ(r.signal, SIGKILL) << r.err;
        return status;
    }

    // A picture is shown and status.json says so: now.png is written just before the status.json
    // that gives the picture's next change.
    static bool has_picture(const std::string &status) {
        if (!fs::exists(status + "/now.png")) {
            return false;
        }
        const json written = json::parse(read_file(status + "/status.json"), nullptr, false);
        return !written.is_discarded() && written["next_change_at"].is_string();
    }
};

// Where the parts are: state and last error above the picture, the picture in the window.
void expect_at_a_glance(const json &page) {
    EXPECT_EQ(page["window"], json::parse("[1280, 900]"));
    EXPECT_TRUE(page["state"]["shown"]);
    const json &view = page["now"]["shown"] == true ? page["now"] : page["placeholder"];
    EXPECT_TRUE(view["shown"]) << page.dump();
    EXPECT_LE(page["state"]["bottom"].get<double>(), view["top"].get<double>());
    if (page["last_error"]["shown"] == true) {
        EXPECT_LE(page["last_error"]["bottom"].get<double>(), view["top"].get<double>());
    }
    EXPECT_GE(view["left"].get<double>(), 0);
    EXPECT_GE(view["top"].get<double>(), 0);
    EXPECT_LE(view["right"].get<double>(), 1280);
    EXPECT_LE(view["bottom"].get<double>(), 900);
}

} // namespace

// On the tall panel of the 32 layout: a show running well gives its state, no warning and the
// whole picture in the window; a controller that left the bus makes the state stand out, with
// what the tool waits for (the service manager's status line, status.json's detail) and the
// failure; a tool that stopped long ago (its wall clock in 2020) gets a warning that it no longer
// writes.
TEST_F(StatusPageInBrowser, EachStateSaysWhatItIsAboveThePictureInTheWindow) {
    panel = layout(32);
    const json showing = rendered(left_by_a_show({{"EPDSIM_CLOCK", "virtual"}}, has_picture));
    expect_at_a_glance(showing);
    EXPECT_EQ(showing["state"]["text"], "showing");
    EXPECT_FALSE(showing["stale"]["shown"]);
    EXPECT_FALSE(showing["last_error"]["shown"]);
    EXPECT_TRUE(showing["now"]["shown"]);
    EXPECT_EQ(showing["now"]["natural_width"], 1440);
    EXPECT_FALSE(showing["placeholder"]["shown"]);
    // Fitted: the portrait panel fills the height of its place, not more.
    EXPECT_GT(showing["now"]["bottom"].get<double>() - showing["now"]["top"].get<double>(), 600);

    const std::string status = left_by_a_show(
        {{"EPDSIM_FAULTS", "id1.gone=30"}, {"EPDSIM_CLOCK", "virtual"}},
        [](const std::string &folder) {
            return read_file(folder + "/status.json").find("\"waiting for the panel: ") !=
                   std::string::npos;
        });
    json written = read_json(status + "/status.json");
    const json waiting = rendered(status);
    expect_at_a_glance(waiting);
    EXPECT_EQ(waiting["state"]["text"], "waiting for the panel");
    EXPECT_NE(waiting["state"]["background"], showing["state"]["background"]);
    EXPECT_EQ(waiting["detail"]["text"], written["detail"]);
    EXPECT_EQ(written["detail"].get<std::string>().rfind("waiting for the panel: ", 0), 0u);
    EXPECT_EQ(waiting["last_error"]["text"],
              "Last error: " + written["last_error"].get<std::string>() + " (" +
                  written["last_error_at"].get<std::string>() + ")");
    EXPECT_FALSE(waiting["stale"]["shown"]);

    const std::string stopped =
        left_by_a_show({{"EPDSIM_CLOCK", "virtual@2020-01-01T10:00:00"}}, has_picture);
    written = read_json(stopped + "/status.json");
    const json stale = rendered(stopped);
    expect_at_a_glance(stale);
    EXPECT_TRUE(stale["stale"]["shown"]);
    EXPECT_EQ(stale["stale"]["text"].get<std::string>().rfind(
                  "Not updated: the tool has not written status.json since " +
                      written["updated_at"].get<std::string>() + " (its next change was due at " +
                      written["next_change_at"].get<std::string>() + ")",
                  0),
              0u)
        << stale["stale"]["text"];
    EXPECT_LE(stale["stale"]["bottom"].get<double>(), stale["now"]["top"].get<double>());
}

// Before the panel has completed its first refresh there is no now.png: a placeholder says so,
// and no broken picture shows.
TEST_F(StatusPageInBrowser, NoPictureYetGivesAPlaceholder) {
    panel.busy_reads = "1000000"; // the first refresh never completes
    const std::string status = left_by_a_show(
        {}, [](const std::string &folder) { return fs::exists(folder + "/status.json"); });
    ASSERT_FALSE(fs::exists(status + "/now.png"));
    const json page = rendered(status);
    expect_at_a_glance(page);
    EXPECT_EQ(page["state"]["text"], "showing");
    EXPECT_FALSE(page["now"]["shown"]);
    EXPECT_TRUE(page["placeholder"]["shown"]);
    EXPECT_EQ(page["placeholder"]["text"],
              "No picture yet: now.png is written once the panel has completed its first refresh.");
}
