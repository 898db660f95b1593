// Tests that drive the USB layer in-process over the simulated bus. Each runs in a fresh folder
// (usb_init writes log.txt into the working folder) on an empty bus, and leaves the USB layer as
// a new process has it.
#ifndef EPDSHOW_USB_SESSION_H
#define EPDSHOW_USB_SESSION_H

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "epdsim.h"
#include "test_support.h"
#include "usb_controller.h"

class usb_session_test : public testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        home = cwd;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        epdsim::reset();
    }

    // Ends the USB layer quietly and puts its globals back to their first values.
    void TearDown() override {
        testing::internal::CaptureStdout();
        usb_close();
        testing::internal::GetCapturedStdout();
        endpoint_in = 0;
        endpoint_out = 0;
        nb_ifaces = 0;
        version = nullptr;
        epdsim::reset();
        EXPECT_EQ(chdir(home.c_str()), 0);
    }

    testing_support::temp_dir dir;
    std::string home;
};

#endif
