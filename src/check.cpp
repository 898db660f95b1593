#include "check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "folder.h"
#include "panel_layout.h"
#include "picture_file.h"
#include "playlist.h"

namespace {

using findings = std::vector<playlist_finding>;

void add(findings &all, const findings &more) {
    all.insert(all.end(), more.begin(), more.end());
}

std::string area_text(const dpy_area &a) {
    return "(" + std::to_string(a.x) + ", " + std::to_string(a.y) + ", " + std::to_string(a.w) +
           ", " + std::to_string(a.h) + ")";
}

// "the 42 panel (2880 x 2160) nor the 32 panel (1440 x 2560)".
std::string every_layout_panel() {
    std::string text;
    for (const panel_layout &layout : panel_layouts()) {
        text += (text.empty() ? "the " : " nor the ") + std::to_string(layout.id) + " panel (" +
                std::to_string(layout.band_width) + " x " + std::to_string(layout.panel_height()) +
                ")";
    }
    return text;
}

// The pictures of the playlist, each read once (the first time it is named), and its areas.
class picture_checker {
  public:
    explicit picture_checker(std::string image_path) : image_path(std::move(image_path)) {}

    void check_list(const picture_list &list, bool with_areas) {
        for (size_t k = 0; k < list.items.size(); ++k) {
            const playlist_item &item = list.items[k];
            if (item.folder) {
                check_folder(item);
                continue;
            }
            check_picture(item.line, image_path + item.text);
            if (with_areas) {
                check_area(item, list.area_of(k));
            }
        }
    }

    findings problems;
    int pictures_read = 0;

  private:
    void check_picture(int line, const std::string &path) {
        if (!seen.insert(path).second) {
            return;
        }
        ++pictures_read;
        const picture_file picture = read_picture(path.c_str());
        if (!picture.problem.empty()) {
            problems.push_back({line, "cannot use picture '" + path + "': " + picture.problem});
        }
    }

    // The pictures a <folder> holds now, as a pass would list them.
    void check_folder(const playlist_item &folder) {
        const folder_listing listing = list_folder(image_path, folder.text, time(nullptr));
        const std::string &where = listing.where.path;
        if (listing.error != 0) {
            problems.push_back({folder.line, "cannot read the picture folder '" + where +
                                                 "': " + strerror(listing.error)});
            return;
        }
        if (listing.names.empty()) {
            problems.push_back(
                {folder.line, "the picture folder '" + where + "' holds no picture"});
        }
        for (const std::string &name : listing.names) {
            check_picture(folder.line, where + name);
        }
    }

    void check_area(const playlist_item &img, const playlist_area *area) {
        if (area == nullptr) {
            problems.push_back(
                {img.line, "<img>" + img.text + "</img> has no <area> in its <area_update>"});
            return;
        }
        if (!area_fits_some_layout(area->area)) {
            problems.push_back({area->line, "area (x, y, w, h) = " + area_text(area->area) +
                                                " fits neither " + every_layout_panel()});
        }
    }

    const std::string image_path;
    std::set<std::string> seen;
};

findings picture_problems(const playlist_file &playlist, int &read) {
    picture_checker checker(playlist.settings.image_path);
    for (const picture_group &group : playlist.groups) {
        for (const picture_list &list : group.full_lists) {
            checker.check_list(list, false);
        }
        for (const picture_list &list : group.area_lists) {
            checker.check_list(list, true);
        }
    }
    read = checker.pictures_read;
    return checker.problems;
}

} // namespace

int check_playlist(const char *path) {
    const playlist_file playlist = read_playlist_file(path);
    if (!playlist.unusable.empty()) {
        printf("%s\n%s: 1 problem\n", playlist.unusable.c_str(), path);
        return 1;
    }
    findings all = playlist_findings(playlist, status_dir_problems(playlist, false));
    int pictures = 0;
    add(all, picture_problems(playlist, pictures));
    std::stable_sort(
        all.begin(), all.end(),
        [](const playlist_finding &a, const playlist_finding &b) { return a.line < b.line; });
    for (const playlist_finding &finding : all) {
        printf("%s\n", finding_line(path, finding).c_str());
    }
    if (all.empty()) {
        printf("%s: no problem found (%d picture%s read)\n", path, pictures,
               pictures == 1 ? "" : "s");
        return 0;
    }
    printf("%s: %zu problem%s\n", path, all.size(), all.size() == 1 ? "" : "s");
    return 1;
}
