// Image preparation: decode as grey, turn, scale, and cut bands in the controllers' pixel order.
#ifndef EPDSHOW_IMG_PROC_H
#define EPDSHOW_IMG_PROC_H

#include <opencv2/core.hpp>
#include <string>

#include "tool.h"

// How a picture is fitted into the size asked for: stretched to it, contained in it with the
// proportions kept and a background around, or covering it with the overflow cropped.
enum class fit_mode { stretch, contain, cover };

struct picture_options {
    fit_mode fit = fit_mode::stretch;
    int background = 255; // grey around a contained picture, and under a transparent one
    bool dither = false;  // Floyd-Steinberg error diffusion onto the panel's 16 grey levels
};

class img_proc {
  public:
    // Loads path as 8-bit grey (a picture with transparency laid on the options' background),
    // turns it by rotate degrees (90, 180, 270) and scales it to w x h, fitted and dithered as the
    // options say. A file that cannot be used leaves the picture empty, prints the loader's
    // message on standard output and one line naming the file and the reason on standard error.
    img_proc(const char *path, int w, int h, int rotate, const picture_options &options = {});
    ~img_proc();

    // A new band buffer of the rectangle, columns reversed; rows reversed too unless flip.
    // Null when the rectangle does not lie inside the picture (an empty picture included).
    band_buffer getArea(int x, int y, int w, int h, bool flip) const;
    bool empty() const { return picture.empty(); }
    const cv::Mat &get_picture() const { return picture; }
    // Why the picture is empty ("not found", ...); empty when it loaded.
    const std::string &get_problem() const { return problem; }

  private:
    void scale(const cv::Mat &source, int w, int h, const picture_options &options);

    cv::Mat picture;
    std::string problem;
};

#endif
