#include "common/message_texts.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/resource_ids.h"

namespace {

constexpr int kLoadBufferSize = 32768;
constexpr size_t kFormatBufferSize = 4096;

std::string g_texts[kLastMessageText - kFirstMessageText + 1];

void Load(HINSTANCE instance, int id, bool appendAdvice) {
    std::vector<char> buffer(kLoadBufferSize, '\0');
    if (LoadStringA(instance, static_cast<UINT>(id), buffer.data(), kLoadBufferSize) <= 0) buffer[0] = '\0';
    std::string text = buffer.data();
    if (appendAdvice) text += g_texts[IDS_ADVICE - kFirstMessageText];
    g_texts[id - kFirstMessageText] = text;
}

}  // namespace

void LoadMessageTexts(HINSTANCE instance) {
    Load(instance, IDS_ADVICE, false);
    Load(instance, IDS_FILE_NOT_CREATED, true);
    Load(instance, IDS_EXPANDED_SIZE, true);
    for (int id = IDS_TIMESTAMP_NOT_SET; id <= IDS_DISK_FULL; ++id) Load(instance, id, true);
    Load(instance, IDS_CANNOT_COPY_EXPANDED, true);
    Load(instance, IDS_EXPANSION_FAILED, true);
    Load(instance, IDS_UNTRUSTED_SITE, true);
    Load(instance, IDS_WRONG_CONTENT, true);
    Load(instance, IDS_NOT_AN_IMAGE, true);
    for (int id = IDS_IMAGE_NOT_SIGNED; id <= IDS_NOT_SIGNED_CONTENT; ++id) Load(instance, id, true);
    Load(instance, IDS_TITLE_PATCHES, false);
    Load(instance, IDS_TITLE_MODULES, false);
    Load(instance, IDS_TITLE_EXTRA_FILES, false);
    for (int id = IDS_PATCHING; id <= IDS_FIGURES; ++id) Load(instance, id, false);
    Load(instance, IDS_LABEL_THIS_FILE, false);
    Load(instance, IDS_LABEL_TOTAL, false);
}

const std::string& MessageText(int id) {
    static const std::string empty;
    if (id < kFirstMessageText || id > kLastMessageText) return empty;
    return g_texts[id - kFirstMessageText];
}

std::string FormatMessageText(int id, ...) {
    char buffer[kFormatBufferSize];
    va_list arguments;
    va_start(arguments, id);
    const int length = vsnprintf(buffer, sizeof(buffer), MessageText(id).c_str(), arguments);
    va_end(arguments);
    if (length < 0) return std::string();
    return buffer;
}
