// Tables kept as data files: one row a line, fields apart by white space,
// '#' to the end of a line a comment, empty lines skipped.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::vector<std::string>> dataRows(const std::string& path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::vector<std::string> row{std::istream_iterator<std::string>(fields), {}};
        if (!row.empty())
            rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace testsupport
