// The image cache of one engine context, and the transfer of the image file. A patch run
// works on its own thread beside the client's calls, so the cache is guarded: a fetch or a
// replacement happens under the holder's lock, and a caller keeps the image it got alive
// for as long as it holds it, whatever replaces it in the cache meanwhile.
#pragma once
#include <memory>
#include <string>

#include "common/critical_section.h"
#include "common/image_model.h"

// Owns at most one UpdateImage: created when first needed, replaced when the site or the
// image path change.
class ImageHolder {
public:
    std::shared_ptr<UpdateImage> get() const { return image_; }
    void reset(std::shared_ptr<UpdateImage> image) { image_ = std::move(image); }
    CriticalSection& lock() { return lock_; }

private:
    CriticalSection lock_;
    std::shared_ptr<UpdateImage> image_;
};

// The cached image, or a new one fetched from the site when there is none or when the
// site or the image path differ from the cached image's (changed credentials alone do
// not cause a transfer). Never fails: a failed fetch leaves the image empty.
std::shared_ptr<UpdateImage> GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                                      const std::string& referer, const std::string& userName,
                                      const std::string& userPassword);

// The same image as GetImage, copied while the holder is locked: for a worker thread,
// whose copy no fetch on another thread can change while it works.
UpdateImage CopyOfImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                        const std::string& referer, const std::string& userName, const std::string& userPassword);

// FetchImage into the cached image, if there is one, with the holder locked.
void FetchCachedImage(ImageHolder& holder, const std::string& referer);

// Transfers the file named by the image's own site and imagePath with the image's own
// credentials (one HTTP GET, at most 65,535 bytes of text) and parses it into the image,
// whose lists are emptied first. A failure shows a message box and leaves the image as it was.
void FetchImage(UpdateImage& image, const std::string& referer);
