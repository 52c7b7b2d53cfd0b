#include "fuzz/conversion_target.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/driver.h"
#include "reader/wholefile.h"

namespace
{

namespace fs = std::filesystem;

constexpr std::string_view kSeparator = "~~~~";

// Where each part of the input goes, the model first.
const char* const kFilePaths[] = {
    "model.ldr",         "lib/p/a.dat",     "lib/parts/b.dat",
    "lib/parts/s/c.dat", "lib/parts/a.dat", "lib/p/48/d.dat",
    "lib/parts/s/b.dat", "lib/parts/e.dat", "lib/p/8/h.dat",
    "lib/models/f.ldr",  "g.dat",
};
constexpr std::size_t kFileCount = sizeof kFilePaths / sizeof kFilePaths[0];

// Small enough that an input which multiplies its geometry is refused
// quickly instead of timing out; the same code guards the real limit.
constexpr std::uint64_t kFuzzTriangleLimit = 200000;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "conversion check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// A private folder with the library layout for one input, removed with it:
// libFuzzer may end a process without running static destructors.
class Workspace
{
public:
    Workspace()
    {
        std::error_code error;
        const char* base = fs::is_directory("/dev/shm", error) ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/plinthex-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr)
            Fail("cannot create a working folder under " + pattern);
        root = name.data();
        for (const char* folder :
             {"lib/p/48", "lib/p/8", "lib/parts/s", "lib/parts/dir.dat", "lib/models"})
            fs::create_directories(root + "/" + folder, error);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace()
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    std::string Path(const char* name) const { return root + "/" + name; }

    // Every entry of the top folder other than the model and the library.
    std::vector<std::string> StrayEntries() const
    {
        std::vector<std::string> stray;
        std::error_code error;
        for (fs::directory_iterator it(root, error); !error && it != fs::directory_iterator();
             it.increment(error))
        {
            const std::string name = it->path().filename().string();
            if (name != "model.ldr" && name != "lib" && name != "g.dat")
                stray.push_back(name);
        }
        return stray;
    }

    std::string root;
};

std::vector<std::string_view> SplitFiles(std::string_view text)
{
    std::vector<std::string_view> files;
    std::size_t start = 0;
    std::size_t lineStart = 0;
    while (lineStart <= text.size() && files.size() + 1 < kFileCount)
    {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line == kSeparator)
        {
            files.push_back(text.substr(start, lineStart - start));
            start = lineEnd + 1 < text.size() ? lineEnd + 1 : text.size();
        }
        if (lineEnd == text.size())
            break;
        lineStart = lineEnd + 1;
    }
    files.push_back(text.substr(start));
    return files;
}

void WriteWholeFile(const std::string& path, std::string_view text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        Fail("cannot write " + path);
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file) != text.size())
        Fail("cannot write " + path);
    std::fclose(file);
}

std::string WholeFile(const std::string& path)
{
    std::string text;
    (void)ReadWholeFile(path, false, text);
    return text;
}

bool IsNonFiniteToken(std::string_view token)
{
    if (!token.empty() && (token[0] == '-' || token[0] == '+'))
        token.remove_prefix(1);
    if (token.size() < 3)
        return false;
    const std::string_view head = token.substr(0, 3);
    return head == "nan" || head == "inf" || head == "NAN" || head == "INF";
}

// Every white-space separated word of the scene that reads as a number must
// be finite: no "nan" or "inf" in any spelling.
void CheckScene(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        Fail("the conversion succeeded but wrote no scene");
    std::string token;
    for (int c = std::fgetc(file);; c = std::fgetc(file))
    {
        if (c == EOF || c == ' ' || c == '\t' || c == '\n' || c == '\r')
        {
            if (IsNonFiniteToken(token))
                Fail("the scene holds the number " + token);
            token.clear();
            if (c == EOF)
                break;
            continue;
        }
        token += static_cast<char>(c);
    }
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Workspace workspace;
    static NullBuffer silence;

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> files = SplitFiles(text);
    for (std::size_t i = 0; i < files.size(); ++i)
        WriteWholeFile(workspace.Path(kFilePaths[i]), files[i]);
    const std::string outputPath = workspace.Path("out.txt");

    ConversionRequest request;
    request.ldrawDir = workspace.Path("lib");
    request.modelPath = workspace.Path("model.ldr");
    request.outputPath = outputPath;
    request.maxTriangles = kFuzzTriangleLimit;
    // Console output costs time and says nothing the checks below miss.
    static const bool isQuiet = std::getenv("PLINTHEX_FUZZ_VERBOSE") == nullptr;
    std::streambuf* const out = isQuiet ? std::cout.rdbuf(&silence) : std::cout.rdbuf();
    std::streambuf* const err = isQuiet ? std::cerr.rdbuf(&silence) : std::cerr.rdbuf();
    const int status = ConvertModel(request);
    // Written again in batches of a few triangles, as a large tree is: the
    // same scene and the same status.
    ConversionRequest inBatches = request;
    inBatches.outputPath = workspace.Path("batches.txt");
    inBatches.colourBatchTriangles = 3;
    const int batchStatus = status == kExitSuccess ? ConvertModel(inBatches) : status;
    // A glb with a small picture: the instanced scene and the rasteriser on
    // the same geometry. Its size follows the input's length, so that wide
    // and narrow bands, both paths of the rasteriser and the background
    // come up.
    ConversionRequest asGlb = request;
    asGlb.format = OutputFormat::Glb;
    asGlb.outputPath = workspace.Path("out.glb");
    asGlb.previewPath = workspace.Path("out.png");
    asGlb.previewWidth = 1 + static_cast<unsigned>(size % 97);
    asGlb.previewHeight = 1 + static_cast<unsigned>(size % 61);
    asGlb.previewTransparent = size % 2 == 0;
    const int glbStatus = status == kExitSuccess ? ConvertModel(asGlb) : status;
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);

    if (status == kExitSuccess)
    {
        CheckScene(outputPath);
        if (batchStatus != status || WholeFile(inBatches.outputPath) != WholeFile(outputPath))
            Fail("the scene written in batches differs");
    }
    else if (status != kExitFailure)
        Fail("unexpected exit status " + std::to_string(status));
    if (glbStatus == kExitSuccess)
    {
        if (WholeFile(asGlb.outputPath).empty() || WholeFile(asGlb.previewPath).empty())
            Fail("the glb conversion succeeded without its glb and picture");
    }
    else if (glbStatus != kExitFailure)
        Fail("unexpected exit status of the glb conversion " + std::to_string(glbStatus));
    std::remove(outputPath.c_str());
    std::remove(inBatches.outputPath.c_str());
    std::remove(asGlb.outputPath.c_str());
    std::remove(asGlb.previewPath.c_str());
    // A failed run leaves nothing behind, a successful one only its scene.
    const std::vector<std::string> stray = workspace.StrayEntries();
    if (!stray.empty())
        Fail("the conversion left " + stray.front() + " behind");
    return 0;
}
