// The playlist reader: settings, their echo, area texts and the refusal of unusable playlists.
#include <gtest/gtest.h>

#include "folder.h"
#include "playlist.h"
#include "schedule.h"
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>

using testing_support::temp_dir;

namespace {

const char *const settings_block = "<color>grey</color>\n"
                                   "<image_path>/srv/images/</image_path>\n"
                                   "<slide_interval>60</slide_interval>\n"
                                   "<en_set_temperature>0</en_set_temperature>\n"
                                   "<temperature>23</temperature>\n"
                                   "<waveform_mode>2</waveform_mode>\n"
                                   "<rotate>90</rotate>\n";

const char *const settings_echo = "epd name = hall\n"
                                  "color = grey\n"
                                  "image path = /srv/images/\n"
                                  "slide interval = 60\n"
                                  "en set temp    = 0\n"
                                  "temperature    = 23\n"
                                  "waveform_mode  = 2\n"
                                  "rotate  = 90\n";

struct parsed {
    bool ok;
    dpy_imgs_info settings;
    std::string out;
    std::string err;
};

parsed parse_text(const std::string &xml) {
    temp_dir dir;
    std::string path = dir.write("playlist.xml", xml);
    parsed result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.ok = parsing_xml_file(path.c_str(), result.settings);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

} // namespace

TEST(PlaylistSettings, EchoesTheEightLinesExactly) {
    parsed p =
        parse_text(std::string("<show><epd name=\"hall\">") + settings_block + "</epd></show>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.out, settings_echo);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.settings.rotate, 90);
    EXPECT_EQ(p.settings.image_path, "/srv/images/");
}

TEST(PlaylistSettings, OrderOtherElementsDuplicatesAndRootNameDoNotMatter) {
    parsed p = parse_text("<anything><other/><epd name=\"hall\">"
                          "<rotate>90</rotate><image_name/><waveform_mode>2</waveform_mode>"
                          "<temperature>23</temperature><junk>x</junk>"
                          "<en_set_temperature>0</en_set_temperature>"
                          "<slide_interval>60</slide_interval><slide_interval>5</slide_interval>"
                          "<image_path>/srv/images/</image_path><color>grey</color>"
                          "<color>red</color></epd><epd name=\"second\"/></anything>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.out, settings_echo);
}

TEST(PlaylistSettings, IntegersReadTheWayAtoiDoes) {
    parsed p = parse_text("<r><epd><color/><image_path></image_path>"
                          "<slide_interval> 12 seconds</slide_interval>"
                          "<en_set_temperature>none</en_set_temperature>"
                          "<temperature>-7x</temperature><waveform_mode>+4</waveform_mode>"
                          "<rotate>99999999999</rotate></epd></r>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.settings.slide_interval, 12);
    EXPECT_EQ(p.settings.en_set_temperature, 0);
    EXPECT_EQ(p.settings.temperature, -7);
    EXPECT_EQ(p.settings.waveform_mode, 4);
    EXPECT_EQ(p.settings.rotate, INT32_MAX);
    EXPECT_EQ(p.settings.name, "");
    EXPECT_NE(p.out.find("epd name = \ncolor = \nimage path = \n"), std::string::npos);
}

TEST(PlaylistSettings, TextsKeepTheirBlanksAndLineBreaks) {
    parsed p = parse_text("<r><epd name=\" a b \"><color>  </color>"
                          "<image_path>\n  /srv/x \n</image_path><slide_interval>1</slide_interval>"
                          "<en_set_temperature>1</en_set_temperature><temperature>1</temperature>"
                          "<waveform_mode>1</waveform_mode><rotate>1</rotate></epd></r>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.settings.name, " a b ");
    EXPECT_EQ(p.settings.color, "  ");
    EXPECT_EQ(p.settings.image_path, "\n  /srv/x \n");
}

TEST(PlaylistSettings, EpdAsTheRootHoldsNoSettings) {
    parsed p = parse_text(std::string("<epd name=\"hall\">") + settings_block + "</epd>");
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.out, "");
    EXPECT_NE(p.err.find("has no <epd> element under its root element"), std::string::npos);
}

TEST(PlaylistSettings, UnusablePlaylistsAreNamedWithTheirProblem) {
    // Every missing setting is named at once.
    parsed missing = parse_text("<r><epd><color/><rotate>0</rotate></epd></r>");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(testing_support::count_starting(missing.err, "Error: "), 5);
    EXPECT_NE(missing.err.find("playlist.xml:1: no <image_path> setting in its <epd> element\n"),
              std::string::npos);
    EXPECT_NE(missing.err.find("playlist.xml:1: no <waveform_mode> setting in its <epd> element\n"),
              std::string::npos);

    parsed broken = parse_text("<r>\n<epd>\n<color></epd></r>");
    EXPECT_FALSE(broken.ok);
    EXPECT_NE(broken.err.find("is not well-formed XML: "), std::string::npos);
    EXPECT_NE(broken.err.find("at line 3, column "), std::string::npos) << broken.err;

    parsed empty = parse_text("");
    EXPECT_FALSE(empty.ok);
    EXPECT_NE(empty.err.find("is not well-formed XML"), std::string::npos);

    dpy_imgs_info settings;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(parsing_xml_file("/nonexistent/playlist.xml", settings));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: cannot read playlist file '/nonexistent/playlist.xml': No such file or "
              "directory\n");
}

TEST(PlaylistSettings, QuietHoursEchoAfterTheEightLinesAndAttributesAddNothing) {
    parsed p = parse_text(std::string("<show><epd name=\"hall\">") + settings_block +
                          "<quiet_hours clear=\" true \"> 22:00-07:00, 12:30-13:00 </quiet_hours>"
                          "<image_name><full_update><img seconds=\"300\">a.png</img>"
                          "<folder seconds=\"5\" shuffle=\"false\">beach/</folder></full_update>"
                          "<area_update><img seconds=\"0\">b.png</img></area_update></image_name>"
                          "</epd></show>");
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.out, std::string(settings_echo) + "quiet_hours = 22:00-07:00,12:30-13:00\n");
    EXPECT_TRUE(p.settings.quiet.clear);
}

TEST(QuietHours, WindowsCrossMidnightRunTogetherAndEndWhereTheyEnd) {
    auto at = [](int hours, int minutes, int seconds = 0) {
        return hours * 3600 + minutes * 60 + seconds;
    };
    quiet_hours night;
    ASSERT_TRUE(night.read("22:00-07:00"));
    EXPECT_FALSE(night.covers(at(21, 59, 59)));
    EXPECT_TRUE(night.covers(at(22, 0)));
    EXPECT_TRUE(night.covers(at(0, 0)));
    EXPECT_TRUE(night.covers(at(6, 59, 59)));
    EXPECT_FALSE(night.covers(at(7, 0)));
    EXPECT_EQ(night.end_of(at(23, 30, 10)), at(7, 0));
    // The time left, on both sides of midnight, never negative and never past the end.
    quiet_hours late;
    ASSERT_TRUE(late.read("22:00-06:00"));
    EXPECT_EQ(late.seconds_left(at(22, 0)), 8 * 3600);
    EXPECT_EQ(late.seconds_left(at(23, 0)), 7 * 3600);
    EXPECT_EQ(late.seconds_left(at(23, 59, 59)), 6 * 3600 + 1);
    EXPECT_EQ(late.seconds_left(at(0, 0)), 6 * 3600);
    EXPECT_EQ(late.seconds_left(at(5, 59, 59)), 1);

    quiet_hours joined;
    ASSERT_TRUE(joined.read(" 22:00 - 23:00 , 23:00-24:00,0:00-01:00,9:15-9:45 "));
    EXPECT_EQ(joined.text(), "22:00-23:00,23:00-24:00,0:00-01:00,9:15-9:45");
    EXPECT_EQ(joined.end_of(at(22, 10)), at(1, 0));
    EXPECT_EQ(joined.seconds_left(at(22, 10)), at(2, 50));
    EXPECT_EQ(joined.end_of(at(9, 44, 59)), at(9, 45));
    EXPECT_EQ(joined.seconds_left(at(9, 44, 59)), 1);
    EXPECT_FALSE(joined.covers(at(1, 0)));
    EXPECT_FALSE(joined.covers(at(9, 14, 59)));

    // A window that 24:00 ends stops at midnight.
    quiet_hours evening;
    ASSERT_TRUE(evening.read("23:00-24:00"));
    EXPECT_TRUE(evening.covers(at(23, 59, 59)));
    EXPECT_FALSE(evening.covers(at(0, 0)));
    EXPECT_EQ(evening.end_of(at(23, 30)), 0);
    EXPECT_EQ(evening.seconds_left(at(23, 30)), 1800);
    EXPECT_EQ(clock_text(evening.end_of(at(23, 30))), "00:00");
    EXPECT_EQ(clock_text(at(7, 5, 59)), "07:05");
    EXPECT_EQ(clock_text(at(23, 59, 59)), "23:59");

    for (const char *refused :
         {"", "22:00", "22-07", "22:00-07:00,", "25:00-07:00", "22:60-07:00", "7:0-8:00",
          "+1:00-2:00", "22:00-07:00x", "22:00-22:00", "00:00-24:00", "00:00-12:00,12:00-00:00",
          "22:00-24:30", "24:01-02:00"}) {
        quiet_hours hours;
        EXPECT_FALSE(hours.read(refused)) << refused;
        EXPECT_TRUE(hours.empty()) << refused;
    }
}

namespace {

// "2030-01-07 06:30" in UTC, the time zone of the schedule tests.
std::time_t utc_minute(const std::string &text) {
    std::tm fields = {};
    strptime(text.c_str(), "%Y-%m-%d %H:%M", &fields);
    return timegm(&fields);
}

} // namespace

// The `when` grammar in one table: texts that read, with moments at which they hold and do not
// (the week of Monday 2030-01-07, UTC), texts that do not read, with the part that does not, and
// texts that read but whose alternatives can never hold, with why. Then when each next holds.
TEST(Schedule, WhenTextsReadHoldNeverHoldAndComeDue) {
    setenv("TZ", "UTC", 1);
    tzset();
    const struct {
        const char *text;
        std::vector<const char *> holds;
        std::vector<const char *> not_holds;
        std::string problem = ""; // of a text that does not read
        std::string never = "";   // of one whose alternatives can never hold
    } cases[] = {
        {"Mon-Fri 06:30-11:00",
         {"2030-01-07 06:30", "2030-01-11 10:59"},
         {"2030-01-07 06:29", "2030-01-07 11:00", "2030-01-12 08:00"}},
        {" sat,SUN ",
         {"2030-01-12 00:00", "2030-01-13 23:59"},
         {"2030-01-11 23:59", "2030-01-14 00:00"}},
        {"Fri-Mon,Wed",
         {"2030-01-11 12:00", "2030-01-14 12:00", "2030-01-09 12:00"},
         {"2030-01-08 12:00", "2030-01-10 23:59"}},
        {"22:00-02:00,12:00-13:00",
         {"2030-01-07 23:00", "2030-01-08 01:59", "2030-01-08 12:30"},
         {"2030-01-08 02:00", "2030-01-07 21:59", "2030-01-07 13:00"}},
        // Each part is judged at the moment itself: Friday's early hours and late evening.
        {"Fri 22:00-02:00", {"2030-01-11 23:00", "2030-01-11 01:00"}, {"2030-01-12 01:00"}},
        {"2030-01-08..2030-01-09",
         {"2030-01-08 00:00", "2030-01-09 23:59"},
         {"2030-01-07 23:59", "2030-01-10 00:00"}},
        {"2030-12-24 16:00-24:00", {"2030-12-24 23:59"}, {"2030-12-24 15:59", "2030-12-25 00:00"}},
        {"Mon 08:00-09:00; Sat,Sun\t10:00-11:00",
         {"2030-01-07 08:30", "2030-01-13 10:00"},
         {"2030-01-07 10:30", "2030-01-13 08:30"}},
        {"00:00-24:00 09:00-17:00 10:00-11:30",
         {"2030-01-07 10:00", "2030-01-07 11:29"},
         {"2030-01-07 09:30", "2030-01-07 11:30"}},
        {"2028-02-29", {"2028-02-29 12:00"}, {"2028-03-01 00:00"}},
        {"", {}, {}, "an alternative is empty"},
        {"Mon;", {}, {}, "an alternative is empty"},
        {"Mnday 10:00-11:00", {}, {}, "'Mnday' does not read"},
        {"Mon - Fri", {}, {}, "'-' does not read"},
        {"Mon-", {}, {}, "'Mon-' does not read"},
        {"06:30 - 11:00", {}, {}, "'06:30' does not read"},
        {"7:0-8:00", {}, {}, "'7:0-8:00' does not read"},
        {"22:00-24:30", {}, {}, "'22:00-24:30' does not read"},
        {"10:00-11:00,", {}, {}, "'10:00-11:00,' does not read"},
        {"2029-02-29", {}, {}, "'2029-02-29' does not read"},
        {"2030-1-2", {}, {}, "'2030-1-2' does not read"},
        {"2030-01-01..", {}, {}, "'2030-01-01..' does not read"},
        {"10:00-10:00",
         {},
         {"2030-01-07 10:00"},
         "",
         "'10:00-10:00' can never hold: its windows leave no time"},
        {"Mon Tue", {}, {}, "", "'Mon Tue' can never hold: its weekdays have no day in common"},
        {"10:00-11:00 12:00-13:00",
         {},
         {},
         "",
         "'10:00-11:00 12:00-13:00' can never hold: its windows have no time in common"},
        {"2030-01-07..2030-01-08 2030-01-10",
         {},
         {},
         "",
         "'2030-01-07..2030-01-08 2030-01-10' can never hold: its dates have no day in common"},
        {"Sat,Sun 2030-01-07..2030-01-11",
         {},
         {"2030-01-12 12:00"},
         "",
         "'Sat,Sun 2030-01-07..2030-01-11' can never hold: none of its dates falls on its "
         "weekdays"},
        {"Mon; 2030-01-09..2030-01-08",
         {"2030-01-07 12:00"},
         {"2030-01-09 12:00"},
         "",
         "'2030-01-09..2030-01-08' can never hold: its dates end before they begin"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        schedule when;
        std::string problem;
        EXPECT_EQ(when.read(c.text, problem), c.problem.empty());
        EXPECT_EQ(problem, c.problem);
        if (!c.problem.empty()) {
            EXPECT_TRUE(when.always());
            continue;
        }
        for (const char *moment : c.holds) {
            EXPECT_TRUE(when.holds(utc_minute(moment))) << moment;
        }
        for (const char *moment : c.not_holds) {
            EXPECT_FALSE(when.holds(utc_minute(moment))) << moment;
        }
        const std::vector<std::string> never = when.never_holding();
        EXPECT_EQ(never,
                  c.never.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.never});
    }

    const struct {
        const char *text;
        const char *after;
        const char *next; // null: never again
    } next_cases[] = {
        {"Mon 07:00-09:00", "2030-01-07 09:00", "2030-01-14 07:00"},
        {"22:00-02:00", "2030-01-07 02:00", "2030-01-07 22:00"},
        {"Fri 22:00-02:00", "2030-01-11 02:00", "2030-01-11 22:00"},
        {"Sat,Sun; 2030-01-09 12:00-13:00", "2030-01-07 10:00", "2030-01-09 12:00"},
        {"2031-06-02..2031-06-30 Mon 10:00-11:00", "2030-01-07 00:00", "2031-06-02 10:00"},
        {"2029-01-01..2029-12-31", "2030-01-07 00:00", nullptr},
    };
    for (const auto &c : next_cases) {
        SCOPED_TRACE(c.text);
        schedule when;
        std::string problem;
        ASSERT_TRUE(when.read(c.text, problem));
        const std::optional<std::time_t> next = schedule::first_moment(
            {&when}, utc_minute(c.after), [&](std::time_t t) { return when.holds(t); });
        ASSERT_EQ(next.has_value(), c.next != nullptr);
        if (c.next != nullptr) {
            EXPECT_EQ(*next, utc_minute(c.next));
        }
    }
}

TEST(FolderPictures, NaturalOrderPutsImg2BeforeImg10) {
    std::vector<std::string> names = {"img10.png",
                                      "img2.png",
                                      "IMG3.png",
                                      "img1.png",
                                      "img01.png",
                                      "a.png",
                                      "a.png.png",
                                      "img1b.png",
                                      "img1a.png",
                                      "b2c10.png",
                                      "b2c9.png",
                                      "x100000000000000000000.png",
                                      "x99999999999999999999.png"};
    std::sort(names.begin(), names.end(), natural_less);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "a.png", "a.png.png", "b2c9.png", "b2c10.png", "img01.png", "img1.png",
                         "img1a.png", "img1b.png", "img2.png", "IMG3.png", "img10.png",
                         "x99999999999999999999.png", "x100000000000000000000.png"}));
}

