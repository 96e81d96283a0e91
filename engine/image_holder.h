// The image cache of one engine context, and the transfer of the image file.
#pragma once
#include <memory>
#include <string>

#include "common/image_model.h"

// Owns at most one UpdateImage: created when first needed, destroyed when replaced.
class ImageHolder {
public:
    UpdateImage* get() const { return image_.get(); }
    void reset(std::unique_ptr<UpdateImage> image) { image_ = std::move(image); }

private:
    std::unique_ptr<UpdateImage> image_;
};

// The cached image, or a new one fetched from the site when there is none or when the
// site or the image path differ from the cached image's (changed credentials alone do
// not cause a transfer). Never fails: a failed fetch leaves the image empty.
UpdateImage& GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                      const std::string& referer, const std::string& userName,
                      const std::string& userPassword);

// Transfers the file named by the image's own site and imagePath with the image's own
// credentials (one HTTP GET, at most 65,535 bytes of text) and parses it into the image,
// whose lists are emptied first. A failure shows a message box and leaves the image as it was.
void FetchImage(UpdateImage& image, const std::string& referer);
