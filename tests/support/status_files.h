// The files of a status folder read back as JSON: status.json and the play log's lines.
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

} // namespace testing_support

#endif
