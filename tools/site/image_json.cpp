#include "tools/site/image_json.h"

#include <cstdio>

namespace {

// Writes nested objects and arrays with two-space indentation; commas are placed by the
// writer, so callers only open, close and add members.
class JsonWriter {
public:
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }

    void Key(const char* key) {
        Separate();
        AppendJsonString(out_, key);
        out_ += ": ";
        afterKey_ = true;
    }
    void String(const std::string& value) {
        Separate();
        AppendJsonString(out_, value);
    }
    void Number(long long value) {
        Separate();
        out_ += std::to_string(value);
    }
    void Member(const char* key, const std::string& value) {
        Key(key);
        String(value);
    }
    void Member(const char* key, long long value) {
        Key(key);
        Number(value);
    }

    std::string Take() { return std::move(out_); }

private:
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (depth_ > 0) {
            if (!empty_) out_ += ',';
            NewLine();
        }
        empty_ = false;
    }
    void Open(char bracket) {
        Separate();
        out_ += bracket;
        ++depth_;
        empty_ = true;
    }
    void Close(char bracket) {
        --depth_;
        if (!empty_) NewLine();
        out_ += bracket;
        empty_ = false;
    }
    void NewLine() {
        out_ += '\n';
        out_.append(static_cast<size_t>(depth_) * 2, ' ');
    }

    std::string out_;
    int depth_ = 0;
    bool empty_ = true;
    bool afterKey_ = false;
};

std::string FormatTimestamp(const ImageTime& t) {
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.year}, unsigned{t.month},
             unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
    return text;
}

void WriteCredentials(JsonWriter& json, const std::string& site, const std::string& userName,
                      const std::string& password) {
    json.Member("site", site);
    json.Member("userName", userName);
    json.Member("password", password);
}

void WriteFiles(JsonWriter& json, const char* key, const std::vector<ImageFileEntry>& files) {
    json.Key(key);
    json.BeginArray();
    for (const ImageFileEntry& f : files) {
        json.BeginObject();
        WriteCredentials(json, f.site, f.userName, f.password);
        json.Member("remotePath", f.remotePath);
        json.Member("localPath", f.localPath);
        json.Member("expectedSize", static_cast<long long>(f.expectedSize));
        json.Member("downloadSize", static_cast<long long>(f.downloadSize));
        json.Member("flags", f.flags);
        json.Member("fileId", f.fileId);
        json.Member("timestamp", FormatTimestamp(f.timestamp));
        json.EndObject();
    }
    json.EndArray();
}

}  // namespace

void AppendJsonString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            default: break;
        }
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string ImageToJson(const UpdateImage& image) {
    JsonWriter json;
    json.BeginObject();
    json.Member("site", image.site);
    json.Member("imagePath", image.imagePath);
    json.Member("userName", image.userName);
    json.Member("password", image.password);

    json.Key("patchSteps");
    json.BeginArray();
    for (const ImagePatchStep& step : image.patchSteps) {
        json.BeginObject();
        WriteCredentials(json, step.site, step.userName, step.password);
        json.Member("remotePath", step.remotePath);
        json.Member("fromVersion", static_cast<long long>(step.fromVersion));
        json.Member("toVersion", static_cast<long long>(step.toVersion));
        json.Member("downloadSize", static_cast<long long>(step.downloadSize));
        json.EndObject();
    }
    json.EndArray();

    WriteFiles(json, "mandatoryFiles", image.mandatoryFiles);
    WriteFiles(json, "engineFiles", image.engineFiles);

    json.Key("deleteFiles");
    json.BeginArray();
    for (const std::string& path : image.deleteFiles) json.String(path);
    json.EndArray();

    json.Key("modules");
    json.BeginArray();
    for (const auto& entry : image.modules) {
        const ImageModule& module = entry.second;
        json.BeginObject();
        json.Member("name", module.name);
        json.Member("description", module.description);
        WriteFiles(json, "files", module.files);
        json.EndObject();
    }
    json.EndArray();

    json.EndObject();
    return json.Take() + "\n";
}
