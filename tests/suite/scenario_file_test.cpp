#include "suite/scenario_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace veltrano;

TEST(ReadScenarioFile, VarsThenTheFileThenItsText)
{
    const auto dir = std::filesystem::temp_directory_path() / ("scenario-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "s.yaml").string();
    std::ofstream(path) << "role: panel\nvars: {peer: \"127.0.0.1:9\"}\npeer: ${peer}\nsteps: [wait: 1]\n";
    struct Row
    {
        const char* name;
        std::string path;
        std::vector<std::string> vars;
        std::string error; // empty: read; else what the reason starts with
    };
    const Row rows[] = {
        {"read", path, {"peer=127.0.0.1:7"}, ""},
        {"no NAME=VALUE", path, {"peer"}, "--var peer: NAME=VALUE"},
        {"no name", path, {"=1"}, "--var =1: NAME=VALUE"},
        {"no such file",
         (dir / "none.yaml").string(),
         {},
         "cannot read " + (dir / "none.yaml").string() + ": "},
        {"a variable the file does not declare", path, {"port=1"}, path + ":"},
    };
    for (const Row& row : rows) {
        const auto scenario = ReadScenarioFile(row.path, row.vars);
        if (row.error.empty()) {
            ASSERT_TRUE(scenario) << row.name << ": " << scenario.error();
            EXPECT_EQ(scenario->peer, "127.0.0.1:7") << row.name;
        } else {
            ASSERT_FALSE(scenario) << row.name;
            EXPECT_EQ(scenario.error().rfind(row.error, 0), 0U) << row.name << ": " << scenario.error();
        }
    }
    std::filesystem::remove_all(dir);
}
