#pragma once

#include <cstdint>
#include <string>

#include "output/outputformat.h"

// Everything one conversion is asked to do, filled from the command line.
struct ConversionRequest
{
    std::string ldrawDir;
    std::string modelPath;
    std::string outputPath;
    OutputFormat format = OutputFormat::Triset;
    // Where colours come from: "builtin", "ldconfig" (LDConfig.ldr in the
    // library folder) or the path of a colour file. Empty: the format's
    // default (builtin for scene files).
    std::string colourSource;
    // A reference found nowhere is reported and left out instead of ending
    // the reading of the file that names it.
    bool skipMissing = false;
    // The listings of the library's large folders are kept between runs in
    // the user's cache folder.
    bool keepListings = true;
    // Most triangles the conversion may hold at its peak; 0: bounded only by
    // the machine's memory.
    std::uint64_t maxTriangles = 0;
    // Worker threads; 0: one per core.
    unsigned jobs = 0;
    // Triangles a batch of colour nodes is made and written in, where a large
    // tree is written as it is cleaned; 0: the usual size. Smaller batches
    // give the same scene: the fuzzer checks that on trees of any size.
    std::uint64_t colourBatchTriangles = 0;
    // A PNG picture of the model, written beside the output; empty: none.
    std::string previewPath;
    unsigned previewWidth = 1024;
    unsigned previewHeight = 768;
    bool previewTransparent = false;  // no background behind the model
};