TEST(FolderPictures, HiddenTemporaryAndUnreadableNamesAreLeftOut) {
    for (const char *kept : {"photo.jpg", "Photo.JPEG", "scan.tif", "x.webp", "y.bmp", "z.pgm"}) {
        EXPECT_TRUE(!hidden_or_temporary_name(kept) && has_picture_extension(kept)) << kept;
    }
    for (const char *left_out :
         {".photo.jpg", "photo.jpg~", "~$photo.jpg", "#photo.jpg#", "photo.jpg.part", "photo.tmp",
          "photo.crdownload", ".photo.jpg.swp", "notes.txt", "photo", "anim.gif"}) {
        EXPECT_FALSE(!hidden_or_temporary_name(left_out) && has_picture_extension(left_out))
            << left_out;
    }
}

// A file modified within 10 s either side of now may still be being written: it waits for a later
// pass. One dated further ahead (the clock of the machine that copied it was wrong) is shown, not
// hidden until that date.
TEST(FolderPictures, FilesWaitTheSettleTimeAndFutureDatedOnesShow) {
    temp_dir dir;
    const std::time_t now = 1893499200; // 2030-01-01 12:00:00 UTC
    const std::pair<const char *, std::time_t> files[] = {
        {"old.png", now - 3600}, {"ten.png", now - settle_seconds}, {"nine.png", now - 9},
        {"ahead9.png", now + 9}, {"ahead10.png", now + 10},         {"tomorrow.png", now + 86400}};
    for (const auto &[name, modified] : files) {
        const std::string path = dir.write(name, "x");
        const timespec times[2] = {{modified, 0}, {modified, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    const std::vector<std::string> expected = {"ahead10.png", "old.png", "ten.png", "tomorrow.png"};
    std::vector<std::string> names;
    ASSERT_TRUE(list_pictures(dir.path(), now, names));
    EXPECT_EQ(names, expected);
    // No folder text under no image_path: the working folder.
    const std::string before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    names.clear();
    EXPECT_TRUE(list_pictures("", now, names));
    std::filesystem::current_path(before);
    EXPECT_EQ(names, expected);
    EXPECT_FALSE(list_pictures(dir.file("missing"), now, names));
    EXPECT_EQ(errno, ENOENT);
}

// Every order comes up, each a whole permutation; the picture shown just before never comes
// first.
TEST(FolderPictures, ShuffleGivesEveryOrderAndNeverStartsWithThePictureBefore) {
    const std::vector<std::string> pictures = {"p1", "p2", "p3"};
    std::mt19937_64 random(1);
    for (const std::string avoid : {"", "p1"}) {
        std::set<std::vector<std::string>> orders;
        for (int i = 0; i < 600; ++i) {
            std::vector<std::string> names = pictures;
            shuffle_pictures(names, random, avoid);
            EXPECT_NE(names[0], avoid);
            orders.insert(names);
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, pictures);
        }
        EXPECT_EQ(orders.size(), avoid.empty() ? 6u : 4u) << "avoiding '" << avoid << "'";
    }
    std::vector<std::string> one = {"p1"};
    shuffle_pictures(one, random, "p1");
    EXPECT_EQ(one, std::vector<std::string>{"p1"});
}

TEST(FolderPictures, TheReadmeListsTheFormatsTheFolderTakes) {
    const std::string readme = testing_support::read_file(EPDSHOW_SOURCE_DIR "/README.md");
    const std::string lead = "decoder (OpenCV) reads: `";
    const size_t from = readme.find(lead);
    ASSERT_NE(from, std::string::npos);
    std::istringstream listed(readme.substr(
        from + lead.size(), readme.find('`', from + lead.size()) - from - lead.size()));
    std::vector<std::string> extensions{std::istream_iterator<std::string>(listed), {}};
    EXPECT_EQ(extensions, picture_extensions());
}

TEST(AreaText, FieldsSplitLikeStrtokAndReadLikeAtoi) {
    struct {
        const char *text;
        dpy_area expected;
    } cases[] = {
        {"10, 20, 300, 400", {10, 20, 300, 400}},
        {"10,,20, 300,400,", {10, 20, 300, 400}},
        {",,10,20,300,400", {10, 20, 300, 400}},
        {"10,20", {10, 20, 0, 0}},
        {"", {0, 0, 0, 0}},
        {",,,", {0, 0, 0, 0}},
        {"1,2,3,4,5,6", {1, 2, 3, 4}},
        {" 7px, -8 ,\n9,x", {7, -8, 9, 0}},
    };
    for (const auto &c : cases) {
        dpy_area a = parsing_area(c.text);
        EXPECT_EQ(a.x, c.expected.x) << c.text;
        EXPECT_EQ(a.y, c.expected.y) << c.text;
        EXPECT_EQ(a.w, c.expected.w) << c.text;
        EXPECT_EQ(a.h, c.expected.h) << c.text;
    }
}
