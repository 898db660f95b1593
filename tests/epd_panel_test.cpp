// Ordering the controllers into a panel, and the panel-wide services.
#include "pictures.h"
#include "usb_session.h"

using namespace testing_support;

namespace {

class Composite : public panel_session {
  protected:
    // Every command sent since the build, for checking that none reached a controller.
    size_t commands_sent() { return new_commands().size(); }

    // Runs every service that talks to controllers; on a panel that is not ready none may.
    void expect_services_send_nothing(epd &p) {
        std::string picture = write_picture("p.png", numbered_picture(8, 8));
        output_of([&] {
            EXPECT_EQ(p.eInk_display_full(picture, 2, 0, 0).what,
                      update_result::outcome::not_ready);
            EXPECT_EQ(p.eInk_display_partial(picture, 0, 0, 8, 8, 2, 0, 0).what,
                      update_result::outcome::not_ready);
            EXPECT_EQ(p.rw_temperature(0, -15), 0);
            EXPECT_EQ(p.rw_temperature(0, -15, 0), 0);
            p.rw_temperature(2, 20);
            p.pmic_ctrl(true, 2330);
            p.write_register(0x18001138, 1);
            p.set_partial_bit(true, 0);
            p.check_LUT_engine();
            p.clr_screen();
            p.ldImg2Buf(picture, 0);
            p.display(2, 1);
        });
        EXPECT_EQ(commands_sent(), 0u);
    }
};

TEST_F(Composite, SlotsFollowTheMultiIdsWhateverTheBusOrder) {
    epd &p = build(virtual_panel("2880x8@1,2880x6@0"));
    ASSERT_TRUE(p.is_ready());
    EXPECT_EQ(err, "");
    // The size comes from slot 0: controller index 1.
    EXPECT_NE(out.find("EPD Width = 2880, Height = 12\n"), std::string::npos);
    EXPECT_EQ(p.get_width(), 2880);
    EXPECT_EQ(p.get_height(), 12);
    EXPECT_EQ(p.get_intID(), 0);

    output_of([&] { p.display(2, 1); });
    const lines refresh = new_commands();
    ASSERT_EQ(refresh.size(), 6u);
    EXPECT_EQ(refresh[2], "dev=0 display mode=2 x=0 y=0 w=2880 h=6 arg6=1");
    EXPECT_EQ(refresh[5], "dev=1 display mode=2 x=0 y=0 w=2880 h=6 arg6=1");

    EXPECT_EQ(output_of([&] { p.pmic_ctrl(false, 2330); }).rfind("it8951_dev[0]: pmic_ctrl\n", 0),
              0u);
    EXPECT_EQ(new_commands(), lines{"dev=1 power off vcom=2330"});
}

TEST_F(Composite, MultiId10000StillAsksForPlacementById) {
    epd &p = build(bands(2880, 8, {10000, 0}));
    EXPECT_FALSE(p.is_ready());
    EXPECT_EQ(err, "Error: cannot order the controllers into a panel: their multi IDs must "
                   "be 0 to 1, each once:\n"
                   "\tcontroller 0 reports multi ID 10000\n"
                   "\tcontroller 1 reports multi ID 0\n");
    EXPECT_EQ(out.find("EPD Width"), std::string::npos);
    expect_services_send_nothing(p);
}

TEST_F(Composite, MultiIdAbove10000MakesController0ThePanelAlone) {
    virtual_panel controllers("2880x8@10001,2880x6@0");
    controllers.temperatures = "30,10";
    epd &p = build(controllers);
    ASSERT_TRUE(p.is_ready());
    EXPECT_EQ(p.get_nb_devs(), 1);
    EXPECT_EQ(p.get_height(), 8);
    EXPECT_EQ(p.get_intID(), 10001);
    EXPECT_NE(err.find("the other 1 controllers are ignored"), std::string::npos);

    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(0, -15), 30); }),
              "it8951_dev[0]: read_temperature\n");
    p.write_register(0x18001138, 7);
    // One controller matches no layout: nothing is loaded or refreshed.
    output_of([&] { p.display(2, 1); });
    EXPECT_EQ(new_commands(), (lines{"dev=0 temp type=0 value=-15",
                                     "dev=0 write_reg addr=0x18001138 value=0x00000007"}));
}

struct bad_ids {
    std::vector<int> ids;
};

void PrintTo(const bad_ids &b, std::ostream *out) {
    *out << testing::PrintToString(b.ids);
}

class PanelWithBadIds : public Composite, public testing::WithParamInterface<bad_ids> {};

TEST_P(PanelWithBadIds, IsNotReadyAndNamesEveryController) {
    const std::vector<int> &ids = GetParam().ids;
    epd &p = build(bands(1440, 4, ids));
    EXPECT_FALSE(p.is_ready());
    EXPECT_EQ(err.rfind("Error: cannot order the controllers into a panel: ", 0), 0u);
    for (size_t j = 0; j < ids.size(); ++j) {
        const std::string line = "\tcontroller " + std::to_string(j) + " reports multi ID " +
                                 std::to_string(ids[j]) + "\n";
        EXPECT_NE(err.find(line), std::string::npos) << line;
    }
    expect_services_send_nothing(p);
}

INSTANTIATE_TEST_SUITE_P(Ids, PanelWithBadIds,
                         testing::Values(bad_ids{{0, 0}}, bad_ids{{0, 2}}, bad_ids{{1, -1}},
                                         bad_ids{{3, 2, 1, 1}}, bad_ids{{0, 1, 2, 3, 4}},
                                         bad_ids{{5}}));

