// The image cache of one engine context, and the transfer of the image file. A patch run
// works on its own thread beside the client's calls, so the cache is guarded; but its lock
// is held only to look at the cache or to put an image into it, never across a transfer,
// so that a slow site or a failure's box on one thread holds up no other. An image that
// is in the cache is never changed: a new fetch goes into an image of its own, which
// takes the cached one's place when it succeeds, and a caller keeps the image it got for
// as long as it holds it. A fetch that failed is never kept: the next call asks the site
// again.
#pragma once
#include <memory>
#include <string>

#include "common/critical_section.h"
#include "common/diagnostics.h"
#include "common/image_model.h"
#include "engine/image_trust.h"

// Owns at most one UpdateImage: created when first needed, replaced when the site or the
// image path change.
class ImageHolder {
public:
    std::shared_ptr<const UpdateImage> get() {
        ScopedLock guard(lock_);
        return image_;
    }
    void reset(std::shared_ptr<const UpdateImage> image) {
        ScopedLock guard(lock_);
        image_ = std::move(image);
    }
    // Replaces expected by image; false (nothing changed) when the cache holds another
    // image by now.
    bool replace(const std::shared_ptr<const UpdateImage>& expected, std::shared_ptr<const UpdateImage> image) {
        ScopedLock guard(lock_);
        if (image_ != expected) return false;
        image_ = std::move(image);
        return true;
    }

private:
    CriticalSection lock_;
    std::shared_ptr<const UpdateImage> image_;
};

// The image a caller asked for, and whether it could be had.
struct ImageResult {
    std::shared_ptr<const UpdateImage> image;  // never null; without entries when the fetch failed
    bool fetched = true;                       // false: the site did not give the image
    Failure failure;                           // why, when not fetched: for the caller to tell
    // With a publisher's key, the SHA-256 that the signed image gives for each file it
    // names: every download of the operation must match it. Null without a key.
    const ObjectDigests* digests = nullptr;
};

// The cached image, or a new one fetched from the site when there is none or when the
// site or the image path differ from the cached image's (changed credentials alone do
// not cause a transfer). A failed fetch shows nothing itself and leaves the cache as it
// was: the result then holds an image without entries and the failure. So does an image
// that trust refuses (TrustImage); the cache keeps it, for callers with another key.
ImageResult GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                     const std::string& referer, const std::string& userName, const std::string& userPassword,
                     const ImageTrust& trust);

// Fetches the cached image once more (RefreshImage), from the image's own site and with
// its own credentials; the new image takes the cached one's place. True when there is
// no cached image or the fetch succeeded; otherwise *failure says why and the cache is
// left as it was.
bool RefreshCachedImage(ImageHolder& holder, const std::string& referer, Failure* failure);

// Transfers the file named by the image's own site and imagePath with the image's own
// credentials (one HTTP GET, at most 65,535 bytes of text) and parses it into the image,
// whose lists are emptied first; the seal is read from the text as it came (with the
// SHA-256 of its signed part). False, with the image unchanged and *failure telling
// why, when the transfer failed, broke off or brought no update image (no VERSION header
// first).
bool FetchImage(UpdateImage& image, const std::string& referer, Failure* failure);
