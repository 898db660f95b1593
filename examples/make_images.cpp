// Draws the example pictures of the demo playlists: a grey-level test chart, gradients and
// photo-like scenes of the project's own, written as PNG and JPEG files into one folder.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

cv::Mat test_chart(int w, int h) {
    cv::Mat chart(h, w, CV_8UC1, cv::Scalar(255));
    int step_w = w / 16;
    for (int k = 0; k < 16; ++k) {
        cv::rectangle(chart, cv::Rect(k * step_w, 0, step_w, h / 4), cv::Scalar(k * 17),
                      cv::FILLED);
    }
    for (int x = 0; x < w / 2; x += 4) {
        cv::line(chart, {x, h / 4 + 10}, {x, h / 2 - 10}, cv::Scalar(0), 1 + (x / 64) % 3);
    }
    for (int r = 10; r < h / 4; r += 12) {
        cv::circle(chart, {3 * w / 4, 3 * h / 8}, r, cv::Scalar(0), 2, cv::LINE_AA);
    }
    cv::Mat ramp(h / 4, w, CV_8UC1);
    for (int x = 0; x < w; ++x) {
        ramp.col(x).setTo(cv::Scalar(x * 255 / (w - 1)));
    }
    ramp.copyTo(chart(cv::Rect(0, h / 2, w, h / 4)));
    cv::putText(chart, "epdshow test chart  TOP", {20, h - 60}, cv::FONT_HERSHEY_SIMPLEX, h / 420.0,
                cv::Scalar(0), 3, cv::LINE_AA);
    cv::arrowedLine(chart, {w - 40, h - 20}, {w - 40, h / 2 + h / 4 + 20}, cv::Scalar(0), 6);
    return chart;
}

cv::Mat radial_gradient(int w, int h) {
    cv::Mat g(h, w, CV_8UC1);
    double max_r = std::hypot(w / 2.0, h / 2.0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double r = std::hypot(x - w / 2.0, y - h / 2.0) / max_r;
            g.at<uchar>(y, x) = cv::saturate_cast<uchar>(255 * (1 - r));
        }
    }
    return g;
}

// A hill landscape under a sky with a sun: smooth tones and fine texture, like a photograph.
cv::Mat landscape(int w, int h) {
    cv::Mat scene(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        double t = double(y) / h;
        scene.row(y).setTo(cv::Scalar(235 - 80 * t, 200 - 60 * t, 150 - 40 * t));
    }
    cv::circle(scene, {w * 3 / 4, h / 4}, h / 10, cv::Scalar(200, 245, 255), cv::FILLED,
               cv::LINE_AA);
    cv::RNG rng(8951);
    for (int layer = 0; layer < 3; ++layer) {
        std::vector<cv::Point> hill;
        hill.push_back({0, h});
        for (int x = 0; x <= w; x += w / 40) {
            double y = h * (0.55 + 0.12 * layer) +
                       h * 0.06 * std::sin(x * (0.004 + 0.002 * layer) + layer);
            hill.push_back({x, int(y)});
        }
        hill.push_back({w, h});
        int shade = 90 - 25 * layer;
        cv::fillPoly(scene, std::vector<std::vector<cv::Point>>{hill},
                     cv::Scalar(shade, shade + 40, shade + 10), cv::LINE_AA);
    }
    cv::Mat noise(h, w, CV_8UC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 8);
    scene += noise;
    cv::GaussianBlur(scene, scene, {3, 3}, 0);
    return scene;
}

cv::Mat portrait_frame(int w, int h) {
    cv::Mat p(h, w, CV_8UC1, cv::Scalar(40));
    cv::ellipse(p, {w / 2, h / 2}, {w / 3, h * 2 / 5}, 0, 0, 360, cv::Scalar(200), cv::FILLED,
                cv::LINE_AA);
    cv::ellipse(p, {w / 2, h / 2}, {w / 4, h / 3}, 0, 0, 360, cv::Scalar(120), 8, cv::LINE_AA);
    cv::putText(p, "AREA", {w / 6, h / 2 + 20}, cv::FONT_HERSHEY_DUPLEX, w / 200.0, cv::Scalar(0),
                4, cv::LINE_AA);
    return p;
}

bool save(const std::string &dir, const std::string &name, const cv::Mat &picture) {
    std::string path = dir + "/" + name;
    if (!cv::imwrite(path, picture)) {
        fprintf(stderr, "make_images: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    std::string dir = argc > 1 ? argv[1] : ".";
    bool ok = save(dir, "test-chart.png", test_chart(1440, 1080)) &&
              save(dir, "radial.png", radial_gradient(960, 720)) &&
              save(dir, "landscape.jpg", landscape(1600, 1200)) &&
              save(dir, "area-portrait.png", portrait_frame(480, 600));
    return ok ? 0 : 1;
}
