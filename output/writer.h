#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "model/colortable.h"
#include "model/legopart.h"
#include "output/outputformat.h"

// Writes a cleaned part tree to a file in one format and counts what it wrote.
class ModelWriter
{
public:
    virtual ~ModelWriter() = default;

    // Writes `part` to `path`, its colour codes looked up in `colours`. False,
    // after "Error: " lines on standard error, when the file cannot be created
    // or a write or the close failed; an existing file of that name is then
    // left as it was.
    virtual bool WriteModel(const std::string& path, const LegoPart& part,
                            const ColorTable& colours) = 0;
    // The statistics of the last WriteModel, one labelled line each.
    virtual void DumpStats(std::ostream& stream) const = 0;
};

// The writer of `format`; null for a format without one.
std::unique_ptr<ModelWriter> MakeModelWriter(OutputFormat format);

// Reports a failed file operation: "Error: <line>", then, when `error` (an
// errno value) is not 0, "Error: <path>: <the system's reason>".
void ReportFileError(const std::string& line, const std::string& path, int error);
