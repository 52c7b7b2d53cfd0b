#pragma once

// The reader's state for one file on its stack; only the reader's own files
// include this.

#include <string>
#include <string_view>

#include "geometry/matrix.h"
#include "reader/ldrawreader.h"
#include "reader/readahead.h"

struct LDrawReader::FileState
{
    std::string path;  // as opened, for messages
    // A library file as read; a model section reads the model's text.
    std::unique_ptr<FileAhead> ahead;
    std::unique_ptr<StatementsRead> sectionStatements;
    std::string_view source;  // the text its statements were read from
    unsigned firstLine = 1;   // the line number of its first line
    // What it says, acted on from `nextSaid` on.
    StatementsRead* statements = nullptr;
    std::size_t nextSaid = 0;
    int nodeIndex = -1;
    unsigned nonStatementCount = 0;  // lines whose first token is no line type

    // What the reference being resolved waits for.
    enum class Wait
    {
        Nothing,
        LookUp,    // the library folders, from `nextPlace` on
        ChildRead  // `openedNode` was opened for it
    } wait = Wait::Nothing;
    int nextPlace = 0;
    int openedNode = -1;
    int referenceColor = 0;
    Matrix4x4 referenceTransform;
    std::string referenceName;          // its base name
    std::string_view referenceWritten;  // as written, within the text being read
};
