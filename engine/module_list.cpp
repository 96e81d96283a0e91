#include "engine/module_list.h"

std::string BuildModuleListText(const UpdateImage& image) {
    std::string text;
    for (const auto& entry : image.modules) {
        text += entry.second.name;
        text += '|';
        text += entry.second.description;
        text += '|';
    }
    return text;
}
