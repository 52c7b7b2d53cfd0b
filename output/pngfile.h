#pragma once

#include <cstdint>
#include <string>

#include "output/scenefile.h"

// A PNG picture written as it is made, row block by row block, and published
// like a scene file: under a temporary name beside the target, renamed over
// it once complete. 8 bits per channel, RGB or RGBA, and nothing but the
// picture: no time, text or version chunks, so the same pixels always give
// the same bytes.
class PngFile
{
public:
    PngFile() = default;
    PngFile(const PngFile&) = delete;
    PngFile& operator=(const PngFile&) = delete;
    // Drops a picture that was never closed.
    ~PngFile();

    // Starts a picture for `path`; `withAlpha` keeps the alpha channel of the
    // rows, otherwise it is left out. False when the file cannot be created.
    bool Open(const std::string& path, unsigned width, unsigned height, bool withAlpha);
    // Adds `rows` rows of width * 4 bytes (red, green, blue, alpha).
    void WriteRows(const std::uint8_t* pixels, unsigned rows);
    // Ends the picture and publishes it. False when anything failed, the
    // target then unchanged; also when fewer rows than the height came.
    bool Close();
    // The errno value of a failed Open or Close, when the system gave one.
    int ErrorNumber() const { return file.ErrorNumber(); }

private:
    void Drop();

    SceneFile file;
    struct Encoder;
    Encoder* encoder = nullptr;
    unsigned width = 0;
    unsigned height = 0;
    unsigned rowsWritten = 0;
    bool hasFailed = false;
};