TEST_F(Composite, NoControllerCountCreatesNoController) {
    bands(2880, 8, {0}).plug();
    for (int count : {0, -4}) {
        epd &p = build_with_count(&count);
        EXPECT_FALSE(p.is_ready());
        EXPECT_NE(err.find("Error: no controller"), std::string::npos);
        expect_services_send_nothing(p);
        panel.reset();
        usb_close();
    }
    EXPECT_TRUE(epdsim::journal().empty());
}

struct readings {
    int top, bottom, average;
};

void PrintTo(const readings &r, std::ostream *out) {
    *out << r.top << " and " << r.bottom;
}

class PanelTemperature : public Composite, public testing::WithParamInterface<readings> {};

TEST_P(PanelTemperature, AverageTruncatesTowardZero) {
    virtual_panel controllers = bands(2880, 4, {0, 1});
    controllers.temperatures =
        std::to_string(GetParam().bottom) + "," + std::to_string(GetParam().top);
    epd &p = build(controllers);
    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(0, -15), GetParam().average); }),
              "it8951_dev[1]: read_temperature\nit8951_dev[0]: read_temperature\n");
    EXPECT_EQ(new_commands(),
              (lines{"dev=1 temp type=0 value=-15", "dev=0 temp type=0 value=-15"}));
}

INSTANTIATE_TEST_SUITE_P(Readings, PanelTemperature,
                         testing::Values(readings{25, 26, 25}, readings{-3, -4, -3},
                                         readings{0, 0, 0}));

TEST_F(Composite, TemperatureWriteAndSingleSlotForms) {
    virtual_panel controllers = bands(2880, 4, {0, 1});
    controllers.temperatures = "26,25";
    epd &p = build(controllers);
    // The one-slot read is that controller's reading divided by the number of controllers.
    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(0, -15, 0), 13); }),
              "it8951_dev[0]: read_temperature\n");
    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(1, 20, 1), 0); }),
              "it8951_dev[1]: write_temperature 20 Celsius\n");
    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(0, -15, 2), 0); }), "");
    EXPECT_EQ(new_commands(), (lines{"dev=0 temp type=0 value=-15", "dev=1 temp type=1 value=20"}));

    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.rw_temperature(2, 24), 0); }),
              "it8951_dev[1]: write_temperature 24 Celsius\n"
              "it8951_dev[0]: write_temperature 24 Celsius\n");
    EXPECT_EQ(new_commands(), (lines{"dev=1 temp type=2 value=24", "dev=0 temp type=2 value=24"}));
}

TEST_F(Composite, RegisterWriteReachesEverySlotFromTheTop) {
    epd &p = build(bands(1440, 4, {2, 0, 3, 1}));
    EXPECT_EQ(output_of([&] { p.write_register(0x18001000, 0x01020304); }), "");
    EXPECT_EQ(new_commands(), (lines{"dev=2 write_reg addr=0x18001000 value=0x01020304",
                                     "dev=0 write_reg addr=0x18001000 value=0x01020304",
                                     "dev=3 write_reg addr=0x18001000 value=0x01020304",
                                     "dev=1 write_reg addr=0x18001000 value=0x01020304"}));
}

TEST_F(Composite, LutPollGoesOnWhileAnyEngineIsBusy) {
    virtual_panel controllers = layout(32, 4);
    controllers.busy_reads = "2,0,0,0";
    epd &p = build(controllers);
    output_of([&] { p.display(2, 1); });
    new_commands();
    EXPECT_EQ(output_of([&] { EXPECT_EQ(p.check_LUT_engine(), 0); }),
              "LUT engine is busy!\nLUT engine is busy!\n");
    const lines reads = new_commands();
    ASSERT_EQ(reads.size(), 12u);
    EXPECT_EQ(reads[0], "dev=3 read_reg addr=0x18001224");
    EXPECT_EQ(reads[11], "dev=0 read_reg addr=0x18001224");
}

TEST_F(Composite, LutPollIgnoresTheUpperHalfOfTheEngineRegister) {
    // The simulated engine register never reads 0 in bits 16-31.
    epd &p = build(layout(42, 4));
    output_of([&] { p.display(2, 1); });
    new_commands();
    EXPECT_EQ(output_of([&] { p.check_LUT_engine(); }), "");
    EXPECT_EQ(new_commands(),
              (lines{"dev=1 read_reg addr=0x18001224", "dev=0 read_reg addr=0x18001224"}));
}

TEST_F(Composite, LutPollGivesUpAtItsLimitAndGoesOn) {
    virtual_panel controllers = layout(42, 4);
    controllers.busy_reads = "1000000,0";
    epd &p = build(controllers);
    p.set_lut_poll_limit_ms(200);
    output_of([&] { p.display(2, 1); });
    const std::string out = output_of([&] { EXPECT_EQ(p.check_LUT_engine(), -1); });
    EXPECT_NE(out.find("LUT engine is busy!\n"), std::string::npos);
    const std::string last = "LUT engine still busy after 0.2 s, going on\n";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
}

TEST_F(Composite, ClearScreenRefreshesWithMode0AndWaitsForTheEngines) {
    virtual_panel controllers = layout(42, 4);
    controllers.busy_reads = "1,0";
    epd &p = build(controllers);
    EXPECT_EQ(output_of([&] { p.clr_screen(); }),
              "[1]Disable Partial Bit 19 done\n[0]Disable Partial Bit 19 done\n"
              "LUT engine is busy!\nDelay ~30ms\n");
    const lines commands = new_commands();
    ASSERT_EQ(commands.size(), 10u);
    EXPECT_EQ(commands[2], "dev=1 display mode=0 x=0 y=0 w=2880 h=4 arg6=1");
    EXPECT_FALSE(epdsim::power_on(0));
}

} // namespace
