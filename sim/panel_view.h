// The panel as a viewer sees it: the controllers' bands composed into one picture, the frames the
// panel showed (saved as PNG when a folder is set) and the image memories dumped at the end.
#ifndef EPDSIM_PANEL_VIEW_H
#define EPDSIM_PANEL_VIEW_H

#include "controller.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace epdsim {

using controller_list = std::vector<std::unique_ptr<controller>>;

// 42 or 32 when the controllers form that layout, else 0.
int layout_of(const controller_list &controllers);

// The bands stacked, the highest multi ID on top, in the 16 grey levels the panel shows.
cv::Mat compose_panel(const controller_list &controllers);

class panel_view {
  public:
    void add_band() { refreshes_seen.push_back(0); }
    void forget_bands() { refreshes_seen.clear(); }
    // Counts the refreshes the controller of band index has made since it was last counted.
    void count_refreshes(int index, std::size_t refreshes);
    // Writes a frame when refreshes are unshown (at a power-off, and at the end).
    void show_unshown(const controller_list &controllers);
    void dump_memories(const controller_list &controllers) const;
    void set_frames_dir(const std::string &dir) { frames_dir = dir; }
    // At most this many frames are written to the folder; the panel goes on being composed.
    void set_frames_max(int count) { frames_max = count; }
    void set_memory_dir(const std::string &dir) { memory_dir = dir; }
    int frame_count() const { return frames; }
    const cv::Mat &last_frame() const { return last; }

  private:
    void write_frame(const controller_list &controllers);

    std::vector<std::size_t> refreshes_seen; // per controller index
    int unshown_refreshes = 0;
    int frames = 0;
    cv::Mat last;
    std::string frames_dir;
    // A preview of a playlist that repeats must not fill the disk.
    int frames_max = 1000;
    std::string memory_dir;
};

} // namespace epdsim

#endif
