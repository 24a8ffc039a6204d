#include "pqz_handler.h"

#include <QImage>
#include <QLoggingCategory>
#include <QSize>
#include <QVariant>
#include <cstring>

Q_LOGGING_CATEGORY(lcPqz, "pqz2.imageformats.pqz")

namespace {

// The QImage format an image is read into and the layout the library decodes it in. Grey,
// palette, 15-bit, 24-bit and 32-bit images keep every bit (a 16-bit pixel loses bit 15, which
// no QImage format holds); 9- to 14-bit values become 16-bit grey.
struct Layout {
    pqz2_format pqz;
    QImage::Format qt;
};

Layout layoutOf(const pqz2_image_info& info) {
    switch (info.colour) {
        case PQZ2_COLOUR_PALETTE:
            return {PQZ2_FORMAT_INDEX8, QImage::Format_Indexed8};
        case PQZ2_COLOUR_GREY:
            return {PQZ2_FORMAT_GREY8, QImage::Format_Grayscale8};
        case PQZ2_COLOUR_RGB555:
            return {PQZ2_FORMAT_VALUE, QImage::Format_RGB555};
        case PQZ2_COLOUR_BGR:
            if (info.bits_per_pixel > 24) return {PQZ2_FORMAT_VALUE, QImage::Format_ARGB32};
            return {PQZ2_FORMAT_RGB8, QImage::Format_RGB888};
        default:
            if (pqz2_desktop::showsValuesAsGrey(info))
                return {PQZ2_FORMAT_VALUE, QImage::Format_Grayscale16};
            return {PQZ2_FORMAT_NATIVE, QImage::Format_Invalid};
    }
}

void setPalette(const pqz2_image_info& info, QImage* image) {
    QList<QRgb> colours(1 << info.bits_per_pixel);
    for (int i = 0; i < colours.size(); i++)
        colours[i] = qRgb(info.palette[i][0], info.palette[i][1], info.palette[i][2]);
    image->setColorTable(colours);
}

}  // namespace

PqzHandler::PqzHandler() = default;
PqzHandler::~PqzHandler() = default;

bool PqzHandler::canRead(QIODevice* device) {
    if (!device) return false;
    const QByteArray head = device->peek(4);
    return pqz2_desktop::startsWithBlockTag(head.constData(), size_t(head.size()));
}

bool PqzHandler::canRead() const {
    if (!loaded_) {
        if (!canRead(device())) return false;
        setFormat("pqz");
    }
    return load() && next_ < imageCount();
}

bool PqzHandler::load() const {
    if (loaded_) return document_ != nullptr;
    loaded_ = true;
    if (!device()) return false;
    data_ = device()->readAll();
    auto document = std::make_unique<pqz2_desktop::Document>();
    const pqz2_status s = document->open(data_.constData(), size_t(data_.size()));
    if (s != PQZ2_OK) {
        qCWarning(lcPqz, "PQZ image: %s", document->message());
        return false;
    }
    if (document->walkStatus() != PQZ2_OK)
        qCWarning(lcPqz, "PQZ image: %s (images after it are not read)", document->walkMessage());
    document_ = std::move(document);
    return true;
}

bool PqzHandler::selectNext(pqz2_image_info* info) const {
    if (!load() || next_ >= imageCount()) return false;
    if (document_->select(size_t(next_), info) == PQZ2_OK) return true;
    qCWarning(lcPqz, "PQZ image: %s", document_->message());
    return false;
}

bool PqzHandler::read(QImage* image) {
    pqz2_image_info info;
    if (!image || !selectNext(&info)) return false;
    // A read moves on to the next image whether or not this one can be read, so that reading
    // in sequence passes over a damaged image.
    current_ = next_++;
    const Layout layout = layoutOf(info);
    if (layout.qt == QImage::Format_Invalid) {
        qCWarning(lcPqz, "PQZ image: %u bits per pixel have no QImage format", info.bits_per_pixel);
        return false;
    }
    // The size is checked before allocating: QImage refuses what exceeds the reader's
    // allocation limit, the library what exceeds its pixel limit.
    if (uint64_t(info.width) * info.height > pqz2_desktop::kMaxPixels) {
        qCWarning(lcPqz, "PQZ image: %u x %u pixels exceed the plug-in's limit", info.width,
                  info.height);
        return false;
    }
    QImage decoded;
    if (!allocateImage(QSize(int(info.width), int(info.height)), layout.qt, &decoded)) return false;
    const pqz2_status s = document_->decode(
        layout.pqz, decoded.bits(), size_t(decoded.sizeInBytes()), size_t(decoded.bytesPerLine()));
    if (s != PQZ2_OK) {
        qCWarning(lcPqz, "PQZ image: %s", document_->message());
        return false;
    }
    if (layout.qt == QImage::Format_Indexed8) setPalette(info, &decoded);
    if (layout.qt == QImage::Format_Grayscale16) {
        for (int y = 0; y < decoded.height(); y++)
            pqz2_desktop::valuesToGrey16(reinterpret_cast<uint16_t*>(decoded.scanLine(y)),
                                         info.width, info.bits_per_pixel);
    }
    *image = decoded;
    return true;
}

QVariant PqzHandler::option(ImageOption option) const {
    pqz2_image_info info;
    if ((option != Size && option != ImageFormat) || !selectNext(&info)) return {};
    if (option == Size) return QSize(int(info.width), int(info.height));
    return QVariant(int(layoutOf(info).qt));
}

bool PqzHandler::supportsOption(ImageOption option) const {
    return option == Size || option == ImageFormat;
}

int PqzHandler::imageCount() const {
    return load() ? int(document_->imageCount()) : 0;
}

bool PqzHandler::jumpToImage(int imageNumber) {
    if (imageNumber < 0 || imageNumber >= imageCount()) return false;
    next_ = current_ = imageNumber;
    return true;
}

bool PqzHandler::jumpToNextImage() {
    return jumpToImage(current_ + 1);
}

int PqzHandler::currentImageNumber() const {
    return current_;
}
