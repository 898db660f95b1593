// What `cmake --install` puts where, and the Debian package CPack makes from the same rules:
// the programs, the udev rule, the service, the man page, the sample and example playlists.
#include "playlist.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string installed_at(const std::string &stage, const std::string &prefix) {
    run_result r =
        run_program(cache_value("CMAKE_COMMAND"), {"--install", build_dir(), "--prefix", prefix},
                    {{"DESTDIR", stage}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.out;
}

// Every file and link under root, as absolute paths of the installed system.
std::set<std::string> tree(const std::string &root) {
    std::set<std::string> paths;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) {
            paths.insert("/" + entry.path().lexically_relative(root).string());
        }
    }
    return paths;
}

// The settings of a unit file, as KEY -> values in file order (comments left out).
std::multimap<std::string, std::string> unit_settings(const std::string &text) {
    std::multimap<std::string, std::string> settings;
    for (const std::string &line : split_lines(text)) {
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) {
            continue;
        }
        settings.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return settings;
}

std::string setting(const std::multimap<std::string, std::string> &settings,
                    const std::string &key) {
    auto found = settings.find(key);
    return found == settings.end() ? "(missing)" : found->second;
}

bool runs(const std::string &program) {
    return fs::exists(program);
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> list;
    for (std::string word; in >> word;) {
        list.push_back(word);
    }
    return list;
}

std::string source_path(const std::string &relative) {
    return std::string(EPDSHOW_SOURCE_DIR) + "/" + relative;
}

// Checks that the playlist is one the program accepts and that each of its pictures is
// installed under stage.
void expect_playable(const std::string &stage, const std::string &playlist) {
    SCOPED_TRACE(playlist);
    dpy_imgs_info settings;
    ASSERT_TRUE(parsing_xml_file((stage + playlist).c_str(), settings));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file((stage + playlist).c_str()));
    int pictures = 0;
    for (pugi::xpath_node img : doc.select_nodes("//img")) {
        ++pictures;
        EXPECT_TRUE(fs::is_regular_file(stage + settings.image_path + img.node().child_value()))
            << settings.image_path << img.node().child_value() << " is not installed";
    }
    EXPECT_GT(pictures, 0);
}

class Install : public ::testing::Test {
  protected:
    temp_dir stage;
};

