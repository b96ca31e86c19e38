// Helpers shared by the hash tests: reading the test-vector tables.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace hash_test {

// The rows of a tab-separated file under the test data directory, header line dropped.
inline std::vector<std::vector<std::string>> read_tsv(const std::string& name) {
    std::ifstream in(std::string(KARVO_TEST_DATA_DIR) + "/" + name);
    EXPECT_TRUE(in.good()) << "cannot open " << name;
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream fields_in(line);
        std::string field;
        while (std::getline(fields_in, field, '\t')) {
            fields.push_back(field);
        }
        if (line.ends_with('\t')) {
            fields.emplace_back();
        }
        rows.push_back(fields);
    }
    return rows;
}

inline std::uint64_t parse_hex64(const std::string& text) {
    return std::stoull(text, nullptr, 16);
}

}  // namespace hash_test
