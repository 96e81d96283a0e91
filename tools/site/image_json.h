// The parsed update image as JSON, for publishers checking what the engine will see.
#pragma once
#include <string>

#include "common/image_model.h"

// Appends text as a JSON string literal. Image texts are 8-bit: bytes above 0x7F are
// written as \u00XX (their Latin-1 reading), control characters are escaped.
void AppendJsonString(std::string& out, const std::string& text);

// One JSON object: site, imagePath, userName, password, patchSteps, mandatoryFiles,
// engineFiles, deleteFiles and modules (in map order), indented for reading.
std::string ImageToJson(const UpdateImage& image);
