// The real epdshow, linked with Debian's libusb, against controllers emulated at the kernel
// interface by umockdev and served by the same controller model as the simulated bus. Each run
// is compared with epdshow-sim on the same playlist and the same EPDSIM_* set-up: exit status,
// output, log, command journal and controller memory must agree exactly. Stalls, a timeout, a
// phase error (the Bulk-Only reset, a control request) and a controller leaving the bus take the
// real libusb through its error paths.
#include "usb_testbed.h"

#include "controller.h"
#include "epdsim.h"
#include "sim_show.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

struct run_record {
    run_result run;
    std::string log;
    std::vector<std::string> journal;
    std::vector<std::vector<std::uint8_t>> memory; // per controller index
};

struct comparison {
    run_record real;
    run_record sim;
    usb_testbed::counters seen;
    double real_seconds = 0;
};

// The libusb version line is the one line that tells the two buses apart.
std::string comparable_output(const std::string &out) {
    return replace_all(out, "Using libusb v[0-9.]+", "Using libusb v(version)");
}

std::string without_timestamps(const std::string &log) {
    return replace_all(log, log_stamp, "(time)\t");
}

std::vector<std::uint8_t> bytes_of(const std::string &text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Reports the first line where the two runs part, with its neighbours.
void expect_same_lines(const std::vector<std::string> &real, const std::vector<std::string> &sim,
                       const std::string &what) {
    std::size_t common = std::min(real.size(), sim.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (real[i] == sim[i])
            continue;
        std::string context;
        for (std::size_t k = i >= 2 ? i - 2 : 0; k < i; ++k)
            context += "    " + real[k] + "\n";
        ADD_FAILURE() << what << " differ at line " << i + 1 << ":\n"
                      << context << "real libusb:    " << real[i] << "\nsimulated bus: " << sim[i];
        return;
    }
    EXPECT_EQ(real.size(), sim.size())
        << what << ": one run has more lines; first extra: "
        << (real.size() > common ? "real: " + real[common] : "sim: " + sim[common]);
}

void expect_same_memory(const comparison &c) {
    ASSERT_EQ(c.real.memory.size(), c.sim.memory.size()) << "controller count";
    for (std::size_t i = 0; i < c.real.memory.size(); ++i) {
        const auto &real = c.real.memory[i];
        const auto &sim = c.sim.memory[i];
        ASSERT_EQ(real.size(), sim.size()) << "memory size of controller " << i;
        auto differs = std::mismatch(real.begin(), real.end(), sim.begin());
        EXPECT_TRUE(differs.first == real.end())
            << "memory of controller " << i << " differs first at byte "
            << (differs.first - real.begin()) << ": real " << int(*differs.first) << ", simulated "
            << int(*differs.second);
    }
}

void expect_same_runs(const comparison &c) {
    EXPECT_EQ(c.real.run.status, c.sim.run.status) << "exit status";
    EXPECT_EQ(c.real.run.signal, 0);
    expect_same_lines(split_lines(comparable_output(c.real.run.out)),
                      split_lines(comparable_output(c.sim.run.out)), "standard output");
    expect_same_lines(split_lines(c.real.run.err), split_lines(c.sim.run.err), "standard error");
    expect_same_lines(split_lines(without_timestamps(c.real.log)),
                      split_lines(without_timestamps(c.sim.log)), "log.txt");
    expect_same_lines(c.real.journal, c.sim.journal, "command journals");
    expect_same_memory(c);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class RealLibusb : public ::testing::Test {
  protected:
    temp_dir tmp;

    // A short show: one picture over the whole panel, one in an area, no slide wait, one pass.
    std::string write_playlist(int rotate, int en_set_temperature, const std::string &area) {
        mkdir(tmp.file("images").c_str(), 0755);
        cv::imwrite(tmp.file("images/photo.jpg"), numbered_picture(48, 64));
        cv::imwrite(tmp.file("images/logo.png"), numbered_picture(40, 30, 1));
        show_settings settings;
        settings.image_path = tmp.file("images/");
        settings.rotate = rotate;
        settings.en_set_temperature = en_set_temperature;
        return tmp.write("playlist.xml",
                         playlist("<image_name><full_update><img>photo.jpg</img></full_update>"
                                  "<area_update><img>logo.png</img><area>" +
                                      area +
                                      "</area></area_update><stop>one pass</stop></image_name>",
                                  settings));
    }

    // Plays the playlist with the real epdshow in the umockdev testbed, then with epdshow-sim,
    // both on the same virtual panel with the same faults; its engines read busy twice after each
    // refresh. Skips when umockdev cannot run here.
    void play(const std::string &playlist, virtual_panel panel, const std::string &faults,
              comparison &c) {
        panel.busy_reads = "2";
        panel.faults = faults;
        panel.plug();
        if (HasFailure()) {
            return;
        }
        std::string error;
        usb_testbed testbed;
        if (!testbed.ready(&error)) {
            GTEST_SKIP() << "umockdev cannot make a testbed here: " << error;
        }
        if (!testbed.add_controllers(&error)) {
            ADD_FAILURE() << "adding the emulated controllers: " << error;
            return;
        }
        run_result check =
            run_program("/bin/cat", {testbed.first_device_sysfs_path() + "/idVendor"},
                        testbed.environment(), tmp.path(), 10);
        if (check.out != "048d\n") {
            GTEST_SKIP() << "umockdev cannot emulate /sys for a child process here: " << check.out
                         << check.err;
        }

        std::string real_dir = tmp.file("real");
        mkdir(real_dir.c_str(), 0755);
        auto start = std::chrono::steady_clock::now();
        c.real.run = run_program(EPDSHOW_PATH, {playlist}, testbed.environment(), real_dir, 90);
        c.real_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        c.real.log = read_file(real_dir + "/log.txt");
        {
            auto guard = testbed.lock();
            // What the simulated bus does at libusb_exit, for commands left half done.
            for (int i = 0; i < epdsim::controller_count(); ++i)
                epdsim::device(i).abandon("libusb_exit with the command unfinished");
            c.real.journal = epdsim::journal_lines();
            for (int i = 0; i < epdsim::controller_count(); ++i)
                c.real.memory.push_back(epdsim::memory(i));
            c.seen = testbed.seen();
        }

        std::string sim_dir = tmp.file("sim");
        mkdir(sim_dir.c_str(), 0755);
        mkdir((sim_dir + "/memory").c_str(), 0755);
        env_list sim_env = panel.environment();
        sim_env.emplace_back("EPDSIM_JOURNAL", sim_dir + "/journal.txt");
        sim_env.emplace_back("EPDSIM_MEMORY", sim_dir + "/memory");
        c.sim.run = run_program(EPDSHOW_SIM_PATH, {playlist}, sim_env, sim_dir, 90);
        c.sim.log = read_file(sim_dir + "/log.txt");
        c.sim.journal = split_lines(read_file(sim_dir + "/journal.txt"));
        for (std::size_t i = 0; i < c.real.memory.size(); ++i)
            c.sim.memory.push_back(
                bytes_of(read_file(sim_dir + "/memory/controller-" + std::to_string(i) + ".mem")));
    }
};

TEST_F(RealLibusb, TwoControllersPlayTheShowAsOnTheSimulatedBusThroughStalls) {
    std::string playlist = write_playlist(0, 1, "100,200,640,480");
    // Controller 0 stalls its first data-in twice, controller 1 its first command block once:
    // the halts are cleared and the transfers tried again.
    comparison c;
    play(playlist, bands(2880, 1080, {1, 0}), "dev0.stall-in=2,dev1.stall-out=1", c);
    if (IsSkipped() || HasFailure())
        return;
    expect_same_runs(c);
    EXPECT_EQ(c.real.run.status, 0) << c.real.run.err;
    EXPECT_TRUE(contains(c.real.run.out, "2 EPD found!"));
    EXPECT_TRUE(contains(c.real.run.out, "EPD Width = 2880, Height = 2160"));
    EXPECT_TRUE(contains(c.real.run.out, "stop tag one pass and exit"));
    EXPECT_TRUE(contains(c.real.run.err, "usb_read libusb_bulk_transfer() failed : Pipe error, "
                                         "retry 1 times"));
    EXPECT_TRUE(contains(c.real.run.err, "send_cbw libusb_bulk_transfer() failed : Pipe error, "
                                         "retry 0 times"));
    EXPECT_EQ(c.seen.stalled, 3);
    EXPECT_EQ(c.seen.halts_cleared, 3);
    EXPECT_EQ(c.seen.claims, 2);
    EXPECT_EQ(c.seen.unknown_ioctls, 0);
    // Two pictures, each written row by row into the bands it covers and refreshed on both.
    EXPECT_EQ(count_holding(c.real.journal, " write_mem "), 2160 + 480);
    EXPECT_EQ(count_holding(c.real.journal, " display "), 4);
}

TEST_F(RealLibusb, FourControllersPlayTheShowAsOnTheSimulatedBusThroughStalls) {
    std::string playlist = write_playlist(90, 0, "300,700,800,600");
    comparison c;
    play(playlist, layout(32), "id2.stall-in=1,dev3.stall-out=1", c);
    if (IsSkipped() || HasFailure())
        return;
    expect_same_runs(c);
    EXPECT_EQ(c.real.run.status, 0) << c.real.run.err;
    EXPECT_TRUE(contains(c.real.run.out, "4 EPD found!"));
    EXPECT_TRUE(contains(c.real.run.out, "EPD Width = 1440, Height = 2560"));
    EXPECT_TRUE(contains(c.real.run.out, "stop tag one pass and exit"));
    EXPECT_EQ(c.seen.stalled, 2);
    EXPECT_EQ(c.seen.claims, 4);
    for (int i = 0; i < 4; ++i) {
        std::string id = std::to_string(i);
        EXPECT_GE(count_holding(c.real.journal, "dev=" + id + " id=" + id + " write_mem"), 640);
    }
}

TEST_F(RealLibusb, AControllerLeavingTheBusAndComingBackEndsAsOnTheSimulatedBus) {
    std::string playlist = write_playlist(0, 1, "100,200,640,480");
    // Controller 1 leaves the bus in the middle of the first picture and is back when the tool
    // looks for it again (5 s later): the panel is given up, brought back, and the picture shown
    // again whole.
    comparison c;
    play(playlist, layout(42), "dev1.gone=40,dev1.back=1", c);
    if (IsSkipped() || HasFailure())
        return;
    expect_same_runs(c);
    EXPECT_EQ(c.real.run.status, 0) << c.real.run.err;
    EXPECT_TRUE(contains(c.real.run.err, "has left the bus. The image "));
    EXPECT_TRUE(contains(c.real.run.err, "The panel answers again (attempt 1)"));
    EXPECT_TRUE(contains(c.real.run.out, "stop tag one pass and exit"));
    EXPECT_EQ(count_holding(c.real.journal, "device gone"), 1);
    // Both pictures whole on both bands after the panel came back.
    EXPECT_GE(count_holding(c.real.journal, "dev=1 id=1 write_mem"), 1080 + 480);
}

TEST_F(RealLibusb, APhaseErrorGetsTheBulkOnlyResetAsOnTheSimulatedBus) {
    std::string playlist = write_playlist(0, 1, "100,200,640,480");
    // Controller 1 answers one row write with status 2: before its next command the program
    // resets its Bulk-Only transport (a class request, which the real libusb sends as a control
    // URB) and clears both halts; the show goes on.
    comparison c;
    play(playlist, layout(42), "dev1.from=40,dev1.csw-phase=1", c);
    if (IsSkipped() || HasFailure())
        return;
    expect_same_runs(c);
    EXPECT_EQ(c.real.run.status, 0) << c.real.run.err;
    EXPECT_TRUE(contains(c.real.run.err, "Mass Storage Status: 02 (FAILED)"));
    EXPECT_TRUE(contains(c.real.run.out, "stop tag one pass and exit"));
    EXPECT_EQ(count_holding(c.real.journal, "dev=1 id=1 mass-storage-reset iface=0 flags=0x21 "
                                            "len=0 data=- csw=-"),
              1);
    EXPECT_EQ(count_holding(c.real.journal, "stalled"), 0); // the request's framing was right
    EXPECT_EQ(c.seen.halts_cleared, 2);
    EXPECT_EQ(c.seen.stalled, 0);
    EXPECT_EQ(c.seen.unknown_ioctls, 0);
}

TEST_F(RealLibusb, ATimeoutEndsAsOnTheSimulatedBus) {
    std::string playlist = write_playlist(0, 1, "100,200,640,480");
    // Controller 1 never delivers its system info: libusb waits the program's whole timeout,
    // cancels the transfer, and the controller's position ID reads 0 like controller 0's.
    comparison c;
    play(playlist, layout(42), "dev1.timeout-in=1", c);
    if (IsSkipped() || HasFailure())
        return;
    expect_same_runs(c);
    EXPECT_EQ(c.real.run.status, 1);
    EXPECT_TRUE(contains(c.real.run.err, "usb_read libusb_bulk_transfer() failed : Operation "
                                         "timed out, retry 0 times"));
    EXPECT_TRUE(contains(c.real.run.err,
                         "Error: cannot build the panel: controller 1 (bus 1, device "
                         "3) did not deliver its system information"));
    EXPECT_EQ(c.seen.discarded, 1);
    EXPECT_GE(c.real_seconds, 9.5) << "the real libusb waits for the transfer timeout";
}

} // namespace
