#pragma once

// A fixture that writes small LDraw libraries and models under a fresh
// temporary folder and reads them with the console captured.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <string>

#include "reader/ldrawreader.h"

namespace reader_files
{

namespace fs = std::filesystem;

inline const std::string kTriangle = "3 16 0 0 0 1 0 0 0 1 0\n";

inline std::string Ref(const std::string& name, int color = 16)
{
    return "1 " + std::to_string(color) + " 0 0 0 1 0 0 0 1 0 0 0 1 " + name + "\n";
}

// Redirects std::cout and std::cerr while alive.
class ConsoleCapture
{
public:
    ConsoleCapture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}
    ~ConsoleCapture()
    {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    std::ostringstream out;
    std::ostringstream err;

private:
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

// Writes small library trees under a fresh temporary directory.
class LDrawReaderFiles : public testing::Test
{
protected:
    void SetUp() override
    {
        // A memory-backed folder where there is one: the deep chain makes and
        // removes 100,000 files.
        std::error_code error;
        const fs::path folder =
            fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (folder / "plinthex-reader-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern + "/";
        lib = root + "lib/";
    }
    void TearDown() override { fs::remove_all(root); }

    void Write(const std::string& relative, const std::string& text)
    {
        fs::create_directories(fs::path(root + relative).parent_path());
        std::ofstream(root + relative, std::ios::binary) << text;
    }

    bool ReadModel(const std::string& model = "model.ldr", const std::string& base = "lib")
    {
        const ConsoleCapture capture;
        const bool isRead = reader.Read(root + base, root + model, part);
        out = capture.out.str();
        err = capture.err.str();
        return isRead;
    }

    const _LegoNode& Node(unsigned i)
    {
        EXPECT_LT(i, part.GetNodeCount());
        return part.Node(i);
    }

    std::string root;
    std::string lib;
    LDrawReader reader;
    LegoPart part;
    std::string out;
    std::string err;
};

}  // namespace reader_files
