#include "check.h"

#include <algorithm>
#include <cerrno>
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

bool fits_some_layout(const dpy_area &a) {
    for (const panel_layout &layout : panel_layouts()) {
        if (area_fits(a, layout.band_width, layout.panel_height())) {
            return true;
        }
    }
    return false;
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
    picture_checker(const playlist_text &text, std::string image_path)
        : text(text), image_path(std::move(image_path)) {}

    void check_list(pugi::xml_node list, bool with_areas) {
        pugi::xml_node area = list.child("area");
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            check_picture(img, image_path + img.child_value());
            if (with_areas) {
                check_area(img, area);
                area = area.next_sibling("area");
            }
        }
        if (!with_areas) {
            for (pugi::xml_node folder : list.children("folder")) {
                check_folder(folder);
            }
        }
    }

    findings problems;
    int pictures_read = 0;

  private:
    void check_picture(pugi::xml_node element, const std::string &path) {
        if (!seen.insert(path).second) {
            return;
        }
        ++pictures_read;
        const picture_file picture = read_picture(path.c_str());
        if (!picture.problem.empty()) {
            problems.push_back(
                {text.line_of(element), "cannot use picture '" + path + "': " + picture.problem});
        }
    }

    // The pictures a <folder> holds now, as a pass would list them.
    void check_folder(pugi::xml_node folder) {
        const std::string where = locate_folder(image_path, folder.child_value()).path;
        std::vector<std::string> names;
        if (!list_pictures(where, time(nullptr), names)) {
            const std::string reason = strerror(errno);
            problems.push_back({text.line_of(folder),
                                "cannot read the picture folder '" + where + "': " + reason});
            return;
        }
        if (names.empty()) {
            problems.push_back(
                {text.line_of(folder), "the picture folder '" + where + "' holds no picture"});
        }
        for (const std::string &name : names) {
            check_picture(folder, where + name);
        }
    }

    void check_area(pugi::xml_node img, pugi::xml_node area) {
        if (!area) {
            problems.push_back(
                {text.line_of(img), std::string("<img>") + img.child_value() +
                                        "</img> has no <area> in its <area_update>"});
            return;
        }
        const dpy_area a = parsing_area(area.child_value());
        if (!fits_some_layout(a)) {
            problems.push_back({text.line_of(area), "area (x, y, w, h) = " + area_text(a) +
                                                        " fits neither " + every_layout_panel()});
        }
    }

    const playlist_text &text;
    const std::string image_path;
    std::set<std::string> seen;
};

findings picture_problems(const playlist_text &text, pugi::xml_node epd_node, int &read) {
    picture_checker checker(text, epd_node.child("image_path").child_value());
    for (pugi::xml_node group : epd_node.children("image_name")) {
        for (pugi::xml_node list : group.children("full_update")) {
            checker.check_list(list, false);
        }
        for (pugi::xml_node list : group.children("area_update")) {
            checker.check_list(list, true);
        }
    }
    read = checker.pictures_read;
    return checker.problems;
}

void print(const char *path, const findings &all) {
    for (const playlist_finding &f : all) {
        if (f.line > 0) {
            printf("%s:%d: %s\n", path, f.line, f.text.c_str());
        } else {
            printf("%s: %s\n", path, f.text.c_str());
        }
    }
}

} // namespace

int check_playlist(const char *path) {
    pugi::xml_document doc;
    std::string content;
    const std::string unusable = parse_playlist(path, doc, content);
    if (!unusable.empty()) {
        printf("%s\n%s: 1 problem\n", unusable.c_str(), path);
        return 1;
    }
    const playlist_text text{content};
    const pugi::xml_node epd_node = doc.document_element().child("epd");
    dpy_imgs_info settings;
    std::string echo;
    findings all = read_settings(text, epd_node, settings, echo);
    add(all, status_dir_problems(text, epd_node, false));
    add(all, unread_numbers(text, epd_node));
    add(all, playlist_warnings(text, epd_node));
    int pictures = 0;
    add(all, picture_problems(text, epd_node, pictures));
    std::stable_sort(
        all.begin(), all.end(),
        [](const playlist_finding &a, const playlist_finding &b) { return a.line < b.line; });
    print(path, all);
    if (all.empty()) {
        printf("%s: no problem found (%d picture%s read)\n", path, pictures,
               pictures == 1 ? "" : "s");
        return 0;
    }
    printf("%s: %zu problem%s\n", path, all.size(), all.size() == 1 ? "" : "s");
    return 1;
}