TEST_F(Install, PutsEveryFileInItsDebianPlace) {
    installed_at(stage.path(), "/usr");
    std::set<std::string> expected = {"/usr/bin/epdshow",
                                      "/usr/bin/epdshow-sim",
                                      "/usr/lib/udev/rules.d/60-epdshow.rules",
                                      "/usr/lib/systemd/system/epdshow.service",
                                      "/usr/share/man/man1/epdshow.1.gz",
                                      "/usr/share/man/man1/epdshow-sim.1.gz",
                                      "/usr/share/doc/epdshow/README.md",
                                      "/usr/share/doc/epdshow/copyright",
                                      "/usr/share/doc/epdshow/changelog.Debian.gz",
                                      "/usr/share/doc/epdshow/examples/status.html",
                                      "/etc/epdshow/playlist.xml",
                                      "/etc/logrotate.d/epdshow"};
    for (const auto &example : fs::directory_iterator(source_path("examples"))) {
        if (example.path().extension() == ".xml") {
            expected.insert("/usr/share/doc/epdshow/examples/" +
                            example.path().filename().string());
        }
    }
    for (const auto &picture : fs::directory_iterator(source_path("examples/images"))) {
        expected.insert("/usr/share/doc/epdshow/examples/images/" +
                        picture.path().filename().string());
    }
    EXPECT_EQ(tree(stage.path()), expected);

    for (const char *program : {"/usr/bin/epdshow", "/usr/bin/epdshow-sim"}) {
        auto permissions = fs::status(stage.path() + program).permissions();
        EXPECT_NE(permissions & fs::perms::others_exec, fs::perms::none) << program;
    }
    EXPECT_EQ(fs::read_symlink(stage.path() + "/usr/share/man/man1/epdshow-sim.1.gz"),
              "epdshow.1.gz");

    // The installed program starts: its libraries are found and it says how to call it.
    run_result r = run_program(stage.path() + "/usr/bin/epdshow", {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "epdshow " + cache_value("CMAKE_PROJECT_VERSION") + "\n") << r.err;
}

TEST_F(Install, ServicePlaysTheEtcPlaylistWithTheInstalledProgram) {
    installed_at(stage.path(), "/usr");
    std::string unit_path = stage.path() + "/usr/lib/systemd/system/epdshow.service";
    std::string unit = read_file(unit_path);
    EXPECT_EQ(captures(unit, "(@[A-Z_]+@)"), lines{}) << "a placeholder was left in the unit";
    auto settings = unit_settings(unit);
    EXPECT_EQ(setting(settings, "ExecStart"), "/usr/bin/epdshow /etc/epdshow/playlist.xml");
    EXPECT_EQ(setting(settings, "WorkingDirectory"), "/var/lib/epdshow");
    EXPECT_EQ(setting(settings, "StateDirectory"), "epdshow");
    EXPECT_EQ(setting(settings, "DynamicUser"), "yes");
    EXPECT_EQ(setting(settings, "SupplementaryGroups"), "plugdev");
    EXPECT_EQ(setting(settings, "KillSignal"), "SIGTERM");
    EXPECT_EQ(setting(settings, "ExecReload"), "/bin/kill -HUP $MAINPID");
    EXPECT_EQ(setting(settings, "Restart"), "on-failure");
    EXPECT_NE(setting(settings, "RestartSec"), "(missing)");
    EXPECT_NE(setting(settings, "TimeoutStopSec"), "(missing)");
    EXPECT_EQ(setting(settings, "WantedBy"), "multi-user.target");
    // The tool says when the panel is up and pings the watchdog from the show and its waits.
    EXPECT_EQ(setting(settings, "Type"), "notify");
    EXPECT_EQ(setting(settings, "WatchdogSec"), "5min");

    // systemd's own check, on a copy that starts the staged program.
    if (!runs("/usr/bin/systemd-analyze")) {
        return;
    }
    fs::create_directory(stage.file("check"));
    std::string copy = unit;
    copy.replace(copy.find("ExecStart=") + 10, 0, stage.path());
    std::string checked = stage.write("check/epdshow.service", copy);
    run_result r = run_program("/usr/bin/systemd-analyze", {"verify", "--man=no", checked});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

// The unit opens the show only what it needs: the USB device nodes, sysfs to read, the notify and
// udev sockets, its state folder. systemd's own rating of it stays at 3.0 or below ("OK" begins
// above 4.9, the default unit of a service rates 9.6).
TEST_F(Install, ServiceIsConfinedToWhatTheShowNeeds) {
    installed_at(stage.path(), "/usr");
    const std::string unit_path = stage.path() + "/usr/lib/systemd/system/epdshow.service";
    auto settings = unit_settings(read_file(unit_path));
    const std::pair<const char *, const char *> confinement[] = {
        {"DevicePolicy", "closed"},
        {"DeviceAllow", "char-usb_device rw"},
        {"ProtectSystem", "strict"},
        {"ProtectKernelTunables", "yes"},
        {"RestrictAddressFamilies", "AF_UNIX AF_NETLINK"},
        {"IPAddressDeny", "any"},
        {"PrivateNetwork", "yes"},
        {"CapabilityBoundingSet", ""},
        {"SystemCallFilter", "@system-service"},
        {"UMask", "0027"},
        {"StateDirectory", "epdshow"},
    };
    for (const auto &[key, value] : confinement) {
        EXPECT_EQ(setting(settings, key), value) << key;
    }
    if (!runs("/usr/bin/systemd-analyze")) {
        return;
    }
    run_result r =
        run_program("/usr/bin/systemd-analyze", {"security", "--offline=true", unit_path});
    const lines exposure =
        captures(r.out, R"(Overall exposure level for epdshow\.service: ([0-9]+\.[0-9]))");
    ASSERT_EQ(exposure.size(), 1u) << r.out << r.err;
    EXPECT_LE(std::stod(exposure[0]), 3.0) << r.out;
}

TEST_F(Install, LogRotationRenamesTheServicesLogAndTellsTheTool) {
    installed_at(stage.path(), "/usr");
    const std::string rule = read_file(stage.path() + "/etc/logrotate.d/epdshow");
    EXPECT_NE(rule.find("\n/var/lib/epdshow/log.txt {\n"), std::string::npos) << rule;
    // The tool creates the new file itself, as the service's user, when SIGUSR1 tells it to; the
    // show goes on where it was.
    EXPECT_NE(rule.find("nocreate"), std::string::npos);
    EXPECT_NE(rule.find("--signal=USR1 epdshow.service"), std::string::npos);
    if (!runs("/usr/sbin/logrotate")) {
        return;
    }
    temp_dir state;
    run_result r = run_program("/usr/sbin/logrotate", {"-d", "-s", state.file("status"),
                                                       stage.path() + "/etc/logrotate.d/epdshow"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("error"), std::string::npos) << r.out << r.err;
}

// The rule opens only the controllers: devices of the vendor with a mass-storage Bulk-Only
// interface, as udev's usb_id builtin lists it; the vendor's keyboards and the like stay closed.
TEST_F(Install, UdevRuleOpensOnlyTheControllersToPlugdevAndTheSeat) {
    installed_at(stage.path(), "/usr");
    std::vector<std::set<std::string>> rules;
    for (const std::string &line :
         split_lines(read_file(stage.path() + "/usr/lib/udev/rules.d/60-epdshow.rules"))) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::set<std::string> keys;
        for (std::string key : words(line)) {
            if (key.back() == ',') {
                key.pop_back();
            }
            keys.insert(key);
        }
        rules.push_back(keys);
    }
    const std::set<std::string> vendor_device = {
        "SUBSYSTEM==\"usb\"", "ENV{DEVTYPE}==\"usb_device\"", "ATTR{idVendor}==\"048d\""};
    auto with = [&](std::initializer_list<std::string> more) {
        std::set<std::string> keys = vendor_device;
        keys.insert(more);
        return keys;
    };
    EXPECT_EQ(rules, (std::vector<std::set<std::string>>{
                         with({"ENV{ID_USB_INTERFACES}==\"\"", "IMPORT{builtin}=\"usb_id\""}),
                         with({"ENV{ID_USB_INTERFACES}==\"*:080650:*\"", "MODE=\"0660\"",
                               "GROUP=\"plugdev\"", "TAG+=\"uaccess\""})}));
}

TEST_F(Install, InstalledPlaylistsShowInstalledPictures) {
    installed_at(stage.path(), "/usr");
    expect_playable(stage.path(), "/etc/epdshow/playlist.xml");
    for (const auto &example : fs::directory_iterator(source_path("examples"))) {
        if (example.path().extension() == ".xml") {
            expect_playable(stage.path(), "/usr/share/doc/epdshow/examples/" +
                                              example.path().filename().string());
        }
    }
    // The sample's areas fit both panels: 1440 x 2560 and 2880 x 2160.
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file((stage.path() + "/etc/epdshow/playlist.xml").c_str()));
    for (pugi::xpath_node area : doc.select_nodes("//area")) {
        dpy_area a = parsing_area(area.node().child_value());
        EXPECT_LE(a.x + a.w, 1440);
        EXPECT_LE(a.y + a.h, 2160);
    }
}

TEST_F(Install, KeepsThePlaylistTheAdministratorWrote) {
    installed_at(stage.path(), "/usr");
    std::string playlist = stage.path() + "/etc/epdshow/playlist.xml";
    stage.write("etc/epdshow/playlist.xml", "<playlist>mine</playlist>\n");
    std::string out = installed_at(stage.path(), "/usr");
    EXPECT_EQ(read_file(playlist), "<playlist>mine</playlist>\n");
    EXPECT_NE(out.find("Keeping"), std::string::npos) << out;
}

TEST_F(Install, AnotherPrefixKeepsEverythingUnderIt) {
    installed_at(stage.path(), "/opt/epdshow");
    for (const std::string &path : tree(stage.path())) {
        EXPECT_EQ(path.rfind("/opt/epdshow/", 0), 0u) << path;
    }
    auto settings =
        unit_settings(read_file(stage.path() + "/opt/epdshow/lib/systemd/system/epdshow.service"));
    EXPECT_EQ(setting(settings, "ExecStart"),
              "/opt/epdshow/bin/epdshow /opt/epdshow/etc/epdshow/playlist.xml");
    expect_playable(stage.path(), "/opt/epdshow/etc/epdshow/playlist.xml");
}

TEST(ManPage, ReadsCleanlyAndHasEverySection) {
    std::string page = read_file(source_path("packaging/epdshow.1"));
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "PLAYLIST", "SIGNALS",
                                "EXIT STATUS", "FILES", "PREVIEW", "TROUBLESHOOTING", "EXAMPLES"}) {
        EXPECT_NE(page.find(std::string(".SH ") + section + "\n"), std::string::npos) << section;
    }
    if (!runs("/usr/bin/groff")) {
        return;
    }
    run_result r = run_program("/usr/bin/groff",
                               {"-man", "-Tutf8", "-ww", "-z", source_path("packaging/epdshow.1")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "groff warnings";
}

// The package, made by CPack from the install rules of this build (without building first). The
// build folder was configured with cmake's default prefix, /usr/local: the package still installs
// under /usr.
run_result make_package(const temp_dir &dir, const std::vector<std::string> &more = {}) {
    std::vector<std::string> args = {
        "-G", "DEB", "-B", dir.path(), "--config", build_dir() + "/CPackConfig.cmake", "-D",
        "CPACK_INSTALL_CMAKE_PROJECTS=", "-D",
        "CPACK_INSTALL_SCRIPTS=" + build_dir() + "/cmake_install.cmake",
        // what CPACK_STRIP_FILES asks of the project's install
        "-D", "CMAKE_INSTALL_DO_STRIP=1"};
    args.insert(args.end(), more.begin(), more.end());
    return run_program(cache_value("CMAKE_CPACK_COMMAND"), args, {}, dir.path());
}

class DebianPackage : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string deb;

    void SetUp() override {
        run_result r = make_package(dir);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        for (const auto &entry : fs::directory_iterator(dir.path())) {
            if (entry.path().extension() == ".deb") {
                deb = entry.path().string();
            }
        }
        ASSERT_FALSE(deb.empty()) << r.out;
    }

    std::string field(const std::string &name) {
        run_result r = run_program("/usr/bin/dpkg-deb", {"-f", deb, name});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }
};

