// Image preparation: decode as grey, turn, scale, and cut bands in the controllers' pixel order.
#ifndef EPDSHOW_IMG_PROC_H
#define EPDSHOW_IMG_PROC_H

#include <opencv2/core.hpp>

#include "tool.h"

class img_proc {
  public:
    // Loads path as 8-bit grey, turns it by rotate degrees (90, 180, 270) and scales it to w x h.
    img_proc(const char *path, int w, int h, int rotate);
    ~img_proc();

    // A new band buffer of the rectangle, columns reversed; rows reversed too unless flip.
    // Null when the rectangle does not lie inside the picture (an empty picture included).
    band_buffer getArea(int x, int y, int w, int h, bool flip) const;
    bool empty() const { return picture.empty(); }
    const cv::Mat &get_picture() const { return picture; }

  private:
    cv::Mat picture;
};

#endif
