// Fuzz target: the update-image parser over arbitrary bytes. The input is copied into a
// heap block of exactly its size, without a terminating zero, so that the sanitizer
// catches any read or write past the end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/image_model.h"
#include "engine/image_parser.h"

namespace {

void Require(bool condition) {
    if (!condition) abort();
}

size_t ModuleFileCount(const UpdateImage& image) {
    size_t count = 0;
    for (const auto& entry : image.modules) count += entry.second.files.size();
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = std::make_unique<char[]>(size);
    if (size) memcpy(text.get(), data, size);

    UpdateImage image;
    image.site = "host";
    image.userName = "user";
    image.password = "secret";
    ParseImage(image, text.get(), size);

    // Preparing the text leaves no tab and no apostrophe, and changes no line end.
    for (size_t i = 0; i < size; ++i) {
        Require(text[i] != '\t' && text[i] != '\'');
        Require((text[i] == '\n') == (data[i] == '\n'));
    }
    for (const auto& [name, module] : image.modules) {
        Require(name == module.name);
        Require(!module.files.empty());
    }

    // A second parse into the same image, as a refresh does: the lists are emptied, the
    // site, credentials and current module carry over. Those values never decide which
    // lines are taken, so the same text gives the same number of entries.
    const size_t steps = image.patchSteps.size();
    const size_t mandatory = image.mandatoryFiles.size();
    const size_t engine = image.engineFiles.size();
    const size_t deletions = image.deleteFiles.size();
    const size_t moduleFiles = ModuleFileCount(image);
    image.patchSteps.clear();
    image.mandatoryFiles.clear();
    image.engineFiles.clear();
    image.deleteFiles.clear();
    image.modules.clear();
    ParseImage(image, text.get(), size);
    Require(image.patchSteps.size() == steps);
    Require(image.mandatoryFiles.size() == mandatory);
    Require(image.engineFiles.size() == engine);
    Require(image.deleteFiles.size() == deletions);
    Require(ModuleFileCount(image) == moduleFiles);
    return 0;
}