TEST_F(DebianPackage, NamesTheLibrariesItNeeds) {
    EXPECT_EQ(field("Package"), "epdshow");
    EXPECT_EQ(field("Version"), cache_value("CMAKE_PROJECT_VERSION") + "-1");
    run_result arch = run_program("/usr/bin/dpkg", {"--print-architecture"});
    EXPECT_EQ(field("Architecture") + "\n", arch.out);
    EXPECT_NE(field("Maintainer"), "");
    std::string depends = field("Depends");
    for (const char *library :
         {"libc6", "libstdc++6", "libusb-1.0-0 ", "libopencv-core", "libopencv-imgcodecs",
          "libopencv-imgproc", "libpugixml", "libsystemd0"}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    }
}

TEST_F(DebianPackage, HoldsWhatTheInstallPutsInPlace) {
    temp_dir contents, stage;
    run_result r = run_program("/usr/bin/dpkg-deb", {"-x", deb, contents.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    installed_at(stage.path(), "/usr");
    EXPECT_EQ(tree(contents.path()), tree(stage.path()));
}

// The conffiles are exactly the files the package puts under /etc; the scripts run with the shell.
TEST_F(DebianPackage, KeepsThePlaylistAndRunsItsScriptsWithTheShell) {
    temp_dir control, contents;
    run_result r = run_program("/usr/bin/dpkg-deb", {"-e", deb, control.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(run_program("/usr/bin/dpkg-deb", {"-x", deb, contents.path()}).status, 0);
    lines under_etc;
    for (const std::string &path : tree(contents.path())) {
        if (path.rfind("/etc/", 0) == 0) {
            under_etc.push_back(path);
        }
    }
    EXPECT_EQ(under_etc, (lines{"/etc/epdshow/playlist.xml", "/etc/logrotate.d/epdshow"}));
    EXPECT_EQ(split_lines(read_file(control.file("conffiles"))), under_etc);
    for (const char *script : {"postinst", "prerm", "postrm"}) {
        SCOPED_TRACE(script);
        auto permissions = fs::status(control.file(script)).permissions();
        EXPECT_EQ(permissions & fs::perms::mask, fs::perms(0755));
        EXPECT_EQ(read_file(control.file(script)).rfind("#!/bin/sh\n", 0), 0u);
        EXPECT_EQ(run_program("/bin/sh", {"-n", control.file(script)}).status, 0);
    }
}

// Debian's own check of a package: no error; each warning that stays is explained in the README's
// packaging notes. The copyright file is machine-readable and the changelog names this version.
TEST_F(DebianPackage, PassesLintianWithItsWarningsExplained) {
    temp_dir contents;
    ASSERT_EQ(run_program("/usr/bin/dpkg-deb", {"-x", deb, contents.path()}).status, 0);
    const std::string doc = contents.path() + "/usr/share/doc/epdshow/";
    EXPECT_EQ(read_file(doc + "copyright")
                  .rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/"
                         "1.0/\n",
                         0),
              0u);
    run_result changelog = run_program("/bin/gzip", {"-dc", doc + "changelog.Debian.gz"});
    EXPECT_EQ(split_lines(changelog.out).at(0),
              "epdshow (" + field("Version") + ") unstable; urgency=medium");

    ASSERT_TRUE(runs("/usr/bin/lintian")) << "lintian is installed by scripts/install-deps";
    run_result r = run_program("/usr/bin/lintian", {"--no-cfg", deb});
    const std::string readme = read_file(source_path("README.md"));
    int errors = 0;
    for (const std::string &line : split_lines(r.out)) {
        if (line.rfind("E: ", 0) == 0) {
            ADD_FAILURE() << line;
            ++errors;
        } else if (line.rfind("W: ", 0) == 0) {
            const lines tag = captures(line, R"(^W: epdshow: ([a-z0-9-]+))");
            ASSERT_EQ(tag.size(), 1u) << line;
            EXPECT_NE(readme.find("`" + tag[0] + "`"), std::string::npos)
                << line << ": not explained in the README's packaging notes";
        }
    }
    EXPECT_EQ(errors, 0) << r.out << r.err;
}

// Another prefix given to cpack is refused, with what to do instead.
TEST(DebianPackageElsewhere, IsRefusedWithAMessage) {
    temp_dir dir;
    run_result r = make_package(dir, {"-D", "CPACK_INSTALL_PREFIX=/opt/epdshow"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(
        (r.out + r.err).find("a Debian package installs under /usr, not under '/opt/epdshow'"),
        std::string::npos)
        << r.out << r.err;
}

} // namespace
