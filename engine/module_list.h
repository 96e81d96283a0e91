// The list of the optional modules that an image offers, as the automation client gets it.
#pragma once
#include <string>

#include "common/image_model.h"

// For each module in map order: its name, "|", its description, "|".
std::string BuildModuleListText(const UpdateImage& image);
