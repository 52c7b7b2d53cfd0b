#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "model/colortable.h"
#include "model/instancedscene.h"
#include "model/legopart.h"
#include "output/outputformat.h"

// The form of the model a format is written from.
enum class ModelForm
{
    CleanedTree,     // the part tree cleaned: parts merged whole, scaled, boxed
    InstancedScene,  // each part merged once and placed as the model places it
};

// The model handed to a writer, in the form the writer asks for.
struct ModelToWrite
{
    const LegoPart* tree = nullptr;
    const InstancedScene* scene = nullptr;
};

// Writes a model to a file in one format and counts what it wrote.
class ModelWriter
{
public:
    virtual ~ModelWriter() = default;

    // The form WriteModel takes; the caller prepares the model so.
    virtual ModelForm Form() const = 0;
    // Writes the model, in Form(), to `path`, its colour codes looked up in
    // `colours`. False, after "Error: " lines on standard error, when the
    // file cannot be created or a write or the close failed; an existing file
    // of that name is then left as it was.
    virtual bool WriteModel(const std::string& path, const ModelToWrite& model,
                            const ColorTable& colours) = 0;
    // The statistics of the last WriteModel, one labelled line each; a format
    // may print none for a failed write.
    virtual void DumpStats(std::ostream& stream) const = 0;
    // A writer of the cleaned tree may write it while it is cleaned, freeing
    // what it has written: the taker to hand to LegoPart::CleanGeometry, set
    // to write `path` as WriteModel would; null for one that cannot.
    virtual CleanedNodes* WriteWhileCleaned(const std::string& /*path*/,
                                            const ColorTable& /*colours*/)
    {
        return nullptr;
    }
    // After such a cleaning: what WriteModel would have returned.
    virtual bool IsWrittenWhileCleaned() const { return false; }
};

// The writer of `format`; null for a format without one.
std::unique_ptr<ModelWriter> MakeModelWriter(OutputFormat format);

// Reports a failed file operation: "Error: <line>", then, when `error` (an
// errno value) is not 0, "Error: <path>: <the system's reason>".
void ReportFileError(const std::string& line, const std::string& path, int error);
