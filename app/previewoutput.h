#pragma once

#include "app/conversion.h"
#include "model/legopart.h"

// Draws the model as read (before cleaning) into the request's preview
// picture, its colours from the part's colour table. False, after an
// "Error: " line, when the picture cannot be made or written.
bool WritePreviewOutput(const ConversionRequest& request, const LegoPart& asRead);
