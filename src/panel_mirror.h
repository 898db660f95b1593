// What the panel shows, known from what the program sent: each controller's image memory as the
// program wrote it and each band as its refreshes left it, composed as a viewer sees the panel.
#ifndef EPDSHOW_PANEL_MIRROR_H
#define EPDSHOW_PANEL_MIRROR_H

#include <opencv2/core.hpp>
#include <vector>

#include "panel_observer.h"

struct panel_layout;

class panel_mirror : public panel_observer {
  public:
    // The panel's shape: bands of band_width x band_height, slot bands - 1 on top, and its layout
    // (null for none). Another shape starts white, as the controllers' memory does; the same shape
    // keeps what it holds, as a panel brought back still shows what it showed.
    void set_shape(const panel_layout *layout, int bands, int band_width, int band_height);

    // rows rows of w bytes, written into the memory of slot's controller at column x of row y.
    void band_written(int slot, int x, int y, int w, int rows, const unsigned char *bytes) override;
    // A refresh of slot's band: waveform mode 0 drives the rectangle white, any other shows the
    // memory there. A rectangle outside the band changes nothing, as the controller refuses it.
    void refresh_made(int slot, int x, int y, int w, int h, int mode) override;

    // The whole panel as a viewer sees it, in the 16 grey levels of e-paper (0, 17, ..., 255).
    cv::Mat compose() const;

  private:
    struct band {
        cv::Mat memory;
        cv::Mat shown;
    };
    const band *band_at(int slot) const;

    const panel_layout *layout = nullptr;
    std::vector<band> bands; // by slot
};

#endif
