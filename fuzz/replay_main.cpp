// Runs saved inputs through the conversion target without libFuzzer: each
// argument is a file, or a folder whose files are all run. Any broken check
// aborts, so a clean exit means every input passed.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/conversion_target.h"

namespace
{

bool RunFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    int runCount = 0;
    for (int i = 1; i < argc; ++i)
    {
        std::error_code error;
        std::vector<std::string> paths;
        if (fs::is_directory(argv[i], error))
        {
            for (const auto& entry : fs::directory_iterator(argv[i], error))
                if (entry.is_regular_file())
                    paths.push_back(entry.path().string());
            std::sort(paths.begin(), paths.end());
        }
        else
        {
            paths.push_back(argv[i]);
        }
        for (const std::string& path : paths)
        {
            if (!RunFile(path))
                return 1;
            ++runCount;
        }
    }
    std::printf("%d inputs passed\n", runCount);
    return runCount > 0 ? 0 : 1;
}
