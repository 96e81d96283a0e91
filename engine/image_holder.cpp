#include "engine/image_holder.h"

#include <vector>

#include "common/cng_crypto.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "engine/image_parser.h"
#include "transfer/http_get.h"
#include "transfer/transfer_failure.h"

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

// Notes whether the text opened with a VERSION header: without one it is no image.
class VersionHeaderListener : public ImageParseListener {
public:
    void OnNote(const ImageNote& note) override {
        if (note.kind == ImageNoteKind::kNoVersionHeader) missing = true;
    }
    bool missing = false;
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

Failure NotAnImage(const UpdateImage& image) {
    Failure failure =
        MakeFailure(FormatMessageText(IDS_NOT_AN_IMAGE, image.imagePath.c_str(), image.site.c_str()));
    failure.reportText = FormatText("File %s from site %s is not an update image.", image.imagePath.c_str(),
                                    image.site.c_str());
    failure.logText = "\r\n" + failure.reportText;
    return failure;
}

}  // namespace

namespace {

ImageResult CachedOrFetchedImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                                 const std::string& referer, const std::string& userName,
                                 const std::string& userPassword) {
    ImageResult result;
    result.image = holder.get();
    if (result.image && result.image->site == site && result.image->imagePath == imagePath) return result;
    std::shared_ptr<UpdateImage> image = NewImage(site, imagePath, userName, userPassword);
    result.fetched = FetchImage(*image, referer, &result.failure);
    // A fetch on another thread may have filled the cache meanwhile; the later one wins.
    if (result.fetched) holder.reset(image);
    result.image = std::move(image);
    return result;
}

}  // namespace

ImageResult GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                     const std::string& referer, const std::string& userName, const std::string& userPassword,
                     const ImageTrust& trust) {
    ImageResult result = CachedOrFetchedImage(holder, site, imagePath, referer, userName, userPassword);
    if (!result.fetched || trust.publisherKey.empty()) return result;
    if (!TrustImage(*result.image, trust, &result.failure)) {
        // Nothing of a refused image is used: not its files, not its commands.
        result.fetched = false;
        result.image = NewImage(site, imagePath, userName, userPassword);
        return result;
    }
    result.digests = &result.image->seal.digests;
    return result;
}

bool RefreshCachedImage(ImageHolder& holder, const std::string& referer, Failure* failure) {
    const std::shared_ptr<const UpdateImage> cached = holder.get();
    if (!cached) return true;
    auto image = std::make_shared<UpdateImage>(*cached);
    if (!FetchImage(*image, referer, failure)) return false;
    // An image that another call put into the cache meanwhile stays.
    holder.replace(cached, std::move(image));
    return true;
}

bool FetchImage(UpdateImage& image, const std::string& referer, Failure* failure) {
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
        *failure = DescribeHttpFailure(error, image.imagePath, image.site, true);
        return false;
    }
    std::vector<char>& text = sink.text();
    // Read before the parser blanks the comments that carry it.
    ImageSeal seal;
    ReadImageSeal(text.data(), text.size(), &seal);
    if (seal.present && !Sha256Of(text.data(), seal.signedLength, &seal.signedHash)) {
        seal.problem = "its signed part could not be hashed";
    }
    const size_t length = CompleteImageLength(text.data(), text.size());
    // Parsed into a copy: what is not an image leaves the image as it was.
    UpdateImage parsed = image;
    parsed.mandatoryFiles.clear();
    parsed.patchSteps.clear();
    parsed.modules.clear();
    parsed.engineFiles.clear();
    parsed.deleteFiles.clear();
    VersionHeaderListener listener;
    ParseImage(parsed, text.data(), length, &listener);
    if (length == 0 || listener.missing) {
        *failure = NotAnImage(image);
        return false;
    }
    parsed.seal = std::move(seal);
    image = std::move(parsed);
    return true;
}

ImageResult EngineContext::CurrentImage(const std::string& referer) {
    ImageResult current = GetImage(imageHolder, url, imagePath, referer, userName, userPassword, Trust());
    if (!current.fetched) Report(current.failure);
    return current;
}
