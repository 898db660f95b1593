// The files of a status folder read back: status.json and the play log's lines as JSON, the
// samples of metrics.prom.
#ifndef EPDSHOW_STATUS_FILES_H
#define EPDSHOW_STATUS_FILES_H

#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace testing_support {

using json = nlohmann::json;

// The document in the file; a file that is not valid JSON fails the test and reads as null.
inline json read_json(const std::string &path) {
    try {
        return json::parse(read_file(path));
    } catch (const json::exception &e) {
        ADD_FAILURE() << path << ": " << e.what();
        return nullptr;
    }
}

// One document per line of the file, each checked as read_json does.
inline std::vector<json> read_json_lines(const std::string &path) {
    std::vector<json> documents;
    for (const std::string &line : split_lines(read_file(path))) {
        try {
            documents.push_back(json::parse(line));
        } catch (const json::exception &e) {
            ADD_FAILURE() << path << ": " << e.what() << " in " << line;
        }
    }
    return documents;
}

// The value of the sample of metrics.prom's text written as name (labels included), or -1 when
// there is none.
inline long long prom_sample(const std::string &metrics, const std::string &name) {
    for (const std::string &line : split_lines(metrics)) {
        if (line.rfind(name + " ", 0) == 0) {
            return std::stoll(line.substr(name.size() + 1));
        }
    }
    return -1;
}

} // namespace testing_support

#endif
