#include "engine/image_holder.h"

#include <vector>

#include "common/diagnostics.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/image_parser.h"
#include "transfer/http_get.h"

namespace {

// The image text in memory: at most kImageReadLimit bytes, the rest of a longer answer
// is not read.
class TextSink : public HttpSink {
public:
    bool Begin(uint64_t* resumeAt) override {
        *resumeAt = 0;
        return true;
    }
    void Started(uint64_t) override {}
    size_t PieceSize() const override { return kImageReadLimit - text_.size(); }
    Next Take(const char* data, size_t size) override {
        text_.insert(text_.end(), data, data + size);
        return text_.size() < kImageReadLimit ? Next::kGoOn : Next::kEnough;
    }
    // A cut image could lack its last sections, or end inside a line: it is not parsed.
    bool ResumesCutAnswers() const override { return false; }
    void Resuming(uint64_t, uint64_t, unsigned) override {}

    std::vector<char>& text() { return text_; }

private:
    std::vector<char> text_;
};

std::shared_ptr<UpdateImage> NewImage(const std::string& site, const std::string& imagePath,
                                      const std::string& userName, const std::string& userPassword) {
    auto image = std::make_shared<UpdateImage>();
    image->site = site;
    image->imagePath = imagePath;
    image->userName = userName;
    image->password = userPassword;
    return image;
}

}  // namespace

std::shared_ptr<UpdateImage> GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                                      const std::string& referer, const std::string& userName,
                                      const std::string& userPassword) {
    ScopedLock guard(holder.lock());
    std::shared_ptr<UpdateImage> image = holder.get();
    if (!image || image->site != site || image->imagePath != imagePath) {
        image = NewImage(site, imagePath, userName, userPassword);
        FetchImage(*image, referer);
        holder.reset(image);
    }
    return image;
}

UpdateImage CopyOfImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                        const std::string& referer, const std::string& userName, const std::string& userPassword) {
    ScopedLock guard(holder.lock());
    return *GetImage(holder, site, imagePath, referer, userName, userPassword);
}

void FetchCachedImage(ImageHolder& holder, const std::string& referer) {
    ScopedLock guard(holder.lock());
    if (std::shared_ptr<UpdateImage> image = holder.get()) FetchImage(*image, referer);
}

void FetchImage(UpdateImage& image, const std::string& referer) {
    HttpTarget target;
    target.site = image.site;
    target.userName = image.userName;
    target.password = image.password;
    target.object = image.imagePath;
    target.referer = referer;
    target.bypassCache = true;
    TextSink sink;
    HttpError error;
    if (!HttpGet(target, sink, &error)) {
        // A failed transfer shows a box only: the image keeps what it held, and neither the
        // log nor the error report hears of it. A cut answer shows nothing, as a failed read.
        switch (error.step) {
        case HttpStep::kConnect:
            ShowFailureBox(MakeFailure(FormatMessageText(IDS_CANNOT_OPEN_SITE, image.site.c_str()), true, error.code));
            break;
        case HttpStep::kOpenRequest:
        case HttpStep::kSendRequest:
            ShowFailureBox(MakeFailure(
                FormatMessageText(IDS_CANNOT_GET_FILE, image.imagePath.c_str(), image.site.c_str()), true, error.code));
            break;
        case HttpStep::kCertificate:
        case HttpStep::kInsecure:
            ShowFailureBox(MakeFailure(
                FormatMessageText(IDS_UNTRUSTED_SITE, image.imagePath.c_str(), image.site.c_str()), true, error.code));
            break;
        case HttpStep::kStatus:
            ShowFailureBox(MakeFailure(
                FormatMessageText(IDS_CANNOT_DOWNLOAD, image.imagePath.c_str(), image.site.c_str()), true, error.code));
            break;
        default:
            break;
        }
        return;
    }
    std::vector<char>& text = sink.text();
    const size_t length = CompleteImageLength(text.data(), text.size());
    if (length == 0) return;  // nothing read: the image keeps what it held
    image.mandatoryFiles.clear();
    image.patchSteps.clear();
    image.modules.clear();
    image.engineFiles.clear();
    image.deleteFiles.clear();
    ParseImage(image, text.data(), length);
}
