// Qt image reader for PQZ files: every image of a file, in the QImage format that holds its
// pixels without loss where Qt has one.
#pragma once

#include <QByteArray>
#include <QImageIOHandler>
#include <memory>

#include "pqz_document.h"

class PqzHandler : public QImageIOHandler {
  public:
    PqzHandler();
    ~PqzHandler() override;

    bool canRead() const override;
    bool read(QImage* image) override;
    QVariant option(ImageOption option) const override;
    bool supportsOption(ImageOption option) const override;
    int imageCount() const override;
    bool jumpToImage(int imageNumber) override;
    bool jumpToNextImage() override;
    int currentImageNumber() const override;

    // True when the device's next bytes start a PQZ file (the device is not moved).
    static bool canRead(QIODevice* device);

  private:
    // Reads the whole device and lists its images, once; false when that failed.
    bool load() const;
    // Describes the image that read() gives next.
    bool selectNext(pqz2_image_info* info) const;

    mutable QByteArray data_;
    mutable std::unique_ptr<pqz2_desktop::Document> document_;
    mutable bool loaded_ = false;
    int next_ = 0;     // the image read() gives next
    int current_ = 0;  // the image read last (or jumped to)
};
