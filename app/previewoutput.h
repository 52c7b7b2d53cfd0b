#pragma once

#include <optional>

#include "app/conversion.h"
#include "model/instancedscene.h"
#include "model/legopart.h"

// Draws the model as read (before cleaning) into the request's preview
// picture, its colours from the part's colour table. False, after an
// "Error: " line, when the picture cannot be made or written. The picture is
// drawn from the model's instanced scene: `scene` when it holds one, else
// the scene is built there, for an instanced output to use after.
bool WritePreviewOutput(const ConversionRequest& request, const LegoPart& asRead,
                        std::optional<InstancedScene>& scene);
